"""Choosing the agent engine and loading the chat modules onto it.

The chat modules load the engine's own modules when they are imported, so
the engine has to be on ``sys.path`` first: the installed engine is put there
by the path injection, the stand-in engine that ships with the dashboard is
put at the front of the search path here.
"""
from __future__ import annotations

import importlib
import logging
import pathlib
import sys
import threading
from typing import Any, Optional

logger = logging.getLogger("dashboard.engine")

#: The small engine shipped inside the dashboard package, used when no real
#: engine is installed (or when asked for explicitly).
STANDIN_DIR = pathlib.Path(__file__).resolve().parent / "standin"

MODES = ("auto", "installed", "standin")

#: Chat modules the host calls around a turn, by attribute name.
CHAT_MODULES = {
    "warmpool": "bridge.Chat.warmpool",
    "holdqueue": "bridge.Chat.holdqueue",
    "compression": "bridge.Chat.compression",
    "picdrop": "bridge.Chat.picdrop",
    "interrupt": "bridge.Chat.interrupt",
    "consentgate": "bridge.Chat.consentgate",
}


def choose(mode: str, installed: bool) -> Optional[str]:
    """The engine to use for ``mode``: "installed", "standin" or None."""
    if mode not in MODES:
        raise ValueError(f"unknown engine mode {mode!r}")
    if mode == "standin":
        return "standin"
    if installed:
        return "installed"
    return "standin" if mode == "auto" else None


class Engine:
    """The engine in use and the chat modules loaded on it.

    ``kind`` is None while no engine is loaded; the host then serves only its
    health and setup endpoints.
    """

    # The chat modules, imported by name once the engine is on sys.path
    # (activate()); None until then.
    warmpool: Any
    holdqueue: Any
    compression: Any
    picdrop: Any
    interrupt: Any
    consentgate: Any

    def __init__(self) -> None:
        self.kind: Optional[str] = None
        self.error: Optional[str] = None
        self._lock = threading.Lock()
        for attr in CHAT_MODULES:
            setattr(self, attr, None)

    @property
    def ready(self) -> bool:
        return self.kind is not None

    def activate(self, kind: Optional[str]) -> bool:
        """Load the chat modules on the engine ``kind``; True when ready."""
        with self._lock:
            if self.kind is not None:
                return True
            if kind is None:
                self.error = None  # nothing to load: not an error
                return False
            if kind == "standin":
                if not (STANDIN_DIR / "run_agent.py").exists():
                    self.error = f"the stand-in engine is missing ({STANDIN_DIR})"
                    logger.error("Cannot use the stand-in engine: %s", self.error)
                    return False
                standin = str(STANDIN_DIR)
                if standin in sys.path:
                    sys.path.remove(standin)
                sys.path.insert(0, standin)
            loaded = {}
            try:
                for attr, name in CHAT_MODULES.items():
                    loaded[attr] = importlib.import_module(name)
            except Exception as exc:  # an engine that cannot be loaded
                self.error = f"{type(exc).__name__}: {exc}"
                logger.error("Cannot load the chat modules on the %s engine: %s", kind, self.error)
                return False
            for attr, module in loaded.items():
                setattr(self, attr, module)
            self.kind = kind
            self.error = None
            logger.info("Agent engine in use: %s", kind)
            return True
