"""The host-wide event stream: what every open tab needs to know about
sessions other than the one it shows.

``GET /events`` starts with ``hello`` (the active profile), then carries
``profile_changed``, ``sessions_changed`` (a session created, renamed,
titled or deleted) and ``session_state`` (a session started working, waits
for an approval or for a free slot, or went idle), from whichever tab or
client caused them. Events have ids like the session streams' (``<run>-<n>``);
a client that reconnects with the id of an event still held gets what
followed it, any other client starts with ``hello`` and the state of every
session that is not idle.

Loop-thread rule: the held events, the known states and the clients are
touched on the event loop's thread only; ``publish`` and ``state_changed``
may be called from any thread.
"""
from __future__ import annotations

import asyncio
import collections
import logging
from typing import Callable, Deque, Dict, Optional, Tuple

from . import sse

logger = logging.getLogger("dashboard.events")

#: Events held for clients that resume by id.
KEEP = 512
IDLE = "idle"


class HostEvents:
    def __init__(self, run: str, profile: Callable[[], Optional[str]], state: Callable[[str], str]) -> None:
        self.run = run
        self._profile = profile
        self._state = state
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.seq = 0
        self.held: Deque[Tuple[int, str]] = collections.deque(maxlen=KEEP)
        self.states: Dict[str, str] = {}   # sessions last said not to be idle
        self.changed = asyncio.Event()

    def bind(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.changed = asyncio.Event()

    def _soon(self, fn, *args) -> None:
        loop = self.loop
        if loop is None:
            return
        try:
            if _on_loop(loop):
                fn(*args)
            else:
                loop.call_soon_threadsafe(fn, *args)
        except RuntimeError:  # the loop has closed: nobody is listening
            pass

    # -- any thread -------------------------------------------------------------

    def publish(self, kind: str, data: dict) -> None:
        self._soon(self._put, kind, data)

    def state_changed(self, session_id: str) -> None:
        """Something about the session's turns changed: say its state if it differs."""
        self._soon(self._restate, session_id)

    # -- loop thread ------------------------------------------------------------

    def _put(self, kind: str, data: dict) -> None:
        self.seq += 1
        self.held.append((self.seq, sse.format_frame(f"{self.run}-{self.seq}", kind, data)))
        self.changed.set()
        self.changed = asyncio.Event()

    def _restate(self, session_id: str) -> None:
        try:
            state = self._state(session_id)
        except Exception:  # a state that cannot be told now is told with the next change
            logger.debug("No state for session %s", session_id, exc_info=True)
            return
        if self.states.get(session_id, IDLE) == state:
            return
        if state == IDLE:
            self.states.pop(session_id, None)
        else:
            self.states[session_id] = state
        self._put("session_state", {"session_id": session_id, "state": state})

    def start_for(self, last_event_id: Optional[str]) -> Tuple[int, Optional[str]]:
        """(position to read after, opening text or None when resumed)."""
        if last_event_id:
            run, _, number = last_event_id.strip().rpartition("-")
            if run == self.run and number.isdigit():
                n = int(number)
                floor = self.held[0][0] - 1 if self.held else self.seq
                if floor <= n <= self.seq:
                    return n, None
        opening = [sse.format_frame(f"{self.run}-{self.seq}", "hello", {"profile": self._profile()})]
        opening += [sse.format_event("session_state", {"session_id": sid, "state": state})
                    for sid, state in self.states.items()]
        return self.seq, "".join(opening)

    def frames_after(self, position: int) -> Tuple[Optional[str], int]:
        if self.held and position < self.held[0][0] - 1:
            return None, position  # fell behind what is held: start over
        out = [frame for seq, frame in self.held if seq > position]
        return "".join(out), self.seq


def _on_loop(loop: asyncio.AbstractEventLoop) -> bool:
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False


class EventsStream:
    """The ASGI body of ``GET /events``."""

    def __init__(self, events: HostEvents, last_event_id: Optional[str], closing: asyncio.Event,
                 keepalive: Optional[float] = None, stall: float = 20.0) -> None:
        self.events = events
        self.last_event_id = last_event_id
        self.closing = closing
        self.keepalive = sse.KEEPALIVE_SECONDS if keepalive is None else keepalive
        self.stall = stall

    async def __call__(self, scope, receive, send) -> None:
        events = self.events
        await send({"type": "http.response.start", "status": 200, "headers": [
            (b"content-type", b"text/event-stream; charset=utf-8"),
            (b"cache-control", b"no-cache"), (b"x-accel-buffering", b"no")]})
        gone = asyncio.ensure_future(_left(receive))
        try:
            position, opening = events.start_for(self.last_event_id)
            if opening and not await self._put(send, opening, gone):
                return
            while not self.closing.is_set() and not gone.done():
                changed = events.changed
                text, position = events.frames_after(position)
                if text is None:
                    return  # the client reconnects and starts with hello
                if text:
                    if not await self._put(send, text, gone):
                        return
                    continue
                waiter = asyncio.ensure_future(changed.wait())
                stop = asyncio.ensure_future(self.closing.wait())
                try:
                    done, _ = await asyncio.wait({waiter, stop, gone}, timeout=self.keepalive,
                                                 return_when=asyncio.FIRST_COMPLETED)
                finally:
                    waiter.cancel()
                    stop.cancel()
                if not done and not await self._put(send, ": keepalive\n\n", gone):
                    return
            if not gone.done():
                await asyncio.wait_for(send({"type": "http.response.body", "body": b"", "more_body": False}),
                                       self.stall)
        except (asyncio.TimeoutError, OSError):
            pass  # a client that does not read is let go; it resumes by id
        finally:
            gone.cancel()

    async def _put(self, send, text: str, gone: asyncio.Future) -> bool:
        if gone.done():
            return False
        await asyncio.wait_for(send({"type": "http.response.body", "body": text.encode("utf-8"),
                                     "more_body": True}), self.stall)
        return True


async def _left(receive) -> None:
    while True:
        message = await receive()
        if message.get("type") == "http.disconnect":
            return

