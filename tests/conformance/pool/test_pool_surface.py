"""The pool's public surface: argument names and defaults, module state and
its kinds, and what the module exposes in its namespace."""
import collections.abc
import threading

import pytest

from pool_fakes import Loop, Queue, join_titles

LOCK = type(threading.Lock())


def test_state_names_and_kinds(pool):
    for name in ["stream_subscribers", "_stream_buffers", "agent_cache", "_session_locks",
                 "_profile_dbs", "_pending_model_notes", "running_tasks"]:
        assert type(getattr(pool, name)) is dict, name
    for name in ["stream_sub_lock", "_stream_buffer_lock", "agent_cache_lock",
                 "_session_locks_lock", "_profile_dbs_lock", "_model_generation_lock",
                 "_pending_model_notes_lock", "tasks_lock"]:
        assert type(getattr(pool, name)) is LOCK, name
    assert pool._active_profile == "default" and type(pool._active_profile) is str
    assert pool._model_generation == 0 and type(pool._model_generation) is int


def test_items_bound_at_load(pool):
    for name in ["build_agent_kwargs", "register_running_agent", "unregister_running_agent",
                 "wire_approval_for_session", "AIAgent", "SessionDB"]:
        assert callable(getattr(pool, name)), name
    assert pool.logger.name == "bridge.pool"
    import os
    assert pool.os is os


class TestKeywords:
    def test_stream_operations(self, pool):
        q, loop = Queue(), Loop()
        pool._threadsafe_put(q=q, loop=loop, item="x")
        assert q.items == ["x"]
        pool._push_to_subscribers(session_id="s", item=1)
        pool.push_stream_delta(session_id="s", raw_delta="d")
        pool.push_stream_event(session_id="s", event={"type": "t", "data": {}})
        pool.signal_stream_done(session_id="s")
        q2 = Queue()
        sub = pool.subscribe_to_stream(session_id="s", q=q2, loop=loop)
        assert sub == (q2, loop)
        assert q2.items == [1, {"type": "delta", "data": "d"}, {"type": "t", "data": {}}, None]
        pool.unsubscribe_from_stream(session_id="s", sub=sub)
        assert "s" not in pool._stream_buffers

    def test_profile_operations(self, pool, root):
        assert pool.get_profile_home(profile="p") == pool.get_profile_home("p")
        assert pool.get_profile_home() == root
        assert pool.get_session_db(profile="p") is pool.get_session_db("p")
        pool.set_active_profile(name="p")
        assert pool.get_active_profile() == "p"
        assert pool._get_config_model() == ""

    def test_cache_and_notes(self, pool, root):
        agent, ctx = pool.get_agent(session_id="a", streaming_session_id="st")
        assert agent.session_id == "a"
        assert set(ctx) == {"setup", "teardown"}
        assert pool.get_agent("a")[0] is agent
        assert pool.get_session_lock(session_id="a") is pool.get_session_lock("a")
        assert pool.bump_model_generation() == 1
        assert pool.get_model_generation() == 1
        assert pool.pop_pending_model_note(session_id="zz") is None
        assert pool.split_model_note(text="zz") == (None, "zz")

    def test_tasks_history_titles(self, pool, monkeypatch):
        pool.cleanup_old_tasks()
        assert pool.get_conversation_history(session_id="s") == []
        import sys
        import types
        mod = types.ModuleType("agent.title_generator")
        mod.generate_title = lambda m, r: ""
        pkg = types.ModuleType("agent")
        pkg.__path__ = []
        pkg.title_generator = mod
        monkeypatch.setitem(sys.modules, "agent", pkg)
        monkeypatch.setitem(sys.modules, "agent.title_generator", mod)
        assert pool.trigger_auto_title(session_id="s", message="m", response="r",
                                       history=[]) is None
        join_titles()

    def test_factories_and_callables(self, pool, monkeypatch):
        monkeypatch.setitem(__import__("sys").modules, "tools.registry", None)
        got = []
        monkeypatch.setattr(pool, "push_stream_event", lambda sid, ev: got.append(ev))
        pool._make_tool_progress_callback(session_id="s")(
            event_type="tool.started", tool_name="t", preview="p", args={"a": 1})
        pool._make_thinking_callback(session_id="s")(text="th")
        pool._make_reasoning_callback(session_id="s")(text="re")
        pool._make_status_callback(session_id="s")(event_type="e", message="m")
        pool._make_background_review_callback(session_id="s")(message="bg")
        assert [g["type"] for g in got] == [
            "tool_started", "thinking", "reasoning_delta", "status", "status"]


def test_results_are_none(pool):
    assert pool.push_stream_delta("s", "x") is None
    assert pool.push_stream_event("s", {}) is None
    assert pool.signal_stream_done("s") is None
    assert pool._push_to_subscribers("s", 3) is None
    assert pool._threadsafe_put(Queue(), Loop(), 1) is None
    assert pool.unsubscribe_from_stream("s", (1, 2)) is None
    assert pool.set_active_profile("default") is None
    assert pool.cleanup_old_tasks() is None


def test_subscription_handle_is_a_pair(pool):
    q, loop = Queue(), Loop()
    sub = pool.subscribe_to_stream("s", q, loop)
    assert tuple(sub) == (q, loop) and len(sub) == 2
    assert isinstance(pool.stream_subscribers["s"], list)
    assert pool.stream_subscribers["s"] == [(q, loop)]
    # an equal, separately built pair unsubscribes it
    pool.unsubscribe_from_stream("s", (q, loop))
    assert pool.stream_subscribers["s"] == []


@pytest.mark.parametrize("call", [
    lambda p: p._push_to_subscribers(None, 1),
    lambda p: p.push_stream_delta(1, "x"),
    lambda p: p.push_stream_event(b"s", {}),
    lambda p: p.push_stream_event("s", None),
    lambda p: p.push_stream_event("s", [("type", "x")]),
    lambda p: p.signal_stream_done(None),
])
def test_stream_type_errors_buffer_nothing(pool, call):
    with pytest.raises(TypeError):
        call(pool)
    assert pool._stream_buffers == {}


def test_any_mapping_is_an_event(pool):
    class M(collections.abc.Mapping):
        def __getitem__(self, k):
            return {"type": "x"}[k]

        def __iter__(self):
            return iter(["type"])

        def __len__(self):
            return 1

    ev = M()
    pool.push_stream_event("s", ev)
    assert pool._stream_buffers["s"][0] is ev


@pytest.mark.parametrize("call", [
    lambda p: p.get_profile_home(3),
    lambda p: p.get_session_db(b"x"),
    lambda p: p.set_active_profile(None),
    lambda p: p.get_agent(None),
    lambda p: p.get_agent("a", 3),
    lambda p: p.get_session_lock(None),
    lambda p: p.pop_pending_model_note(1),
    lambda p: p.split_model_note(None),
    lambda p: p.trigger_auto_title("s", "m", "r", None),
    lambda p: p.trigger_auto_title("s", "m", "r", ("a",)),
    lambda p: p.trigger_auto_title(None, "m", "r", []),
    lambda p: p.trigger_auto_title("s", 1, "r", []),
    lambda p: p.trigger_auto_title("s", "m", None, []),
    lambda p: p._make_tool_progress_callback(None),
    lambda p: p._make_status_callback(1),
])
def test_type_errors_change_nothing(pool, call):
    before = threading.active_count()
    with pytest.raises(TypeError):
        call(pool)
    assert pool._active_profile == "default"
    assert pool.agent_cache == {} and pool._session_locks == {} and pool._profile_dbs == {}
    assert threading.active_count() == before
