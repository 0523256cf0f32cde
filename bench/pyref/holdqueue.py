"""Pending messages of busy sessions, in plain Python."""
import collections
import logging
import threading

logger = logging.getLogger("bridge.holdqueue")

_pending_messages = {}
_pending_lock = threading.Lock()


def _need_text(fn, arg, value):
    if not isinstance(value, str):
        raise TypeError(f"{fn}() argument '{arg}' must be str, not {type(value).__name__}")


def enqueue_message(session_id, message):
    _need_text("enqueue_message", "session_id", session_id)
    _need_text("enqueue_message", "message", message)
    with _pending_lock:
        queue = _pending_messages.get(session_id)
        if queue is None:
            queue = _pending_messages[session_id] = collections.deque()
        queue.append(message)
        position = len(queue)
    logger.info("Queued message for busy session %s (position %d)", session_id, position)
    return position


def dequeue_message(session_id):
    _need_text("dequeue_message", "session_id", session_id)
    with _pending_lock:
        queue = _pending_messages.get(session_id)
        if not queue:
            return None
        message = queue.popleft()
        if not queue:
            del _pending_messages[session_id]
        return message


def has_pending(session_id):
    _need_text("has_pending", "session_id", session_id)
    with _pending_lock:
        return bool(_pending_messages.get(session_id))


def pending_count(session_id):
    _need_text("pending_count", "session_id", session_id)
    with _pending_lock:
        queue = _pending_messages.get(session_id)
        return len(queue) if queue else 0


def clear_pending(session_id):
    _need_text("clear_pending", "session_id", session_id)
    with _pending_lock:
        queue = _pending_messages.pop(session_id, None)
        return len(queue) if queue else 0
