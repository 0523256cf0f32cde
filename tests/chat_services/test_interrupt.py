import threading

import pytest

import bridge.Chat.interrupt as interrupt

LOG = "bridge.interrupt"


class Agent:
    def __init__(self):
        self.reasons = []

    def interrupt(self, reason):
        self.reasons.append(reason)
        return "ignored"


@pytest.fixture(autouse=True)
def empty_registry():
    interrupt._running_agents.clear()
    yield
    interrupt._running_agents.clear()


def test_state_is_plain_python_objects():
    assert type(interrupt._running_agents) is dict
    assert type(interrupt._running_agents_lock) is type(threading.Lock())
    assert interrupt.logger.name == LOG


@pytest.mark.parametrize("fn, args", [
    (interrupt.register_running_agent, (None, Agent())),
    (interrupt.register_running_agent, (b"s", Agent())),
    (interrupt.unregister_running_agent, (None,)),
    (interrupt.is_agent_running, (7,)),
    (interrupt.interrupt_agent, (None,)),
    (interrupt.interrupt_agent, ("s", None)),
    (interrupt.interrupt_agent, ("s", 3)),
])
def test_non_text_is_refused_before_any_effect(fn, args, records):
    agent = Agent()
    interrupt.register_running_agent("s", agent)
    with pytest.raises(TypeError):
        fn(*args)
    assert interrupt._running_agents == {"s": agent}
    assert agent.reasons == []
    assert records(LOG) == []


def test_register_replace_unregister_by_keyword():
    first, second = Agent(), Agent()
    interrupt.register_running_agent(session_id="s", agent=first)
    interrupt.register_running_agent("s", second)
    assert interrupt._running_agents == {"s": second}
    assert interrupt.is_agent_running(session_id="s")
    assert interrupt.interrupt_agent("s")
    assert (first.reasons, second.reasons) == ([], ["User cancelled"])
    interrupt.unregister_running_agent(session_id="s")
    assert not interrupt.is_agent_running("s")
    interrupt.unregister_running_agent("s")  # missing entry: no error
    interrupt.unregister_running_agent("never")


def test_str_subclass_is_text():
    class Sid(str):
        pass

    interrupt.register_running_agent(Sid("s"), Agent())
    assert interrupt.is_agent_running("s")


def test_unknown_session_logs_debug_and_calls_nothing(records):
    assert interrupt.interrupt_agent("ghost") is False
    assert records(LOG) == [("DEBUG", "No running agent for session %s", ("ghost",))]


def test_none_agent_counts_as_running_but_cannot_be_interrupted(records):
    interrupt.register_running_agent("s", None)
    assert interrupt.is_agent_running("s") is True
    assert interrupt.interrupt_agent("s") is False
    assert records(LOG) == [("DEBUG", "No running agent for session %s", ("s",))]


def test_default_reason_twice_keeps_entry(records):
    agent = Agent()
    interrupt.register_running_agent("s", agent)
    assert interrupt.interrupt_agent("s") is True
    assert interrupt.interrupt_agent("s", reason="again") is True
    assert agent.reasons == ["User cancelled", "again"]
    assert interrupt.is_agent_running("s")
    assert records(LOG) == [
        ("INFO", "Interrupted agent for session %s: %s", ("s", "User cancelled")),
        ("INFO", "Interrupted agent for session %s: %s", ("s", "again")),
    ]


def test_agent_without_interrupt_method(records):
    interrupt.register_running_agent("s", object())
    assert interrupt.interrupt_agent("s") is False
    assert records(LOG) == [("WARNING", "Agent for %s has no interrupt() method", ("s",))]
    assert interrupt.is_agent_running("s")


def test_failing_interrupt_is_logged_not_raised(records):
    class Broken:
        def interrupt(self, reason):
            raise RuntimeError("engine exploded")

    interrupt.register_running_agent("s", Broken())
    assert interrupt.interrupt_agent("s", "stop") is False
    assert records(LOG) == [("ERROR", "Failed to interrupt agent %s: %s", ("s", "engine exploded"))]
    assert interrupt.is_agent_running("s")


def test_failing_attribute_test_is_handled(records):
    class Odd:
        def __getattr__(self, name):
            raise RuntimeError("no attributes here")

    interrupt.register_running_agent("s", Odd())
    assert interrupt.interrupt_agent("s") is False
    assert records(LOG)[0][0] == "ERROR"


def test_keyboard_interrupt_is_not_swallowed():
    class Hard:
        def interrupt(self, reason):
            raise KeyboardInterrupt

    interrupt.register_running_agent("s", Hard())
    with pytest.raises(KeyboardInterrupt):
        interrupt.interrupt_agent("s")


def test_interrupt_runs_without_the_registry_lock():
    seen = []

    class Probe:
        def interrupt(self, reason):
            # Another thread can register while the engine's interrupt runs.
            t = threading.Thread(target=interrupt.register_running_agent, args=("other", 1))
            t.start()
            t.join(5)
            seen.append(interrupt._running_agents_lock.locked())

    interrupt.register_running_agent("s", Probe())
    assert interrupt.interrupt_agent("s")
    assert seen == [False]
    assert interrupt.is_agent_running("other")


def test_operations_use_the_namespace_lock_and_registry(monkeypatch):
    lock = threading.Lock()
    registry = {}
    monkeypatch.setattr(interrupt, "_running_agents_lock", lock)
    monkeypatch.setattr(interrupt, "_running_agents", registry)
    interrupt.register_running_agent("s", Agent())
    assert "s" in registry
    # A host holding the registry lock makes a registration wait for it.
    lock.acquire()
    t = threading.Thread(target=interrupt.unregister_running_agent, args=("s",))
    t.start()
    t.join(0.2)
    assert t.is_alive() and "s" in registry
    lock.release()
    t.join(5)
    assert registry == {}


def test_stops_a_stand_in_turn(standin):
    from run_agent import AIAgent

    agent = AIAgent(model="m", session_id="live")
    started = threading.Event()
    agent.tool_progress_callback = lambda kind, *a, **k: kind == "tool.started" and started.set()
    out = {}

    def turn():
        interrupt.register_running_agent("live", agent)
        try:
            out.update(agent.run_conversation("wait: 60"))
        finally:
            interrupt.unregister_running_agent("live")

    t = threading.Thread(target=turn)
    t.start()
    assert started.wait(30)
    assert interrupt.is_agent_running("live")
    assert interrupt.interrupt_agent("live", "Stop now") is True
    t.join(30)
    assert out["interrupted"] is True and out["interrupt_reason"] == "Stop now"
    assert not interrupt.is_agent_running("live")


def test_dropped_agents_are_finalized_outside_the_lock():
    held = []

    class Finalized:
        def __del__(self):
            held.append(interrupt._running_agents_lock.locked())

    interrupt.register_running_agent("s", Finalized())
    interrupt.register_running_agent("s", Finalized())  # replaces the first
    interrupt.unregister_running_agent("s")
    assert held == [False, False]
