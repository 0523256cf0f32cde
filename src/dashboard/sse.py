"""Server-sent events: records on the wire."""
from __future__ import annotations

import json

#: A comment line sent when nothing happened for this long, so that idle
#: connections stay open and a gone client is noticed.
KEEPALIVE_SECONDS = 15.0


def _json(value) -> str:
    # ensure_ascii keeps lone surrogates and NULs representable on the wire.
    return json.dumps(value, default=str)


def _name(event) -> str:
    return "".join(ch for ch in str(event) if ch not in "\r\n") or "message"


def format_event(event: str, data) -> str:
    """One ``event:``/``data:`` pair; the data is JSON on a single line."""
    return f"event: {_name(event)}\ndata: {_json(data)}\n\n"


def format_frame(event_id: str, event: str, data) -> str:
    """An event with its id: ``id:``, ``event:`` and one ``data:`` line."""
    event_id = "".join(ch for ch in str(event_id) if ch not in "\r\n\0")
    return f"id: {event_id}\nevent: {_name(event)}\ndata: {_json(data)}\n\n"
