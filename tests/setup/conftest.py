"""Fixtures of the setup tests: fake programs on PATH, a clean ~/.korvel, a
local stand-in for the PyPI JSON API, a fake installed distribution and a
fake pip, and a runner for child interpreters."""
import http.server
import json
import os
import shutil
import socket
import sys
import textwrap
import threading

import pytest

from setup_support import SYSTEM_PATH


def _closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture(autouse=True)
def clean_home(home, monkeypatch):
    """~/.korvel and ~/.local start and end empty, the key variable is unset,
    and the package index is a closed local port: no test reaches the
    network unless it serves the index itself (`pypi`)."""
    monkeypatch.delenv("OPENROUTER_API_KEY", raising=False)
    for var in ("no_proxy", "NO_PROXY"):  # the local index is never proxied
        monkeypatch.setenv(var, "127.0.0.1,localhost")
    monkeypatch.setenv("BRIDGE_PYPI_BASE_URL", f"http://127.0.0.1:{_closed_port()}")
    for name in (".korvel", ".local"):
        shutil.rmtree(home / name, ignore_errors=True)
    yield
    for name in (".korvel", ".local"):
        shutil.rmtree(home / name, ignore_errors=True)


class FakeBin:
    """A directory of executable shell scripts, put in front of PATH."""

    def __init__(self, root):
        self.dir = root
        self.dir.mkdir()

    def add(self, name, body, mode=0o755):
        p = self.dir / name
        p.write_text("#!/bin/sh\n" + textwrap.dedent(body))
        p.chmod(mode)
        return p


@pytest.fixture
def fake_bin(tmp_path, monkeypatch):
    fb = FakeBin(tmp_path / "bin")
    monkeypatch.setenv("PATH", f"{fb.dir}:{SYSTEM_PATH}")
    return fb


@pytest.fixture
def restore_sys_path(monkeypatch):
    """sys.path as a private copy for the test; the original comes back."""
    monkeypatch.setattr(sys, "path", list(sys.path))
    return sys.path


# ---- PyPI stand-in ---------------------------------------------------------


class FakePyPI:
    def __init__(self):
        self.status = 200
        self.body = b"{}"
        self.requests = []
        handler = self._handler()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(
            target=self.server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def serve(self, document=None, *, status=200, raw=None):
        self.status = status
        self.body = raw if raw is not None else json.dumps(document).encode()

    def version(self, v):
        self.serve({"info": {"name": "korvel-dashboard", "version": v}, "releases": {}})

    def _handler(self):
        pypi = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                pypi.requests.append(self.path)
                self.send_response(pypi.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(pypi.body)))
                self.end_headers()
                self.wfile.write(pypi.body)

            def log_message(self, *args):
                pass

        return Handler

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def pypi(monkeypatch):
    server = FakePyPI()
    monkeypatch.setenv("BRIDGE_PYPI_BASE_URL", server.base)
    yield server
    server.close()


@pytest.fixture
def closed_port():
    """A local port nobody listens on (bound, then released)."""
    return _closed_port()


# ---- fake distribution and pip -----------------------------------------------


FAKE_PIP = '''\
import json, os, sys, time
with open(os.environ["FAKE_PIP_LOG"], "a") as f:
    f.write(json.dumps({"exe": sys.executable, "args": sys.argv[1:]}) + "\\n")
time.sleep(float(os.environ.get("FAKE_PIP_SLEEP", "0")))
sys.exit(int(os.environ.get("FAKE_PIP_STATUS", "0")))
'''


@pytest.fixture
def fake_pip(tmp_path, monkeypatch):
    """A `pip` package on PYTHONPATH that records its interpreter and
    arguments and exits with FAKE_PIP_STATUS; `calls()` gives the records."""
    root = tmp_path / "fakepip"
    (root / "pip").mkdir(parents=True)
    (root / "pip" / "__init__.py").write_text("")
    (root / "pip" / "__main__.py").write_text(FAKE_PIP)
    log = tmp_path / "pip-calls.jsonl"
    monkeypatch.setenv("FAKE_PIP_LOG", str(log))

    class Pip:
        path = root

        @staticmethod
        def calls():
            if not log.exists():
                return []
            return [json.loads(line) for line in log.read_text().splitlines()]

    return Pip


@pytest.fixture
def child_env(tmp_path, fake_bin, fake_pip):
    """Environment of a child bridge: its own HOME, the fake programs first on
    PATH, the fake pip on PYTHONPATH (the fake distribution is added by the
    test). Network access goes nowhere unless a test points it at `pypi`."""
    home = tmp_path / "childhome"
    home.mkdir()
    env = dict(os.environ)
    env.update(
        HOME=str(home),
        PATH=f"{fake_bin.dir}:{SYSTEM_PATH}",
        PYTHONPATH=str(fake_pip.path),
        PYTHONDONTWRITEBYTECODE="1",
    )
    env.pop("OPENROUTER_API_KEY", None)
    env.pop("KORVEL_HOME", None)
    return env


