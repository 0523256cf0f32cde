"""Approval of dangerous commands.

A command that matches one of the danger patterns needs approval. Under a
gateway (KORVEL_GATEWAY_SESSION set) the calling thread blocks: the pending
request is handed to the session's notify callable and the thread waits
until resolve_gateway_approval() answers it or unregister_gateway_notify()
releases it. Outside a gateway there is nobody to ask and the command runs.

Commands from a model (the terminal tool) go through check_agent_command,
a stricter policy: every command that is not plainly read-only needs
approval, and without a gateway such a command is refused. "session"
allows the same pattern (or program) again in the session until the host
restarts; "always" does so in every session of the profile and is kept in
the profile's approvals.json.

The session key is bound per thread context with set_current_session_key()
and restored with reset_current_session_key(token).
"""
import contextvars
import os
import re
import threading

CHOICES = ("once", "session", "always", "deny")

DANGEROUS_PATTERNS = [
    (re.compile(r"\brm\s+-[a-zA-Z]*r[a-zA-Z]*f|\brm\s+-[a-zA-Z]*f[a-zA-Z]*r"),
     "recursive_delete", "recursive forced delete"),
    (re.compile(r"\bmkfs(\.\w+)?\b"), "format_filesystem", "formats a filesystem"),
    (re.compile(r"\bdd\s+.*\bof=/dev/"), "raw_device_write", "writes to a raw device"),
    (re.compile(r"\bchmod\s+(-R\s+)?777\b"), "world_writable", "makes files world-writable"),
    (re.compile(r"curl[^|]*\|\s*(ba)?sh\b"), "pipe_to_shell", "pipes a download into a shell"),
    (re.compile(r"\bshutdown\b|\breboot\b"), "power_off", "stops the machine"),
]

_session_key = contextvars.ContextVar("approval_session_key", default="")

_lock = threading.Lock()
_gateway_notify = {}      # session key -> notify callable
_pending = {}             # session key -> [_Pending, ...] oldest first
_session_approved = {}    # session key -> {pattern key, ...}
_always_approved = set()  # pattern keys approved for good
_session_by_always = set()  # (session key, pattern key) added by an agent's "always"


class _Pending:
    def __init__(self, data):
        self.data = data
        self.event = threading.Event()
        self.choice = None
        self.persist = False


def set_current_session_key(session_key):
    """Bind the approval session key for this context; returns a token."""
    return _session_key.set(session_key)


def reset_current_session_key(token):
    """Restore the binding in force before the matching set call."""
    _session_key.reset(token)


def get_current_session_key(default="default"):
    return _session_key.get() or default


def detect_dangerous_command(command):
    """(is_dangerous, pattern_key, description) for a shell command."""
    for pattern, key, description in DANGEROUS_PATTERNS:
        if pattern.search(command):
            return True, key, description
    return False, None, None


def register_gateway_notify(session_key, notify):
    with _lock:
        _gateway_notify[session_key] = notify


def unregister_gateway_notify(session_key):
    """Drop the session's notify callable and release its blocked threads."""
    with _lock:
        _gateway_notify.pop(session_key, None)
        waiting = _pending.pop(session_key, [])
    for entry in waiting:
        entry.choice = None
        entry.event.set()


def has_pending(session_key):
    with _lock:
        return bool(_pending.get(session_key))


def resolve_gateway_approval(session_key, choice):
    """Answer the oldest pending approval of the session; False if none."""
    with _lock:
        queue = _pending.get(session_key)
        if not queue:
            return False
        entry = queue.pop(0)
        if not queue:
            del _pending[session_key]
        if choice == "session" or (choice == "always" and entry.persist):
            # An agent's "always" is kept in the profile (see _decide), so
            # another profile is not bound by it; this session is at once.
            _session_approved.setdefault(session_key, set()).add(entry.data["pattern_key"])
            if choice == "always":
                _session_by_always.add((session_key, entry.data["pattern_key"]))
        elif choice == "always":
            _always_approved.add(entry.data["pattern_key"])
    entry.choice = choice
    entry.event.set()
    return True


def _approval_timeout():
    try:
        return float(os.environ.get("KORVEL_APPROVAL_TIMEOUT", "300"))
    except ValueError:
        return 300.0


def check_dangerous_command(command, cancel=None):
    """Decide whether `command` may run.

    Returns {"approved": bool, "choice": text or None, "message": text}.
    `cancel` (a threading.Event) ends a wait early, as a denial.
    """
    dangerous, pattern_key, description = detect_dangerous_command(command)
    if not dangerous:
        return {"approved": True, "choice": None, "message": "not dangerous"}
    return _decide(command, pattern_key, description, cancel, unattended=True)


# -- the agent's policy ------------------------------------------------------------

#: The longest command the approval card shows whole.
SHOWN_COMMAND_CHARS = 500


def classify_agent_command(command):
    """(needs_approval, pattern_key, description) of a command a model wants
    to run. A danger pattern gives its own key; any other command that is not
    plainly read-only needs approval under the key "command:<program>", so
    that "session" and "always" allow that program, not every command."""
    dangerous, pattern_key, description = detect_dangerous_command(command)
    if dangerous:
        return True, pattern_key, description
    from tools.terminal_tool import is_read_only, program_of

    if is_read_only(command):
        return False, None, None
    program = program_of(command)
    return True, f"command:{program}", f"runs {program}, which may change files or the system"


def check_agent_command(command, cancel=None, cwd=None):
    """The approval step of every command from a model (the terminal tool).

    Read-only commands run; any other waits for the user under a gateway.
    Without a gateway there is nobody to ask, and the command is refused.
    ``cwd``, the folder it would run in, is named in the request."""
    needed, pattern_key, description = classify_agent_command(command)
    if not needed:
        return {"approved": True, "choice": None, "message": "read-only"}
    if cwd is not None:
        description += f", in {cwd}"
    if len(command) > SHOWN_COMMAND_CHARS:
        description += (f" (the command is {len(command)} characters long; only its first "
                        f"{SHOWN_COMMAND_CHARS} are shown)")
    return _decide(command, pattern_key, description, cancel, unattended=False)


def check_agent_write(path, cancel=None):
    """The approval step of write_file for a path outside the working folder."""
    return _decide(f"write_file {path}", "write_outside_workdir",
                   "writes a file outside the working folder", cancel, unattended=False)


def _always_file():
    home = os.environ.get("KORVEL_HOME") or os.path.join(os.path.expanduser("~"), ".korvel")
    return os.path.join(home, "approvals.json")


def _always_saved():
    """Pattern keys the user allowed "always" for the profile (kept on disk)."""
    import json

    try:
        with open(_always_file(), encoding="utf-8") as fh:
            keys = json.load(fh).get("always", [])
    except (OSError, ValueError, AttributeError):
        return set()
    return {k for k in keys if isinstance(k, str)}


def _save_always(pattern_key):
    _write_always(_always_saved() | {pattern_key})


def _write_always(keys):
    import json

    path = _always_file()
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as fh:
            json.dump({"always": sorted(keys)}, fh, indent=1)
        os.replace(tmp, path)
    except OSError:
        pass  # still allowed for this process


def _decide(command, pattern_key, description, cancel, unattended):
    """Ask for `command` under `pattern_key` unless it was allowed before.
    `unattended`: the answer when there is no gateway to ask through."""
    session_key = get_current_session_key()
    persist = not unattended
    with _lock:
        if pattern_key in _always_approved:
            return {"approved": True, "choice": "always", "message": "approved earlier"}
        if pattern_key in _session_approved.get(session_key, ()):
            return {"approved": True, "choice": "session", "message": "approved earlier"}
        notify = _gateway_notify.get(session_key)
    if persist and pattern_key in _always_saved():
        return {"approved": True, "choice": "always", "message": "approved earlier"}
    if not os.environ.get("KORVEL_GATEWAY_SESSION"):
        if unattended:
            return {"approved": True, "choice": None, "message": "no gateway: not asked"}
        return {"approved": False, "choice": None,
                "message": "needs approval, and there is nobody to ask"}
    if notify is None:
        return {"approved": False, "choice": None,
                "message": "no approval channel for this session"}
    entry = _Pending({"command": command, "description": description,
                      "pattern_key": pattern_key, "session_key": session_key})
    entry.persist = persist
    with _lock:
        _pending.setdefault(session_key, []).append(entry)
    try:
        notify(dict(entry.data))
    except Exception as exc:  # the channel is broken: nobody can answer
        _forget(session_key, entry)
        return {"approved": False, "choice": None, "message": f"notify failed: {exc}"}
    deadline = _approval_timeout()
    waited = 0.0
    while not entry.event.wait(0.1):
        waited += 0.1
        if (cancel is not None and cancel.is_set()) or waited >= deadline:
            _forget(session_key, entry)
            return {"approved": False, "choice": None,
                    "message": "interrupted" if cancel is not None and cancel.is_set()
                    else "approval timed out"}
    if entry.choice in ("once", "session", "always"):
        if entry.choice == "always" and persist:
            _save_always(pattern_key)
        return {"approved": True, "choice": entry.choice, "message": "approved"}
    if entry.choice is None:
        return {"approved": False, "choice": None, "message": "approval channel closed"}
    return {"approved": False, "choice": entry.choice, "message": "denied"}


def _forget(session_key, entry):
    with _lock:
        queue = _pending.get(session_key)
        if queue and entry in queue:
            queue.remove(entry)
            if not queue:
                del _pending[session_key]


# -- standing approvals ------------------------------------------------------------

def describe_approval(pattern_key):
    """What a standing approval allows, in words."""
    for _, key, description in DANGEROUS_PATTERNS:
        if key == pattern_key:
            return f"commands that match \"{description}\""
    if pattern_key.startswith("command:"):
        return f"every {pattern_key[8:]} command"
    if pattern_key == "write_outside_workdir":
        return "writing files outside the working folder"
    return pattern_key


def list_approvals(session_key=None):
    """The standing approvals: {"session": [{"session_key", "key",
    "description"}], "always": [{"key", "description"}]}; those of one
    session when ``session_key`` is given. "always" ones are the profile's
    (approvals.json) and those given to commands not from a model."""
    with _lock:
        sessions = {k: sorted(v) for k, v in _session_approved.items()
                    if session_key is None or k == session_key}
        by_always = set(_session_by_always)
        always = set(_always_approved)
    always |= _always_saved()
    return {
        "session": [{"session_key": k, "key": key, "description": describe_approval(key)}
                    for k, keys in sorted(sessions.items()) for key in keys
                    if (k, key) not in by_always or key not in always],
        "always": [{"key": key, "description": describe_approval(key)} for key in sorted(always)],
    }


def revoke_approval(scope, pattern_key, session_key=None):
    """Withdraw a standing approval: the next such command asks again.
    ``scope`` is "session" (``session_key``'s) or "always" (the profile's,
    and what that answer allowed in its session at once). False when no
    such approval stands."""
    if scope == "session":
        with _lock:
            keys = _session_approved.get(session_key)
            if not keys or pattern_key not in keys:
                return False
            keys.discard(pattern_key)
            if not keys:
                del _session_approved[session_key]
            _session_by_always.discard((session_key, pattern_key))
        return True
    if scope != "always":
        raise ValueError(f"scope must be session or always, not {scope!r}")
    with _lock:
        found = pattern_key in _always_approved
        _always_approved.discard(pattern_key)
        for key in [k for k in _session_by_always if k[1] == pattern_key]:
            _session_by_always.discard(key)
            keys = _session_approved.get(key[0])
            if keys is not None:
                keys.discard(pattern_key)
                if not keys:
                    del _session_approved[key[0]]
    saved = _always_saved()
    if pattern_key in saved:
        _write_always(saved - {pattern_key})
        found = True
    return found
