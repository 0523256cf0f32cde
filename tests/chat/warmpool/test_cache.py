"""Warm agents: construction, reuse, model switches, callbacks, approvals."""
import threading

import pytest

from pool_fakes import Agent

PLATFORM_NOTE = (
    "**Platform notes:** You are running inside a desktop chat interface. You can display "
    "images and files inline by including MEDIA:<filepath> in your response. The interface "
    "renders these as visible images."
)
CALLBACKS = ["stream_delta_callback", "tool_progress_callback", "thinking_callback",
             "reasoning_callback", "status_callback", "background_review_callback"]


def note(old, new):
    return (f"[Note: model was just switched from {old} to {new}. You are now {new}. "
            "Adjust your self-identification accordingly.]")


class TestConstruction:
    def test_arguments_in_order(self, wp, korvel, monkeypatch):
        monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: {"max_iterations": 90})
        agent, ctx = wp.get_agent("s1")
        assert agent.kwargs == {
            "model": "google/gemini-2.5-flash:free",
            "api_key": "",
            "base_url": "https://openrouter.ai/api/v1",
            "provider": "openrouter",
            "platform": "zalix",
            "session_id": "s1",
            "session_db": wp.get_session_db(),
            "quiet_mode": True,
            "enabled_toolsets": ["korvel-cli"],
            "ephemeral_system_prompt": PLATFORM_NOTE,
            "max_iterations": 90,
        }
        assert list(agent.kwargs) == ["model", "api_key", "base_url", "provider", "platform",
                                      "session_id", "session_db", "quiet_mode",
                                      "enabled_toolsets", "ephemeral_system_prompt",
                                      "max_iterations"]
        assert agent.kwargs["session_db"] is wp._profile_dbs["default"]
        assert agent._zalix_model_gen == 0
        assert wp.agent_cache == {"s1": agent}
        assert agent.session_id == "s1" and agent._last_flushed_db_idx == 0
        assert ctx is wp.approvals[-1][2]
        assert not wp.agent_cache_lock.locked()

    def test_environment_read_at_use(self, wp, korvel, monkeypatch):
        monkeypatch.setenv("OPENROUTER_API_KEY", "k")
        monkeypatch.setenv("ZALIX_BASE_URL", "http://local/v1")
        monkeypatch.setenv("ZALIX_PROVIDER", "custom")
        monkeypatch.setenv("ZALIX_TOOLSETS", "a, b,,c")
        monkeypatch.setenv("ZALIX_MODEL", "env/model")
        agent, _ = wp.get_agent("s")
        k = agent.kwargs
        assert (k["api_key"], k["base_url"], k["provider"]) == ("k", "http://local/v1", "custom")
        assert k["enabled_toolsets"] == ["a", " b", "", "c"]
        assert k["model"] == "env/model"

    def test_empty_toolsets(self, wp, korvel, monkeypatch):
        monkeypatch.setenv("ZALIX_TOOLSETS", "")
        assert wp.get_agent("s")[0].kwargs["enabled_toolsets"] == [""]

    def test_profile_model_and_prompt(self, wp, korvel, monkeypatch):
        (korvel / "config.yaml").write_text(
            "model: my/model\nagent:\n  system_prompt: '  Be brief.\n\n'\n")
        agent, _ = wp.get_agent("s")
        assert agent.kwargs["model"] == "my/model"
        assert agent.kwargs["ephemeral_system_prompt"] == PLATFORM_NOTE + "\n\nBe brief."

    def test_environment_prompt_wins(self, wp, korvel, monkeypatch):
        (korvel / "config.yaml").write_text("agent:\n  system_prompt: from file\n")
        monkeypatch.setenv("KORVEL_EPHEMERAL_SYSTEM_PROMPT", "  from env  ")
        agent, _ = wp.get_agent("s")
        # The whole is stripped, so the trailing blanks go; leading ones stay inside.
        assert agent.kwargs["ephemeral_system_prompt"] == PLATFORM_NOTE + "\n\n  from env"

    @pytest.mark.parametrize("text", ["agent: [1]\n", "agent:\n  system_prompt: 5\n",
                                      "{broken\n", "- x\n", ""])
    def test_unreadable_prompt_ignored(self, wp, korvel, text):
        (korvel / "config.yaml").write_text(text)
        assert wp.get_agent("s")[0].kwargs["ephemeral_system_prompt"] == PLATFORM_NOTE

    def test_profile_home_of_active_profile(self, wp, korvel, monkeypatch):
        seen = []
        monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: seen.append(home) or {})
        wp._active_profile = "work"
        wp.get_agent("s")
        assert seen == [korvel / "profiles" / "work"]
        assert wp.agent_cache["s"].kwargs["session_db"] is wp._profile_dbs["work"]

    @pytest.mark.parametrize("extra", [None, ["x"], {"model": "m"}, {"session_db": 1},
                                       {1: "not a name"}])
    def test_bad_extra_arguments_build_nothing(self, wp, korvel, monkeypatch, extra):
        monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: extra)
        with pytest.raises(TypeError):
            wp.get_agent("s")
        assert Agent.built == [] and wp.agent_cache == {}
        assert not wp.agent_cache_lock.locked()

    @pytest.mark.parametrize("broken", ["AIAgent", "build_agent_kwargs", "get_session_db",
                                        "get_model_generation", "_get_config_model",
                                        "get_profile_home", "wire_approval_for_session",
                                        "_make_status_callback"])
    def test_errors_propagate_and_release_the_lock(self, wp, korvel, monkeypatch, broken):
        class Boom(Exception):
            pass

        def boom(*a, **k):
            raise Boom(broken)

        monkeypatch.setattr(wp, broken, boom)
        with pytest.raises(Boom):
            wp.get_agent("s", "stream")
        assert not wp.agent_cache_lock.locked()
        # Failures after the agent was stored leave it cached.
        late = broken in ("wire_approval_for_session", "_make_status_callback")
        assert ("s" in wp.agent_cache) == late

    def test_type_checks(self, wp):
        for args in [(None,), (1,), ("s", 2), ("s", b"x")]:
            with pytest.raises(TypeError):
                wp.get_agent(*args)
        assert Agent.built == [] and wp._profile_dbs == {}


class TestReuse:
    def test_same_agent_new_context(self, wp, korvel):
        a1, c1 = wp.get_agent("s")
        a1._last_flushed_db_idx = 17
        a1.session_id = "changed"
        a2, c2 = wp.get_agent(session_id="s")
        assert a2 is a1 and c2 is not c1
        assert a1._last_flushed_db_idx == 0 and a1.session_id == "s"
        assert len(Agent.built) == 1
        assert [(sid, fn) for sid, fn, _ in wp.approvals] == [("s", wp.push_stream_event)] * 2

    def test_store_fetched_every_time(self, wp, korvel, monkeypatch):
        wp.get_agent("s")
        calls = []
        monkeypatch.setattr(wp, "get_session_db", lambda *a: calls.append(a))
        wp.get_agent("s")
        assert calls == [()]

    def test_callbacks_bound_to_streaming_session(self, wp, korvel, collect):
        items = collect("stream-1")
        agent, _ = wp.get_agent("s", "stream-1")
        for name in CALLBACKS:
            assert callable(getattr(agent, name))
        agent.stream_delta_callback("tok")
        agent.status_callback("e", "m")
        agent.thinking_callback("t")
        agent.reasoning_callback("r")
        agent.background_review_callback("b")
        agent.tool_progress_callback("tool.started", "x")
        assert [r["type"] for r in items] == ["delta", "status", "thinking", "reasoning_delta",
                                             "status", "tool_started"]
        assert items[0] == {"type": "delta", "data": "tok"}
        # The approval wiring is keyed by the chat session, not the stream.
        assert wp.approvals[-1][0] == "s"

    @pytest.mark.parametrize("second", [None, ""])
    def test_no_stream_keeps_previous_callbacks(self, wp, korvel, collect, second):
        items = collect("first")
        agent, _ = wp.get_agent("s", "first")
        before = [getattr(agent, n) for n in CALLBACKS]
        wp.get_agent("s", second)
        assert [getattr(agent, n) for n in CALLBACKS] == before
        agent.stream_delta_callback("x")
        assert items == [{"type": "delta", "data": "x"}]

    def test_new_stream_replaces_callbacks(self, wp, korvel, collect):
        first, second = collect("one"), collect("two")
        agent, _ = wp.get_agent("s", "one")
        wp.get_agent("s", "two")
        agent.stream_delta_callback("x")
        assert first == [] and second == [{"type": "delta", "data": "x"}]

    def test_replaced_factories_and_push_are_used(self, wp, korvel, monkeypatch):
        made = []
        monkeypatch.setattr(wp, "_make_thinking_callback", lambda sid: made.append(sid) or "T")
        pushed = []
        monkeypatch.setattr(wp, "push_stream_delta", lambda sid, d: pushed.append((sid, d)))
        agent, _ = wp.get_agent("s", "st")
        assert made == ["st"] and agent.thinking_callback == "T"
        agent.stream_delta_callback("d")
        assert pushed == [("st", "d")]


class TestModelSwitch:
    def test_bump_switches_every_cached_agent_once(self, wp, korvel, monkeypatch):
        a, _ = wp.get_agent("a")
        b, _ = wp.get_agent("b")
        assert a.model == "google/gemini-2.5-flash:free"
        (korvel / "config.yaml").write_text("model: new/model\n")
        monkeypatch.setenv("OPENROUTER_API_KEY", "key")
        assert wp.bump_model_generation() == 1
        wp.get_agent("b")
        expected = dict(new_model="new/model", new_provider="openrouter", api_key="key",
                        base_url="https://openrouter.ai/api/v1")
        assert a.switched == [expected] and b.switched == [expected]
        assert a._zalix_model_gen == b._zalix_model_gen == 1
        n = note("google/gemini-2.5-flash:free", "new/model")
        assert wp._pending_model_notes == {"a": n, "b": n}
        wp.get_agent("a")
        wp.get_agent("b")
        assert len(a.switched) == 1 and len(b.switched) == 1
        assert len(Agent.built) == 2

    def test_old_model_is_the_requesters(self, wp, korvel):
        a, _ = wp.get_agent("a")
        b, _ = wp.get_agent("b")
        a.model = "model-a"
        del b.model
        wp.bump_model_generation()
        wp.get_agent("b")
        assert wp._pending_model_notes["a"] == note("unknown", "google/gemini-2.5-flash:free")
        assert wp.pop_pending_model_note("a") == wp.pop_pending_model_note("b")

    def test_uncached_requester_runs_no_pass(self, wp, korvel):
        a, _ = wp.get_agent("a")
        wp.bump_model_generation()
        c, _ = wp.get_agent("c")
        assert a.switched == [] and c._zalix_model_gen == 1
        assert wp._pending_model_notes == {}
        wp.get_agent("a")
        assert len(a.switched) == 1 and len(c.switched) == 1  # current ones switch too
        assert set(wp._pending_model_notes) == {"a", "c"}

    def test_missing_generation_counts_as_stale(self, wp, korvel):
        a, _ = wp.get_agent("a")
        del a._zalix_model_gen
        wp.get_agent("a")
        assert len(a.switched) == 1 and a._zalix_model_gen == 0
        assert "a" in wp._pending_model_notes

    def test_failed_switch_evicts_silently(self, wp, korvel, caplog):
        a, _ = wp.get_agent("a")
        b, _ = wp.get_agent("b")
        b.refuse = True
        wp.bump_model_generation()
        got, _ = wp.get_agent("a")
        assert got is a and "b" not in wp.agent_cache
        assert set(wp._pending_model_notes) == {"a"}
        assert caplog.records == []
        b2, _ = wp.get_agent("b")
        assert b2 is not b and b2._zalix_model_gen == 1

    def test_failed_requester_is_rebuilt_in_the_same_call(self, wp, korvel):
        a, _ = wp.get_agent("a")
        b, _ = wp.get_agent("b")
        a.refuse = True
        wp.bump_model_generation()
        got, _ = wp.get_agent("a")
        assert got is not a and got is wp.agent_cache["a"] and got._zalix_model_gen == 1
        assert set(wp._pending_model_notes) == {"b"}

    def test_generation_not_settable_evicts(self, wp, korvel):
        class Frozen(Agent):
            def switch_model(self, **kw):
                super().switch_model(**kw)
                object.__setattr__(self, "frozen", True)

            def __setattr__(self, name, value):
                if name == "_zalix_model_gen" and getattr(self, "frozen", False):
                    raise AttributeError(name)
                object.__setattr__(self, name, value)

        wp.agent_cache["f"] = Frozen(model="m")
        wp.agent_cache["f"].__dict__["_zalix_model_gen"] = 0
        wp.get_agent("a")
        wp.bump_model_generation()
        wp.get_agent("a")
        assert "f" not in wp.agent_cache and "f" not in wp._pending_model_notes

    def test_note_even_when_model_unchanged_and_later_note_wins(self, wp, korvel):
        a, _ = wp.get_agent("a")
        wp.bump_model_generation()
        wp.get_agent("a")
        m = "google/gemini-2.5-flash:free"
        assert wp._pending_model_notes["a"] == note(m, m)
        (korvel / "config.yaml").write_text("model: second\n")
        wp.bump_model_generation()
        wp.get_agent("a")
        assert wp.pop_pending_model_note("a") == note(m, "second")
        assert wp.pop_pending_model_note("a") is None


class TestSessionLocks:
    def test_one_lock_per_session(self, wp):
        l1 = wp.get_session_lock("s")
        assert wp.get_session_lock(session_id="s") is l1
        assert wp.get_session_lock("t") is not l1
        assert type(l1) is type(threading.Lock()) and not l1.locked()
        assert wp._session_locks == {"s": l1, "t": wp.get_session_lock("t")}
        with pytest.raises(TypeError):
            wp.get_session_lock(None)

    def test_concurrent_first_requests(self, wp):
        got = []
        barrier = threading.Barrier(8)

        def grab():
            barrier.wait()
            got.append(wp.get_session_lock("same"))

        threads = [threading.Thread(target=grab) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        assert len(got) == 8 and all(g is got[0] for g in got)


def test_agent_attribute_errors_other_than_missing_propagate(wp, korvel):
    class Odd(Agent):
        @property
        def _zalix_model_gen(self):
            raise RuntimeError("broken engine attribute")

        @_zalix_model_gen.setter
        def _zalix_model_gen(self, value):
            pass

    wp.agent_cache["s"] = Odd(model="m")
    with pytest.raises(RuntimeError):
        wp.get_agent("s")
    assert not wp.agent_cache_lock.locked()
