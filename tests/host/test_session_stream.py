"""The session stream over the wire: resume by id, readers that agree, a
reader that joins late, and what a restart of the host leaves."""
import random
import threading
import uuid

import pytest

from host_wire import Stream, history, idle, replies, send, start_server, wait_for


def sid(prefix="ss"):
    return f"{prefix}-{uuid.uuid4().hex[:10]}"


def keys(events, turn):
    return [e.key() for e in events if e.turn == turn]


def test_resume_after_an_id_gives_exactly_what_followed(server):
    session = sid()
    with Stream(server, session) as whole:
        with Stream(server, session) as part:
            turn = send(server, "stream: 300", session)["turn_id"]
            whole.until("turn_ended", turn)
            for _ in range(40):
                part.next()
        events = list(part.events)
        # Header first, then the query form, from wherever the last reader stopped.
        for query in (False, True):
            with Stream(server, session, last_event_id=events[-1].id, query=query) as again:
                assert again.sync["resumed"] is True and again.last_id == events[-1].id
                for _ in range(100 if not query else 10_000):
                    again.next()
                    if again.events[-1].name == "turn_ended":
                        break
                events += again.events
    assert keys(events, turn) == keys(whole.events, turn)
    # An id from before a restart of the host, or never given, is not resumed.
    with Stream(server, session, last_event_id="0-5") as fresh:
        assert fresh.sync["resumed"] is False and fresh.sync["running"] is None


def test_a_long_turn_read_whole_and_with_reconnects_at_random_points_is_the_same(server):
    session = sid("long")
    rng = random.Random(1234)
    with Stream(server, session) as whole:
        turn = send(server, "stream: 2500", session)["turn_id"]
        got: list = []
        reconnects = 0

        def jumpy():
            nonlocal reconnects
            last = whole.sync and None
            with Stream(server, session) as first:
                last = first.last_id
            while not got or got[-1].name != "turn_ended":
                with Stream(server, session, last_event_id=last) as s:
                    assert s.sync["resumed"] is True, s.sync
                    reconnects += 1
                    for _ in range(rng.randint(1, 400)):
                        s.next()
                        got.append(s.events[-1])
                        if got[-1].name == "turn_ended":
                            break
                    last = s.last_id

        reader = threading.Thread(target=jumpy)
        reader.start()
        whole.until("turn_ended", turn)
        reader.join(60)
        assert not reader.is_alive()
    records = keys(whole.events, turn)
    assert len(records) >= 2000 and reconnects >= 5
    assert keys(got, turn) == records
    assert replies(whole.turn(turn)).split() == [str(n) for n in range(2500)]


def test_two_readers_see_the_same_turns_from_any_sender(server):
    session = sid("two")
    with Stream(server, session) as a, Stream(server, session) as b:
        assert a.sync["running"] is None and a.sync["queue"] == []
        first = send(server, "wait: 0.5", session)["turn_id"]
        second = send(server, "from another tab", session)["turn_id"]
        for reader in (a, b):
            reader.until("turn_ended", second)
        assert [e.key() for e in a.events] == [e.key() for e in b.events]
        assert [e.turn for e in a.events if e.name == "turn_started"] == [first, second]
        # Each record says its turn: the reply lands under its own question.
        assert replies(a.turn(second)).startswith("You said: from another tab")
        assert "from another tab" not in replies(a.turn(first))


def test_a_late_reader_gets_the_running_turn_from_its_start_and_never_an_old_tail(server):
    session = sid("late")
    old = send(server, "wait: 0.3", session)["turn_id"]
    idle(server, session)
    turn = send(server, "wait: 1", session)["turn_id"]
    with Stream(server, session) as late:
        # (running is None only when the turn has not started on the stream yet)
        assert late.sync["resumed"] is False and late.sync["running"] in (turn, None)
        assert late.next() == ("turn_started", late.events[0].data) and late.events[0].turn == turn
        late.until("turn_ended", turn)
        assert all(e.turn in (turn, None) for e in late.events)
        assert old not in {e.turn for e in late.events}
    messages = [m["content"] for m in history(server, session) if m["role"] == "user"]
    assert messages == ["wait: 0.3", "wait: 1"]


def test_turns_beyond_the_cap_wait_and_say_so(tmp_path):
    srv = start_server("--engine", "standin", env={"KORVEL_DASHBOARD_MAX_TURNS": "1"})
    try:
        one, two = sid("cap"), sid("cap")
        assert send(srv, "wait: 30", one)["status"] == "started"
        with Stream(srv, two) as stream:
            res = send(srv, "hello", two)
            assert (res["status"], res["waiting_for"], res["position"]) == ("queued", "capacity", 1)
            busy = stream.until("busy")
            assert (busy["turn_id"], busy["waiting_for"]) == (res["turn_id"], "capacity")
            status = srv.client.get(f"/chat/status/{two}").json()
            assert status["waiting_for_capacity"] is True and status["pending"] == 1
            srv.client.post("/chat/stop", json={"session_id": one})
            assert stream.until("turn_ended", res["turn_id"])["status"] == "done"
    finally:
        srv.stop()


def test_queued_messages_survive_a_crash_and_the_cut_turn_is_marked_interrupted(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    srv = start_server("--engine", "standin", home=home)
    session = sid("crash")
    try:
        with Stream(srv, session) as stream:
            cut = send(srv, "wait: 60", session)["turn_id"]
            stream.until("tool_started", cut)
            queued = send(srv, "after the crash", session)
            assert queued["status"] == "queued"
            later = send(srv, "and then this", session)
        srv.kill()
    finally:
        srv.stop()
    assert (home / ".korvel" / "dashboard" / "turns.sqlite").is_file()
    srv = start_server("--engine", "standin", home=home)
    try:
        idle(srv, session)
        res = srv.client.get(f"/chat/history/{session}").json()
        assert res["running"] is None
        shown = [(m["role"], m["content"], m.get("turn"), m.get("status")) for m in res["messages"]]
        assert shown[:2] == [("user", "wait: 60", cut, "interrupted"), ("assistant", "", cut, "interrupted")]
        users = [(content, turn) for role, content, turn, _ in shown if role == "user"]
        assert users == [("wait: 60", cut), ("after the crash", queued["turn_id"]),
                         ("and then this", later["turn_id"])]
        assert shown[-1][1].startswith("You said: and then this") and shown[-1][3] is None
    finally:
        srv.stop()


def test_a_profile_switch_does_not_run_the_rest_of_a_queue_in_the_other_profile(server):
    session = sid("prof")
    try:
        with Stream(server, session) as stream:
            send(server, "wait: 60", session)
            stream.until("tool_started")
            rest = send(server, "meant for default", session)["turn_id"]
            res = server.client.post("/profiles/active", json={"name": "other", "create": True})
            assert res.status_code == 200, res.text
            server.client.post("/chat/stop", json={"session_id": session})
            ended = stream.until("turn_ended", rest)
            assert ended["status"] == "interrupted" and "profile" in ended["reason"]
        assert not any(m["content"] == "meant for default" for m in history(server, session))
    finally:
        server.client.post("/profiles/active", json={"name": "default"})
    shown = [m for m in history(server, session) if m.get("turn") == rest]
    assert [(m["role"], m["content"], m["status"]) for m in shown] == [
        ("user", "meant for default", "interrupted"), ("assistant", "", "interrupted")]


@pytest.mark.parametrize("path", ["/chat/stream/s1?last_event_id=%0a", "/chat/stream/s1?last_event_id=" + "9" * 300])
def test_odd_resume_ids_start_over(server, path):
    with server.client.stream("GET", path) as res:
        assert res.status_code == 200
        for line in res.iter_lines():
            if line.startswith("data:"):
                assert '"resumed": false' in line
                break


def test_a_stopped_host_ends_the_running_turn_as_interrupted_and_keeps_the_queue(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    srv = start_server("--engine", "standin", home=home)
    session = sid("term")
    try:
        with Stream(srv, session) as stream:
            cut = send(srv, "wait: 60", session)["turn_id"]
            stream.until("tool_started", cut)
            later = send(srv, "after the restart", session)["turn_id"]
            assert srv.stop() == 0  # SIGTERM
    finally:
        srv.stop()
    srv = start_server("--engine", "standin", home=home)
    try:
        idle(srv, session)
        shown = [(m["role"], m.get("turn"), m.get("status")) for m in history(srv, session)]
        assert shown == [("user", cut, "interrupted"), ("assistant", cut, "interrupted"),
                         ("user", later, None), ("assistant", later, None)]
    finally:
        srv.stop()


def test_a_message_that_cannot_be_kept_on_disk_is_refused_not_lost(tmp_path):
    home = tmp_path / "home"
    (home / ".korvel" / "dashboard" / "turns.sqlite").mkdir(parents=True)  # not a database
    srv = start_server("--engine", "standin", home=home)
    try:
        res = srv.client.post("/chat/send", json={"session_id": "nodisk", "message": "hello"})
        assert res.status_code == 503 and "not sent" in res.json()["detail"]
        assert srv.client.get("/chat/status/nodisk").json()["running"] is False
    finally:
        srv.stop()


def test_the_host_wide_stream_tells_every_tab_of_sessions_profiles_and_states(server):
    from host_wire import HostEvents
    session = sid("ev")
    with HostEvents(server) as events:
        assert events.hello == {"profile": "default"}
        send(server, "wait: 60", session)
        assert events.until("session_state", session_id=session)["state"] == "working"
        approval = send(server, "run: rm -rf ./nothing-here", sid("ap"))
        asked = events.until("session_state", session_id=approval["session_id"])
        asked = asked if asked["state"] == "awaiting_approval" else \
            events.until("session_state", session_id=approval["session_id"], state="awaiting_approval")
        # A tab that connects now hears of every session that is not idle.
        with HostEvents(server) as late:
            states = {}
            while len(states) < 2:
                name, data = late.next()
                states[data["session_id"]] = data["state"]
            assert states == {session: "working", approval["session_id"]: "awaiting_approval"}
        server.client.post("/chat/stop", json={"session_id": session})
        assert events.until("session_state", session_id=session)["state"] == "idle"
        server.client.post("/chat/stop", json={"session_id": approval["session_id"]})
        events.until("session_state", session_id=approval["session_id"], state="idle")
        created = send(server, "a new chat")["session_id"]
        assert events.until("sessions_changed", session_id=created)["reason"] == "created"
        # (told of a title while the session is open somewhere, as it is in the tab that made it)
        with Stream(server, created):
            events.until("sessions_changed", session_id=created, reason="titled")
        idle(server, created)
        server.client.patch(f"/sessions/{created}", json={"title": "Renamed"})
        assert events.until("sessions_changed", session_id=created)["reason"] == "renamed"
        resume_from = events.last_id
        server.client.delete(f"/sessions/{created}")
        assert events.until("sessions_changed", session_id=created)["reason"] == "deleted"
        try:
            server.client.post("/profiles/active", json={"name": "evt", "create": True})
            assert events.until("profile_changed") == {"profile": "evt"}
        finally:
            server.client.post("/profiles/active", json={"name": "default"})
        assert events.until("profile_changed") == {"profile": "default"}
    # A reconnect with the id of an event still held goes on after it.
    with HostEvents(server, last_event_id=resume_from) as again:
        assert again.next() == ("sessions_changed", {"session_id": created, "reason": "deleted"})


def test_one_waiting_message_can_be_cancelled(server):
    session = sid("cancel")
    first = send(server, "wait: 60", session)
    with Stream(server, session) as stream:
        stream.until("tool_started")
        keep1 = send(server, "kept one", session)["turn_id"]
        drop = send(server, "taken back", session)["turn_id"]
        keep2 = send(server, "kept two", session)["turn_id"]
        cancel = lambda turn: server.client.post("/chat/cancel", json={"session_id": session, "turn_id": turn})
        assert cancel(first["turn_id"]).status_code == 409
        assert cancel("t-nothing").status_code == 404
        assert cancel(drop).json() == {"cancelled": drop}
        assert cancel(drop).status_code == 404
        queue = stream.until("queue")["queue"]
        assert [(q["turn"], q["position"]) for q in queue] == [(keep1, 1), (keep2, 2)]
        assert server.client.get(f"/chat/status/{session}").json()["pending"] == 2
        server.client.post("/chat/stop", json={"session_id": session})
        stream.until("turn_ended")
        for turn in (keep1, keep2):
            assert stream.until("turn_started")["turn_id"] == turn
            stream.until("turn_ended")
    idle(server, session)
    users = [m["content"] for m in history(server, session) if m["role"] == "user"]
    assert users == ["wait: 60", "kept one", "kept two"]
