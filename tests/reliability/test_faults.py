"""Faults from outside: consumers that go away, engine code and session stores
that raise, tools that hang, installers killed by a signal, a home directory
that cannot be written, a port owner that ignores SIGTERM. Each time the
bridge reports what the behaviour says, keeps its registries consistent and
leaves no lock held."""
from __future__ import annotations

import asyncio
import contextlib
import io
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

import fakes
from rel_support import exclusive_logs

POOL_LOCKS = ["agent_cache_lock", "_profile_dbs_lock", "_session_locks_lock",
              "_model_generation_lock", "_pending_model_notes_lock", "tasks_lock",
              "stream_sub_lock", "_stream_buffer_lock"]


def locks_free(wp) -> None:
    held = [name for name in POOL_LOCKS if getattr(wp, name).locked()]
    assert not held, f"locks left held: {held}"


# ---- consumers ---------------------------------------------------------------

def test_subscriber_loop_closed_mid_stream(pool):
    """A subscriber whose loop stops and closes half-way makes no push fail;
    the others get every record, and the replay buffer keeps them all."""
    wp = pool
    loops = [asyncio.new_event_loop() for _ in range(3)]
    threads = [threading.Thread(target=lp.run_forever, daemon=True) for lp in loops]
    for t in threads:
        t.start()
    got: list[list] = [[], [], []]

    class Q:
        def __init__(self, i):
            self.i = i

        def put_nowait(self, item):
            got[self.i].append(item)

    subs = [wp.subscribe_to_stream("s", Q(i), loops[i]) for i in range(3)]
    for n in range(200):
        if n == 100:
            loops[1].call_soon_threadsafe(loops[1].stop)
            threads[1].join(5)
            loops[1].close()
        wp.push_stream_event("s", {"type": "status", "data": {"n": n}})
    wp.signal_stream_done("s")
    for i in (0, 2):
        asyncio.run_coroutine_threadsafe(asyncio.sleep(0), loops[i]).result(10)
    assert len(got[0]) == len(got[2]) == 201 and got[0][-1] is None
    assert 0 < len(got[1]) <= 100
    assert len(wp._stream_buffers["s"]) == 201
    for sub in subs:
        wp.unsubscribe_from_stream("s", sub)
    assert "s" not in wp._stream_buffers
    for i in (0, 2):
        loops[i].call_soon_threadsafe(loops[i].stop)
        threads[i].join(5)
        loops[i].close()
    locks_free(wp)


def test_loop_that_raises_anything_on_scheduling(pool):
    """Any error from call_soon_threadsafe, not only a closed loop's, is
    swallowed for that subscriber alone."""
    wp = pool

    class Hostile:
        def call_soon_threadsafe(self, fn, *args):
            raise MemoryError("no room")

    good = fakes.Queue()
    wp.subscribe_to_stream("s", fakes.Queue(), Hostile())
    wp.subscribe_to_stream("s", good, fakes.Loop())
    wp.push_stream_delta("s", "x")
    assert [r["data"] for r in good.items] == ["x"]
    locks_free(wp)


# ---- engine code and session stores raising -----------------------------------

def test_engine_failures_in_get_agent_leave_no_lock_and_no_half_entry(pool, monkeypatch):
    wp = pool

    class Refusing(fakes.Agent):
        def __init__(self, **kw):
            raise RuntimeError("engine refused")

    monkeypatch.setattr(wp, "AIAgent", Refusing)
    with pytest.raises(RuntimeError, match="engine refused"):
        wp.get_agent("a")
    assert "a" not in wp.agent_cache
    locks_free(wp)

    monkeypatch.setattr(wp, "AIAgent", fakes.Agent)
    monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: {"session_id": "dup"})
    with pytest.raises(TypeError):
        wp.get_agent("a")
    assert "a" not in wp.agent_cache
    locks_free(wp)

    monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: ["not", "a", "mapping"])
    with pytest.raises(Exception):
        wp.get_agent("a")
    assert "a" not in wp.agent_cache
    locks_free(wp)

    def broken_wiring(session_id, push):
        raise RuntimeError("approval module broken")

    monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: {})
    monkeypatch.setattr(wp, "wire_approval_for_session", broken_wiring)
    with pytest.raises(RuntimeError, match="approval module broken"):
        wp.get_agent("a", "stream")
    assert "a" in wp.agent_cache  # built before the wiring failed
    locks_free(wp)

    monkeypatch.setattr(wp, "wire_approval_for_session", fakes.wire_approval_for_session)
    agent, _ = wp.get_agent("a")
    agent.fail_switch = True
    wp.bump_model_generation()
    rebuilt, _ = wp.get_agent("a")
    assert rebuilt is not agent and wp.agent_cache["a"] is rebuilt
    assert wp.pop_pending_model_note("a") is None
    locks_free(wp)


def test_session_store_failures(pool, monkeypatch):
    wp = pool
    calls = []

    class Unopenable:
        def __init__(self, *, db_path):
            calls.append(db_path)
            raise OSError("database is locked")

    monkeypatch.setattr(wp, "SessionDB", Unopenable)
    for _ in range(2):
        with pytest.raises(OSError):
            wp.get_session_db("p")
    assert len(calls) == 2 and "p" not in wp._profile_dbs  # retried, nothing stored
    with pytest.raises(OSError):
        wp.get_agent("a")
    locks_free(wp)

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert wp.get_conversation_history("a") == []
    assert out.getvalue().startswith("[POOL] Failed to load history: ")

    monkeypatch.setattr(wp, "SessionDB", fakes.Store)
    wp.get_session_db().fail = True
    out = io.StringIO()
    pushed = []
    wp.subscribe_to_stream("a", types.SimpleNamespace(put_nowait=pushed.append), fakes.Loop())
    with contextlib.redirect_stdout(out):
        wp.trigger_auto_title("a", "m", "r", [])
        for t in threading.enumerate():
            if t.name == "auto-title":
                t.join(10)
    assert out.getvalue().startswith("[POOL] Auto-title failed: ")
    assert pushed == []
    locks_free(wp)


def test_title_generator_raising_or_hanging_does_not_touch_the_caller(pool, monkeypatch):
    wp = pool
    gen = types.ModuleType("agent.title_generator")
    release = threading.Event()

    def generate_title(message, response):
        release.wait(10)
        raise RuntimeError("model offline")

    gen.generate_title = generate_title
    monkeypatch.setitem(sys.modules, "agent.title_generator", gen)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        t0 = time.monotonic()
        wp.trigger_auto_title("a", "m", "r", [])
        assert time.monotonic() - t0 < 5  # returned while the worker waits
        # The pool stays usable while a worker is stuck in the engine.
        wp.get_agent("a", "a")
        locks_free(wp)
        release.set()
        for t in threading.enumerate():
            if t.name == "auto-title":
                t.join(10)
    assert "[POOL] Auto-title failed: model offline" in out.getvalue()


def test_callback_errors_reach_the_engine_and_change_nothing(pool, monkeypatch):
    wp = pool

    class Registry:
        def get_emoji(self, name, default=""):
            raise LookupError("registry broken")

        def get_toolset_for_tool(self, name):
            return "x"

    mod = types.ModuleType("tools.registry")
    mod.registry = Registry()
    monkeypatch.setitem(sys.modules, "tools.registry", mod)
    cb = wp._make_tool_progress_callback("s")
    with pytest.raises(LookupError):
        cb("tool.started", "terminal")
    assert "s" not in wp._stream_buffers

    def push_fails(session_id, event):
        raise RuntimeError("bus down")

    monkeypatch.setattr(wp, "push_stream_event", push_fails)
    with pytest.raises(RuntimeError):
        wp._make_status_callback("s")("retry", "m")
    locks_free(wp)


# ---- tools and child processes -----------------------------------------------

@pytest.fixture
def tools(tmp_path, monkeypatch):
    d = tmp_path / "bin"
    d.mkdir()
    monkeypatch.setenv("PATH", f"{d}")

    def make(name, body):
        p = d / name
        p.write_text("#!/bin/sh\n" + textwrap.dedent(body))
        p.chmod(0o755)
        return p

    return make


@pytest.mark.timeout(60)
def test_port_tool_hanging_past_its_limit(tools, tmp_path):
    """lsof hangs (in a grandchild too, as lsof's own helper processes can):
    after 5 s the tool is killed, the probe gives up and ss is asked."""
    from bridge.supervisor import port

    pidfile = tmp_path / "lsof.pid"
    tools("lsof", f"echo $$ > {pidfile}\n/bin/sleep 30\n")
    tools("ss", 'echo \'LISTEN 0 5 127.0.0.1:9 users:(("x",pid=4321,fd=3))\'\n')
    t0 = time.monotonic()
    assert port.find_port_owner(9) == 4321
    took = time.monotonic() - t0
    assert 4.5 < took < 15
    shell = int(pidfile.read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(shell, 0)  # killed and reaped


@pytest.mark.timeout(60)
def test_installer_killed_by_a_signal(tools):
    from bridge.setup import install

    tools("bash", "echo starting\nkill -TERM $$\n")
    lines = []
    with pytest.raises(RuntimeError, match=r"^Installation failed \(exit code -15\)$"):
        install.install_korvel(lines.append)
    assert lines == ["starting"]


@pytest.mark.timeout(60)
def test_installer_output_callback_raising_stops_the_installer(tools, tmp_path):
    """The host's output callback fails: the error reaches the caller and no
    installer is left running."""
    from bridge.setup import install

    pidfile = tmp_path / "bash.pid"
    tools("bash", f"echo $$ > {pidfile}\necho one\nexec /bin/sleep 30\n")

    def boom(line):
        raise ValueError("client went away")

    t0 = time.monotonic()
    with pytest.raises(ValueError, match="client went away"):
        install.install_korvel(boom)
    assert time.monotonic() - t0 < 20
    pid = int(pidfile.read_text())
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        pytest.fail("installer still running after its output callback failed")


def test_unwritable_home(tmp_path, monkeypatch, caplog):
    """The home directory cannot take files (it is a plain file here, which
    stops root too): the PID file write is a warning, reading and removal
    are quiet, and image saves raise to the caller."""
    from bridge.Chat import picdrop
    from bridge.supervisor import pid

    blocked = tmp_path / "home"
    blocked.write_text("not a directory")
    monkeypatch.setattr(pid, "PID_FILE", blocked / ".korvel" / ".bridge.pid")
    caplog.set_level("DEBUG", logger="bridge.supervisor.pid")
    pid.write_pid()
    assert [(r.levelname, r.msg) for r in caplog.records] == [
        ("WARNING", "Could not write PID file: %s")]
    assert pid.read_pid() is None
    pid.cleanup_pid()
    assert pid.kill_stale_bridge() is False

    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", blocked / ".korvel" / "uploads")
    with pytest.raises(OSError):
        picdrop.save_uploaded_image(b"x", "a.png")


@pytest.mark.timeout(60)
def test_port_owner_ignoring_sigterm(tmp_path):
    """ensure_port_free against a listener that ignores SIGTERM: SIGKILL
    after the grace period, and the port is free."""
    from bridge.supervisor import port

    code = textwrap.dedent("""
        import signal, socket, sys, time
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", 0))
        s.listen(64)
        print(s.getsockname()[1], flush=True)
        while True:
            s.accept()[0].close()
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        p = int(proc.stdout.readline())
        assert port.is_port_in_use(p)
        assert port.ensure_port_free(p) is True
        assert proc.wait(10) == -signal.SIGKILL
        assert not port.is_port_in_use(p)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_interrupt_and_approval_engines_raising(monkeypatch, caplog):
    from bridge.Chat import consentgate, interrupt

    agent = fakes.Agent()
    agent.fail_interrupt = True
    interrupt.register_running_agent("s", agent)
    try:
        assert interrupt.interrupt_agent("s") is False
        assert interrupt.is_agent_running("s")
    finally:
        interrupt.unregister_running_agent("s")
    assert not interrupt._running_agents_lock.locked()

    approval = types.ModuleType("tools.approval")

    def resolve(sid, choice):
        raise RuntimeError("engine gone")

    approval.resolve_gateway_approval = resolve
    monkeypatch.setitem(sys.modules, "tools.approval", approval)
    assert consentgate.resolve_approval("s", "once") is False


@pytest.mark.timeout(60)
def test_port_owner_is_the_listener_not_a_connected_client():
    """lsof names every process with a socket on the port, clients too, lowest
    id first. With this process connected to a listener it started later (so
    with a higher id), the listener is the owner found, and this process is
    never the one signalled."""
    import shutil

    from bridge.supervisor import port

    if shutil.which("lsof") is None:
        pytest.skip("lsof is not installed")
    code = textwrap.dedent("""
        import socket, time
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(8)
        print(s.getsockname()[1], flush=True)
        conns = []
        while True:
            conns.append(s.accept()[0])
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        p = int(proc.stdout.readline())
        with socket.create_connection(("127.0.0.1", p)):
            listed = subprocess.run(["lsof", "-ti", f":{p}"], capture_output=True,
                                    text=True).stdout.split()
            assert str(os.getpid()) in listed  # the client is listed too
            assert port.find_port_owner(p) == proc.pid
    finally:
        proc.kill()
        proc.wait()
