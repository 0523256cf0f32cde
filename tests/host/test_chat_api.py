"""Chat turns through the host's HTTP interface, events read from the wire."""
import base64
import uuid

import pytest

from host_wire import (PNG_1x1, Stream, history, idle, replies, run_turn, send, wait_for)


def sid(prefix="s"):
    return f"{prefix}-{uuid.uuid4().hex[:10]}"


def test_health_names_the_engine_and_serves_the_page(server):
    health = server.client.get("/health").json()
    assert health["status"] == "ok"
    assert health["engine"] == "standin"
    page = server.client.get("/")
    assert page.status_code == 200 and 'id="composer-input"' in page.text
    assert server.client.get("/static/app.js").status_code == 200


def test_a_whole_turn_streams_every_kind_of_record(server):
    session = sid()
    events = run_turn(server, "hello there", session)
    names = [name for name, _ in events]
    assert names[0] == "turn_started" and names[-1] == "turn_ended"
    assert events[-1][1]["status"] == "done"
    for kind in ("status", "thinking", "reasoning_delta", "reasoning", "tool_started",
                 "tool_completed", "delta"):
        assert kind in names, names
    assert names.index("tool_started") < names.index("tool_completed") < names.index("delta")
    started = dict(events)["tool_started"]
    assert started["tool"] == "get_time" and isinstance(started["ts"], float)
    reply = replies(events)
    assert reply.startswith("You said: hello there")
    stored = history(server, session)
    assert [m["role"] for m in stored] == ["user", "assistant"]
    assert stored[0]["content"] == "hello there" and stored[1]["content"] == reply
    assert stored[0]["turn"] == stored[1]["turn"] == events[0][1]["turn_id"]
    assert "status" not in stored[1]
    # The reasoning is kept beside the reply, for a reopened chat to show.
    assert stored[1]["reasoning"] == dict(events)["reasoning"]["text"]
    # The next turn of the same session runs on the same warm agent.
    again = run_turn(server, "and again", session)
    assert replies(again).startswith("You said: and again")
    assert len(history(server, session)) == 4


def test_a_new_session_gets_its_title(server):
    res = send(server, "plan a picnic for saturday")
    session = res["session_id"]
    idle(server, session)

    def titled():
        info = server.client.get(f"/sessions/{session}").json()
        return info["title"]
    assert wait_for(titled) == "Plan a picnic for saturday"
    listed = {s["session_id"]: s["title"] for s in server.client.get("/sessions").json()["sessions"]}
    assert listed[session] == "Plan a picnic for saturday"


def test_automatic_titles_are_cleaned_like_renamed_ones(server):
    # A title that would turn the sidebar's text around, or drive a terminal.
    session = sid("rtl")
    with Stream(server, session) as stream:
        send(server, "evil\u202etxt.exe\x1b[31m \u200fplans", session)
        while stream.next()[0] != "title_updated":
            pass
        title = stream.seen[-1][1]["title"]
    assert title == "Evil txt.exe [31m plans"
    assert server.client.get(f"/sessions/{session}").json()["title"] == title
    listed = {s["session_id"]: s["title"] for s in server.client.get("/sessions").json()["sessions"]}
    assert listed[session] == title
    found = server.client.get("/sessions/search", params={"q": "plans"}).json()["sessions"]
    assert title in [s["title"] for s in found]


@pytest.mark.parametrize("choice,outcome", [("once", "allowed and ran"), ("deny", "was denied")])
def test_a_dangerous_command_waits_for_approval(server, choice, outcome):
    session = sid("appr")
    turn = send(server, "run: rm -rf /tmp/scratch", session)["turn_id"]
    with Stream(server, session) as stream:
        request = stream.until("approval_required")
        approval = stream.events[-1].id
        assert request["command"] == "rm -rf /tmp/scratch"
        assert request["pattern_key"] and request["description"]
        assert request["session_id"] == session
        assert server.client.get(f"/chat/status/{session}").json()["running"] is True
        # A page opened now (a reload, another tab) gets the waiting card.
        with Stream(server, session) as later:
            assert later.sync["running"] == turn and later.sync["pending_approval"] == request
            assert later.sync["pending_approval_id"] == approval
        # An answer names the request it answers: any other id changes nothing.
        answer = {"session_id": session, "choice": choice}
        assert server.client.post("/chat/approve", json=answer).status_code == 422
        for wrong in ("", approval + "0", approval.rsplit("-", 1)[0] + "-1", later.last_id):
            res = server.client.post("/chat/approve", json={**answer, "approval_id": wrong})
            assert res.status_code == 409 and "nothing was changed" in res.json()["detail"], wrong
        assert server.client.get(f"/chat/status/{session}").json()["running"] is True
        res = server.client.post("/chat/approve", json={**answer, "approval_id": approval})
        assert res.status_code == 200 and res.json()["resolved"] is True
        # A retried answer does not reach whatever asks next.
        assert server.client.post("/chat/approve", json={**answer, "approval_id": approval}).status_code == 409
        resolved = stream.until("approval_resolved")
        assert (resolved["turn_id"], resolved["choice"], resolved["approval_id"]) == (turn, choice, approval)
        assert stream.events[-1].turn == turn
        assert stream.until("turn_ended")["status"] == "done"
        assert outcome in replies(stream.seen)
        assert [name for name, _ in stream.seen].count("approval_resolved") == 1
    # Nothing is waiting any more.
    res = server.client.post("/chat/approve", json={**answer, "approval_id": approval})
    assert res.status_code == 409


def test_a_second_approval_is_not_answered_by_a_retry_of_the_first(server):
    session = sid("appr2")
    send(server, "run: rm -rf /tmp/one", session)
    two = send(server, "run: rm -rf /tmp/two", session)["turn_id"]
    with Stream(server, session) as stream:
        assert stream.until("approval_required")["command"] == "rm -rf /tmp/one"
        first = stream.events[-1].id
        body = {"session_id": session, "choice": "once", "approval_id": first}
        assert server.client.post("/chat/approve", json=body).status_code == 200
        assert stream.until("approval_required", two)["command"] == "rm -rf /tmp/two"
        second = stream.events[-1].id
        assert second != first
        # The retry of "once" for the first command leaves the second waiting.
        assert server.client.post("/chat/approve", json=body).status_code == 409
        assert server.client.post("/chat/approve", json={**body, "approval_id": second, "choice": "deny"}
                                  ).status_code == 200
        assert stream.until("approval_resolved", two)["approval_id"] == second
        stream.until("turn_ended", two)
        assert "was denied" in replies(stream.turn(two))


def test_stop_ends_a_running_turn(server):
    session = sid("stop")
    turn = send(server, "wait: 60", session)["turn_id"]
    with Stream(server, session) as stream:
        assert stream.until("tool_started")["tool"] == "sleep"
        res = server.client.post("/chat/stop", json={"session_id": session})
        assert res.json() == {"session_id": session, "stopped": True, "cleared": 0}
        assert stream.until("stop_requested")["turn_id"] == turn
        completed = stream.until("tool_completed")
        assert completed["duration"] < 30
        ended = stream.until("turn_ended")
        assert (ended["turn_id"], ended["status"]) == (turn, "stopped")
    idle(server, session)
    last = history(server, session)[-1]
    # One marker of the stop, the status: the reply's text is what had arrived.
    assert "[interrupted]" not in last["content"] and last["status"] == "stopped"
    # Nothing runs now: a second stop finds nothing.
    assert server.client.post("/chat/stop", json={"session_id": session}).json()["stopped"] is False
    # A stop sent right after the message, before the agent is ready, still stops it.
    with Stream(server, session) as stream:
        turn = send(server, "wait: 60", session)["turn_id"]
        assert server.client.post("/chat/stop", json={"session_id": session}).json()["stopped"] is True
        assert stream.until("turn_ended", turn)["status"] == "stopped"


def test_a_message_for_a_busy_session_is_queued_and_runs_next(server):
    session = sid("busy")
    send(server, "wait: 60", session)
    with Stream(server, session) as stream:
        stream.until("tool_started")
        queued = send(server, "second message", session)
        assert queued == {"session_id": session, "status": "queued", "position": 1, "waiting_for": "turn",
                          "turn_id": queued["turn_id"], "client_id": None}
        third = send(server, "third message", session)
        assert third["position"] == 2
        busy = stream.until("busy")
        assert (busy["turn_id"], busy["position"], busy["message"]) == (queued["turn_id"], 1, "second message")
        assert stream.events[-1].turn == queued["turn_id"]
        assert server.client.get(f"/chat/status/{session}").json()["pending"] == 2
        with Stream(server, session) as later:
            assert [(q["turn"], q["position"]) for q in later.sync["queue"]] == [
                (queued["turn_id"], 1), (third["turn_id"], 2)]
        server.client.post("/chat/stop", json={"session_id": session})
        stream.until("turn_ended")
        # Each queued message becomes the next turn, on the same stream.
        for res, message in ((queued, "second message"), (third, "third message")):
            started = stream.until("turn_started")
            assert (started["turn_id"], started["message"], started["queued"]) == (res["turn_id"], message, True)
            assert stream.until("turn_ended")["status"] == "done"
            assert replies(stream.turn(res["turn_id"])).startswith(f"You said: {message}")
    idle(server, session)
    users = [m["content"] for m in history(server, session) if m["role"] == "user"]
    assert users == ["wait: 60", "second message", "third message"]


def test_stop_can_drop_the_queue(server):
    session = sid("drop")
    send(server, "wait: 60", session)
    with Stream(server, session) as stream:
        stream.until("tool_started")
        send(server, "never runs", session)
        res = server.client.post("/chat/stop", json={"session_id": session, "clear_queue": True})
        assert res.json()["cleared"] == 1
        assert stream.until("queue")["queue"] == []
        stream.until("turn_ended")
    idle(server, session)
    assert "never runs" not in [m["content"] for m in history(server, session)]


class TestImages:
    def test_an_uploaded_image_is_described_to_the_agent(self, server):
        up = server.client.post("/chat/upload", files={"file": ("shot.png", PNG_1x1, "image/png")})
        assert up.status_code == 200, up.text
        info = up.json()
        assert info["id"].startswith("upload_") and info["id"].endswith(".png")
        assert info["bytes"] == len(PNG_1x1)
        session = sid("img")
        events = run_turn(server, "what is this?", session, images=[info["id"]])
        assert dict(events)["turn_started"]["images"] == [info["id"]]
        # The agent was given the image's description; the history shows the user's words.
        reply = replies(events)
        assert reply.startswith("You said: [The user sent an image~ Here's what I can see:\n")
        assert info["path"] in reply and "\n\nwhat is this?" in reply
        user = history(server, session)[0]
        assert (user["content"], user["images"]) == ("what is this?", [info["id"]])

    def test_messages_from_before_the_journal_show_the_users_words(self, server):
        from host_wire import standin_store

        session = sid("old")
        seen = ("[The user sent an image~ Here's what I can see:\nA cat ] on a mat]\n[If you need a closer "
                "look, use vision_analyze with image_url: /h/.korvel/uploads/upload_0123456789.png ~]")
        unseen = ("[The user sent an image but something went wrong when I tried to look at it~ You can try "
                  "examining it yourself with vision_analyze using image_url: /h/uploads/upload_aaaaaaaaaa.jpg]")
        note = ("[Note: model was just switched from a/b to c/d. You are now c/d. "
                "Adjust your self-identification accordingly.]")
        db = standin_store(server.home)
        db.append_message(session, "user", f"{seen}\n\n{unseen}\n\n{note}\n\nwhat are these?")
        db.append_message(session, "assistant", "two cats")
        db.append_message(session, "user", "[Note: a look-alike] stays")
        user, _, other = history(server, session)
        assert (user["content"], user["images"]) == ("what are these?", ["upload_0123456789.png",
                                                                        "upload_aaaaaaaaaa.jpg"])
        assert other["content"] == "[Note: a look-alike] stays" and not other.get("images")

    def test_a_data_url_image(self, server):
        url = "data:image/png;base64," + base64.b64encode(PNG_1x1).decode()
        session = sid("img")
        events = run_turn(server, "", session, images=[url])
        assert "/.korvel/uploads/upload_" in replies(events)
        user = history(server, session)[0]
        assert user["content"] == "" and user["images"] == dict(events)["turn_started"]["images"]
        assert user["images"][0].startswith("upload_")
        saved = server.client.post("/chat/upload-data-url", json={"data_url": url}).json()
        assert saved["bytes"] == len(PNG_1x1) and saved["id"].endswith(".png")

    @pytest.mark.parametrize("ref,status", [
        ("../../etc/passwd", 400), ("upload_0123456789.png", 404), ("/etc/passwd", 400),
        ("data:image/png;base64,abc", 400),
    ])
    def test_unknown_or_unsafe_images_are_refused(self, server, ref, status):
        res = server.client.post("/chat/send", json={"message": "x", "images": [ref]})
        assert res.status_code == status, res.text

    def test_empty_upload_is_refused(self, server):
        res = server.client.post("/chat/upload", files={"file": ("a.png", b"", "image/png")})
        assert res.status_code == 400


class TestValidation:
    @pytest.mark.parametrize("body", [
        {"message": "   "},
        {"message": "hi", "session_id": "../etc"},
        {"message": "hi", "session_id": "a b"},
    ])
    def test_bad_send_bodies_get_400(self, server, body):
        res = server.client.post("/chat/send", json=body)
        assert res.status_code == 400 and res.json()["detail"]

    @pytest.mark.parametrize("path,body", [
        ("/chat/send", {"message": 5}),
        ("/chat/send", {"message": "x", "images": "notalist"}),
        ("/chat/approve", {"session_id": "s1"}),
        ("/chat/approve", {"session_id": "s1", "choice": "once"}),
        ("/chat/stop", {}),
        ("/model", {}),
        ("/profiles/active", {"name": None}),
    ])
    def test_malformed_bodies_get_422_with_a_readable_detail(self, server, path, body):
        res = server.client.post(path, json=body)
        assert res.status_code == 422
        assert isinstance(res.json()["detail"], str) and res.json()["detail"]

    def test_unknown_approval_choice(self, server):
        res = server.client.post("/chat/approve", json={"session_id": "s1", "choice": "maybe", "approval_id": "x"})
        assert res.status_code == 400 and "once" in res.json()["detail"]

    def test_bad_session_ids_in_paths(self, server):
        assert server.client.get("/chat/history/a%20b").status_code == 400
        assert server.client.get("/chat/stream/-x").status_code == 400


def test_simultaneous_first_messages_start_one_turn_and_queue_the_rest(server):
    import concurrent.futures

    session = sid("race")
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda i: send(server, f"wait: 0.3 #{i}", session), range(4)))
    assert sorted(r["status"] for r in results) == ["queued"] * 3 + ["started"]
    assert sorted(r["position"] for r in results) == [0, 1, 2, 3]
    idle(server, session)
    users = [m["content"] for m in history(server, session) if m["role"] == "user"]
    assert sorted(users) == [f"wait: 0.3 #{i}" for i in range(4)]


class TestLocalOnly:
    def test_foreign_host_names_are_refused(self, server):
        res = server.client.get("/health", headers={"Host": "attacker.example"})
        assert res.status_code == 403
        assert server.client.get("/health", headers={"Host": f"localhost:{server.port}"}).status_code == 200

    def test_changes_from_other_origins_are_refused(self, server):
        # (409: let through to the route, where no such approval waits)
        body = {"session_id": "s1", "choice": "once", "approval_id": "x-1"}
        res = server.client.post("/chat/approve", json=body, headers={"Origin": "https://attacker.example"})
        assert res.status_code == 403
        res = server.client.post("/setup/install", headers={"Origin": "null"})
        assert res.status_code == 403
        res = server.client.post("/chat/approve", json=body, headers={"Origin": server.url})
        assert res.status_code == 409
        # Clients that send no Origin (not a browser page) are not affected.
        assert server.client.post("/chat/approve", json=body).status_code == 409


def test_a_message_sent_right_after_a_turn_ends_is_not_reported_queued(server):
    # The turn's chain may still be finishing up (title, queue check): the
    # next message follows at once and the sender is not told to wait.
    session = sid("next")
    for n in range(5):
        events = run_turn(server, f"message {n}", session)
        started = dict(events)["turn_started"]
        assert (started["message"], started["queued"]) == (f"message {n}", False)
    assert not any(name == "busy" for name, _ in events)
    users = [m["content"] for m in history(server, session) if m["role"] == "user"]
    assert users == [f"message {n}" for n in range(5)]


def test_a_turn_carries_the_senders_client_id_and_the_model_everywhere(server):
    session = sid("cid")
    send(server, "wait: 60", session, client_id="first-1")
    with Stream(server, session) as stream:
        stream.until("tool_started")
        queued = send(server, "second", session, client_id="second_2")
        assert queued["client_id"] == "second_2" and queued["status"] == "queued"
        busy = stream.until("busy")
        assert (busy["client_id"], busy["model"]) == ("second_2", "stand-in (scripted)")
        with Stream(server, session) as later:
            assert [q["client_id"] for q in later.sync["queue"]] == ["second_2"]
        server.client.post("/chat/stop", json={"session_id": session})
        stream.until("turn_ended")
        started = stream.until("turn_started")
        assert (started["client_id"], started["model"]) == ("second_2", "stand-in (scripted)")
        stream.until("turn_ended")
    # Every record of each turn, made by the host or the bridge, is tagged.
    by_turn = {}
    for event in stream.events:
        if event.name not in ("queue", "title_updated"):
            by_turn.setdefault(event.turn, set()).add(event.client_id)
    assert by_turn.pop(queued["turn_id"]) == {"second_2"}
    assert list(by_turn.values()) == [{"first-1"}] and None not in by_turn
    idle(server, session)
    messages = history(server, session)
    users = [m for m in messages if m["role"] == "user"]
    assert [m["client_id"] for m in users] == ["first-1", "second_2"]
    assert all(isinstance(m["ts"], float) for m in messages if m["role"] in ("user", "assistant"))
    replies_ = [m for m in messages if m["role"] == "assistant"]
    assert {m["model"] for m in replies_} == {"stand-in (scripted)"}
    assert replies_[0]["status"] == "stopped" and "status" not in replies_[-1]


class TestSendFromAView:
    @pytest.mark.parametrize("client_id", ["", "x" * 65, "has space", "dot.ted", 5])
    def test_bad_client_ids_get_422(self, server, client_id):
        res = server.client.post("/chat/send", json={"message": "hi", "client_id": client_id})
        assert res.status_code == 422, res.text

    def test_a_message_for_a_profile_no_longer_active_is_refused(self, server):
        session = sid("prof")
        assert send(server, "hello", session, profile="default")["status"] == "started"
        idle(server, session)
        assert server.client.post("/profiles/active", json={"name": "elsewhere", "create": True}).status_code == 200
        try:
            res = server.client.post("/chat/send", json={"message": "more", "session_id": session,
                                                         "profile": "default", "client_id": "c1"})
            assert res.status_code == 409
            assert res.json()["detail"] == ("This chat belongs to profile 'default', but 'elsewhere' is "
                                            "active now. Reload to continue in 'elsewhere'.")
            assert server.client.get(f"/chat/status/{session}").json()["pending"] == 0
            assert history(server, session) == []
        finally:
            server.client.post("/profiles/active", json={"name": "default"})
        assert [m["role"] for m in history(server, session)] == ["user", "assistant"]


def _approve(server, session, message, choice):
    """Run ``message`` in ``session`` answering its approval with ``choice``; the reply."""
    with Stream(server, session) as stream:
        turn = send(server, message, session)["turn_id"]
        stream.until("approval_required", turn)
        body = {"session_id": session, "choice": choice, "approval_id": stream.events[-1].id}
        assert server.client.post("/chat/approve", json=body).status_code == 200
        stream.until("turn_ended", turn)
        return replies(stream.turn(turn))


def test_standing_approvals_are_listed_and_can_be_revoked(server):
    session = sid("perm")
    _approve(server, session, "run: rm -rf /tmp/perm-one", "session")
    _approve(server, session, "run: shutdown now", "always")
    listed = server.client.get("/permissions").json()
    assert listed["supported"] is True
    assert {"session_id": session, "key": "recursive_delete",
            "description": 'commands that match "recursive forced delete"'} in listed["session"]
    assert {"key": "power_off", "description": 'commands that match "stops the machine"'} in listed["always"]
    # Standing: the next such command runs without asking.
    events = run_turn(server, "run: rm -rf /tmp/perm-two", session)
    assert "approval_required" not in [name for name, _ in events]
    revoke = lambda body: server.client.request("DELETE", "/permissions", json=body)
    assert revoke({"scope": "session", "key": "recursive_delete", "session_id": session}).json() == {"revoked": True}
    assert revoke({"scope": "session", "key": "recursive_delete", "session_id": session}).status_code == 404
    assert revoke({"scope": "always", "key": "power_off"}).json() == {"revoked": True}
    assert revoke({"scope": "always", "key": "power_off"}).status_code == 404
    assert revoke({"scope": "forever", "key": "power_off"}).status_code == 400
    assert revoke({"scope": "session", "key": "x"}).status_code == 400  # which session?
    listed = server.client.get("/permissions").json()
    assert not [e for e in listed["session"] if e["session_id"] == session]
    assert "power_off" not in [e["key"] for e in listed["always"]]
    # Revoked: asked again.
    assert "was denied" in _approve(server, session, "run: rm -rf /tmp/perm-three", "deny")
    assert "was denied" in _approve(server, session, "run: shutdown now", "deny")


def test_an_engine_that_cannot_list_approvals_says_so(monkeypatch):
    import types

    from dashboard import permissions
    monkeypatch.setattr(permissions, "_module", lambda: types.SimpleNamespace())
    listed = permissions.listing()
    assert listed["supported"] is False and "cannot list or revoke" in listed["reason"]
    assert (listed["session"], listed["always"]) == ([], [])
    assert permissions.revoke("always", "power_off", None) is None


def test_a_chat_exports_as_markdown(server):
    session = sid("export")
    run_turn(server, "hello markdown", session)
    server.client.patch(f"/sessions/{session}", json={"title": "Otters: a plan/ütf"})
    res = server.client.get(f"/chat/export/{session}")
    assert res.status_code == 200
    assert res.headers["content-type"] == "text/markdown; charset=utf-8"
    assert res.headers["content-disposition"].startswith('attachment; filename="Otters_ a plan_utf.md"')
    assert "filename*=UTF-8''Otters_%20a%20plan_%C3%BCtf.md" in res.headers["content-disposition"]
    text = res.text
    assert text.startswith("# Otters: a plan/ütf\n")
    assert "## You · " in text and "hello markdown" in text
    assert "## Assistant (stand-in (scripted)) · " in text and "You said: hello markdown" in text
    assert server.client.get(f"/chat/export/{sid('none')}").status_code == 404
    assert server.client.get("/model").json()["standin"] is True


def test_the_agents_steps_are_folded_into_lists_in_an_export():
    from dashboard.export import markdown

    call = {"id": "c1", "type": "function",
            "function": {"name": "terminal", "arguments": '{"command": "ls -la\\n/tmp"}'}}
    text = markdown("T", [
        {"role": "user", "content": "look", "ts": 0.0},
        {"role": "assistant", "content": None, "tool_calls": [call]},
        {"role": "tool", "tool_call_id": "c1", "content": "...", "meta": {"summary": "exit status 0"}},
        {"role": "assistant", "content": "Done.", "model": "m", "ts": 60.0},
        {"role": "user", "content": "again"},
        {"role": "assistant", "content": "", "status": "error",
         "error": {"kind": "auth", "message": "refused the key"}},
    ])
    assert text == ("# T\n\n## You · 1970-01-01 00:00 UTC\n\nlook\n\n"
                    "## Assistant (m) · 1970-01-01 00:01 UTC\n\nSteps:\n\n- terminal: `ls -la /tmp`\n"
                    "  - result: exit status 0\n\nDone.\n\n## You\n\nagain\n\n## Assistant\n\n"
                    "*(failed: refused the key)*\n")
