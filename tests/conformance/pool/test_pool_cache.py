"""The warm agent cache: construction arguments, the model switch pass and
its notes, what is called with which lock held, errors and the lock."""
import pathlib

import pytest

from pool_fakes import ALL_LOCKS, Agent, locks_free

NOTE = ("[Note: model was just switched from {old} to {new}. You are now {new}. "
        "Adjust your self-identification accordingly.]")
PLATFORM = ("**Platform notes:** You are running inside a desktop chat interface. You can "
            "display images and files inline by including MEDIA:<filepath> in your response. "
            "The interface renders these as visible images.")


def test_construction_arguments(pool, root, monkeypatch):
    monkeypatch.setattr(pool, "build_agent_kwargs", lambda home: {"max_iterations": 7})
    agent, ctx = pool.get_agent("s1")
    kw = agent.kwargs
    assert list(kw) == ["model", "api_key", "base_url", "provider", "platform", "session_id",
                        "session_db", "quiet_mode", "enabled_toolsets",
                        "ephemeral_system_prompt", "max_iterations"]
    assert kw["model"] == "google/gemini-2.5-flash:free"
    assert kw["api_key"] == "" and kw["provider"] == "openrouter" and kw["platform"] == "zalix"
    assert kw["base_url"].endswith("/api/v1") and "openrouter" in kw["base_url"]
    assert kw["session_id"] == "s1" and kw["session_db"] is pool._profile_dbs["default"]
    assert kw["quiet_mode"] is True
    assert kw["enabled_toolsets"] == ["korvel-cli"]
    assert kw["ephemeral_system_prompt"] == PLATFORM
    assert agent._zalix_model_gen == 0 and agent.session_id == "s1"
    assert agent._last_flushed_db_idx == 0
    assert pool.agent_cache == {"s1": agent}
    assert isinstance(ctx, dict) and set(ctx) == {"setup", "teardown"}


def test_environment_values(pool, root, monkeypatch):
    monkeypatch.setenv("OPENROUTER_API_KEY", "k")
    monkeypatch.setenv("ZALIX_BASE_URL", "http://b")
    monkeypatch.setenv("ZALIX_PROVIDER", "p")
    monkeypatch.setenv("ZALIX_TOOLSETS", "a, b,,c ")
    monkeypatch.setenv("ZALIX_MODEL", "ignored-when-config")
    (root / "config.yaml").write_text("model: cfg/m\nagent:\n  system_prompt: '  mine \n'\n")
    kw = pool.get_agent("s")[0].kwargs
    assert (kw["api_key"], kw["base_url"], kw["provider"]) == ("k", "http://b", "p")
    assert kw["enabled_toolsets"] == ["a", " b", "", "c "]
    assert kw["model"] == "cfg/m"
    assert kw["ephemeral_system_prompt"] == PLATFORM + "\n\nmine"


def test_environment_prompt_taken_as_is_then_whole_stripped(pool, root, monkeypatch):
    (root / "config.yaml").write_text("agent:\n  system_prompt: file\n")
    monkeypatch.setenv("KORVEL_EPHEMERAL_SYSTEM_PROMPT", "  env  \n")
    assert pool.get_agent("s")[0].kwargs["ephemeral_system_prompt"] == PLATFORM + "\n\n  env"


@pytest.mark.parametrize("text", ["agent: [1]\n", "agent:\n  system_prompt: [x]\n",
                                  "agent: {\n", "- 1\n", "agent:\n"])
def test_odd_prompt_configs_ignored(pool, root, text):
    (root / "config.yaml").write_text(text)
    assert pool.get_agent("s")[0].kwargs["ephemeral_system_prompt"] == PLATFORM


def test_profile_home_given_to_kwargs_builder(pool, root):
    got = []
    pool.build_agent_kwargs = lambda home: got.append(home) or {}
    pool._active_profile = "w"
    pool.get_agent("s")
    assert got == [root / "profiles" / "w"] and isinstance(got[0], pathlib.Path)


@pytest.mark.parametrize("extra", [None, [("x", 1)], {"model": "m"}, {"session_db": 1}])
def test_bad_extras_build_nothing(pool, root, monkeypatch, extra):
    monkeypatch.setattr(pool, "build_agent_kwargs", lambda home: extra)
    with pytest.raises(Exception):
        pool.get_agent("s")
    assert pool.agent_cache == {} and Agent.built == []
    assert locks_free(*ALL_LOCKS)


def test_mapping_extras_of_other_kinds(pool, root, monkeypatch):
    import types
    monkeypatch.setattr(pool, "build_agent_kwargs",
                        lambda home: types.MappingProxyType({"extra_one": 1}))
    assert pool.get_agent("s")[0].kwargs["extra_one"] == 1


def test_order_of_calls_and_locks(pool, root, monkeypatch):
    seen = []
    real_db = pool.get_session_db

    def db(profile=None):
        seen.append(("db", pool.agent_cache_lock.locked()))
        return real_db(profile)

    def gen():
        seen.append(("gen", pool.agent_cache_lock.locked()))
        return 0

    def wire(session_id, push):
        seen.append(("wire", pool.agent_cache_lock.locked()))
        return {"setup": None, "teardown": None}

    monkeypatch.setattr(pool, "get_session_db", db)
    monkeypatch.setattr(pool, "get_model_generation", gen)
    monkeypatch.setattr(pool, "wire_approval_for_session", wire)
    pool.get_agent("s")
    assert seen == [("db", False), ("gen", False), ("wire", True)]
    assert locks_free(*ALL_LOCKS)


def test_wiring_gets_chat_session_and_current_push(pool, root, wired, monkeypatch):
    def my_push(sid, ev):
        pass

    monkeypatch.setattr(pool, "push_stream_event", my_push)
    pool.get_agent("chat", "stream")
    assert wired == [("chat", my_push)]


def test_callbacks_attached_in_order_and_late_bound(pool, root, monkeypatch):
    order = []

    class Tracking(Agent):
        def __setattr__(self, k, v):
            order.append(k)
            object.__setattr__(self, k, v)

    monkeypatch.setattr(pool, "AIAgent", Tracking)
    made = []
    for name in ["_make_tool_progress_callback", "_make_thinking_callback",
                 "_make_reasoning_callback", "_make_status_callback",
                 "_make_background_review_callback"]:
        monkeypatch.setattr(pool, name, lambda sid, n=name: made.append((n, sid)) or n)
    agent, _ = pool.get_agent("chat", "stream")
    cbs = [k for k in order if k.endswith("_callback")]
    assert cbs == ["stream_delta_callback", "tool_progress_callback", "thinking_callback",
                   "reasoning_callback", "status_callback", "background_review_callback"]
    assert agent.tool_progress_callback == "_make_tool_progress_callback"
    assert [m[1] for m in made] == ["stream"] * 5
    deltas = []
    monkeypatch.setattr(pool, "push_stream_delta", lambda sid, d: deltas.append((sid, d)))
    agent.stream_delta_callback("tok")
    assert deltas == [("stream", "tok")]
    assert order.index("session_id") < order.index("stream_delta_callback")


def test_switch_pass(pool, root, monkeypatch):
    a, _ = pool.get_agent("a")
    b, _ = pool.get_agent("b")
    a.model = "old-a"
    b.model = "old-b"
    (root / "config.yaml").write_text("model: new/m\n")
    monkeypatch.setenv("OPENROUTER_API_KEY", "key")
    assert pool.bump_model_generation() == 1
    pool.get_agent("b")
    want = dict(new_model="new/m", new_provider="openrouter", api_key="key")
    for ag in (a, b):
        assert len(ag.switched) == 1
        sw = ag.switched[0]
        assert {k: sw[k] for k in want} == want and sw["base_url"].endswith("/api/v1")
        assert ag._zalix_model_gen == 1
    note = NOTE.format(old="old-b", new="new/m")
    assert pool._pending_model_notes == {"a": note, "b": note}
    assert pool.pop_pending_model_note("a") == note
    assert pool.pop_pending_model_note("a") is None
    pool.get_agent("a")
    assert len(a.switched) == 1


def test_switch_default_model_and_unknown_old(pool, root, monkeypatch):
    class NoModel(Agent):
        def __init__(self, **kw):
            super().__init__(**kw)
            del self.model

    monkeypatch.setattr(pool, "AIAgent", NoModel)
    pool.get_agent("a")
    pool.bump_model_generation()
    pool.get_agent("a")
    assert pool._pending_model_notes["a"] == NOTE.format(
        old="unknown", new="google/gemini-2.5-flash:free")


def test_switch_env_read_at_switch(pool, root, monkeypatch):
    a, _ = pool.get_agent("a")
    pool.bump_model_generation()
    monkeypatch.setenv("ZALIX_PROVIDER", "prov")
    monkeypatch.setenv("ZALIX_BASE_URL", "http://u")
    pool.get_agent("a")
    assert a.switched[0]["new_provider"] == "prov" and a.switched[0]["base_url"] == "http://u"


def test_failed_switch_evicts_and_requester_rebuilt(pool, root, caplog):
    a, _ = pool.get_agent("a")
    b, _ = pool.get_agent("b")
    c, _ = pool.get_agent("c")
    a.refuse = True
    b.refuse = True
    pool.bump_model_generation()
    got, _ = pool.get_agent("b")
    assert got is not b and got._zalix_model_gen == 1
    assert "a" not in pool.agent_cache
    assert pool.agent_cache["b"] is got and pool.agent_cache["c"] is c
    assert set(pool._pending_model_notes) == {"c"}
    assert [r for r in caplog.records if r.name == "bridge.pool"] == []


def test_notes_lock_held_only_inside_cache_lock(pool, root, monkeypatch):
    seen = []

    class Notes(dict):
        def __setitem__(self, k, v):
            seen.append((pool._pending_model_notes_lock.locked(),
                         pool.agent_cache_lock.locked()))
            super().__setitem__(k, v)

    monkeypatch.setattr(pool, "_pending_model_notes", Notes())
    pool.get_agent("a")
    pool.bump_model_generation()
    pool.get_agent("a")
    assert seen == [(True, True)]


def test_generation_read_through_namespace(pool, root, monkeypatch):
    a, _ = pool.get_agent("a")
    monkeypatch.setattr(pool, "get_model_generation", lambda: 5)
    pool.get_agent("a")
    assert a._zalix_model_gen == 5 and len(a.switched) == 1


def test_errors_reach_the_caller_and_free_the_lock(pool, root, monkeypatch):
    class Boom(Exception):
        pass

    def bad(*a, **k):
        raise Boom()

    for name in ["AIAgent", "build_agent_kwargs", "wire_approval_for_session",
                 "_make_status_callback", "get_session_db", "_get_config_model"]:
        with monkeypatch.context() as m:
            m.setattr(pool, name, bad)
            with pytest.raises(Boom):
                pool.get_agent("s" + name, "st")
        assert locks_free(*ALL_LOCKS)
    # failures after construction leave the agent cached
    assert "swire_approval_for_session" in pool.agent_cache
    assert "s_make_status_callback" in pool.agent_cache
    assert "sAIAgent" not in pool.agent_cache


def test_session_locks(pool):
    import threading
    a = pool.get_session_lock("a")
    assert type(a) is type(threading.Lock()) and not a.locked()
    assert pool.get_session_lock("a") is a and pool.get_session_lock("b") is not a
    assert pool._session_locks == {"a": a, "b": pool.get_session_lock("b")}


def test_generation_and_notes(pool):
    assert pool.get_model_generation() == 0
    assert [pool.bump_model_generation() for _ in range(3)] == [1, 2, 3]
    assert pool._model_generation == 3 and pool.get_model_generation() == 3
    pool._pending_model_notes["s"] = "n"
    assert pool.pop_pending_model_note("s") == "n" and pool._pending_model_notes == {}
