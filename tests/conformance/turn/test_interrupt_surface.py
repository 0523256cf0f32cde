"""Running-agent registry and interrupt, checked from outside."""
import logging
import threading

import pytest

import bridge.Chat.interrupt as it

LOG = "bridge.interrupt"


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    monkeypatch.setattr(it, "_running_agents", {})
    monkeypatch.setattr(it, "_running_agents_lock", threading.Lock())


class Agent:
    def __init__(self, error=None, result="ignored"):
        self.reasons = []
        self.error = error
        self.result = result
        self.lock_state = []

    def interrupt(self, *args, **kwargs):
        self.reasons.append((args, kwargs))
        self.lock_state.append(it._running_agents_lock.locked())
        if self.error is not None:
            raise self.error
        return self.result


def test_state_and_logger():
    assert it.logger is logging.getLogger(LOG)
    it.register_running_agent("s", None)
    assert type(it._running_agents) is dict


def test_register_unregister_running(logs):
    a, b = Agent(), Agent()
    assert it.register_running_agent(session_id="s", agent=a) is None
    assert it._running_agents["s"] is a
    assert it.is_agent_running(session_id="s") is True
    it.register_running_agent("s", b)
    assert it._running_agents == {"s": b}
    assert it.interrupt_agent("s") is True
    assert a.reasons == [] and b.reasons == [(("User cancelled",), {})]
    assert it.unregister_running_agent(session_id="s") is None
    assert it.unregister_running_agent("s") is None
    assert it.is_agent_running("s") is False and it._running_agents == {}
    assert [g for g in logs(LOG) if g[0] != "INFO"] == []


def test_interrupt_logs_and_keeps_the_entry(logs):
    agent = Agent()
    it.register_running_agent("s", agent)
    assert it.interrupt_agent(session_id="s", reason="stop now") is True
    assert it.interrupt_agent("s", "again") is True
    assert agent.reasons == [(("stop now",), {}), (("again",), {})]
    assert agent.lock_state == [False, False]
    assert it._running_agents["s"] is agent
    assert logs(LOG) == [("INFO", "Interrupted agent for session %s: %s", ("s", "stop now")),
                         ("INFO", "Interrupted agent for session %s: %s", ("s", "again"))]


def test_unknown_and_none(logs):
    assert it.interrupt_agent("nobody") is False
    it.register_running_agent("s", None)
    assert it.is_agent_running("s") is True
    assert it.interrupt_agent("s") is False
    assert logs(LOG) == [("DEBUG", "No running agent for session %s", ("nobody",)),
                         ("DEBUG", "No running agent for session %s", ("s",))]


def test_without_method(logs):
    it.register_running_agent("s", object())
    assert it.interrupt_agent("s") is False
    assert logs(LOG) == [("WARNING", "Agent for %s has no interrupt() method", ("s",))]
    assert "s" in it._running_agents


@pytest.mark.parametrize("agent_kind", ["raises", "not callable"])
def test_failures_are_logged(logs, agent_kind):
    if agent_kind == "raises":
        agent = Agent(error=RuntimeError("engine busy"))
        text = "engine busy"
    else:
        agent = type("A", (), {"interrupt": 7})()
        text = None
    it.register_running_agent("s", agent)
    assert it.interrupt_agent("s", "r") is False
    got = logs(LOG)
    assert len(got) == 1
    level, msg, args = got[0]
    assert (level, msg) == ("ERROR", "Failed to interrupt agent %s: %s")
    assert args[0] == "s" and len(args) == 2
    if text is not None:
        assert str(args[1]) == text
    assert "s" in it._running_agents


def test_base_exceptions_pass():
    it.register_running_agent("s", Agent(error=SystemExit(3)))
    with pytest.raises(SystemExit):
        it.interrupt_agent("s")
    assert it._running_agents_lock.locked() is False


@pytest.mark.parametrize("bad", [None, 5, b"s"])
def test_type_checks(bad, logs):
    agent = Agent()
    it.register_running_agent("s", agent)
    for call in (lambda: it.register_running_agent(bad, agent),
                 lambda: it.unregister_running_agent(bad),
                 lambda: it.is_agent_running(bad),
                 lambda: it.interrupt_agent(bad),
                 lambda: it.interrupt_agent("s", bad),
                 lambda: it.interrupt_agent("s", reason=bad)):
        with pytest.raises(TypeError):
            call()
    assert it._running_agents == {"s": agent} and agent.reasons == []
    assert logs(LOG) == []


def test_registry_and_lock_reached_at_call_time(monkeypatch):
    mine = {"s": Agent()}
    monkeypatch.setattr(it, "_running_agents", mine)
    assert it.is_agent_running("s") is True
    it.unregister_running_agent("s")
    assert mine == {}
    lock = threading.Lock()
    monkeypatch.setattr(it, "_running_agents_lock", lock)
    with lock:
        done = threading.Event()
        t = threading.Thread(target=lambda: (it.is_agent_running("s"), done.set()), daemon=True)
        t.start()
        assert not done.wait(0.3)
    assert done.wait(10)
    t.join(10)


def test_slow_interrupt_does_not_block_other_sessions():
    started, release = threading.Event(), threading.Event()

    class Slow:
        def interrupt(self, reason):
            started.set()
            release.wait(30)

    it.register_running_agent("slow", Slow())
    t = threading.Thread(target=it.interrupt_agent, args=("slow",), daemon=True)
    t.start()
    assert started.wait(10)
    try:
        it.register_running_agent("other", Agent())
        assert it.is_agent_running("other") is True
        it.unregister_running_agent("other")
    finally:
        release.set()
        t.join(10)
