"""Renaming, deleting and searching sessions over HTTP; the favicon and the
installer's address."""
import types

import pytest
from fastapi import FastAPI

from host_wire import run_turn, send, wait_for


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
