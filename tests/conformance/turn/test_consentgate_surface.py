"""Approval wiring, checked from outside."""
import logging
import os
import subprocess
import sys
import time

import pytest

import bridge.Chat.consentgate as gate

LOG = "bridge.approval"


class Engine:
    """Stand-in for the engine's approval functions, recording calls."""

    def __init__(self):
        self.calls = []
        self.resolved = True

    def functions(self, tag=""):
        def set_current_session_key(key):
            self.calls.append((tag + "set", key))
            return ("token", key)

        def reset_current_session_key(token):
            self.calls.append((tag + "reset", token))

        def register_gateway_notify(key, notify):
            self.calls.append((tag + "register", key, notify))

        def unregister_gateway_notify(key):
            self.calls.append((tag + "unregister", key))

        def resolve_gateway_approval(key, choice):
            self.calls.append((tag + "resolve", key, choice))
            if isinstance(self.resolved, BaseException):
                raise self.resolved
            return self.resolved

        return dict(set_current_session_key=set_current_session_key,
                    reset_current_session_key=reset_current_session_key,
                    register_gateway_notify=register_gateway_notify,
                    unregister_gateway_notify=unregister_gateway_notify,
                    resolve_gateway_approval=resolve_gateway_approval)


@pytest.fixture
def engine(engine_module):
    e = Engine()
    e.module = engine_module("tools.approval", **e.functions())
    return e


@pytest.fixture
def pushed():
    out = []
    return out, (lambda sid, record: out.append((sid, record)))


def test_gateway_variable_and_logger():
    assert os.environ.get("KORVEL_GATEWAY_SESSION") is not None
    assert gate.logger is logging.getLogger(LOG)
    code = ("import os, bridge.Chat.consentgate; "
            "print(repr(os.environ.get('KORVEL_GATEWAY_SESSION')))")
    env = {k: v for k, v in os.environ.items() if k != "KORVEL_GATEWAY_SESSION"}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "'1'", out.stderr
    env["KORVEL_GATEWAY_SESSION"] = ""
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "''", out.stderr


def test_context_shape_and_flow(engine, pushed):
    out, push = pushed
    ctx = gate.wire_approval_for_session(session_id="s1", push_event_fn=push)
    assert type(ctx) is dict and list(ctx) == ["setup", "teardown"]
    assert engine.calls == []
    assert ctx["setup"]() is None
    assert [c[:2] for c in engine.calls] == [("set", "s1"), ("register", "s1")]
    notify = engine.calls[1][2]
    assert callable(notify) and notify.__name__ == "notify"
    assert ctx["teardown"]() is None
    assert engine.calls[2:] == [("unregister", "s1"), ("reset", ("token", "s1"))]
    ctx["teardown"]()
    assert engine.calls[4:] == [("unregister", "s1"), ("reset", ("token", "s1"))]
    other = gate.wire_approval_for_session("s1", push)
    assert other is not ctx and other["setup"] is not ctx["setup"]


def test_engine_functions_fixed_when_wired(engine, engine_module, pushed):
    ctx = gate.wire_approval_for_session("s", pushed[1])
    later = Engine()
    engine_module("tools.approval", **later.functions("late-"))
    ctx["setup"]()
    ctx["teardown"]()
    assert [c[0] for c in engine.calls] == ["set", "register", "unregister", "reset"]
    assert later.calls == []


def test_wiring_without_engine_fails_at_once(engine_module, pushed):
    engine_module("tools.approval", _missing=True)
    with pytest.raises(ImportError):
        gate.wire_approval_for_session("s", pushed[1])
    with pytest.raises(ImportError):
        gate.resolve_approval("s", "once")


def test_teardown_without_setup(engine, pushed):
    ctx = gate.wire_approval_for_session("s", pushed[1])
    ctx["teardown"]()
    assert engine.calls == [("unregister", "s")]


def test_setup_failing_at_registration_keeps_the_token(engine, pushed):
    def broken(key, notify):
        raise RuntimeError("no gateway")

    engine.module.register_gateway_notify = broken
    ctx = gate.wire_approval_for_session("s", pushed[1])
    with pytest.raises(RuntimeError, match="no gateway"):
        ctx["setup"]()
    ctx["teardown"]()
    assert engine.calls == [("set", "s"), ("unregister", "s"), ("reset", ("token", "s"))]


def test_notify_record(engine, pushed, monkeypatch):
    out, push = pushed
    monkeypatch.setattr(time, "time", lambda: 1234.5)
    notify = gate._make_notify_callback(session_id="sess", push_event_fn=push)
    assert notify.__name__ == "notify"
    assert notify(approval_data={"command": "rm -rf /", "description": "deletes", "pattern_key": "rf",
                                 "extra": 1}) is None
    assert len(out) == 1
    sid, record = out[0]
    assert sid == "sess"
    assert list(record) == ["type", "data"] and record["type"] == "approval_required"
    data = record["data"]
    assert list(data) == ["command", "description", "pattern_key", "session_id", "ts"]
    assert data["command"] == "rm -rf /" and data["description"] == "deletes"
    assert data["pattern_key"] == "rf" and data["session_id"] == "sess"
    assert type(data["ts"]) is float and data["ts"] == 1234.5


def test_notify_ts_is_wall_clock(pushed):
    out, push = pushed
    notify = gate._make_notify_callback("s", push)
    before = time.time()
    notify({})
    after = time.time()
    ts = out[0][1]["data"]["ts"]
    assert type(ts) is float and before <= ts <= after


def test_notify_defaults_present_none_and_cut(pushed):
    out, push = pushed
    notify = gate._make_notify_callback("s", push)
    notify({})
    assert {k: out[0][1]["data"][k] for k in ("command", "description", "pattern_key")} == {
        "command": "", "description": "dangerous command", "pattern_key": ""}
    notify({"command": "x", "description": None, "pattern_key": None})
    assert out[1][1]["data"]["description"] is None and out[1][1]["data"]["pattern_key"] is None
    for command, expected in (("a" * 501, "a" * 500), ("b" * 500, "b" * 500),
                              ("\u00e9" * 600, "\u00e9" * 500),
                              ("\U0001F600" * 501, "\U0001F600" * 500),
                              ("\x00\ud800" * 300, ("\x00\ud800" * 300)[:500]),
                              ("short", "short")):
        out.clear()
        notify({"command": command})
        assert out[0][1]["data"]["command"] == expected


def test_notify_errors_reach_the_engine(pushed):
    out, push = pushed
    notify = gate._make_notify_callback("s", push)
    with pytest.raises(TypeError):
        notify({"command": None})
    with pytest.raises(TypeError):
        notify(["command"])
    with pytest.raises(TypeError):
        notify(None)
    assert out == []

    def failing(sid, record):
        raise ConnectionError("stream gone")

    with pytest.raises(ConnectionError):
        gate._make_notify_callback("s", failing)({})


def test_wiring_type_checks(engine, pushed):
    for bad in (None, 3, b"s"):
        with pytest.raises(TypeError):
            gate.wire_approval_for_session(bad, pushed[1])
        with pytest.raises(TypeError):
            gate._make_notify_callback(bad, pushed[1])
        with pytest.raises(TypeError):
            gate.resolve_approval(bad, "once")
        with pytest.raises(TypeError):
            gate.resolve_approval("s", bad)
    assert engine.calls == []


def test_resolve(engine, logs):
    token = object()
    engine.resolved = token
    assert gate.resolve_approval(session_id="s", choice="whatever") is token
    engine.resolved = False
    assert gate.resolve_approval("s", "deny") is False
    engine.resolved = None
    assert gate.resolve_approval("s", "once") is None
    assert engine.calls == [("resolve", "s", "whatever"), ("resolve", "s", "deny"), ("resolve", "s", "once")]
    assert logs(LOG) == [
        ("INFO", "Approval resolved for %s: %s (resolved=%s)", ("s", "whatever", token)),
        ("INFO", "Approval resolved for %s: %s (resolved=%s)", ("s", "deny", False)),
        ("INFO", "Approval resolved for %s: %s (resolved=%s)", ("s", "once", None))]


def test_resolve_failure(engine, logs):
    engine.resolved = LookupError("no such session")
    assert gate.resolve_approval("s", "once") is False
    got = logs(LOG)
    assert len(got) == 1 and got[0][:2] == ("ERROR", "Failed to resolve approval: %s")
    assert str(got[0][2][0]).strip("'") == "no such session"
    engine.resolved = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        gate.resolve_approval("s", "once")


def test_resolve_looks_the_engine_up_each_time(engine, engine_module):
    later = Engine()
    later.resolved = "later"
    engine_module("tools.approval", **later.functions())
    assert gate.resolve_approval("s", "once") == "later"
    assert engine.calls == []
