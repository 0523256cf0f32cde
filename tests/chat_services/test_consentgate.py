import os
import subprocess
import sys
import threading
import time
import types

import pytest

import bridge.Chat.consentgate as gate

LOG = "bridge.approval"


class FakeApproval(types.ModuleType):
    """A tools.approval that records every call."""

    def __init__(self):
        super().__init__("tools.approval")
        self.calls = []
        self.resolve_result = True
        self.notify = {}

    def set_current_session_key(self, key):
        self.calls.append(("set", key))
        return f"token-{key}"

    def reset_current_session_key(self, token):
        self.calls.append(("reset", token))

    def register_gateway_notify(self, key, notify):
        self.calls.append(("register", key))
        self.notify[key] = notify

    def unregister_gateway_notify(self, key):
        self.calls.append(("unregister", key))
        self.notify.pop(key, None)

    def resolve_gateway_approval(self, key, choice):
        self.calls.append(("resolve", key, choice))
        if isinstance(self.resolve_result, Exception):
            raise self.resolve_result
        return self.resolve_result


@pytest.fixture
def fake(monkeypatch):
    mod = FakeApproval()
    monkeypatch.setitem(sys.modules, "tools", types.ModuleType("tools"))
    monkeypatch.setitem(sys.modules, "tools.approval", mod)
    return mod


@pytest.fixture
def pushed():
    out = []
    return out, (lambda sid, record: out.append((sid, record)))


def test_module_surface():
    assert gate.logger.name == LOG
    assert gate.os is os
    assert os.environ["KORVEL_GATEWAY_SESSION"]


@pytest.mark.parametrize("preset", [None, "0", "", "yes"])
def test_loading_sets_gateway_variable_unless_present(preset, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "KORVEL_GATEWAY_SESSION"}
    if preset is not None:
        env["KORVEL_GATEWAY_SESSION"] = preset
    code = ("import os; before = os.environ.get('KORVEL_GATEWAY_SESSION'); "
            "import bridge.Chat.consentgate; "
            "print(repr((before, os.environ.get('KORVEL_GATEWAY_SESSION'))))")
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr((preset, "1" if preset is None else preset))


def test_type_checks_come_first(fake, pushed):
    _, push = pushed
    with pytest.raises(TypeError):
        gate.wire_approval_for_session(None, push)
    with pytest.raises(TypeError):
        gate._make_notify_callback(b"s", push)
    with pytest.raises(TypeError):
        gate.resolve_approval(None, "once")
    with pytest.raises(TypeError):
        gate.resolve_approval("s", 1)
    notify = gate._make_notify_callback("s", push)
    with pytest.raises(TypeError):
        notify(["command", "x"])
    with pytest.raises(TypeError):
        notify(None)
    assert fake.calls == [] and pushed[0] == []


def test_context_setup_and_teardown(fake, pushed):
    out, push = pushed
    ctx = gate.wire_approval_for_session(session_id="s1", push_event_fn=push)
    assert list(ctx) == ["setup", "teardown"]
    assert fake.calls == []  # nothing happens before setup
    assert ctx["setup"]() is None
    assert fake.calls == [("set", "s1"), ("register", "s1")]
    assert fake.notify["s1"].__name__ == "notify"
    assert ctx["teardown"]() is None
    assert fake.calls[2:] == [("unregister", "s1"), ("reset", "token-s1")]
    ctx["teardown"]()  # a second teardown repeats both steps with the same token
    assert fake.calls[4:] == [("unregister", "s1"), ("reset", "token-s1")]


def test_each_wiring_is_new(fake, pushed):
    a = gate.wire_approval_for_session("s", pushed[1])
    b = gate.wire_approval_for_session("s", pushed[1])
    assert a is not b and a["setup"] is not b["setup"] and a["teardown"] is not b["teardown"]


def test_teardown_without_setup_skips_reset(fake, pushed):
    gate.wire_approval_for_session("s", pushed[1])["teardown"]()
    assert fake.calls == [("unregister", "s")]


def test_failed_setup_keeps_token_for_teardown(fake, pushed):
    def broken(key, notify):
        raise RuntimeError("registry down")

    fake.register_gateway_notify = broken
    ctx = gate.wire_approval_for_session("s", pushed[1])
    with pytest.raises(RuntimeError, match="registry down"):
        ctx["setup"]()
    ctx["teardown"]()
    assert fake.calls == [("set", "s"), ("unregister", "s"), ("reset", "token-s")]


def test_none_token_is_not_reset(fake, pushed):
    fake.set_current_session_key = lambda key: None
    ctx = gate.wire_approval_for_session("s", pushed[1])
    ctx["setup"]()
    ctx["teardown"]()
    assert ("reset", None) not in fake.calls


def test_setup_uses_current_notify_factory(fake, pushed, monkeypatch):
    made = []
    monkeypatch.setattr(gate, "_make_notify_callback",
                        lambda sid, push: made.append(sid) or (lambda data: None))
    gate.wire_approval_for_session("s", pushed[1])["setup"]()
    assert made == ["s"]


def test_missing_engine_propagates(monkeypatch, pushed):
    monkeypatch.setitem(sys.modules, "tools.approval", None)
    with pytest.raises(ImportError):
        gate.wire_approval_for_session("s", pushed[1])
    with pytest.raises(ImportError):
        gate.resolve_approval("s", "once")


def test_engine_without_a_function_is_an_import_error(fake, pushed, monkeypatch):
    monkeypatch.delattr(FakeApproval, "unregister_gateway_notify")
    with pytest.raises(ImportError, match="unregister_gateway_notify"):
        gate.wire_approval_for_session("s", pushed[1])


def test_notify_builds_the_record(pushed):
    out, push = pushed
    notify = gate._make_notify_callback("s9", push)
    before = time.time()
    assert notify({"command": "rm -rf /tmp/x", "description": "recursive delete",
                   "pattern_key": "rm", "extra": 1}) is None
    (sid, record), = out
    assert sid == "s9"
    assert list(record) == ["type", "data"] and record["type"] == "approval_required"
    data = record["data"]
    assert list(data) == ["command", "description", "pattern_key", "session_id", "ts"]
    assert data["command"] == "rm -rf /tmp/x" and data["description"] == "recursive delete"
    assert data["pattern_key"] == "rm" and data["session_id"] == "s9"
    assert isinstance(data["ts"], float) and before <= data["ts"] <= time.time()


def test_notify_defaults_and_cut(pushed):
    out, push = pushed
    notify = gate._make_notify_callback("s", push)
    notify({})
    notify({"command": "x" * 501, "description": None})
    notify(approval_data={"command": "y" * 500})
    first, second, third = (r["data"] for _, r in out)
    assert (first["command"], first["description"], first["pattern_key"]) == \
        ("", "dangerous command", "")
    assert second["command"] == "x" * 500 and second["description"] is None
    assert third["command"] == "y" * 500


def test_notify_keeps_odd_text(pushed):
    out, push = pushed
    notify = gate._make_notify_callback("s\0\ud800", push)
    notify({"command": "a\0b\udcff"})
    assert out[0][0] == "s\0\ud800" and out[0][1]["data"]["command"] == "a\0b\udcff"


def test_notify_accepts_any_mapping(pushed):
    from types import MappingProxyType

    out, push = pushed
    gate._make_notify_callback("s", push)(MappingProxyType({"pattern_key": "k"}))
    assert out[0][1]["data"]["pattern_key"] == "k"


def test_notify_propagates_errors(pushed):
    def failing(sid, record):
        raise ValueError("queue closed")

    with pytest.raises(ValueError, match="queue closed"):
        gate._make_notify_callback("s", failing)({"command": "ls"})
    with pytest.raises(TypeError):
        gate._make_notify_callback("s", pushed[1])({"command": None})


@pytest.mark.parametrize("result", [True, False, None, 1])
def test_resolve_passes_result_through(fake, records, result):
    fake.resolve_result = result
    assert gate.resolve_approval("s", "session") is result
    assert fake.calls == [("resolve", "s", "session")]
    assert records(LOG) == [("INFO", "Approval resolved for %s: %s (resolved=%s)",
                             ("s", "session", result))]


def test_resolve_passes_unknown_choice_through(fake):
    gate.resolve_approval(session_id="s", choice="maybe")
    assert fake.calls == [("resolve", "s", "maybe")]


def test_resolve_failure_is_logged(fake, records):
    fake.resolve_result = RuntimeError("engine gone")
    assert gate.resolve_approval("s", "deny") is False
    assert records(LOG) == [("ERROR", "Failed to resolve approval: %s", ("engine gone",))]


def test_blocking_flow_with_a_fake_engine(fake, pushed):
    """A turn thread blocks in the fake engine until the host resolves it."""
    out, push = pushed
    answer = {}
    woke = threading.Event()

    def blocking_resolve(key, choice):
        answer["choice"] = choice
        woke.set()
        return True

    fake.resolve_gateway_approval = blocking_resolve

    def turn():
        ctx = gate.wire_approval_for_session("s", push)
        ctx["setup"]()
        try:
            fake.notify["s"]({"command": "rm -rf /", "pattern_key": "rm"})
            answer["woken"] = woke.wait(30)
        finally:
            ctx["teardown"]()

    t = threading.Thread(target=turn)
    t.start()
    deadline = time.monotonic() + 30
    while not out and time.monotonic() < deadline:
        time.sleep(0.01)
    assert out[0][1]["type"] == "approval_required"
    assert t.is_alive()
    assert gate.resolve_approval("s", "once") is True
    t.join(30)
    assert answer == {"choice": "once", "woken": True}
    assert ("unregister", "s") in fake.calls


class TestWithStandIn:
    """The wiring against the stand-in engine's approval system."""

    def _run_turn(self, push, command, session="chat-1"):
        from tools import approval

        result = {}

        def turn():
            ctx = gate.wire_approval_for_session(session, push)
            ctx["setup"]()
            try:
                result["key"] = approval.get_current_session_key()
                result["check"] = approval.check_dangerous_command(command)
            finally:
                ctx["teardown"]()
            result["after"] = approval.get_current_session_key(default="unbound")

        t = threading.Thread(target=turn)
        t.start()
        return t, result

    def _wait_pending(self, out, n=1):
        deadline = time.monotonic() + 30
        while len(out) < n and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(out) >= n

    @pytest.mark.parametrize("choice, approved", [
        ("once", True), ("session", True), ("always", True), ("deny", False)])
    def test_block_until_resolved(self, standin, pushed, choice, approved, monkeypatch):
        monkeypatch.setenv("KORVEL_GATEWAY_SESSION", "1")
        out, push = pushed
        t, result = self._run_turn(push, "rm -rf /tmp/nothing-here")
        self._wait_pending(out)
        sid, record = out[0]
        assert sid == "chat-1" and record["data"]["session_id"] == "chat-1"
        assert record["data"]["command"] == "rm -rf /tmp/nothing-here"
        assert record["data"]["pattern_key"] == "recursive_delete"
        time.sleep(0.2)
        assert t.is_alive()  # really blocked
        assert gate.resolve_approval("chat-1", choice) is True
        t.join(30)
        assert not t.is_alive()
        assert result["key"] == "chat-1" and result["after"] == "unbound"
        assert result["check"]["approved"] is approved
        assert result["check"]["choice"] == choice

    def test_nothing_pending_resolves_false(self, standin, records):
        assert gate.resolve_approval("idle", "once") is False
        assert records(LOG) == [("INFO", "Approval resolved for %s: %s (resolved=%s)",
                                 ("idle", "once", False))]

    def test_teardown_releases_a_blocked_thread(self, standin, pushed, monkeypatch):
        monkeypatch.setenv("KORVEL_GATEWAY_SESSION", "1")
        from tools import approval

        out, push = pushed
        ctx = gate.wire_approval_for_session("chat-2", push)
        result = {}

        def turn():
            ctx["setup"]()
            result["check"] = approval.check_dangerous_command("rm -rf /srv")

        t = threading.Thread(target=turn)
        t.start()
        self._wait_pending(out)
        approval.unregister_gateway_notify("chat-2")  # what teardown does first
        t.join(30)
        assert result["check"]["approved"] is False
        assert gate.resolve_approval("chat-2", "once") is False


def test_engine_module_found_without_its_package(monkeypatch):
    mod = types.ModuleType("tools.approval")
    mod.resolve_gateway_approval = lambda key, choice: "done"
    monkeypatch.delitem(sys.modules, "tools", raising=False)
    monkeypatch.setitem(sys.modules, "tools.approval", mod)
    assert gate.resolve_approval("s", "once") == "done"
