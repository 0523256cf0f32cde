"""Agent callbacks: record shapes and key orders, the registry lookups, the
rounding of durations, argument rules."""
import decimal
import fractions
import sys
import types

import pytest


@pytest.fixture
def pushed(pool, monkeypatch):
    got = []
    monkeypatch.setattr(pool, "push_stream_event", lambda sid, ev: got.append((sid, ev)))
    monkeypatch.setattr(pool.time, "time", lambda: 1234.5)
    return got


@pytest.fixture
def reg(monkeypatch):
    calls = []

    class Registry:
        def get_emoji(self, name, *, default):
            calls.append(("emoji", name, default))
            return {"web": "🌐"}.get(name, default)

        def get_toolset_for_tool(self, name):
            calls.append(("toolset", name))
            return {"web": "browse"}.get(name, 0)

    mod = types.ModuleType("tools.registry")
    mod.registry = Registry()
    pkg = types.ModuleType("tools")
    pkg.__path__ = []
    pkg.registry = mod
    monkeypatch.setitem(sys.modules, "tools", pkg)
    monkeypatch.setitem(sys.modules, "tools.registry", mod)
    return calls


@pytest.fixture
def noreg(monkeypatch):
    monkeypatch.setitem(sys.modules, "tools.registry", None)


def test_started_record(pool, pushed, reg):
    cb = pool._make_tool_progress_callback("st")
    cb("tool.started", "web", "prev", {"q": 1})
    sid, ev = pushed[0]
    assert sid == "st"
    assert list(ev) == ["type", "data"] and ev["type"] == "tool_started"
    assert list(ev["data"].items()) == [("tool", "web"), ("emoji", "🌐"), ("toolset", "browse"),
                                        ("preview", "prev"), ("args", {"q": 1}), ("ts", 1234.5)]
    assert type(ev["data"]["ts"]) is float
    assert reg == [("emoji", "web", "⚡"), ("toolset", "web")]


def test_unknown_tool_and_falsy_toolset(pool, pushed, reg):
    pool._make_tool_progress_callback("st")("tool.started", "other")
    assert pushed[0][1]["data"]["emoji"] == "⚡" and pushed[0][1]["data"]["toolset"] == "unknown"


def test_no_tool_name_skips_registry(pool, pushed, reg):
    pool._make_tool_progress_callback("st")("tool.started", "")
    pool._make_tool_progress_callback("st")("tool.started")
    assert reg == []
    assert [p[1]["data"]["tool"] for p in pushed] == ["", None]


def test_completed_record(pool, pushed, noreg):
    cb = pool._make_tool_progress_callback("st")
    cb("tool.completed", "t", "p", {"ignored": 1}, duration=2.5, is_error="yes", other=1)
    data = pushed[0][1]["data"]
    assert pushed[0][1]["type"] == "tool_completed"
    assert list(data) == ["tool", "emoji", "toolset", "preview", "duration", "is_error", "ts"]
    assert data["duration"] == 2.5 and data["is_error"] == "yes"
    cb("tool.completed")
    data = pushed[1][1]["data"]
    assert data["duration"] == 0 and type(data["duration"]) is int
    assert data["is_error"] is False


@pytest.mark.parametrize("value", [
    1.23456, 2.675, 0.0005, 0.0015, 1.0005, -0.0005, -2.675, 1e-9, 123456789.12345,
    1e300, 0.1 + 0.2, 7, -3, True, 10**30,
    fractions.Fraction(1, 3), decimal.Decimal("2.0005"),
])
def test_duration_is_round_to_three(pool, pushed, noreg, value):
    pool._make_tool_progress_callback("st")("tool.completed", "t", duration=value)
    got = pushed[0][1]["data"]["duration"]
    want = round(value, 3)
    assert got == want and type(got) is type(want)


@pytest.mark.parametrize("value", [float("inf"), float("nan")])
def test_duration_special_floats(pool, pushed, noreg, value):
    pool._make_tool_progress_callback("st")("tool.completed", "t", duration=value)
    got = pushed[0][1]["data"]["duration"]
    want = round(value, 3)
    assert type(got) is float and (got == want or (got != got and want != want))


def test_duration_own_rounding_is_used(pool, pushed, noreg):
    class D:
        def __round__(self, n=None):
            return ("rounded", n)

    pool._make_tool_progress_callback("st")("tool.completed", "t", duration=D())
    assert pushed[0][1]["data"]["duration"] == ("rounded", 3)


def test_duration_none_or_text_propagates(pool, pushed, noreg):
    cb = pool._make_tool_progress_callback("st")
    with pytest.raises(TypeError):
        cb("tool.completed", "t", duration="1.5")
    with pytest.raises(TypeError):
        cb("tool.completed", "t", duration=None)
    assert pushed == []


def test_reasoning_available(pool, pushed, noreg):
    cb = pool._make_tool_progress_callback("st")
    cb("reasoning.available", None, "thought")
    cb("reasoning.available", None, "")
    assert [list(p[1]["data"].items()) for p in pushed] == [
        [("text", "thought"), ("ts", 1234.5)], [("text", ""), ("ts", 1234.5)]]
    assert pushed[0][1]["type"] == "reasoning"


@pytest.mark.parametrize("event_type", ["tool.Started", "status", None, 3, "tool.completed "])
def test_other_events_push_nothing(pool, pushed, reg, event_type):
    pool._make_tool_progress_callback("st")(event_type, "web")
    assert pushed == []
    assert len(reg) == 2


def test_tool_progress_arity(pool, pushed, noreg):
    cb = pool._make_tool_progress_callback("st")
    with pytest.raises(TypeError):
        cb("tool.started", "a", "b", "c", "d")
    with pytest.raises(TypeError):
        cb()
    cb(event_type="tool.started", tool_name="a", preview="b", args="c", extra=1)
    assert pushed[0][1]["data"]["args"] == "c"


def test_thinking_reasoning_status_records(pool, pushed):
    pool._make_thinking_callback("st")("deep")
    pool._make_reasoning_callback("st")("step")
    pool._make_status_callback("st")("retry", "")
    pool._make_status_callback("st")(None, None)
    pool._make_background_review_callback("st")("💾 Memory updated")
    assert [(p[1]["type"], list(p[1]["data"].items())) for p in pushed] == [
        ("thinking", [("text", "deep"), ("ts", 1234.5)]),
        ("reasoning_delta", [("text", "step"), ("ts", 1234.5)]),
        ("status", [("event", "retry"), ("message", ""), ("ts", 1234.5)]),
        ("status", [("event", None), ("message", None), ("ts", 1234.5)]),
        ("status", [("event", "background_review"), ("message", "💾 Memory updated"),
                    ("ts", 1234.5)]),
    ]


def test_empty_texts_push_nothing(pool, pushed):
    for text in ["", None]:
        pool._make_thinking_callback("st")(text)
        pool._make_reasoning_callback("st")(text)
    pool._make_background_review_callback("st")("")
    assert pushed == []


def test_arities_of_the_small_callables(pool, pushed):
    for make in [pool._make_thinking_callback, pool._make_reasoning_callback,
                 pool._make_background_review_callback]:
        with pytest.raises(TypeError):
            make("st")()
        with pytest.raises(TypeError):
            make("st")("a", "b")
    with pytest.raises(TypeError):
        pool._make_status_callback("st")("only")
    for bad in [None, 3, b"x"]:
        with pytest.raises(TypeError):
            pool._make_background_review_callback("st")(bad)
    assert pushed == []


def test_callable_keeps_its_session(pool, pushed):
    cb = pool._make_status_callback("one")
    pool._make_status_callback("two")
    cb("e", "m")
    assert pushed[0][0] == "one"


def test_registry_import_error_kinds(pool, monkeypatch):
    class Finder:
        def find_spec(self, name, path=None, target=None):
            if name == "tools.registry" or name == "tools":
                raise ZeroDivisionError("broken engine")
            return None

    monkeypatch.delitem(sys.modules, "tools", raising=False)
    monkeypatch.delitem(sys.modules, "tools.registry", raising=False)
    monkeypatch.setattr(sys, "meta_path", [Finder()] + sys.meta_path)
    with pytest.raises(ZeroDivisionError):
        pool._make_tool_progress_callback("st")
