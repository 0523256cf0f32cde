"""Renaming, deleting and searching sessions over HTTP; the favicon and the
installer's address."""
import types

import pytest
from fastapi import FastAPI

from host_wire import run_turn, send, standin_store, wait_for


def sessions(server):
    return {s["session_id"]: s for s in server.client.get("/sessions").json()["sessions"]}


def test_rename_delete_and_search(server):
    c = server.client
    sid = "rename-me"
    run_turn(server, "tell me about 100% pure otters", sid)
    other = "other-session"
    run_turn(server, "something about badgers", other)

    # Rename: one clean line, stored and listed.
    r = c.patch(f"/sessions/{sid}", json={"title": "  Otters\n\tand\x00 more  "})
    assert r.status_code == 200, r.text
    assert r.json() == {"session_id": sid, "title": "Otters and more"}
    assert sessions(server)[sid]["title"] == "Otters and more"
    assert c.patch(f"/sessions/{sid}", json={"title": " \n "}).status_code == 400
    assert c.patch(f"/sessions/{sid}", json={"title": "x" * 201}).status_code == 400
    r = c.patch("/sessions/no-such-session", json={"title": "x"})
    assert r.status_code == 404 and "no session" in r.json()["detail"]
    assert c.patch("/sessions/bad id!", json={"title": "x"}).status_code == 400

    # Search: by title, by what was said (with a snippet), wildcards taken literally.
    found = c.get("/sessions/search", params={"q": "OTTERS and"}).json()["sessions"]
    assert [s["session_id"] for s in found] == [sid]
    found = c.get("/sessions/search", params={"q": "badgers"}).json()["sessions"]
    assert [s["session_id"] for s in found] == [other]
    assert "badgers" in found[0]["snippet"] and found[0]["updated_at"]
    assert [s["session_id"] for s in c.get("/sessions/search", params={"q": "100%"}).json()["sessions"]] == [sid]
    assert [s["session_id"] for s in c.get("/sessions/search", params={"q": "%"}).json()["sessions"]] == [sid]
    assert c.get("/sessions/search", params={"q": "_"}).json()["sessions"] == []
    assert c.get("/sessions/search", params={"q": "zebra"}).json()["sessions"] == []
    assert c.get("/sessions/search", params={"q": "  "}).status_code == 400

    # Delete: refused while a turn runs, then gone from the list and the search.
    busy = send(server, "wait: 30", session_id=other)
    assert busy["status"] == "started"
    r = c.delete(f"/sessions/{other}")
    assert r.status_code == 409 and "busy" in r.json()["detail"]
    c.post("/chat/stop", json={"session_id": other, "clear_queue": True})
    wait_for(lambda: not c.get(f"/chat/status/{other}").json()["running"])
    r = c.delete(f"/sessions/{other}")
    assert r.status_code == 200 and r.json()["deleted"] is True
    assert other not in sessions(server)
    assert server.client.get(f"/chat/history/{other}").json()["messages"] == []
    assert c.get("/sessions/search", params={"q": "badgers"}).json()["sessions"] == []
    assert c.delete(f"/sessions/{other}").status_code == 404


def test_favicon_and_installer_address(server):
    r = server.client.get("/favicon.ico")
    assert r.status_code == 200 and r.headers["content-type"].startswith("image/svg+xml")
    assert b"<svg" in r.content
    page = server.client.get("/").text
    assert '<link rel="icon" href="/static/favicon.svg"' in page
    assert server.client.get("/static/favicon.svg").status_code == 200
    info = server.client.get("/setup/installer").json()
    assert info["url"].startswith("https://") and info["url"].endswith("install.sh")
    assert info["command"] == f"curl -fsSL {info['url']} | bash"


@pytest.mark.filterwarnings("ignore:Using `httpx`")
def test_a_store_without_these_methods_answers_501():
    from fastapi.testclient import TestClient

    from dashboard import sessions_api

    class Store:
        def has_session(self, session_id):
            return True

    engine = types.SimpleNamespace(warmpool=types.SimpleNamespace(get_session_db=Store))
    host = types.SimpleNamespace(require_engine=lambda: engine,
                                 turns=types.SimpleNamespace(status=lambda sid: {"running": False, "pending": 0}))
    app = FastAPI()
    app.state.host = host
    app.include_router(sessions_api.router)
    client = TestClient(app)
    for r in (client.patch("/sessions/s1", json={"title": "x"}), client.delete("/sessions/s1"),
              client.get("/sessions/search", params={"q": "x"})):
        assert r.status_code == 501
        assert "session store cannot" in r.json()["detail"]


_store = standin_store


def _walk(client, limit, between=lambda n: None):
    seen, cursor, pages = [], None, 0
    while True:
        params = {"limit": limit, **({"cursor": cursor} if cursor else {})}
        res = client.get("/sessions", params=params)
        assert res.status_code == 200, res.text
        body = res.json()
        seen.extend(s["session_id"] for s in body["sessions"])
        pages += 1
        cursor = body["next"]
        if cursor is None:
            return seen, body, pages
        between(pages)


def test_sessions_come_in_pages_each_once_while_sessions_are_used_and_created():
    import random

    from host_wire import idle, start_server
    server = start_server("--engine", "standin")
    try:
        db = _store(server.home)
        old = [f"old-{n:03d}" for n in range(120)]
        for sid in old:
            db.append_message(sid, "user", f"hello from {sid}")
        rng = random.Random(3)
        used = []

        def meanwhile(page):
            # Sessions already listed and still to come are used through the
            # host and beside it, and new ones start.
            for sid in rng.sample(old, 2):
                send(server, f"used between pages {page}", sid)
                used.append(sid)
            db.append_message(rng.choice(old), "assistant", "written beside the host")
            send(server, "a brand new session")

        seen, last, pages = _walk(server.client, 25, meanwhile)
        assert pages >= 5 and last["total"] >= 120
        assert sorted(s for s in seen if s.startswith("old-")) == old   # every one, once
        for sid in used:
            idle(server, sid)
        # A fresh listing shows the used sessions first, newest on top, and its total.
        first = server.client.get("/sessions", params={"limit": 10}).json()
        assert first["sessions"][0]["updated_at"] >= first["sessions"][-1]["updated_at"]
        everything, body, _ = _walk(server.client, 500)
        assert len(everything) == len(set(everything)) == body["total"] == db.count_sessions()
        assert set(used) <= set(everything[:len(set(used)) + pages + 1])
        # Without parameters: the first 50, as the page always asked.
        plain = server.client.get("/sessions").json()
        assert len(plain["sessions"]) == 50 and plain["next"] and plain["profile"] == "default"

        for params, status in (({"cursor": "nonsense"}, 400), ({"limit": 0}, 422), ({"limit": 501}, 422)):
            res = server.client.get("/sessions", params=params)
            assert res.status_code == status and res.json()["detail"], (params, res.text)
        import base64
        import json
        import time
        stale = base64.urlsafe_b64encode(json.dumps([time.time() - 8 * 86400, 1.0, "x"]).encode()).decode()
        res = server.client.get("/sessions", params={"cursor": stale})
        assert res.status_code == 410 and "first page" in res.json()["detail"]
    finally:
        server.stop()


def test_history_in_pages_newest_first_and_search_marks_matches(server):
    c = server.client
    sid = "long-history"
    db = _store(server.home)
    for n in range(130):
        db.append_message(sid, "user" if n % 2 == 0 else "assistant", f"message {n:03d} about hedgehogs")
    run_turn(server, "the newest question", sid)
    full = c.get(f"/chat/history/{sid}").json()
    assert set(full) == {"session_id", "messages", "running"} and len(full["messages"]) == 132

    page = c.get(f"/chat/history/{sid}", params={"limit": 50}).json()
    assert page["total"] == 132 and page["messages"] == full["messages"][-50:]
    assert page["messages"][-2]["content"] == "the newest question"
    pages, before = [page["messages"]], page["next"]
    run_turn(server, "sent while scrolling back", sid)   # later messages do not move the cursor
    while before is not None:
        older = c.get(f"/chat/history/{sid}", params={"limit": 50, "before": before}).json()
        pages.insert(0, older["messages"])
        before = older["next"]
    assert [m for p in pages for m in p] == full["messages"]
    for params in ({"limit": 0}, {"limit": 5, "before": "-1"}, {"before": "x"}):
        assert c.get(f"/chat/history/{sid}", params=params).status_code in (400, 422), params

    # Search: the matched words as data, never as markup.
    found = c.get("/sessions/search", params={"q": "hedgehog"}).json()["sessions"]
    assert [s["session_id"] for s in found] == [sid]
    parts = found[0]["snippet_parts"]
    assert "".join(p["text"] for p in parts) == found[0]["snippet"]
    assert [p["text"] for p in parts if p["match"]] == ["hedgehogs"]
    db.append_message("markup", "user", "<b>hedgehog</b> & <script>x</script>")
    found = c.get("/sessions/search", params={"q": "hedgehog script"}).json()["sessions"]
    assert found[0]["session_id"] == "markup"
    assert "".join(p["text"] for p in found[0]["snippet_parts"]) == "<b>hedgehog</b> & <script>x</script>"


def test_the_journal_keeps_turns_only_of_sessions_that_exist(tmp_path):
    import sqlite3

    from host_wire import start_server
    home = tmp_path / "home"
    home.mkdir()
    server = start_server("--engine", "standin", home=home)
    try:
        for sid in ("kept", "deleted-here", "deleted-elsewhere"):
            run_turn(server, f"hello {sid}", sid)
        assert server.client.delete("/sessions/deleted-here").status_code == 200
    finally:
        server.stop()
    _store(home).delete_session("deleted-elsewhere")   # e.g. by the engine's own command
    server = start_server("--engine", "standin", home=home)
    try:
        rows = sqlite3.connect(home / ".korvel" / "dashboard" / "turns.sqlite").execute(
            "SELECT DISTINCT session_id FROM turns").fetchall()
        assert rows == [("kept",)]
        assert "turns of 1 deleted session(s) dropped" in server.output()
    finally:
        server.stop()


def test_an_installed_engines_store_is_paged_by_its_own_listing_and_marked_by_words():
    from dashboard import paging, sessions_api

    class Store:   # lists everything, knows no paging, no counting and no match ranges
        def list_sessions(self):
            return [{"id": f"s{n:02d}", "title": f"T{n}", "last_active": 1000.0 + n % 7} for n in range(23)]

    seen, cursor = [], None
    while True:
        page = paging.sessions_page(Store(), 5, cursor)
        assert page["total"] == 23 and len(page["sessions"]) <= 5
        seen += [(s["updated_at"], s["session_id"]) for s in page["sessions"]]
        cursor = page["next"]
        if cursor is None:
            break
    assert seen == sorted(seen, reverse=True) and len(set(seen)) == 23

    parts = sessions_api.marked_parts("Otters, otters & <b>OTTERS</b>", None, ["otters"])
    assert [p["text"] for p in parts if p["match"]] == ["Otters", "otters", "OTTERS"]
    assert "".join(p["text"] for p in parts) == "Otters, otters & <b>OTTERS</b>"
    # Ranges from a store are taken as given, bad ones dropped.
    assert sessions_api.marked_parts("abcdef", [[1, 3], [2, 99], "x"], ["zzz"]) == [
        {"text": "a", "match": False}, {"text": "bc", "match": True}, {"text": "def", "match": False}]
