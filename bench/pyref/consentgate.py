"""Approval wiring, in plain Python (what the warm path of get_agent calls)."""
import logging
import os
import time

logger = logging.getLogger("bridge.approval")

os.environ.setdefault("KORVEL_GATEWAY_SESSION", "1")


def _need_text(fn, arg, value):
    if not isinstance(value, str):
        raise TypeError(f"{fn}() argument '{arg}' must be str, not {type(value).__name__}")


def _make_notify_callback(session_id, push_event_fn):
    _need_text("_make_notify_callback", "session_id", session_id)

    def notify(approval_data):
        if not isinstance(approval_data, dict):
            raise TypeError(f"notify() argument 'approval_data' must be a mapping, not {type(approval_data).__name__}")
        event = {
            "type": "approval_required",
            "data": {
                "command": approval_data.get("command", "")[:500],
                "description": approval_data.get("description", "dangerous command"),
                "pattern_key": approval_data.get("pattern_key", ""),
                "session_id": session_id,
                "ts": time.time(),
            },
        }
        push_event_fn(session_id, event)

    return notify


def wire_approval_for_session(session_id, push_event_fn):
    _need_text("wire_approval_for_session", "session_id", session_id)
    from tools.approval import (register_gateway_notify, reset_current_session_key,
                                set_current_session_key, unregister_gateway_notify)
    _token_holder = [None]

    def setup():
        _token_holder[0] = set_current_session_key(session_id)
        register_gateway_notify(session_id, _make_notify_callback(session_id, push_event_fn))

    def teardown():
        unregister_gateway_notify(session_id)
        if _token_holder[0] is not None:
            reset_current_session_key(_token_holder[0])

    return {"setup": setup, "teardown": teardown}


def resolve_approval(session_id, choice):
    _need_text("resolve_approval", "session_id", session_id)
    _need_text("resolve_approval", "choice", choice)
    from tools.approval import resolve_gateway_approval
    try:
        resolved = resolve_gateway_approval(session_id, choice)
        logger.info("Approval resolved for %s: %s (resolved=%s)", session_id, choice, resolved)
        return resolved
    except Exception as e:
        logger.error("Failed to resolve approval: %s", e)
        return False
