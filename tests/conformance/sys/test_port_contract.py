"""Port guard through the module's public surface, with the socket, the
owner-finding tools, the signals and the sleeps replaced at call time."""
import errno
import logging
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from bridge.supervisor import port

LOG = "bridge.supervisor.port"
OWNER = 2 ** 22 + 77


def test_surface():
    assert port.logger.name == LOG and isinstance(port.logger, logging.Logger)
    for name in ("is_port_in_use", "find_port_owner", "_find_port_owner_windows",
                 "free_port", "ensure_port_free"):
        assert callable(getattr(port, name))


class FakeSocket:
    made = []
    code = 111
    raise_on_connect = None

    def __init__(self, family=-1, type=-1, *a, **k):
        self.family, self.type = family, type
        self.timeout = "unset"
        self.connected_to = None
        self.closed = False
        FakeSocket.made.append(self)

    def settimeout(self, t):
        self.timeout = t

    def connect_ex(self, addr):
        self.connected_to = addr
        if FakeSocket.raise_on_connect:
            raise FakeSocket.raise_on_connect
        return FakeSocket.code

    def close(self):
        self.closed = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@pytest.fixture
def fake_socket(monkeypatch):
    FakeSocket.made = []
    FakeSocket.code = 111
    FakeSocket.raise_on_connect = None
    monkeypatch.setattr(socket, "socket", FakeSocket)
    return FakeSocket


class TestIsPortInUse:
    @pytest.mark.parametrize("code, expected", [(0, True), (111, False), (11, False)])
    def test_connect_code(self, fake_socket, code, expected):
        fake_socket.code = code
        assert port.is_port_in_use(8420) is expected
        [s] = fake_socket.made
        assert (s.family, s.type) == (socket.AF_INET, socket.SOCK_STREAM)
        assert s.timeout == 1 and s.connected_to == ("127.0.0.1", 8420) and s.closed

    def test_keywords_and_host(self, fake_socket):
        fake_socket.code = 0
        assert port.is_port_in_use(port=9, host="10.1.2.3") is True
        assert fake_socket.made[0].connected_to == ("10.1.2.3", 9)

    def test_error_before_code_closes_and_propagates(self, fake_socket):
        fake_socket.raise_on_connect = socket.gaierror(-2, "no such host")
        with pytest.raises(socket.gaierror):
            port.is_port_in_use(1, "nowhere.invalid")
        assert fake_socket.made[0].closed

    @pytest.mark.parametrize("args", [("8420",), (None,), (8420, None), (8420, 5)])
    def test_type_checks(self, fake_socket, args):
        with pytest.raises(TypeError):
            port.is_port_in_use(*args)
        assert fake_socket.made == []

    def test_real_listener(self):
        srv = socket.socket()
        srv.bind(("127.0.0.1", 0))
        srv.listen()
        try:
            assert port.is_port_in_use(srv.getsockname()[1]) is True
        finally:
            srv.close()


class Runs:
    """subprocess.run stand-in: answers per program name."""

    def __init__(self, monkeypatch, answers):
        self.calls = []
        self.answers = answers
        monkeypatch.setattr(subprocess, "run", self)

    def __call__(self, args, **kw):
        self.calls.append((list(args), kw))
        a = self.answers.get(args[0])
        if a is None or isinstance(a, BaseException):
            raise a if a is not None else FileNotFoundError(2, "missing", args[0])
        code, out = a
        return subprocess.CompletedProcess(args, code, out, "")


def captured(kw):
    assert kw.get("timeout") == 5
    assert kw.get("text") is True or kw.get("universal_newlines") is True
    assert kw.get("capture_output") is True or (
        kw.get("stdout") == subprocess.PIPE and kw.get("stderr") == subprocess.PIPE)
    return True


class TestFindPortOwner:
    def test_lsof_first_line(self, monkeypatch):
        r = Runs(monkeypatch, {"lsof": (0, "  412\n977\n")})
        assert port.find_port_owner(port=8420) == 412
        [(args, kw)] = r.calls
        assert args == ["lsof", "-ti", ":8420"] and captured(kw)

    @pytest.mark.parametrize("lsof", [
        (1, "412\n"), (0, "   \n"), (0, "abc\n12\n"),
        FileNotFoundError(2, "x"), subprocess.TimeoutExpired("lsof", 5)])
    def test_ss_fallback(self, monkeypatch, lsof):
        ss_out = 'LISTEN 0 5 127.0.0.1:8420 *:* users:(("python",pid=5511,fd=3),("x",pid=9,fd=1))\n'
        r = Runs(monkeypatch, {"lsof": lsof, "ss": (0, ss_out)})
        assert port.find_port_owner(8420) == 5511
        args, kw = r.calls[-1]
        assert args == ["ss", "-tlnp", "sport = :8420"] and captured(kw)

    @pytest.mark.parametrize("ss", [(1, "pid=5"), (0, "nothing"), FileNotFoundError(2, "x"),
                                    subprocess.TimeoutExpired("ss", 5)])
    def test_nothing_found(self, monkeypatch, ss):
        Runs(monkeypatch, {"lsof": (1, ""), "ss": ss})
        assert port.find_port_owner(8420) is None

    def test_windows(self, monkeypatch):
        out = ("  TCP    0.0.0.0:84201   0.0.0.0:0   LISTENING   111\r\n"
               "  TCP    0.0.0.0:8420    0.0.0.0:0   LISTENING   222\r\n")
        r = Runs(monkeypatch, {"netstat": (0, out)})
        monkeypatch.setattr(sys, "platform", "win32")
        assert port.find_port_owner(8420) == 111  # plain substring: first line wins
        assert [c[0] for c in r.calls] == [["netstat", "-ano"]]
        assert captured(r.calls[0][1])

    def test_windows_helper_direct(self, monkeypatch):
        out = ("  TCP    0.0.0.0:8420    0.0.0.0:0   ESTABLISHED   1\n"
               "  TCP    0.0.0.0:8420    0.0.0.0:0   LISTENING   333\n")
        Runs(monkeypatch, {"netstat": (0, out)})
        assert port._find_port_owner_windows(port=8420) == 333
        Runs(monkeypatch, {})
        assert port._find_port_owner_windows(8420) is None

    def test_type_checks(self, monkeypatch):
        r = Runs(monkeypatch, {})
        for f in (port.find_port_owner, port._find_port_owner_windows, port.free_port,
                  port.ensure_port_free):
            with pytest.raises(TypeError):
                f("8420")
            with pytest.raises(TypeError):
                f(None)
        assert r.calls == []


class World:
    """Replaces what free_port / ensure_port_free reach at call time."""

    def __init__(self, monkeypatch, in_use, owner=OWNER, kill_error=None):
        self.events = []
        self.in_use = list(in_use)
        self.kill_error = kill_error
        monkeypatch.setattr(port, "is_port_in_use", self._in_use)
        monkeypatch.setattr(port, "find_port_owner", self._owner)
        self.owner = owner
        monkeypatch.setattr(os, "kill", self._kill)
        monkeypatch.setattr(time, "sleep", lambda s: self.events.append(("sleep", s)))

    def _in_use(self, p, host="127.0.0.1"):
        self.events.append(("in_use?", p, host))
        return self.in_use.pop(0)

    def _owner(self, p):
        self.events.append(("owner?", p))
        return self.owner

    def _kill(self, p, s):
        self.events.append(("kill", p, s))
        if self.kill_error:
            raise self.kill_error


U = ("in_use?", 8420, "127.0.0.1")


class TestFreePort:
    def test_free(self, monkeypatch, logs):
        w = World(monkeypatch, [False])
        assert port.free_port(8420) is True
        assert w.events == [U] and logs(LOG) == []

    def test_no_owner(self, monkeypatch, logs):
        w = World(monkeypatch, [True], owner=None)
        assert port.free_port(8420) is False
        assert w.events == [U, ("owner?", 8420)]
        assert logs(LOG) == [("WARNING", "Port %d is in use but can't find owner", (8420,))]

    def test_own_port(self, monkeypatch, logs):
        w = World(monkeypatch, [True], owner=os.getpid())
        assert port.free_port(8420) is True
        assert not [e for e in w.events if e[0] == "kill"]
        assert logs(LOG) == [("DEBUG", "We own port %d ourselves", (8420,))]

    def test_freed_after_sigterm(self, monkeypatch, logs):
        w = World(monkeypatch, [True, True, False])
        assert port.free_port(8420) is True
        assert w.events == [U, ("owner?", 8420), ("kill", OWNER, signal.SIGTERM),
                            U, ("sleep", 0.1), U]
        assert logs(LOG) == [
            ("INFO", "🔓 Port %d held by PID %d, killing...", (8420, OWNER)),
            ("INFO", "   ✅ Port %d freed", (8420,)),
        ]

    @pytest.mark.parametrize("platform, final, result", [
        ("linux", False, True), ("linux", True, False), ("win32", False, True)])
    def test_sigkill_step(self, monkeypatch, logs, platform, final, result):
        w = World(monkeypatch, [True] + [True] * 30 + [final])
        monkeypatch.setattr(sys, "platform", platform)
        assert port.free_port(8420) is result
        tail = [("kill", OWNER, signal.SIGKILL)] if platform != "win32" else []
        tail += [("sleep", 0.5), U]
        assert w.events[-len(tail):] == tail
        assert w.events.count(("sleep", 0.1)) == 30
        assert len(logs(LOG)) == 1  # only the kill message

    @pytest.mark.parametrize("err", [ProcessLookupError(errno.ESRCH, "No such process"),
                                     PermissionError(errno.EPERM, "Operation not permitted")])
    def test_kill_refused(self, monkeypatch, logs, err):
        World(monkeypatch, [True], kill_error=err)
        assert port.free_port(8420) is False
        lvl, msg, args = logs(LOG)[-1]
        assert (lvl, msg) == ("WARNING", "   ⚠️ Could not kill PID %d: %s")
        assert args[0] == OWNER and str(args[1]) == str(err)

    def test_other_kill_error(self, monkeypatch):
        World(monkeypatch, [True], kill_error=OSError(errno.EINVAL, "bad"))
        with pytest.raises(OSError):
            port.free_port(8420)


class TestEnsurePortFree:
    def test_free_at_once(self, monkeypatch, logs):
        w = World(monkeypatch, [False])
        monkeypatch.setattr(port, "free_port", lambda p: pytest.fail("free_port"))
        assert port.ensure_port_free(port=8420) is True
        assert w.events == [U] and logs(LOG) == []

    @pytest.mark.parametrize("freed, last, result", [
        (True, None, True), (False, False, True), (False, True, False)])
    def test_paths(self, monkeypatch, logs, freed, last, result):
        w = World(monkeypatch, [True] + ([] if last is None else [last]))
        monkeypatch.setattr(port, "free_port", lambda p: w.events.append(("free", p)) or freed)
        assert port.ensure_port_free(8420) is result
        expected = [U, ("free", 8420)]
        msgs = [("INFO", "🔍 Port %d is occupied, attempting cleanup...", (8420,))]
        if last is not None:
            expected += [("sleep", 2), U]
            msgs.append(("INFO", "   ⏳ Waiting 2s for port %d to become free...", (8420,)))
        if last:
            msgs.append(("ERROR", "   ❌ Could not free port %d", (8420,)))
        assert w.events == expected
        assert logs(LOG) == msgs


def test_tools_get_their_arguments_as_lists(monkeypatch):
    """Commands are handed to subprocess.run as lists, as written by hand."""
    seen = []

    def run(cmd, **kw):
        seen.append(cmd)
        return subprocess.CompletedProcess(cmd, 1, "", "")

    monkeypatch.setattr(subprocess, "run", run)
    port.find_port_owner(8420)
    port._find_port_owner_windows(8420)
    assert seen == [["lsof", "-ti", ":8420"], ["ss", "-tlnp", "sport = :8420"],
                    ["netstat", "-ano"]]
