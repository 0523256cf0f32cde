"""Module objects as Python sees them: a module imported again is a new,
independent module; the logger a module logs through is its `logger` of the
moment; the small callables the modules make are not a type users can build
or change; any lock object in a namespace is held through its own methods."""
import importlib
import logging
import sys
import threading

import pytest


def reimport(monkeypatch, name):
    """Imports `name` afresh; the first module object stays alive."""
    first = importlib.import_module(name)
    parent, _, child = name.rpartition(".")
    monkeypatch.setattr(sys.modules[parent], child, first)  # put back afterwards
    monkeypatch.delitem(sys.modules, name)
    second = importlib.import_module(name)
    monkeypatch.setitem(sys.modules, name, first)
    assert second is not first
    return first, second


def test_reimported_holdqueue_keeps_its_own_state(monkeypatch):
    first, second = reimport(monkeypatch, "bridge.Chat.holdqueue")
    assert first._pending_messages is not second._pending_messages
    assert first.enqueue_message("re-a", "one") == 1
    assert second.enqueue_message("re-a", "two") == 1
    assert list(first._pending_messages["re-a"]) == ["one"]
    assert list(second._pending_messages["re-a"]) == ["two"]
    assert first.dequeue_message("re-a") == "one" and second.has_pending("re-a")
    assert second.clear_pending("re-a") == 1


def test_reimported_interrupt_keeps_its_own_registry(monkeypatch):
    first, second = reimport(monkeypatch, "bridge.Chat.interrupt")
    agent = object()
    second.register_running_agent("re-b", agent)
    assert second.is_agent_running("re-b") and not first.is_agent_running("re-b")
    assert "re-b" not in first._running_agents
    second.unregister_running_agent("re-b")


def test_reimported_lifecycle_reads_its_own_registry(monkeypatch):
    first, second = reimport(monkeypatch, "bridge.supervisor.lifecycle")
    second.register_shutdown_callback(print)
    assert second._shutdown_callbacks == [print] and first._shutdown_callbacks == []


class Spy:
    def __init__(self):
        self.records = []

    def __getattr__(self, level):
        return lambda fmt, *args: self.records.append((level, fmt % args))


@pytest.mark.parametrize("module, call", [
    ("bridge.Chat.holdqueue", lambda m: (m.enqueue_message("log-s", "x"),
                                         m.clear_pending("log-s"))),
    ("bridge.Chat.interrupt", lambda m: m.interrupt_agent("log-none")),
    ("bridge.Chat.runconf", lambda m: m._load_profile_config(m.BAD_HOME)),
])
def test_records_go_to_the_module_logger_of_the_moment(monkeypatch, tmp_path, module, call):
    mod = importlib.import_module(module)
    (tmp_path / "config.yaml").write_text("model: [unclosed\n")
    monkeypatch.setattr(mod, "BAD_HOME", str(tmp_path), raising=False)
    spy = Spy()
    monkeypatch.setattr(mod, "logger", spy)
    try:
        call(mod)
    except Exception:
        pass
    assert spy.records, "nothing was logged through the replaced logger"


def test_control_characters_in_logged_text_are_escaped(monkeypatch, caplog):
    from bridge.Chat import holdqueue
    with caplog.at_level(logging.INFO, logger="bridge.holdqueue"):
        holdqueue.enqueue_message("evil\n[SYSTEM] forged\x00", "m")
    holdqueue.clear_pending("evil\n[SYSTEM] forged\x00")
    (rec,) = [r for r in caplog.records if r.name == "bridge.holdqueue"]
    assert "\n" not in rec.getMessage() and "\x00" not in rec.getMessage()
    assert "evil\\n[SYSTEM] forged\\x00" in rec.getMessage()


def test_callable_types_are_closed(monkeypatch):
    from bridge.Chat import consentgate
    approval = type(sys)("tools.approval")
    for name in ("register_gateway_notify", "unregister_gateway_notify",
                 "set_current_session_key", "reset_current_session_key"):
        setattr(approval, name, lambda *a: None)
    monkeypatch.setitem(sys.modules, "tools.approval", approval)
    step = consentgate.wire_approval_for_session("s", lambda sid, rec: None)["setup"]
    kind = type(step)
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        kind.__call__ = lambda self: None
    with pytest.raises(TypeError):
        kind.extra = 1
    before = sys.getrefcount(kind)
    for _ in range(100):
        consentgate.wire_approval_for_session("s", lambda sid, rec: None)
    assert sys.getrefcount(kind) == before


class CountingLock:
    """A lock of another type: held and released through its own methods."""

    def __init__(self):
        self.inner = threading.Lock()
        self.calls = []

    def acquire(self, *args):
        self.calls.append("acquire")
        return self.inner.acquire(*args)

    def release(self):
        self.calls.append("release")
        self.inner.release()


@pytest.mark.parametrize("make", [threading.Lock, threading.RLock, CountingLock])
def test_any_lock_in_the_namespace_is_held_and_released(monkeypatch, make):
    from bridge.Chat import holdqueue
    lock = make()
    monkeypatch.setattr(holdqueue, "_pending_lock", lock)
    assert holdqueue.enqueue_message("lk", "m") == 1
    assert holdqueue.dequeue_message("lk") == "m"
    assert lock.acquire(False)
    lock.release()
    if make is CountingLock:
        assert lock.calls[:4] == ["acquire", "release", "acquire", "release"]
