"""Standing approvals ("Allow for this session", "Always allow"): listed
and withdrawn through the engine's own approval module, which keeps them.

An engine whose approval module cannot list or withdraw them is reported
as such (``supported: false`` with the reason); nothing is guessed.
"""
from __future__ import annotations

import importlib
import logging
from typing import Any, Optional

logger = logging.getLogger("dashboard.permissions")

APPROVAL_MODULE = "tools.approval"
SCOPES = ("session", "always")


def _module() -> Any:
    return importlib.import_module(APPROVAL_MODULE)


def _functions():
    """(list, revoke) of the engine's approval module, or (None, reason)."""
    try:
        module = _module()
    except Exception as exc:  # an engine without the module at all
        return None, f"the engine's approval module cannot be loaded ({type(exc).__name__}: {exc})"
    listing, revoking = getattr(module, "list_approvals", None), getattr(module, "revoke_approval", None)
    if not callable(listing) or not callable(revoking):
        return None, ("this engine's approval module cannot list or revoke standing approvals; "
                      "update the engine to manage them here")
    return (listing, revoking), None


def listing() -> dict:
    functions, reason = _functions()
    if functions is None:
        return {"supported": False, "reason": reason, "session": [], "always": []}
    found = functions[0]()
    session = [{"session_id": e.get("session_key"), "key": e.get("key"), "description": e.get("description")}
               for e in found.get("session", ()) if isinstance(e, dict)]
    always = [{"key": e.get("key"), "description": e.get("description")}
              for e in found.get("always", ()) if isinstance(e, dict)]
    return {"supported": True, "session": session, "always": always}


def revoke(scope: str, key: str, session_id: Optional[str]) -> Optional[bool]:
    """True when revoked, False when no such approval stands, None when the
    engine cannot revoke."""
    functions, _ = _functions()
    if functions is None:
        return None
    revoked = bool(functions[1](scope, key, session_id))
    if revoked:
        logger.info("Standing approval %s revoked (%s%s)", key, scope,
                    f", session {session_id}" if session_id else "")
    return revoked
