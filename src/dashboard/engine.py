"""Choosing the agent engine and loading the chat modules onto it.

The chat modules load the engine's own modules when they are imported, so
the engine has to be on ``sys.path`` first: the installed engine is put there
by the path injection, the stand-in engine that ships with the dashboard is
put at the front of the search path here.
"""
from __future__ import annotations

import importlib
import logging
import os
import pathlib
import sys
import threading
import time
from typing import Annotated, Any, Dict, List, Optional, Tuple
from urllib.parse import urlparse

from fastapi import Depends, Request

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
            if kind == "standin":
                if endpoint_configured():
                    logger.info("The bundled engine sends turns to the model endpoint at %s",
                                endpoint_host(endpoint_settings()[1]))
                else:
                    logger.info("No model endpoint configured: the bundled engine plays its script")
            return True


# -- the model endpoint ------------------------------------------------------------

#: Where the engine sends its requests unless ZALIX_BASE_URL says otherwise.
DEFAULT_BASE_URL = "https://openrouter.ai/api/v1"
#: Label of the bundled engine when no model endpoint is configured.
SCRIPTED_LABEL = "stand-in (scripted)"


def endpoint_settings() -> Tuple[str, str]:
    """(API key, base URL) from the environment, as the agents get them."""
    return (os.environ.get("OPENROUTER_API_KEY", ""),
            os.environ.get("ZALIX_BASE_URL") or DEFAULT_BASE_URL)


def endpoint_configured() -> bool:
    """True when a model endpoint is configured: a key, or a base URL other
    than the default (a local server needs no key)."""
    key, base = endpoint_settings()
    return bool(key) or base.rstrip("/") != DEFAULT_BASE_URL


def endpoint_host(base_url: str) -> str:
    """Host (and port) of a base URL, without credentials or path."""
    parsed = urlparse(base_url)
    host = parsed.hostname or "?"
    return f"{host}:{parsed.port}" if parsed.port else host


def describe(kind: Optional[str], model: Optional[str]) -> Dict[str, Any]:
    """What /health says about the engine: a label, and the endpoint's host
    and the model when the bundled engine talks to a model."""
    if kind is None:
        return {"engine_label": "no engine", "endpoint": None}
    if kind == "installed":
        return {"engine_label": "installed engine", "endpoint": None}
    if not endpoint_configured():
        return {"engine_label": SCRIPTED_LABEL, "endpoint": None}
    host = endpoint_host(endpoint_settings()[1])
    return {"engine_label": f"bundled engine · {model} at {host}",
            "endpoint": {"host": host, "model": model}}


class ModelCatalog:
    """The endpoint's models (GET <base_url>/models), kept for a while; when
    the list cannot be fetched the last one fetched stands, and the endpoint
    is not asked again for a short while."""

    TTL = 300.0
    RETRY_AFTER = 30.0
    TIMEOUT = 10.0

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lists: Dict[str, Tuple[float, List[str]]] = {}
        self._failures: Dict[str, Tuple[float, str]] = {}

    def models(self) -> Tuple[Optional[List[str]], Optional[str]]:
        """(model ids or None, a readable error or None)."""
        key, base = endpoint_settings()
        base = base.rstrip("/")
        now = time.monotonic()
        with self._lock:
            cached = self._lists.get(base)
            failed = self._failures.get(base)
        if cached and now - cached[0] < self.TTL:
            return cached[1], None
        if failed and now - failed[0] < self.RETRY_AFTER:
            return (cached[1] if cached else None), failed[1]
        try:
            ids = self._fetch(key, base)
        except Exception as exc:  # the endpoint is down, refuses, or answers nonsense
            problem = f"cannot list the models of {endpoint_host(base)}: {type(exc).__name__}: {exc}"
            logger.warning("%s", problem)
            with self._lock:
                self._failures[base] = (time.monotonic(), problem)
            return (cached[1] if cached else None), problem
        with self._lock:
            self._lists[base] = (time.monotonic(), ids)
            self._failures.pop(base, None)
        return ids, None

    def _fetch(self, key: str, base: str) -> List[str]:
        import openai

        client = openai.OpenAI(api_key=key or "no-key", base_url=base, timeout=self.TIMEOUT,
                               max_retries=0)
        try:
            ids = {m.id for m in client.models.list() if isinstance(getattr(m, "id", None), str)}
        finally:
            client.close()
        return sorted(ids)


async def loaded_engine(request: Request) -> Engine:
    """The engine, for routes that need one loaded (503 while none is)."""
    return request.app.state.host.require_engine()


#: A route that needs the engine takes it as a parameter of this type.
EngineDep = Annotated[Engine, Depends(loaded_engine)]
