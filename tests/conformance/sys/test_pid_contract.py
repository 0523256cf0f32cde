"""PID file and stale-bridge cleanup through the module's public surface."""
import errno
import logging
import os
import pathlib
import signal
import sys
import time

import pytest

from bridge.supervisor import pid

LOG = "bridge.supervisor.pid"
# Beyond any pid_max: no /proc entry, so only the faked helpers decide.
FAKE_PID = 2 ** 22 + 4321


@pytest.fixture
def pid_file(home):
    f = home / ".korvel" / ".bridge.pid"
    yield f
    f.unlink(missing_ok=True)


def test_surface(home):
    assert isinstance(pid.PID_FILE, pathlib.Path)
    assert pid.PID_FILE == home / ".korvel" / ".bridge.pid"
    assert isinstance(pid.logger, logging.Logger) and pid.logger.name == LOG
    assert pid.os is os


def test_write_then_read_and_cleanup_logs(pid_file, logs):
    assert pid.write_pid() is None
    assert pid_file.read_text() == str(os.getpid())
    assert pid.read_pid() == os.getpid()
    assert not [p for p in pid_file.parent.iterdir() if p != pid_file]  # no temp left
    assert pid.cleanup_pid() is None
    assert not pid_file.exists()
    assert pid.cleanup_pid() is None  # nothing to do: no log
    recs = logs(LOG)
    assert recs == [("DEBUG", "PID %d written to %s", (os.getpid(), recs[0][2][1])),
                    ("DEBUG", "PID file removed", ())]
    assert str(recs[0][2][1]) == str(pid_file)


def test_write_pid_failure_warns_with_error_text(home, pid_file, logs):
    (home / ".korvel").write_text("not a directory")
    try:
        assert pid.write_pid() is None
    finally:
        (home / ".korvel").unlink()
    [(lvl, msg, args)] = logs(LOG)
    assert (lvl, msg) == ("WARNING", "Could not write PID file: %s")
    assert len(args) == 1 and str(args[0])


@pytest.mark.parametrize("text, expected", [
    (" 123 \n", 123), ("7", 7), ("0", None), ("-5", None), ("abc", None), ("", None),
    ("1.5", None), ("\n", None),
])
def test_read_pid_content(pid_file, text, expected):
    pid_file.parent.mkdir(exist_ok=True)
    pid_file.write_text(text)
    assert pid.read_pid() == expected


def test_read_pid_missing_file(pid_file):
    assert pid.read_pid() is None
    pid_file.parent.mkdir(exist_ok=True)
    pid_file.write_bytes(b"\xff\xfe12")  # not text at all
    assert pid.read_pid() is None
    pid_file.unlink()
    pid_file.mkdir()  # a directory where the file should be
    try:
        assert pid.read_pid() is None
    finally:
        pid_file.rmdir()


class TestIsPidAlive:
    def test_signature_and_types(self):
        assert pid.is_pid_alive(pid=os.getpid()) is True
        for bad in ("1", None, 1.0):
            with pytest.raises(TypeError):
                pid.is_pid_alive(bad)

    @pytest.mark.parametrize("exc, expected", [
        (None, True), (ProcessLookupError(errno.ESRCH, "x"), False),
        (PermissionError(errno.EPERM, "x"), True),
    ])
    def test_outcomes_through_os_kill(self, monkeypatch, exc, expected):
        calls = []

        def kill(p, s):
            calls.append((p, s))
            if exc:
                raise exc

        monkeypatch.setattr(os, "kill", kill)
        assert pid.is_pid_alive(FAKE_PID) is expected
        assert calls == [(FAKE_PID, 0)]

    def test_other_errors_reach_caller(self, monkeypatch):
        def kill(p, s):
            raise OSError(errno.EINVAL, "bad")

        monkeypatch.setattr(os, "kill", kill)
        with pytest.raises(OSError) as ei:
            pid.is_pid_alive(FAKE_PID)
        assert ei.value.errno == errno.EINVAL


class Fake:
    """Stand-ins for the helpers kill_stale_bridge reaches at call time."""

    def __init__(self, monkeypatch, alive, kill_error=None):
        self.events = []
        self.alive = list(alive)
        self.kill_error = kill_error
        monkeypatch.setattr(pid, "read_pid", lambda: FAKE_PID)
        monkeypatch.setattr(pid, "is_pid_alive", self._alive)
        monkeypatch.setattr(pid, "cleanup_pid", lambda: self.events.append("cleanup"))
        monkeypatch.setattr(os, "kill", self._kill)
        monkeypatch.setattr(time, "sleep", lambda s: self.events.append(("sleep", s)))

    def _alive(self, p):
        assert p == FAKE_PID
        self.events.append("alive?")
        return self.alive.pop(0) if self.alive else True

    def _kill(self, p, s):
        self.events.append(("kill", p, s))
        if self.kill_error:
            raise self.kill_error


class TestKillStaleBridge:
    def test_no_args_accepted(self):
        with pytest.raises(TypeError):
            pid.kill_stale_bridge(1)

    def test_none_and_own_id(self, monkeypatch, logs):
        monkeypatch.setattr(pid, "read_pid", lambda: None)
        assert pid.kill_stale_bridge() is False
        monkeypatch.setattr(pid, "read_pid", lambda: os.getpid())
        monkeypatch.setattr(pid, "cleanup_pid", lambda: pytest.fail("cleanup"))
        assert pid.kill_stale_bridge() is False
        assert logs(LOG) == []

    def test_dead_process(self, monkeypatch, logs):
        f = Fake(monkeypatch, [False])
        assert pid.kill_stale_bridge() is False
        assert f.events == ["alive?", "cleanup"]
        assert logs(LOG) == [("DEBUG", "Stale PID file (process %d is dead), cleaning up",
                              (FAKE_PID,))]

    def test_graceful_after_some_polls(self, monkeypatch, logs):
        f = Fake(monkeypatch, [True, True, True, False])
        assert pid.kill_stale_bridge() is True
        assert f.events == ["alive?", ("kill", FAKE_PID, signal.SIGTERM),
                            "alive?", ("sleep", 0.1), "alive?", ("sleep", 0.1),
                            "alive?", "cleanup"]
        assert logs(LOG) == [
            ("INFO", "🧟 Found zombie bridge (PID %d), killing...", (FAKE_PID,)),
            ("INFO", "   ✅ Zombie bridge (PID %d) terminated gracefully", (FAKE_PID,)),
        ]

    @pytest.mark.parametrize("platform, kills", [("linux", True), ("win32", False)])
    def test_ignores_sigterm(self, monkeypatch, logs, platform, kills):
        f = Fake(monkeypatch, [True] * 40)
        monkeypatch.setattr(sys, "platform", platform)
        assert pid.kill_stale_bridge() is True
        expected = ["alive?", ("kill", FAKE_PID, signal.SIGTERM)]
        expected += ["alive?", ("sleep", 0.1)] * 30
        if kills:
            expected.append(("kill", FAKE_PID, signal.SIGKILL))
        expected += [("sleep", 0.5), "cleanup"]
        assert f.events == expected
        assert logs(LOG)[-1] == (
            "WARNING", "   ⚠️ Zombie bridge (PID %d) didn't respond to SIGTERM, sending SIGKILL",
            (FAKE_PID,))

    def test_vanished_before_signal(self, monkeypatch, logs):
        f = Fake(monkeypatch, [True], ProcessLookupError(errno.ESRCH, "gone"))
        assert pid.kill_stale_bridge() is True
        assert f.events == ["alive?", ("kill", FAKE_PID, signal.SIGTERM), "cleanup"]
        assert [m for _, m, _ in logs(LOG)] == ["🧟 Found zombie bridge (PID %d), killing..."]

    def test_permission_denied(self, monkeypatch, logs):
        f = Fake(monkeypatch, [True], PermissionError(errno.EPERM, "no"))
        assert pid.kill_stale_bridge() is False
        assert "cleanup" not in f.events
        assert logs(LOG)[-1] == (
            "ERROR", "   ❌ Cannot kill zombie bridge (PID %d) — permission denied", (FAKE_PID,))

    def test_other_error_reaches_caller(self, monkeypatch):
        f = Fake(monkeypatch, [True], OSError(errno.EINVAL, "bad"))
        with pytest.raises(OSError):
            pid.kill_stale_bridge()
        assert "cleanup" not in f.events

    def test_sigkill_error_paths(self, monkeypatch):
        # ESRCH on the SIGKILL itself: still true and the file goes.
        f = Fake(monkeypatch, [True] * 40)
        monkeypatch.setattr(sys, "platform", "linux")

        def kill(p, s):
            f.events.append(("kill", p, s))
            if s == signal.SIGKILL:
                raise ProcessLookupError(errno.ESRCH, "gone")

        monkeypatch.setattr(os, "kill", kill)
        assert pid.kill_stale_bridge() is True
        assert f.events[-1] == "cleanup"
        assert ("sleep", 0.5) not in f.events

    def test_real_files_and_dead_process(self, pid_file, logs):
        import subprocess
        p = subprocess.Popen([sys.executable, "-c", "pass"])
        p.wait()
        pid_file.parent.mkdir(exist_ok=True)
        pid_file.write_text(str(p.pid))
        assert pid.kill_stale_bridge() is False
        assert not pid_file.exists()

    def test_bad_file_left_alone(self, pid_file, logs):
        pid_file.parent.mkdir(exist_ok=True)
        pid_file.write_text("garbage")
        assert pid.kill_stale_bridge() is False
        assert pid_file.read_text() == "garbage"
        assert logs(LOG) == []


class TestReusedId:
    """A live process that began after the PID file naming it was written is
    not the bridge that wrote it; a file naming someone else dates nothing."""

    @pytest.fixture
    def sleeper(self):
        import subprocess
        p = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
        yield p
        p.kill()
        p.wait()

    def old_file(self, pid_file, text):
        pid_file.parent.mkdir(exist_ok=True)
        pid_file.write_text(text)
        past = time.time() - 3600
        os.utime(pid_file, (past, past))

    def test_younger_process_is_not_signalled(self, pid_file, sleeper, logs):
        self.old_file(pid_file, str(sleeper.pid))
        assert pid.kill_stale_bridge() is False
        assert sleeper.poll() is None and not pid_file.exists()
        assert logs(LOG) == [("DEBUG", "Stale PID file (process %d is dead), cleaning up",
                              (sleeper.pid,)), ("DEBUG", "PID file removed", ())]

    def test_old_file_naming_another_id_does_not_date_the_process(
            self, pid_file, sleeper, monkeypatch, logs):
        self.old_file(pid_file, "1")
        monkeypatch.setattr(pid, "read_pid", lambda: sleeper.pid)
        assert pid.kill_stale_bridge() is True
        assert sleeper.wait(10) is not None
        assert logs(LOG)[0] == ("INFO", "🧟 Found zombie bridge (PID %d), killing...",
                                (sleeper.pid,))
