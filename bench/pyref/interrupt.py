"""Running-agent registry and interrupt, in plain Python."""
import logging
import threading

logger = logging.getLogger("bridge.interrupt")

_running_agents = {}
_running_agents_lock = threading.Lock()


def _need_text(fn, arg, value):
    if not isinstance(value, str):
        raise TypeError(f"{fn}() argument '{arg}' must be str, not {type(value).__name__}")


def register_running_agent(session_id, agent):
    _need_text("register_running_agent", "session_id", session_id)
    with _running_agents_lock:
        _running_agents[session_id] = agent


def unregister_running_agent(session_id):
    _need_text("unregister_running_agent", "session_id", session_id)
    with _running_agents_lock:
        _running_agents.pop(session_id, None)


def is_agent_running(session_id):
    _need_text("is_agent_running", "session_id", session_id)
    with _running_agents_lock:
        return session_id in _running_agents


def interrupt_agent(session_id, reason="User cancelled"):
    _need_text("interrupt_agent", "session_id", session_id)
    _need_text("interrupt_agent", "reason", reason)
    with _running_agents_lock:
        agent = _running_agents.get(session_id)
    if agent is None:
        logger.debug("No running agent for session %s", session_id)
        return False
    try:
        if hasattr(agent, "interrupt"):
            agent.interrupt(reason)
            logger.info("Interrupted agent for session %s: %s", session_id, reason)
            return True
        logger.warning("Agent for %s has no interrupt() method", session_id)
        return False
    except Exception as e:
        logger.error("Failed to interrupt agent %s: %s", session_id, e)
        return False
