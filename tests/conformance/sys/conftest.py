"""Fixtures of the process-supervision and setup checks: log records with
format and arguments kept apart, a clean ~/.korvel, a closed package index,
and child interpreters for operations that end the process."""
import json
import logging
import os
import shutil
import socket
import subprocess
import sys
import textwrap

import pytest


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture(autouse=True)
def _clean(home, monkeypatch):
    # Set, then removed: monkeypatch then also removes what a test's own call
    # (setup_agent_environment) sets, instead of leaving it to later tests.
    for var in ("OPENROUTER_API_KEY", "ZALIX_MODEL", "ZALIX_PROVIDER", "ZALIX_BASE_URL"):
        monkeypatch.setenv(var, "")
        monkeypatch.delenv(var)
    for var in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(var, "127.0.0.1,localhost")
    monkeypatch.setenv("BRIDGE_PYPI_BASE_URL", f"http://127.0.0.1:{closed_port()}")
    for name in (".korvel", ".local"):
        shutil.rmtree(home / name, ignore_errors=True)
    yield
    for name in (".korvel", ".local"):
        shutil.rmtree(home / name, ignore_errors=True)


@pytest.fixture
def logs(caplog):
    """(level, msg, args) of the records of one logger."""
    caplog.set_level(logging.DEBUG)

    def get(name):
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == name]

    return get


PRELUDE = '''\
import json, logging, sys
class _H(logging.Handler):
    def emit(self, r):
        args = [a if isinstance(a, (int, float, str)) else repr(a) for a in (r.args or ())]
        sys.stderr.write("REC " + json.dumps([r.name, r.levelname, r.msg, args]) + "\\n")
        sys.stderr.flush()
logging.getLogger().addHandler(_H())
logging.getLogger().setLevel(logging.DEBUG)
'''


class Child:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.records = [tuple(json.loads(l[4:])) for l in proc.stderr.splitlines()
                        if l.startswith("REC ")]

    def of(self, logger):
        return [[lvl, msg, args] for name, lvl, msg, args in self.records if name == logger]


@pytest.fixture
def run_py(home):
    def run(code, env=None, timeout=60):
        e = dict(os.environ)
        e["HOME"] = str(home)
        e.update(env or {})
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                              env=e, capture_output=True, text=True, timeout=timeout)
        return Child(proc)
    return run
