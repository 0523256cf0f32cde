"""Agent callbacks: the records each engine report turns into."""
import time

import pytest


@pytest.fixture
def items(wp, collect):
    return collect("s")


def data_of(record):
    assert list(record) == ["type", "data"]
    return record["data"]


class TestToolProgress:
    def test_started_without_registry(self, wp, items, no_registry):
        before = time.time()
        wp._make_tool_progress_callback("s")("tool.started", "x")
        (rec,) = items
        assert rec["type"] == "tool_started"
        d = data_of(rec)
        assert list(d) == ["tool", "emoji", "toolset", "preview", "args", "ts"]
        assert d["tool"] == "x" and d["emoji"] == "⚡" and d["toolset"] == "unknown"
        assert d["preview"] is None and d["args"] is None
        assert isinstance(d["ts"], float) and before <= d["ts"] <= time.time()

    def test_registry_lookups(self, wp, items, registry):
        cb = wp._make_tool_progress_callback("s")
        args = {"command": "ls"}
        cb("tool.started", "terminal", "ls -l", args)
        d = data_of(items[0])
        assert (d["emoji"], d["toolset"], d["preview"]) == ("💻", "shell", "ls -l")
        assert d["args"] is args
        cb("tool.started", "other")
        d = data_of(items[1])
        assert (d["emoji"], d["toolset"]) == ("⚡", "unknown")  # default passed by keyword

    @pytest.mark.parametrize("toolset", ["", None, 0])
    def test_false_toolset_is_unknown_and_none_emoji_kept(self, wp, items, registry, toolset):
        registry.get_toolset_for_tool = lambda name: toolset
        registry.get_emoji = lambda name, default: None
        wp._make_tool_progress_callback("s")("tool.started", "t")
        d = data_of(items[0])
        assert d["toolset"] == "unknown" and d["emoji"] is None

    def test_completed_fields(self, wp, items, no_registry):
        cb = wp._make_tool_progress_callback("s")
        cb("tool.completed", "x", "p", {"a": 1}, duration=1.23456, is_error=True)
        cb("tool.completed", "x")
        cb("tool.completed", "x", duration=2.0005, is_error="yes", other=1)
        cb("tool.completed", "x", duration=7)
        d1, d2, d3, d4 = (data_of(r) for r in items)
        assert items[0]["type"] == "tool_completed"
        assert list(d1) == ["tool", "emoji", "toolset", "preview", "duration", "is_error", "ts"]
        assert d1["duration"] == 1.235 and d1["is_error"] is True
        assert d2["duration"] == 0 and type(d2["duration"]) is int and d2["is_error"] is False
        assert d3["duration"] == round(2.0005, 3) and d3["is_error"] == "yes"
        assert d4["duration"] == 7 and type(d4["duration"]) is int

    def test_duration_not_a_number_propagates(self, wp, items, no_registry):
        with pytest.raises(TypeError):
            wp._make_tool_progress_callback("s")("tool.completed", "x", duration="slow")
        assert items == []

    def test_reasoning_available(self, wp, items, no_registry):
        cb = wp._make_tool_progress_callback("s")
        cb("reasoning.available", None, None)
        cb("reasoning.available", "_thinking", "because")
        assert [r["type"] for r in items] == ["reasoning", "reasoning"]
        assert list(data_of(items[0])) == ["text", "ts"]
        assert data_of(items[0])["text"] == "" and data_of(items[1])["text"] == "because"

    def test_event_type_compared_by_value(self, wp, items, no_registry):
        # Built at run time (not the same object as a literal), cut from a
        # text of wider characters, a near miss of wider characters, and a
        # str subclass with its own comparison.
        class Loose(str):
            def __eq__(self, other):
                return other == "tool.started"

            __hash__ = str.__hash__

        cb = wp._make_tool_progress_callback("s")
        cb("".join(["tool.", "completed"]), "x", duration=1)
        cb("tool.completed\u0101"[:-1], "x")
        cb("tool.complet\u0101d", "x")
        cb(Loose("anything"), "x")
        assert [r["type"] for r in items] == ["tool_completed", "tool_completed", "tool_started"]

    def test_other_events_push_nothing_but_consult_registry(self, wp, items, registry):
        looked = []
        registry.get_emoji = lambda name, default: looked.append(name) or "e"
        cb = wp._make_tool_progress_callback("s")
        cb("tool.progress", "terminal")
        cb(None, "terminal")
        assert items == [] and looked == ["terminal", "terminal"]

    def test_registry_errors_propagate(self, wp, items, registry):
        def boom(name, default):
            raise RuntimeError("registry down")

        registry.get_emoji = boom
        with pytest.raises(RuntimeError):
            wp._make_tool_progress_callback("s")("tool.started", "terminal")
        assert items == []

    def test_registry_fixed_when_made(self, wp, items, registry, monkeypatch):
        import sys

        cb = wp._make_tool_progress_callback("s")
        monkeypatch.setitem(sys.modules, "tools.registry", None)
        cb("tool.started", "terminal")
        assert data_of(items[0])["emoji"] == "💻"

    def test_registry_import_failures(self, wp, monkeypatch):
        import sys
        import types

        broken = types.ModuleType("tools.registry")  # no `registry` in it
        monkeypatch.setitem(sys.modules, "tools.registry", broken)
        wp._make_tool_progress_callback("s")
        monkeypatch.setitem(sys.modules, "tools.registry", None)
        wp._make_tool_progress_callback("s")

    def test_arguments(self, wp, items, no_registry):
        cb = wp._make_tool_progress_callback("s")
        with pytest.raises(TypeError):
            cb("tool.started", "a", "b", "c", "d")
        with pytest.raises(TypeError):
            cb()
        with pytest.raises(TypeError):
            cb("tool.started", event_type="tool.started")
        cb(event_type="tool.started", tool_name="k", preview="p", args=[1], extra=3)
        d = data_of(items[0])
        assert (d["tool"], d["preview"], d["args"]) == ("k", "p", [1])


class TestTextCallbacks:
    def test_thinking_and_reasoning(self, wp, items):
        th = wp._make_thinking_callback("s")
        re = wp._make_reasoning_callback("s")
        for cb in (th, re):
            cb("")
            cb(None)
        th("deep")
        re(text="delta")
        assert [r["type"] for r in items] == ["thinking", "reasoning_delta"]
        assert [list(data_of(r)) for r in items] == [["text", "ts"]] * 2
        assert data_of(items[0])["text"] == "deep" and data_of(items[1])["text"] == "delta"
        with pytest.raises(TypeError):
            th()
        with pytest.raises(TypeError):
            re("a", "b")

    def test_status_always_pushes(self, wp, items):
        st = wp._make_status_callback("s")
        st("lifecycle", "")
        st(None, None)
        st(event_type="retry", message="again")
        assert [r["type"] for r in items] == ["status"] * 3
        assert list(data_of(items[0])) == ["event", "message", "ts"]
        assert data_of(items[0])["message"] == "" and data_of(items[1])["event"] is None
        assert data_of(items[2])["event"] == "retry"
        with pytest.raises(TypeError):
            st("only one")

    def test_background_review(self, wp, items):
        br = wp._make_background_review_callback("s")
        br("")
        br("💾 Memory updated")
        assert len(items) == 1
        d = data_of(items[0])
        assert items[0]["type"] == "status"
        assert list(d) == ["event", "message", "ts"]
        assert d["event"] == "background_review" and d["message"] == "💾 Memory updated"
        for bad in (None, 3, b"x"):
            with pytest.raises(TypeError):
                br(bad)
        assert len(items) == 1


class TestFactories:
    @pytest.mark.parametrize("factory", [
        "_make_tool_progress_callback", "_make_thinking_callback",
        "_make_reasoning_callback", "_make_status_callback",
        "_make_background_review_callback",
    ])
    def test_session_id_must_be_text(self, wp, factory):
        for bad in (None, 1, b"s"):
            with pytest.raises(TypeError):
                getattr(wp, factory)(bad)
        assert callable(getattr(wp, factory)(session_id="s"))
        assert getattr(wp, factory)("s") is not getattr(wp, factory)("s")

    def test_callbacks_push_through_current_push_stream_event(self, wp, monkeypatch):
        seen = []
        monkeypatch.setattr(wp, "push_stream_event", lambda sid, ev: seen.append((sid, ev)))
        wp._make_status_callback("other")("e", "m")
        assert seen[0][0] == "other" and seen[0][1]["type"] == "status"

    def test_push_errors_propagate(self, wp, monkeypatch):
        def boom(sid, ev):
            raise ValueError("full")

        monkeypatch.setattr(wp, "push_stream_event", boom)
        with pytest.raises(ValueError):
            wp._make_thinking_callback("s")("x")

    def test_ts_uses_module_time(self, wp, items, monkeypatch):
        import types

        monkeypatch.setattr(wp, "time", types.SimpleNamespace(time=lambda: 42.5))
        wp._make_status_callback("s")("e", "m")
        assert data_of(items[0])["ts"] == 42.5

    def test_ts_follows_time_time_between_calls(self, wp, items, monkeypatch):
        # time.time is looked up on every record: replacing it (or putting it
        # back) takes effect from the next call on.
        import time as time_module

        cb = wp._make_status_callback("s")
        cb("e", "m")
        with monkeypatch.context() as patch:
            patch.setattr(time_module, "time", lambda: 7.0)
            cb("e", "m")
        cb("e", "m")
        first, patched, restored = (data_of(i)["ts"] for i in items[:3])
        assert patched == 7.0
        assert first > 7.0 and restored >= first


def test_callables_release_what_they_hold(wp):
    import gc
    import sys

    cb = wp._make_status_callback("s")
    kind = type(cb)
    sid = "session-" + "x" * 10
    before_type, before_sid = sys.getrefcount(kind), sys.getrefcount(sid)
    made = [wp._make_tool_progress_callback(sid) for _ in range(100)]
    assert sys.getrefcount(sid) == before_sid + 100
    del made
    gc.collect()
    assert sys.getrefcount(kind) == before_type
    assert sys.getrefcount(sid) == before_sid
