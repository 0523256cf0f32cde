"""Server-sent events: stream records on the wire."""
from __future__ import annotations

import asyncio
import json
from typing import AsyncIterator, Callable, Optional

#: A comment line sent when nothing happened for this long, so that idle
#: connections stay open and a gone client is noticed.
KEEPALIVE_SECONDS = 15.0

#: Event name of the record that tells the client a turn's stream has ended.
DONE_EVENT = "done"


def _json(value) -> str:
    # ensure_ascii keeps lone surrogates and NULs representable on the wire.
    return json.dumps(value, default=str)


def format_event(event: str, data) -> str:
    """One ``event:``/``data:`` pair; the data is JSON on a single line."""
    event = "".join(ch for ch in str(event) if ch not in "\r\n") or "message"
    return f"event: {event}\ndata: {_json(data)}\n\n"


def format_record(record) -> str:
    """A stream record as its event; the end-of-stream sentinel as "done"."""
    if record is None:
        return format_event(DONE_EVENT, {})
    if isinstance(record, dict) and isinstance(record.get("type"), str):
        return format_event(record["type"], record.get("data"))
    return format_event("message", record)


async def next_item(queue: asyncio.Queue, closing: asyncio.Event, timeout: float):
    """The next queued record; ``(False, None)`` on timeout, ``(None, None)`` when closing."""
    if closing.is_set():
        return None, None
    get = asyncio.ensure_future(queue.get())
    stop = asyncio.ensure_future(closing.wait())
    try:
        await asyncio.wait({get, stop}, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
    finally:
        stop.cancel()
        # A record that arrived is never dropped, even when closing won the race.
        if not get.done():
            get.cancel()
    if get.done() and not get.cancelled():
        return True, get.result()
    if closing.is_set():
        return None, None
    return False, None


async def record_stream(pool, session_id: str, closing: asyncio.Event,
                        keepalive: Optional[float] = None,
                        on_open: Optional[Callable[[], None]] = None,
                        on_close: Optional[Callable[[], None]] = None) -> AsyncIterator[str]:
    """The session's records as SSE text until the end-of-stream sentinel.

    Subscribes on start and unsubscribes when the generator ends for any
    reason: the sentinel, the client going away, or the host closing.
    ``on_open`` runs once subscribed, ``on_close`` once unsubscribed.
    """
    keepalive = KEEPALIVE_SECONDS if keepalive is None else keepalive
    loop = asyncio.get_running_loop()
    queue: asyncio.Queue = asyncio.Queue()
    sub = pool.subscribe_to_stream(session_id, queue, loop)
    if on_open is not None:
        on_open()
    try:
        yield ": subscribed\n\n"
        while True:
            got, item = await next_item(queue, closing, keepalive)
            if got is None:
                return
            if got is False:
                yield ": keepalive\n\n"
                continue
            yield format_record(item)
            if item is None:
                return
    finally:
        try:
            pool.unsubscribe_from_stream(session_id, sub)
        finally:
            if on_close is not None:
                on_close()
