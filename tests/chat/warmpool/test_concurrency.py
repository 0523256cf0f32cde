"""Several threads at once: one agent per session, one switch per agent,
and no deadlock between the pool's operations."""
import sys
import threading
import time
import types

import pytest

from pool_fakes import Agent, Loop, Queue


def run_all(targets, timeout=60):
    """Starts one thread per target behind a barrier; all must finish."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def wrap(fn):
        def go():
            barrier.wait()
            try:
                fn()
            except BaseException as e:  # reported below
                errors.append(e)
        return go

    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [t for t in threads if t.is_alive()]
    assert not stuck, f"{len(stuck)} threads still running: deadlock?"
    assert errors == []


class SlowAgent(Agent):
    """Construction and switching give other threads time to pile up."""

    def __init__(self, **kwargs):
        time.sleep(0.01)
        super().__init__(**kwargs)

    def switch_model(self, **kw):
        time.sleep(0.005)
        super().switch_model(**kw)


def test_eight_threads_four_sessions_four_agents(wp, korvel, monkeypatch):
    monkeypatch.setattr(wp, "AIAgent", SlowAgent)
    got = {}

    def call(sid):
        def go():
            agent, _ = wp.get_agent(sid, "stream-" + sid)
            got.setdefault(sid, set()).add(id(agent))
        return go

    run_all([call(f"s{i % 4}") for i in range(8)])
    assert len(Agent.built) == 4
    assert {sid: len(ids) for sid, ids in got.items()} == {f"s{i}": 1 for i in range(4)}
    assert not wp.agent_cache_lock.locked()


def test_bump_then_concurrent_calls_switch_each_agent_once(wp, korvel, monkeypatch):
    monkeypatch.setattr(wp, "AIAgent", SlowAgent)
    sessions = [f"s{i}" for i in range(5)]
    for sid in sessions:
        wp.get_agent(sid)
    (korvel / "config.yaml").write_text("model: next/model\n")
    wp.bump_model_generation()
    run_all([lambda sid=sid: wp.get_agent(sid) for sid in sessions * 3])
    assert len(Agent.built) == 5
    for agent in Agent.built:
        assert [s["new_model"] for s in agent.switched] == ["next/model"]
        assert agent._zalix_model_gen == 1
    assert sorted(wp._pending_model_notes) == sessions
    notes = {wp.pop_pending_model_note(sid) for sid in sessions}
    assert len(notes) == 1 and "to next/model." in notes.pop()
    assert wp._pending_model_notes == {}


def test_everything_at_once_never_deadlocks(wp, korvel, monkeypatch, capsys):
    for name in ("a", "b"):
        (korvel / "profiles" / name).mkdir(parents=True)
    title_mod = types.ModuleType("agent.title_generator")
    title_mod.generate_title = lambda m, r: "T " + m
    monkeypatch.setitem(sys.modules, "agent", types.ModuleType("agent"))
    monkeypatch.setitem(sys.modules, "agent.title_generator", title_mod)
    monkeypatch.setitem(sys.modules, "cron.jobs", None)
    q = Queue()
    wp.subscribe_to_stream("s0", q, Loop())

    def switcher():
        for i in range(40):
            wp.set_active_profile("ab"[i % 2])

    def getter(n):
        def go():
            for i in range(40):
                agent, _ = wp.get_agent(f"s{(n + i) % 3}", f"s{n % 3}")
                agent.stream_delta_callback("x")
                agent.status_callback("e", "m")
        return go

    def titler():
        for i in range(20):
            wp.trigger_auto_title(f"s{i % 3}", f"m{i}", "r", [])

    def pusher():
        for i in range(300):
            wp.push_stream_event("s0", {"type": "n", "data": i})

    def bumper():
        for _ in range(20):
            wp.bump_model_generation()
            time.sleep(0.001)

    def subscriber():
        for _ in range(50):
            h = wp.subscribe_to_stream("s1", Queue(), Loop())
            wp.unsubscribe_from_stream("s1", h)

    run_all([switcher, switcher, getter(0), getter(1), getter(2), titler, pusher, pusher,
             bumper, subscriber])
    for t in [t for t in threading.enumerate() if t.name == "auto-title"]:
        t.join(30)
        assert not t.is_alive()
    for lock in ("agent_cache_lock", "_profile_dbs_lock", "_pending_model_notes_lock",
                 "_model_generation_lock", "stream_sub_lock", "_stream_buffer_lock"):
        assert not getattr(wp, lock).locked(), lock
    numbered = sorted(r["data"] for r in q.items if r and r["type"] == "n")
    assert numbered == sorted(list(range(300)) * 2)
