import contextvars

_key = contextvars.ContextVar("approval_session_key", default=None)
notify = {}


def set_current_session_key(key):
    return _key.set(key)


def reset_current_session_key(token):
    _key.reset(token)


def register_gateway_notify(session_id, fn):
    notify[session_id] = fn


def unregister_gateway_notify(session_id):
    notify.pop(session_id, None)


def resolve_gateway_approval(session_id, choice, resolve_all=False):
    return 0
