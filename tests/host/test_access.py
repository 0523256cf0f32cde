"""Only the host's user drives it: the access token on every route, the files
it keeps private, the bounds on what a client may hold, and another Unix user
of the machine kept out."""
from __future__ import annotations

import json
import logging
import os
import pathlib
import re
import shutil
import socket
import stat
import subprocess
import tempfile
import time
import uuid

import httpx
import pytest

from host_wire import (PNG_1x1, TOKEN, TOKEN_ENV, auth, fake_installer, run_turn, send, start_server,
                       wait_for)

PUBLIC = {("GET", "/"), ("GET", "/health"), ("GET", "/favicon.ico")}


def routes() -> list:
    """(method, path) of every route the host declares, from its source."""
    import dashboard.app
    import dashboard.sessions_api
    found = []
    for module in (dashboard.app, dashboard.sessions_api):
        text = pathlib.Path(module.__file__).read_text()
        for method, path in re.findall(r'@(?:app|router)\.(get|post|patch|delete|put)\("([^"]+)"', text):
            found.append((method.upper(), path))
    assert len(found) > 20, found
    return found


def concrete(path: str) -> str:
    return re.sub(r"\{upload_id\}", "upload_0123456789.png", re.sub(r"\{session_id\}", "s-access", path))


def mode(path: pathlib.Path) -> int:
    return stat.S_IMODE(os.lstat(path).st_mode)


class TestToken:
    def test_every_route_refuses_a_request_without_the_token(self, server):
        checked = 0
        for method, path in routes():
            if (method, path) in PUBLIC:
                continue
            url = concrete(path)
            for headers in ({}, auth("wrong-" + TOKEN), {"Authorization": TOKEN},
                            {"Cookie": f"korvel_dashboard_{server.port}=wrong"}):
                res = server.stranger.request(method, url, json={}, headers=headers)
                assert res.status_code == 401, (method, url, headers, res.text)
                assert "access token" in res.json()["detail"] and res.headers["connection"] == "close"
                checked += 1
        assert checked >= 4 * 20
        # The page, its files and the liveness check stay open, and say nothing private.
        assert server.stranger.get("/").status_code == 200
        assert server.stranger.get("/static/app.js").status_code == 200
        assert server.stranger.get("/favicon.ico").status_code == 200
        health = server.stranger.get("/health").json()
        assert set(health) == {"status", "access", "engine", "version"}
        assert health["access"] == "token required" and health["engine"] == "standin"
        assert "pid" in server.client.get("/health").json()

    def test_a_refused_request_has_no_effect(self, tmp_path):
        bin_dir = tmp_path / "fakebin"
        fake_installer(bin_dir)
        srv = start_server("--engine", "standin", home=tmp_path,
                           env={"PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"})
        korvel = tmp_path / ".korvel"
        try:
            before = sorted(str(p) for p in korvel.rglob("*"))
            config = (korvel / "config.yaml").read_bytes() if (korvel / "config.yaml").exists() else None
            out = srv.stranger
            assert out.post("/chat/send", json={"message": "run: rm -rf ~/important",
                                                "session_id": "s-stranger"}).status_code == 401
            assert out.post("/chat/upload", files={"file": ("a.png", PNG_1x1)}).status_code == 401
            assert out.post("/chat/upload-data-url", json={"data_url": "data:image/png;base64,AAAA"}
                            ).status_code == 401
            assert out.post("/setup/install").status_code == 401
            assert out.post("/model", json={"model": "evil/model"}).status_code == 401
            assert out.post("/profiles/active", json={"name": "evil", "create": True}).status_code == 401
            time.sleep(0.5)  # anything started would have left its mark by now
            assert sorted(str(p) for p in korvel.rglob("*")) == before
            assert not (tmp_path / ".local" / "bin" / "korvel").exists()
            config_now = (korvel / "config.yaml").read_bytes() if (korvel / "config.yaml").exists() else None
            assert config_now == config
            assert srv.client.get("/chat/status/s-stranger").json()["running"] is False
            assert srv.client.get("/chat/history/s-stranger").json()["messages"] == []
            assert srv.client.get("/profiles").json()["profiles"] == ["default"]
        finally:
            srv.stop()

    def test_bearer_and_cookie_open_everything(self, server):
        assert server.client.get("/sessions").status_code == 200
        # Opening the printed address sets the cookie and drops the token from it.
        res = server.stranger.get(f"/?s=abc&token={TOKEN}&x=1")
        assert res.status_code == 303 and res.headers["location"] == "/?s=abc&x=1"
        set_cookie = res.headers["set-cookie"]
        assert set_cookie.startswith(f"korvel_dashboard_{server.port}={TOKEN};")
        for part in ("HttpOnly", "SameSite=Strict", "Path=/"):
            assert part in set_cookie
        assert server.stranger.get("/sessions", headers={"Cookie": f"korvel_dashboard_{server.port}={TOKEN}"}
                                   ).status_code == 200
        # A wrong token in the address sets nothing.
        res = server.stranger.get("/?token=nope")
        assert res.status_code == 303 and res.headers["location"] == "/" and "set-cookie" not in res.headers
        # The stream reads through the cookie, as EventSource does.
        cookie = {"Cookie": f"korvel_dashboard_{server.port}={TOKEN}"}
        with server.stranger.stream("GET", "/chat/stream/s-cookie", headers=cookie) as res:
            assert res.status_code == 200
            assert next(res.iter_lines()).startswith("id:")

    def test_the_token_file_is_private_and_survives_restarts(self, tmp_path):
        srv = start_server("--engine", "standin", home=tmp_path, env={TOKEN_ENV: None})
        path = tmp_path / ".korvel" / "dashboard" / "access-token"
        try:
            token = srv.token
            assert token != TOKEN and len(token) >= 40  # 256 random bits, URL-safe
            assert mode(path) == 0o600 and mode(path.parent) == 0o700
            assert f"http://127.0.0.1:{srv.port}/?token={token}" in srv.output()
            assert srv.client.get("/sessions").status_code == 200
        finally:
            srv.stop()
        path.chmod(0o644)
        srv = start_server("--engine", "standin", home=tmp_path, env={TOKEN_ENV: None})
        try:
            assert srv.token == token and mode(path) == 0o600
            assert srv.client.get("/sessions").status_code == 200
        finally:
            srv.stop()
        # The variable wins over the file, which it leaves alone.
        srv = start_server("--engine", "standin", home=tmp_path, env={TOKEN_ENV: "given-" + "x" * 20})
        try:
            assert srv.stranger.get("/sessions", headers=auth(token)).status_code == 401
            assert srv.client.get("/sessions").status_code == 200
            assert path.read_text().strip() == token
        finally:
            srv.stop()


def test_files_are_private_under_umask_022(tmp_path):
    korvel = tmp_path / ".korvel"
    # Left loose by an earlier version: tightened at start.
    (korvel / "uploads").mkdir(parents=True)
    (korvel / "uploads").chmod(0o755)
    (korvel / "uploads" / "upload_00000000aa.png").write_bytes(PNG_1x1)
    (korvel / "uploads" / "upload_00000000aa.png").chmod(0o644)
    (korvel / "dashboard").mkdir()
    (korvel / "dashboard").chmod(0o755)
    korvel.chmod(0o755)
    srv = start_server("--engine", "standin", home=tmp_path, umask=0o022, env={TOKEN_ENV: None})
    try:
        run_turn(srv, "a private message", "s-private")
        upload = srv.client.post("/chat/upload", files={"file": ("a.png", PNG_1x1)}).json()["id"]
        srv.client.post("/profiles/active", json={"name": "work", "create": True})
        run_turn(srv, "in another profile", "s-work")
        srv.client.post("/profiles/active", json={"name": "default"})
        expected = {
            korvel: 0o700, korvel / "dashboard": 0o700, korvel / "dashboard" / "access-token": 0o600,
            korvel / ".bridge.pid": 0o600, korvel / "uploads": 0o700,
            korvel / "uploads" / upload: 0o600, korvel / "uploads" / "upload_00000000aa.png": 0o600,
            korvel / "dashboard" / "turns.sqlite": 0o600,
            korvel / "profiles" / "work" / "dashboard": 0o700,
            korvel / "profiles" / "work" / "dashboard" / "turns.sqlite": 0o600,
        }
        for suffix in ("-wal", "-shm"):
            for journal in (korvel / "dashboard", korvel / "profiles" / "work" / "dashboard"):
                if (journal / f"turns.sqlite{suffix}").exists():
                    expected[journal / f"turns.sqlite{suffix}"] = 0o600
        assert (korvel / "dashboard" / "turns.sqlite-wal").exists()
        assert {str(p): oct(mode(p)) for p in expected} == {str(p): oct(m) for p, m in expected.items()}
        assert srv.client.get(f"/chat/upload/{upload}").headers["cross-origin-resource-policy"] == "same-origin"
    finally:
        srv.stop()


class TestBounds:
    def test_connections_beyond_the_cap_and_unfinished_requests_are_closed(self):
        srv = start_server("--engine", "standin", env={"KORVEL_DASHBOARD_MAX_CONNECTIONS": "8",
                                                      "KORVEL_DASHBOARD_REQUEST_SECONDS": "1",
                                                      "KORVEL_DASHBOARD_IDLE_SECONDS": "1"})
        idle = []
        try:
            for _ in range(20):
                sock = socket.create_connection(("127.0.0.1", srv.port))
                sock.settimeout(10)
                idle.append(sock)

            def closed(sock) -> bool:
                try:
                    return sock.recv(1) == b""
                except ConnectionResetError:
                    return True
            # Beyond the cap at once, the rest once their request did not come.
            assert sum(closed(s) for s in idle) == 20
            assert "Refused a connection: 8 connections are open already" in srv.output()
            assert "did not arrive within 1 s" in srv.output()
            assert srv.client.get("/health").status_code == 200
            # Repeats are logged once, then with a count.
            assert srv.output().count("Refused a connection") <= 2
            # A kept-alive connection left idle is closed too.
            with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as kept:
                kept.sendall(f"GET /health HTTP/1.1\r\nHost: 127.0.0.1:{srv.port}\r\n\r\n".encode())
                answer = b""
                while True:
                    part = kept.recv(65536)
                    if not part:
                        break
                    answer += part
                assert answer.startswith(b"HTTP/1.1 200") and b"connection: close" not in answer.lower()
        finally:
            for sock in idle:
                sock.close()
            srv.stop()

    def test_session_streams_per_client_are_capped(self):
        srv = start_server("--engine", "standin", env={"KORVEL_DASHBOARD_MAX_STREAMS": "2"})
        try:
            first = srv.client.stream("GET", "/chat/stream/s-a")
            second = srv.client.stream("GET", "/chat/stream/s-b")
            assert first.__enter__().status_code == 200 and second.__enter__().status_code == 200
            res = srv.client.get("/chat/stream/s-c")
            assert res.status_code == 429 and "2 session streams" in res.json()["detail"]
            first.__exit__(None, None, None)

            def opens():
                with srv.client.stream("GET", "/chat/stream/s-c") as res:
                    return res.status_code == 200
            assert wait_for(opens)
            second.__exit__(None, None, None)
        finally:
            srv.stop()


def test_repeated_errors_are_logged_once_with_a_count():
    from dashboard.security import RepeatFilter

    now = [0.0]
    flt = RepeatFilter(60, clock=lambda: now[0])

    def record(text, level=logging.ERROR):
        return logging.LogRecord("asyncio", level, __file__, 1, "%s", (text,), None)
    passed = [r for r in (record("Too many open files") for _ in range(1000)) if flt.filter(r)]
    assert [r.getMessage() for r in passed] == [
        "Too many open files", "Too many open files (repeated 10 times in 60 s)",
        "Too many open files (repeated 100 times in 60 s)", "Too many open files (repeated 1000 times in 60 s)"]
    assert flt.filter(record("another error")) and flt.filter(record("info", logging.INFO))
    assert all(flt.filter(record("info", logging.INFO)) for _ in range(50))
    now[0] = 61.0
    again = record("Too many open files")
    assert flt.filter(again) and "999 time(s) more before" in again.getMessage()


# -- another user of the machine ------------------------------------------------------

STRANGER_SCRIPT = r"""
import json, pathlib, socket, sys, urllib.request, urllib.error
home, port = pathlib.Path(sys.argv[1]), int(sys.argv[2])
out = {}
for name in ("token", "journal", "uploads", "korvel"):
    path = {"token": home / ".korvel/dashboard/access-token", "journal": home / ".korvel/dashboard/turns.sqlite",
            "uploads": home / ".korvel/uploads", "korvel": home / ".korvel"}[name]
    try:
        if path.is_dir() if name in ("uploads", "korvel") else False:
            out[name] = sorted(p.name for p in path.iterdir())
        else:
            out[name] = path.read_bytes()[:10].hex()
    except OSError as exc:
        out[name] = type(exc).__name__
def call(method, path, body=None):
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method,
                                 data=json.dumps(body).encode() if body is not None else None,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as res:
            return res.status
    except urllib.error.HTTPError as exc:
        return exc.code
out["send"] = call("POST", "/chat/send", {"message": "run: rm -rf ~/important", "session_id": "s-x"})
out["sessions"] = call("GET", "/sessions")
out["history"] = call("GET", "/chat/history/s-mine")
# Holding many idle connections: the host closes those beyond one client's share.
held, closed = [], 0
for _ in range(60):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
    except OSError:
        closed += 1
        continue
    held.append(s)
for s in held:
    s.settimeout(0.5)
    try:
        closed += s.recv(1) == b""
    except socket.timeout:
        pass
    except OSError:
        closed += 1
out["connections_closed"] = closed
print(json.dumps(out))
sys.stdout.flush()
sys.stdin.read()   # keeps the connections until told
"""


@pytest.fixture
def stranger():
    """A throwaway Unix user (needs root and useradd), removed afterwards."""
    if os.geteuid() != 0:
        pytest.skip("needs root to add a throwaway user")
    for tool in ("useradd", "userdel", "runuser"):
        if not shutil.which(tool):
            pytest.skip(f"no {tool} on this machine")
    python = shutil.which("python3", path="/usr/bin:/bin")
    if python is None:
        pytest.skip("no system python3 for the other user")
    name = "kvst" + uuid.uuid4().hex[:8]
    subprocess.run(["useradd", "--no-create-home", "--shell", "/bin/false", name], check=True)
    try:
        yield name, python
    finally:
        subprocess.run(["userdel", name], check=False)


def test_another_user_can_neither_read_nor_send(stranger, tmp_path):
    name, python = stranger
    # A home as they usually are: other users may pass through it.
    home = pathlib.Path(tempfile.mkdtemp(prefix="home-", dir="/tmp"))
    home.chmod(0o755)
    script = home / "stranger.py"
    script.write_text(STRANGER_SCRIPT)
    script.chmod(0o644)
    srv = start_server("--engine", "standin", home=home, umask=0o022,
                       env={TOKEN_ENV: None, "KORVEL_DASHBOARD_MAX_CLIENT_CONNECTIONS": "8"})
    other = None
    try:
        run_turn(srv, "my secret plans", "s-mine")
        srv.client.post("/chat/upload", files={"file": ("a.png", PNG_1x1)})
        other = subprocess.Popen(["runuser", "-u", name, "--", python, str(script), str(home), str(srv.port)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        seen = json.loads(other.stdout.readline())
        for what in ("token", "journal", "uploads", "korvel"):
            assert seen[what] == "PermissionError", (what, seen)
        assert (seen["send"], seen["sessions"], seen["history"]) == (401, 401, 401)
        # While the other user holds what is left of their share, the host's user gets in.
        assert seen["connections_closed"] >= 60 - 8
        assert srv.client.get("/chat/history/s-mine").json()["messages"][0]["content"] == "my secret plans"
        assert srv.client.get("/chat/status/s-x").json()["running"] is False
        assert "its client holds 8 connections already" in srv.output()
    finally:
        if other is not None:
            other.stdin.close()
            other.wait(timeout=30)
        srv.stop()
        shutil.rmtree(home, ignore_errors=True)


def test_a_token_file_that_is_unusable_or_cannot_be_written(tmp_path, monkeypatch):
    from dashboard import access
    monkeypatch.delenv(TOKEN_ENV, raising=False)
    root = tmp_path / ".korvel"
    (root / "dashboard").mkdir(parents=True)
    (root / "dashboard" / "access-token").write_text("short\n")
    token, source = access.load_token(root)
    assert len(token) >= 40 and source == str(root / "dashboard" / "access-token")
    assert (root / "dashboard" / "access-token").read_text().strip() == token
    # Where nothing can be kept, this run still has a token of its own.
    blocked = tmp_path / "a-file"
    blocked.write_text("")
    token, source = access.load_token(blocked)
    assert len(token) >= 40 and source.startswith("this run's output only")
    monkeypatch.setenv(TOKEN_ENV, "has a space")
    with pytest.raises(SystemExit, match="without spaces"):
        access.load_token(root)


@pytest.mark.skipif(not hasattr(socket, "AF_NETLINK"), reason="socket diagnostics are Linux's")
def test_the_owner_of_a_local_peer_is_found():
    from dashboard.limits import peer_uid
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        with socket.create_connection(listener.getsockname()) as client:
            accepted, peer = listener.accept()
            with accepted:
                assert peer_uid(peer, accepted.getsockname()) == os.getuid()
                assert peer_uid(("127.0.0.1", 1), accepted.getsockname()) is None
