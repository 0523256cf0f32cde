"""Small stand-ins for the engine and the host used across the suite."""
from __future__ import annotations

import threading
from typing import Any, Callable


class Agent:
    """An engine agent: keeps its construction arguments, switches models,
    and can be told to fail."""

    def __init__(self, **kwargs: Any) -> None:
        self.kwargs = kwargs
        self.model = kwargs.get("model", "m")
        self.session_id = kwargs.get("session_id")
        self.interrupts: list[Any] = []
        self.fail_switch = False
        self.fail_interrupt = False

    def switch_model(self, *, new_model: str, new_provider: str, api_key: str,
                     base_url: str) -> None:
        if self.fail_switch:
            raise RuntimeError("switch failed")
        self.model = new_model

    def interrupt(self, reason: Any) -> None:
        if self.fail_interrupt:
            raise RuntimeError("interrupt failed")
        self.interrupts.append(reason)

    def _compress_context(self, history: Any) -> None:
        pass


class RaisingAgent(Agent):
    def _compress_context(self, history: Any) -> None:
        raise RuntimeError("compression failed")


class Store:
    """A profile's session store; `fail` makes every call raise."""

    def __init__(self, *, db_path: Any) -> None:
        self.db_path = db_path
        self.titles: dict[str, str] = {}
        self.fail = False
        self.lock = threading.Lock()

    def get_messages_as_conversation(self, session_id: str) -> list[dict[str, str]]:
        if self.fail:
            raise OSError("store unavailable")
        return [{"role": "user", "content": "hi"}]

    def get_session_title(self, session_id: str) -> str:
        if self.fail:
            raise OSError("store unavailable")
        return self.titles.get(session_id, "")

    def set_session_title(self, session_id: str, title: str) -> None:
        if self.fail:
            raise OSError("store unavailable")
        with self.lock:
            self.titles[session_id] = title


class Queue:
    """The host queue's one operation the bus uses."""

    def __init__(self) -> None:
        self.items: list[Any] = []

    def put_nowait(self, item: Any) -> None:
        self.items.append(item)


class Loop:
    """Runs scheduled calls at once; a closed loop refuses them."""

    def __init__(self, closed: bool = False) -> None:
        self.closed = closed

    def call_soon_threadsafe(self, fn: Callable[..., Any], *args: Any) -> None:
        if self.closed:
            raise RuntimeError("Event loop is closed")
        fn(*args)


def wire_approval_for_session(session_id: str, push_event_fn: Any) -> dict[str, Any]:
    return {"setup": lambda: None, "teardown": lambda: None}
