"""Shutdown lifecycle. Anything that ends the process runs in a child
interpreter; its log records come back on stderr."""
import logging
import signal
import sys

import pytest

from bridge.supervisor import lifecycle

LOG = "bridge.supervisor.lifecycle"


def test_state_and_surface():
    assert type(lifecycle._shutdown_callbacks) is list
    assert lifecycle._is_shutting_down is False
    assert lifecycle.logger.name == LOG and isinstance(lifecycle.logger, logging.Logger)
    assert callable(lifecycle.cleanup_pid)


def test_register_appends_without_checks(monkeypatch):
    monkeypatch.setattr(lifecycle, "_shutdown_callbacks", [])
    f = lambda: None
    assert lifecycle.register_shutdown_callback(f) is None
    lifecycle.register_shutdown_callback(fn=f)
    lifecycle.register_shutdown_callback(42)  # no callability check
    assert lifecycle._shutdown_callbacks == [f, f, 42]


def test_later_call_does_nothing(monkeypatch, logs):
    monkeypatch.setattr(lifecycle, "_is_shutting_down", True)
    monkeypatch.setattr(lifecycle, "cleanup_pid", lambda: pytest.fail("cleanup"))
    monkeypatch.setattr(lifecycle, "_shutdown_callbacks", [lambda: pytest.fail("cb")])
    assert lifecycle.graceful_shutdown() is None
    assert lifecycle.graceful_shutdown(signal.SIGTERM, None) is None
    assert lifecycle.graceful_shutdown(signum=2, frame=None) is None
    assert logs(LOG) == []


SEQUENCE = '''
import atexit, os, signal, sys
from bridge.supervisor import lifecycle, pid
pid.write_pid()
order = []
atexit.register(lambda: print("ATEXIT", os.path.exists(pid.PID_FILE), order, flush=True))
def bad():
    order.append("bad")
    raise ValueError("boom")
def late():
    order.append("late")
def adder():
    order.append("adder")
    lifecycle.register_shutdown_callback(late)
def seen_flag():
    order.append(("flag", lifecycle._is_shutting_down))
    lifecycle.graceful_shutdown()  # re-entry: returns at once
    order.append("reentered")
def fake_cleanup():
    order.append("cleanup")
    pid.cleanup_pid()
lifecycle.cleanup_pid = fake_cleanup
for f in (bad, adder, seen_flag, adder):
    lifecycle.register_shutdown_callback(f)
try:
    lifecycle.graceful_shutdown(%s)
except SystemExit as e:
    print("SYSTEMEXIT", repr(e.code), flush=True)
    raise
print("RETURNED", flush=True)
'''


@pytest.mark.parametrize("call, cause", [("", "manual"), ("0", "manual"),
                                         ("signal.SIGTERM", "SIGTERM"),
                                         ("signal.SIGINT, None", "SIGINT"),
                                         ("signum=15, frame=None", "SIGTERM")])
def test_sequence(run_py, call, cause):
    r = run_py(SEQUENCE % call)
    assert r.returncode == 0, r.stderr
    assert "RETURNED" not in r.stdout
    order = ("['bad', 'adder', ('flag', True), 'reentered', 'adder', 'late', 'late', "
             "'cleanup']")
    assert f"ATEXIT False {order}" in r.stdout, r.stdout + r.stderr
    recs = r.of(LOG)
    assert recs == [
        ["INFO", "🛑 Shutting down bridge (signal: %s)...", [cause]],
        ["DEBUG", "Shutdown callback error: %s", ["boom"]],
        ["INFO", "👋 Bridge stopped cleanly", []],
    ]


def test_type_check_of_signum(run_py):
    r = run_py('''
        from bridge.supervisor import lifecycle
        try:
            lifecycle.graceful_shutdown("SIGTERM")
        except TypeError:
            print("TYPEERROR", lifecycle._is_shutting_down)
    ''')
    assert "TYPEERROR False" in r.stdout, r.stderr


def test_signal_handlers_and_real_sigterm(run_py):
    r = run_py('''
        import os, signal, sys
        from bridge.supervisor import lifecycle, pid
        lifecycle.setup_signal_handlers()
        h = signal.getsignal(signal.SIGTERM)
        print("SAME", h == lifecycle.graceful_shutdown,
              signal.getsignal(signal.SIGINT) == lifecycle.graceful_shutdown, flush=True)
        pid.write_pid()
        lifecycle.register_shutdown_callback(lambda: print("CALLBACK", flush=True))
        os.kill(os.getpid(), signal.SIGTERM)
        import time
        for _ in range(100):
            time.sleep(0.05)
        print("NOT EXITED", flush=True)
    ''')
    assert r.returncode == 0, r.stderr
    assert "SAME True True" in r.stdout and "CALLBACK" in r.stdout
    assert "NOT EXITED" not in r.stdout
    recs = r.of(LOG)
    assert recs[0] == ["DEBUG", "Signal handlers installed (SIGTERM, SIGINT, atexit)", []]
    assert recs[1] == ["INFO", "🛑 Shutting down bridge (signal: %s)...", ["SIGTERM"]]


def test_exit_hook_removes_pid_file(run_py, home):
    r = run_py('''
        from bridge.supervisor import lifecycle, pid
        lifecycle.setup_signal_handlers()
        pid.write_pid()
        print("WRITTEN", pid.PID_FILE.exists(), flush=True)
    ''')
    assert r.returncode == 0 and "WRITTEN True" in r.stdout, r.stderr
    assert not (home / ".korvel" / ".bridge.pid").exists()


def test_from_a_worker_thread(run_py):
    r = run_py('''
        import atexit, threading, time
        from bridge.supervisor import lifecycle
        atexit.register(lambda: print("ATEXIT", flush=True))
        lifecycle.register_shutdown_callback(lambda: print("CB", flush=True))
        def worker():
            lifecycle.graceful_shutdown()
            print("WORKER GOES ON", flush=True)
        t = threading.Thread(target=worker)
        t.start()
        t.join()
        time.sleep(5)
        print("MAIN GOES ON", flush=True)
    ''')
    assert r.returncode == 0, r.stderr
    assert "CB" in r.stdout and "ATEXIT" in r.stdout
    assert "MAIN GOES ON" not in r.stdout and "WORKER GOES ON" not in r.stdout


def test_exit_is_reached_at_call_time(monkeypatch, logs):
    """With sys.exit replaced, the sequence asks it for status 0 and, as a
    Python function would, returns when the replacement returns."""
    exits, order = [], []
    monkeypatch.setattr(lifecycle, "_is_shutting_down", False)
    monkeypatch.setattr(lifecycle, "_shutdown_callbacks", [lambda: order.append("cb")])
    monkeypatch.setattr(lifecycle, "cleanup_pid", lambda: order.append("cleanup"))
    monkeypatch.setattr(sys, "exit", lambda code=None: exits.append(code))
    assert lifecycle.graceful_shutdown(signal.SIGINT) is None
    assert exits == [0] and order == ["cb", "cleanup"]
    assert lifecycle._is_shutting_down is True
    assert [m for _, m, _ in logs(LOG)][-1] == "👋 Bridge stopped cleanly"


def test_replaced_registry_is_used_and_a_wrong_kind_raises(monkeypatch):
    ran, exits = [], []
    monkeypatch.setattr(lifecycle, "_is_shutting_down", False)
    monkeypatch.setattr(lifecycle, "cleanup_pid", lambda: None)
    monkeypatch.setattr(sys, "exit", exits.append)
    monkeypatch.setattr(lifecycle, "_shutdown_callbacks", [])
    lifecycle.register_shutdown_callback(lambda: ran.append(1))
    lifecycle.graceful_shutdown()
    assert ran == [1] and exits == [0]
    # Not a list at all: an ordinary Python error, never a crash.
    monkeypatch.setattr(lifecycle, "_shutdown_callbacks", None)
    with pytest.raises(AttributeError):
        lifecycle.register_shutdown_callback(print)
    monkeypatch.setattr(lifecycle, "_is_shutting_down", False)
    with pytest.raises(TypeError):
        lifecycle.graceful_shutdown()
