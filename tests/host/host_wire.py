"""A real host process on a free port, and helpers that read its wire.

Every server runs as ``python -m dashboard`` in a child process with a home
directory of its own, so start-up (PID file, port guard, signal handlers)
and the chat modules' load-time effects happen as they do for a user.
"""
from __future__ import annotations

import atexit
import importlib.util
import json
import textwrap
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

import httpx

READ_TIMEOUT = 30.0

#: The access token of every host started here, unless a test gives another
#: (``env={"KORVEL_DASHBOARD_TOKEN": ...}``, or None for the host's own).
TOKEN = "test-token-" + os.urandom(16).hex()
TOKEN_ENV = "KORVEL_DASHBOARD_TOKEN"


def auth(token: str = TOKEN) -> dict:
    """Headers that carry the access token."""
    return {"Authorization": f"Bearer {token}"}


def cookie(url: str, token: str = TOKEN) -> dict:
    """The host's access cookie for a browser context (``context.add_cookies([...])``)."""
    port = urllib.parse.urlsplit(url).port
    return {"name": f"korvel_dashboard_{port}", "value": token, "url": f"http://127.0.0.1:{port}/",
            "httpOnly": True, "sameSite": "Strict"}


def let_in(context, url: str, token: str = TOKEN) -> None:
    """Give a browser context the host's cookie, as opening the printed
    address does: every browser test opens the page this way."""
    context.add_cookies([cookie(url, token)])

# Homes of the servers started here; removed when the test run ends.
_HOMES = pathlib.Path(tempfile.mkdtemp(prefix="host-tests-"))
atexit.register(shutil.rmtree, _HOMES, ignore_errors=True)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, home: pathlib.Path, port: int, proc: subprocess.Popen, log: pathlib.Path,
                 token: str | None = TOKEN):
        self.home = home
        self.port = port
        self.proc = proc
        self.log = log
        self.url = f"http://127.0.0.1:{port}"
        #: None until read from the host's own token file (see ``start_server``).
        self.token = token
        self.client = httpx.Client(base_url=self.url, timeout=httpx.Timeout(READ_TIMEOUT),
                                   headers=auth(token) if token else None)
        #: The same host without the token.
        self.stranger = httpx.Client(base_url=self.url, timeout=httpx.Timeout(READ_TIMEOUT))

    @property
    def page_url(self) -> str:
        """The address the host prints at start: the page, with the token."""
        return f"{self.url}/?token={self.token}"

    def use_token(self, token: str) -> None:
        self.token = token
        self.client.headers.update(auth(token))

    def output(self) -> str:
        return self.log.read_text(errors="replace")

    def stop(self) -> int:
        self.client.close()
        self.stranger.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        return self.proc.returncode

    def kill(self) -> None:
        """End the host at once, as a crash would (SIGKILL)."""
        self.client.close()
        self.stranger.close()
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)


def start_server(*args: str, env: dict | None = None, home: pathlib.Path | None = None,
                 port: int | None = None, umask: int = -1, command: list | None = None) -> Server:
    """A host on ``port`` (a free one) with ``home`` as its HOME. Its token
    is ``TOKEN`` unless ``env`` names another; ``env={TOKEN_ENV: None}``
    lets the host make its own (read from its token file once it is up).
    ``env`` values of None unset the variable. ``command`` replaces
    ``python -m dashboard`` (a host installed elsewhere)."""
    home = home or pathlib.Path(tempfile.mkdtemp(prefix="home-", dir=_HOMES))
    port = port or free_port()
    log = home / "server.log"
    child_env = dict(os.environ)
    # Unset: any of the model endpoint's settings would make the bundled engine
    # call out instead of playing its script.
    for name in ("OPENROUTER_API_KEY", "KORVEL_HOME", "ZALIX_MODEL", "KORVEL_GATEWAY_SESSION",
                 "KORVEL_DASHBOARD_SERVICE", "KORVEL_DASHBOARD_PORT", "ZALIX_BASE_URL",
                 "ZALIX_PROVIDER"):
        child_env.pop(name, None)
    child_env.update({"HOME": str(home), "PYTHONUNBUFFERED": "1", TOKEN_ENV: TOKEN})
    for name, value in (env or {}).items():
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = value
    token = child_env.get(TOKEN_ENV)
    with open(log, "wb") as out:
        proc = subprocess.Popen([*(command or [sys.executable, "-m", "dashboard"]),
                                 "--port", str(port), *args],
                                env=child_env, stdout=out, stderr=subprocess.STDOUT,
                                cwd=str(home), umask=umask)
    server = Server(home, port, proc, log, token)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise AssertionError(f"host exited with {proc.returncode}:\n{server.output()}")
        # No connection before the port guard is done: it signals whatever
        # process holds a socket on the port, clients included.
        if "Serving on http://" not in server.output():
            time.sleep(0.05)
            continue
        if server.token is None:
            server.use_token((home / ".korvel" / "dashboard" / "access-token").read_text().strip())
        try:
            if server.client.get("/health", timeout=1).status_code == 200:
                return server
        except httpx.HTTPError:
            pass
        time.sleep(0.1)
    server.stop()
    raise AssertionError(f"host did not come up:\n{server.output()}")


class Event:
    """One event from the wire: its id, type, turn and client_id tags and the record's data."""

    __slots__ = ("id", "name", "turn", "data", "client_id")

    def __init__(self, id, name, turn, data, client_id=None):
        self.id, self.name, self.turn, self.data = id, name, turn, data
        self.client_id = client_id

    def key(self):
        return (self.id, self.name, self.turn, json.dumps(self.data, sort_keys=True))

    def __repr__(self):
        return f"Event({self.id!r}, {self.name!r}, {self.turn!r}, {str(self.data)[:60]})"


def parse_events(lines):
    """Events from SSE lines; comments skipped. The session stream's
    ``{"turn", "client_id", "data"}`` wrapping is taken apart."""
    event, data, ident = None, [], None
    for line in lines:
        if line == "":
            if data:
                payload = json.loads("\n".join(data))
                if isinstance(payload, dict) and set(payload) == {"turn", "client_id", "data"}:
                    yield Event(ident, event or "message", payload["turn"], payload["data"],
                                payload["client_id"])
                else:
                    yield Event(ident, event or "message", None, payload)
            event, data, ident = None, [], None
        elif line.startswith(":"):
            continue
        elif line.startswith("event:"):
            event = line[6:].strip()
        elif line.startswith("data:"):
            data.append(line[5:].lstrip(" "))
        elif line.startswith("id:"):
            ident = line[3:].lstrip(" ")


class _WireReader:
    """A stream read from the wire: closes its response, also as a context manager."""

    def close(self):
        self._cm.__exit__(None, None, None)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Stream(_WireReader):
    """The event stream of one session, read from the wire.

    ``sync`` is the first event's data; ``seen`` the (type, data) pairs read
    since, ``events`` the same as Event objects; ``last_id`` the id of the
    last event read (what a client resumes from).
    """

    def __init__(self, server: Server, session_id: str, last_event_id: str | None = None,
                 query: bool = False, timeout: float | None = None):
        url = f"/chat/stream/{session_id}"
        headers = {}
        if last_event_id is not None:
            if query:
                url += "?" + urllib.parse.urlencode({"last_event_id": last_event_id})
            else:
                headers["Last-Event-ID"] = last_event_id
        self._cm = server.client.stream("GET", url, headers=headers,
                                        timeout=httpx.Timeout(timeout or READ_TIMEOUT))
        self.response = self._cm.__enter__()
        assert self.response.status_code == 200, self.response.read()
        assert self.response.headers["content-type"].startswith("text/event-stream")
        self._events = parse_events(self.response.iter_lines())
        first = next(self._events)
        assert first.name == "sync", first
        self.sync = first.data
        self.last_id = first.id
        self.seen: list = []
        self.events: list = []

    def next(self):
        item = next(self._events)
        self.events.append(item)
        self.seen.append((item.name, item.data))
        self.last_id = item.id
        return item.name, item.data

    def until(self, event: str, turn: str | None = None):
        """Read up to and including the first ``event`` (of ``turn`` when
        given); returns its data. A turn that ends first is an error."""
        while True:
            name, data = self.next()
            tag = self.events[-1].turn
            if name == event and (turn is None or tag == turn):
                return data
            if name == "turn_ended" and event != "turn_ended" and (turn is None or tag == turn):
                raise AssertionError(f"turn ended before {event!r}: {self.seen}")

    def turn(self, turn_id: str):
        """The (type, data) pairs of ``turn_id`` read so far."""
        return [(e.name, e.data) for e in self.events if e.turn == turn_id]



class HostEvents(_WireReader):
    """The host-wide stream (``GET /events``), read from the wire: ``hello``
    is the first event's data, ``events`` the Event objects read since."""

    def __init__(self, server: Server, last_event_id: str | None = None):
        headers = {"Last-Event-ID": last_event_id} if last_event_id else {}
        self._cm = server.client.stream("GET", "/events", headers=headers,
                                        timeout=httpx.Timeout(READ_TIMEOUT))
        self.response = self._cm.__enter__()
        assert self.response.status_code == 200, self.response.read()
        self._events = parse_events(self.response.iter_lines())
        self.events: list = []
        self.hello = None
        if last_event_id is None:
            first = next(self._events)
            assert first.name == "hello", first
            self.hello = first.data
            self.last_id = first.id

    def next(self):
        item = next(self._events)
        self.events.append(item)
        if item.id:
            self.last_id = item.id
        return item.name, item.data

    def until(self, event: str, **match):
        """Read up to the first ``event`` whose data has the ``match`` items; its data."""
        while True:
            name, data = self.next()
            if name == event and all(data.get(k) == v for k, v in match.items()):
                return data



def send(server: Server, message: str, session_id: str | None = None, **extra) -> dict:
    body = {"message": message, **extra}
    if session_id:
        body["session_id"] = session_id
    res = server.client.post("/chat/send", json=body)
    assert res.status_code == 200, res.text
    return res.json()


def run_turn(server: Server, message: str, session_id: str, **extra):
    """Send ``message`` and read its turn to the end; the turn's (type, data) list."""
    with Stream(server, session_id) as stream:
        res = send(server, message, session_id, **extra)
        assert res["status"] == "started", res
        stream.until("turn_ended", res["turn_id"])
        return stream.turn(res["turn_id"])


def replies(events) -> str:
    return "".join(data for name, data in events if name == "delta")


def wait_for(predicate, timeout=15.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("condition not reached in time")


def history(server: Server, session_id: str) -> list:
    res = server.client.get(f"/chat/history/{session_id}")
    assert res.status_code == 200, res.text
    return res.json()["messages"]


def idle(server: Server, session_id: str) -> dict:
    def check():
        st = server.client.get(f"/chat/status/{session_id}").json()
        return st if not st["running"] and not st["pending"] else None
    return wait_for(check)


def make_png(width: int, height: int) -> bytes:
    """A small RGB gradient PNG."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(v for x in range(width) for v in (x * 4 % 256, y * 4 % 256, 160))
                    for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def _standin_dir() -> pathlib.Path:
    spec = importlib.util.find_spec("dashboard")
    assert spec is not None and spec.submodule_search_locations
    return pathlib.Path(list(spec.submodule_search_locations)[0]) / "standin"


#: The stand-in engine shipped in the installed package.
STANDIN = _standin_dir()


def fake_installer(bin_dir: pathlib.Path) -> None:
    """A curl that hands bash a script installing the stand-in as the engine."""
    script = textwrap.dedent(f"""\
        #!/bin/sh
        cat <<'SCRIPT'
        echo "Installing korvel-agent"
        echo "warning: this goes to stderr" >&2
        mkdir -p "$HOME/.korvel" "$HOME/.local/bin"
        cp -r "{STANDIN}" "$HOME/.korvel/korvel-agent"
        ln -s "$HOME/.korvel/korvel-agent/bin/korvel" "$HOME/.local/bin/korvel"
        echo "Done   "
        SCRIPT
        """)
    bin_dir.mkdir(parents=True)
    (bin_dir / "curl").write_text(script)
    (bin_dir / "curl").chmod(0o755)


# A 1x1 PNG.
PNG_1x1 = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360f8cfc0f01f0005050201a5"
    "b0b3a50000000049454e44ae426082")


def standin_store(home: pathlib.Path):
    """The bundled engine's session store of a host's default profile, opened
    beside the host (for filling it with many sessions quickly)."""
    spec = importlib.util.spec_from_file_location("standin_korvel_state", STANDIN / "korvel_state.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.SessionDB(db_path=home / ".korvel" / "state.db")
