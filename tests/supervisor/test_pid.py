import errno
import os
import pathlib
import time

import pytest

import bridge.supervisor.pid as pid
from supervisor_support import sleeper


@pytest.fixture
def pid_file(tmp_path, monkeypatch):
    f = tmp_path / "korvel" / ".bridge.pid"
    monkeypatch.setattr(pid, "PID_FILE", f)
    return f


def test_pid_file_is_under_the_home_korvel_directory(home):
    assert pid.__file__.endswith(".so")
    assert isinstance(pid.PID_FILE, pathlib.Path)
    assert pid.PID_FILE == home / ".korvel" / ".bridge.pid"


def test_write_pid_creates_directories_and_writes_bare_digits(pid_file, records):
    pid.write_pid()
    assert pid_file.read_text() == str(os.getpid())
    assert sorted(p.name for p in pid_file.parent.iterdir()) == [".bridge.pid"]
    assert records() == [("DEBUG", "PID %d written to %s", (os.getpid(), pid_file))]
    pid_file.write_text("12345\n")
    pid.write_pid()  # replaces the whole content
    assert pid_file.read_text() == str(os.getpid())


def test_write_pid_failure_is_logged_not_raised(tmp_path, monkeypatch, records):
    blocker = tmp_path / "not-a-dir"
    blocker.write_text("")
    monkeypatch.setattr(pid, "PID_FILE", blocker / ".bridge.pid")
    assert pid.write_pid() is None
    [(level, msg, args)] = records()
    assert (level, msg) == ("WARNING", "Could not write PID file: %s")
    assert isinstance(args[0], str) and args[0]


def test_write_pid_never_leaves_a_partial_file(pid_file, monkeypatch, records):
    pid_file.parent.mkdir(parents=True)
    pid_file.write_text("4242")

    def refuse(src, dst):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(os, "replace", refuse)
    pid.write_pid()
    assert pid_file.read_text() == "4242"
    assert [p.name for p in pid_file.parent.iterdir()] == [".bridge.pid"]
    assert records()[-1][0:2] == ("WARNING", "Could not write PID file: %s")


@pytest.mark.parametrize(
    "content, expected",
    [(" 4321 \n", 4321), ("7", 7), ("0", None), ("-5", None), ("abc", None), ("", None),
     ("12 34", None), ("3.5", None)],
)
def test_read_pid(pid_file, content, expected):
    pid_file.parent.mkdir(parents=True)
    pid_file.write_text(content)
    assert pid.read_pid() == expected


def test_read_pid_without_file_or_unreadable(pid_file):
    assert pid.read_pid() is None
    pid_file.mkdir(parents=True)  # a directory cannot be read as text
    assert pid.read_pid() is None


def test_cleanup_pid(pid_file, records):
    pid.cleanup_pid()
    assert records() == []
    pid_file.parent.mkdir(parents=True)
    pid_file.write_text("1")
    pid.cleanup_pid()
    assert not pid_file.exists()
    assert records() == [("DEBUG", "PID file removed", ())]


def test_cleanup_pid_swallows_os_errors(pid_file, records):
    pid_file.mkdir(parents=True)  # unlink of a directory fails
    pid.cleanup_pid()
    assert pid_file.exists()


def test_is_pid_alive(child):
    assert pid.is_pid_alive(os.getpid()) is True
    c = child(sleeper())
    c.ready()
    assert pid.is_pid_alive(c.pid) is True
    c.kill()
    assert pid.is_pid_alive(c.pid) is False
    with pytest.raises(TypeError):
        pid.is_pid_alive("1")
    with pytest.raises(TypeError):
        pid.is_pid_alive(None)
    assert pid.is_pid_alive(pid=os.getpid())


def test_is_pid_alive_errors(monkeypatch):
    def fake(err):
        def kill(p, s):
            raise OSError(err, os.strerror(err))
        return kill

    monkeypatch.setattr(os, "kill", fake(errno.EPERM))
    assert pid.is_pid_alive(1) is True
    monkeypatch.setattr(os, "kill", fake(errno.EINVAL))
    with pytest.raises(OSError):
        pid.is_pid_alive(1)


def as_nobody(fn):
    """Runs fn in a forked child that has dropped to an unprivileged user;
    gives what fn returned (its repr, evaluated back) or raises its error."""
    if os.geteuid() != 0:
        pytest.skip("needs root to drop privileges")
    r, w = os.pipe()
    child_pid = os.fork()
    if child_pid == 0:  # pragma: no cover - runs in the child
        try:
            os.close(r)
            os.setgid(65534)
            os.setuid(65534)
            out = repr(fn())
        except BaseException as e:  # noqa: BLE001
            out = "ERROR " + repr(e)
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        out = f.read()
    os.waitpid(child_pid, 0)
    assert not out.startswith("ERROR"), out
    return eval(out)


def test_another_users_process_counts_as_alive_and_is_not_killed(pid_file, records):
    pid_file.parent.mkdir(parents=True)
    pid_file.write_text("1")  # init: root's, so EPERM for nobody
    result = as_nobody(lambda: (pid.is_pid_alive(1), pid.kill_stale_bridge()))
    assert result == (True, False)
    assert pid_file.read_text() == "1"


class TestKillStaleBridge:
    def test_no_file_or_bad_content(self, pid_file, records):
        assert pid.kill_stale_bridge() is False
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text("garbage")
        assert pid.kill_stale_bridge() is False
        assert pid_file.exists()
        assert records() == []

    def test_own_pid_is_left_alone(self, pid_file, records):
        pid.write_pid()
        assert pid.kill_stale_bridge() is False
        assert pid_file.read_text() == str(os.getpid())
        assert [r for r in records() if r[0] != "DEBUG"] == []

    def test_dead_process_file_is_removed(self, pid_file, child, records):
        c = child(sleeper())
        c.ready()
        c.kill()
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text(str(c.pid))
        assert pid.kill_stale_bridge() is False
        assert not pid_file.exists()
        assert records() == [
            ("DEBUG", "Stale PID file (process %d is dead), cleaning up", (c.pid,)),
            ("DEBUG", "PID file removed", ()),
        ]

    def test_live_bridge_terminated_gracefully(self, pid_file, child, records):
        c = child(sleeper())
        c.ready()
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text(f"{c.pid}\n")
        assert pid.kill_stale_bridge() is True
        assert c.wait_gone() == -15
        assert not pid_file.exists()
        infos = [r for r in records() if r[0] != "DEBUG"]
        assert infos == [
            ("INFO", "🧟 Found zombie bridge (PID %d), killing...", (c.pid,)),
            ("INFO", "   ✅ Zombie bridge (PID %d) terminated gracefully", (c.pid,)),
        ]

    def test_bridge_ignoring_sigterm_gets_sigkill(self, pid_file, child, records):
        c = child(sleeper(ignore_term=True))
        c.ready()
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text(str(c.pid))
        assert pid.kill_stale_bridge() is True
        assert c.wait_gone() == -9
        assert not pid_file.exists()
        levels = [(r[0], r[1]) for r in records() if r[0] != "DEBUG"]
        assert levels == [
            ("INFO", "🧟 Found zombie bridge (PID %d), killing..."),
            ("WARNING", "   ⚠️ Zombie bridge (PID %d) didn't respond to SIGTERM, sending SIGKILL"),
        ]

    def test_process_vanishing_before_the_signal(self, pid_file, child, monkeypatch, records):
        c = child(sleeper())
        c.ready()
        c.kill()
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text(str(c.pid))
        monkeypatch.setattr(pid, "is_pid_alive", lambda p: True)  # stale answer
        assert pid.kill_stale_bridge() is True
        assert not pid_file.exists()
        messages = [r[1] for r in records()]
        assert "   ✅ Zombie bridge (PID %d) terminated gracefully" not in messages

    @pytest.mark.parametrize("err", [errno.EPERM, errno.EINVAL])
    def test_signal_errors(self, pid_file, child, monkeypatch, records, err):
        """Permission denied: false, file kept, one error line. Any other
        error from the signal reaches the caller."""
        c = child(sleeper())
        c.ready()
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text(str(c.pid))
        real_kill = os.kill

        def kill(p, s):
            if s == 0 or p != c.pid:
                return real_kill(p, s)
            raise OSError(err, os.strerror(err))

        monkeypatch.setattr(os, "kill", kill)
        if err == errno.EPERM:
            assert pid.kill_stale_bridge() is False
            assert records()[-1] == (
                "ERROR", "   ❌ Cannot kill zombie bridge (PID %d) — permission denied", (c.pid,))
        else:
            with pytest.raises(OSError):
                pid.kill_stale_bridge()
        monkeypatch.undo()  # the child fixture's clean-up signals for real
        assert pid_file.exists()
        assert c.alive()

    def test_reused_id_of_a_younger_process_is_not_signalled(self, pid_file, child, records):
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text("0")
        old = time.time() - 120
        c = child(sleeper())
        c.ready()
        pid_file.write_text(str(c.pid))
        os.utime(pid_file, (old, old))  # written long before the process started
        assert pid.kill_stale_bridge() is False
        assert c.alive()
        assert not pid_file.exists()
        assert records()[0] == (
            "DEBUG", "Stale PID file (process %d is dead), cleaning up", (c.pid,))

    def test_late_binding_of_helpers(self, pid_file, monkeypatch):
        monkeypatch.setattr(pid, "read_pid", lambda: None)
        pid_file.parent.mkdir(parents=True)
        pid_file.write_text("99999999")
        assert pid.kill_stale_bridge() is False
        assert pid_file.exists()


def test_module_binding_of_os_is_late_bound(pid_file, monkeypatch):
    import types
    sent = []
    fake_os = types.SimpleNamespace(kill=lambda p, s: sent.append((p, s)), getpid=os.getpid,
                                    replace=os.replace)
    monkeypatch.setattr(pid, "os", fake_os)
    assert pid.is_pid_alive(12345) is True
    assert sent == [(12345, 0)]
