import os
import signal
import subprocess
import sys
import textwrap

import pytest

import bridge.supervisor.lifecycle as lifecycle
import bridge.supervisor.pid as pid

PRELUDE = """
import logging, os, pathlib, sys, time, threading, atexit
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(levelname)s:%(name)s:%(message)s")
import bridge.supervisor.lifecycle as lifecycle
import bridge.supervisor.pid as pid
pid.PID_FILE = pathlib.Path(sys.argv[1])
pid.write_pid()
def say(text):
    print(text, flush=True)
"""


def run(code, tmp_path, signal_to_send=None):
    pid_file = tmp_path / "bridge.pid"
    proc = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code), str(pid_file)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if signal_to_send is not None:
        while proc.stdout.readline().strip() != "ready":
            pass
        proc.send_signal(signal_to_send)
    out, err = proc.communicate(timeout=30)
    return proc.returncode, out.splitlines(), err, pid_file


def test_module_state():
    assert lifecycle._shutdown_callbacks == []
    assert lifecycle._is_shutting_down is False
    assert lifecycle.cleanup_pid is pid.cleanup_pid


@pytest.mark.parametrize("sig, name", [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")])
def test_signal_runs_the_shutdown_sequence(tmp_path, sig, name):
    code, lines, err, pid_file = run(
        """
        def broken():
            raise RuntimeError("boom")
        lifecycle.register_shutdown_callback(broken)
        lifecycle.register_shutdown_callback(lambda: say("second"))
        lifecycle.setup_signal_handlers()
        say("ready")
        time.sleep(30)
        say("not reached")
        """, tmp_path, sig)
    assert code == 0, err
    assert not pid_file.exists()
    # order of what matters
    expected = [
        f"INFO:bridge.supervisor.lifecycle:🛑 Shutting down bridge (signal: {name})...",
        "DEBUG:bridge.supervisor.lifecycle:Shutdown callback error: boom",
        "second",
        "DEBUG:bridge.supervisor.pid:PID file removed",
        "INFO:bridge.supervisor.lifecycle:👋 Bridge stopped cleanly",
    ]
    assert [l for l in lines if l in expected] == expected
    assert "not reached" not in lines


def test_manual_shutdown_with_twice_registered_callback_and_reentry(tmp_path):
    code, lines, err, pid_file = run(
        """
        cb = lambda: say("cb")
        lifecycle.register_shutdown_callback(cb)
        lifecycle.register_shutdown_callback(cb)
        def reenter():
            say("again: %r" % (lifecycle.graceful_shutdown(),))
            lifecycle.register_shutdown_callback(lambda: say("late"))
        lifecycle.register_shutdown_callback(reenter)
        atexit.register(lambda: say("exit hook"))
        lifecycle.graceful_shutdown()
        say("not reached")
        """, tmp_path)
    assert code == 0, err
    assert not pid_file.exists()
    body = [l for l in lines if not l.startswith("DEBUG")]
    assert body == [
        "INFO:bridge.supervisor.lifecycle:🛑 Shutting down bridge (signal: manual)...",
        "cb", "cb", "again: None", "late",
        "INFO:bridge.supervisor.lifecycle:👋 Bridge stopped cleanly",
        "exit hook",
    ]


def test_shutdown_from_another_thread_exits_with_status_0(tmp_path):
    code, lines, err, pid_file = run(
        """
        lifecycle.register_shutdown_callback(lambda: say("cb on " + threading.current_thread().name))
        atexit.register(lambda: say("exit hook"))
        lifecycle.setup_signal_handlers()  # as the bridge runs: the main thread is woken
        def worker():
            try:
                lifecycle.graceful_shutdown(0, None)
            except SystemExit as exc:  # as sys.exit(0) would: the worker stops here
                say("worker: SystemExit(%r)" % (exc.code,))
                raise
            say("worker goes on")
        # The main thread sleeps (a join would let 3.11's threading take the
        # worker for ended when the join is interrupted, and the exit hooks
        # could then run before the worker's last line).
        threading.Thread(target=worker, name="worker").start()
        time.sleep(30)
        say("not reached")
        """, tmp_path)
    assert code == 0, err
    assert not pid_file.exists()
    body = [l for l in lines if not l.startswith("DEBUG")]
    assert body == [
        "INFO:bridge.supervisor.lifecycle:🛑 Shutting down bridge (signal: manual)...",
        "cb on worker",
        "INFO:bridge.supervisor.lifecycle:👋 Bridge stopped cleanly",
        "worker: SystemExit(0)",
        "exit hook",
    ]


def test_no_callbacks_and_exit_hook_removes_pid_file(tmp_path):
    code, lines, err, pid_file = run("lifecycle.graceful_shutdown(signum=15)", tmp_path)
    assert code == 0 and not pid_file.exists()
    code, lines, err, pid_file = run("lifecycle.setup_signal_handlers()", tmp_path)
    assert code == 0 and not pid_file.exists()  # atexit hook
    assert "DEBUG:bridge.supervisor.pid:PID file removed" in lines


def test_graceful_shutdown_refuses_a_non_integer_signal(monkeypatch):
    with pytest.raises(TypeError):
        lifecycle.graceful_shutdown("SIGTERM")
    assert lifecycle._is_shutting_down is False


def test_second_call_returns_at_once(monkeypatch, records):
    monkeypatch.setattr(lifecycle, "_is_shutting_down", True)
    assert lifecycle.graceful_shutdown() is None
    assert records() == []
