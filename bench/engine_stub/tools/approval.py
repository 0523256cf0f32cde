"""Bench engine: approval hooks that record nothing."""

_notify = {}


def set_current_session_key(session_key):
    return session_key


def reset_current_session_key(token):
    return None


def register_gateway_notify(session_key, callback):
    _notify[session_key] = callback


def unregister_gateway_notify(session_key):
    _notify.pop(session_key, None)


def resolve_gateway_approval(session_key, choice):
    return False
