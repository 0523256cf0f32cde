"""Pages of long lists: the sessions of a profile and the messages of a session.

Sessions come newest first (by last activity) in pages joined by an opaque
cursor. The cursor remembers when the listing started and the place of the
last session handed out, so a listing walked to its end meets every session
that existed when it started exactly once, in the order they had then, even
while sessions are used or created between pages (sessions created meanwhile
show on a fresh first page). That needs a store that keeps where a used
session stood (the bundled store's ``list_sessions_page``); with any other
store the pages are cut from its ``list_sessions`` by the same key, and a
session used between two pages can be missed by that walk (it moved above
the cursor: a fresh first page shows it).

Messages of a session come newest page first; the cursor of the next (older)
page is the position of the oldest message handed out, which later messages
do not move.
"""
from __future__ import annotations

import base64
import binascii
import json
import math
import time
from typing import Any, List, NoReturn, Optional, Tuple

from fastapi import HTTPException

from .sessions_api import tidy_title

#: A listing may take this long from its first page to its last (the bundled
#: store keeps the touches of a week).
LISTING_HORIZON = 7 * 86400.0
DEFAULT_SESSIONS_PAGE = 50
MAX_SESSIONS_PAGE = 500
DEFAULT_HISTORY_PAGE = 50
MAX_HISTORY_PAGE = 1000


def _bad(detail: str, status: int = 400) -> NoReturn:
    raise HTTPException(status_code=status, detail=detail)


def _encode(value: list) -> str:
    raw = json.dumps(value, separators=(",", ":")).encode()
    return base64.urlsafe_b64encode(raw).decode().rstrip("=")


def _decode_cursor(cursor: str) -> Tuple[float, float, str]:
    try:
        raw = base64.urlsafe_b64decode(cursor + "=" * (-len(cursor) % 4))
        as_of, key, sid = json.loads(raw)
        as_of, key = float(as_of), float(key)
        if not isinstance(sid, str) or not (math.isfinite(as_of) and math.isfinite(key)):
            raise ValueError
    except (ValueError, TypeError, binascii.Error, UnicodeDecodeError):
        _bad("cursor is not one this host handed out: list again without it")
    if time.time() - as_of > LISTING_HORIZON:
        _bad("this listing started too long ago: list again from the first page", 410)
    return as_of, key, sid


def _updated(row: dict) -> Any:
    return row.get("updated_at") or row.get("last_active") or row.get("started_at") or row.get("created_at")


def _key(row: dict) -> float:
    value = row.get("key", _updated(row))
    try:
        return float(value)
    except (TypeError, ValueError):
        return 0.0


def _rows(db: Any, raw: Any) -> List[dict]:
    """Store rows as the page's session rows (with the store's key kept;
    titles the listing lacks are looked up for the page's rows only)."""
    out = []
    for row in raw or []:
        if isinstance(row, str):
            row = {"id": row}
        elif not isinstance(row, dict):
            continue
        sid = row.get("id") or row.get("session_id")
        if not isinstance(sid, str):
            continue
        out.append({"session_id": sid, "title": row.get("title"), "updated_at": _updated(row),
                    "message_count": row.get("message_count"), "_key": _key(row)})
    return out


def _titled(db: Any, rows: List[dict]) -> None:
    """Titles the store's listing left out, asked for the rows of a page only."""
    for row in rows:
        if row["title"] is None:
            try:
                row["title"] = db.get_session_title(row["session_id"])
            except Exception:
                row["title"] = None
        # Titles the engine wrote itself get the cleaning a rename gets.
        row["title"] = tidy_title(row["title"]) if isinstance(row["title"], str) else ""


def _all_sessions(db: Any) -> List[dict]:
    for name in ("list_sessions", "get_sessions"):
        fn = getattr(db, name, None)
        if callable(fn):
            try:
                return _rows(db, fn(limit=1_000_000))
            except TypeError:
                return _rows(db, fn())
    return []


def sessions_page(db: Any, limit: int, cursor: Optional[str]) -> dict:
    """``{"sessions", "next", "total"}``: one page of the profile's sessions."""
    as_of, after = time.time(), None
    if cursor:
        as_of, key, sid = _decode_cursor(cursor)
        after = (key, sid)
    paged = getattr(db, "list_sessions_page", None)
    if callable(paged):
        rows = _rows(db, paged(limit + 1, as_of=as_of, after=after))
        count = getattr(db, "count_sessions", None)
        total = int(count()) if callable(count) else None
    else:
        everything = _all_sessions(db)
        total = len(everything)
        everything.sort(key=lambda r: (r["_key"], r["session_id"]), reverse=True)
        rows = [r for r in everything if after is None or (r["_key"], r["session_id"]) < after][:limit + 1]
    more = len(rows) > limit
    rows = rows[:limit]
    _titled(db, rows)
    nxt = _encode([as_of, rows[-1]["_key"], rows[-1]["session_id"]]) if more and rows else None
    for row in rows:
        del row["_key"]
    return {"sessions": rows, "next": nxt, "total": total}


def history_page(full: dict, limit: Optional[int], before: Optional[str]) -> dict:
    """The newest ``limit`` messages of a history before the cursor ``before``,
    with ``next`` (the cursor of the older ones, or null) and ``total``."""
    messages = full.get("messages") or []
    total = len(messages)
    if limit is None and before is None:
        return full
    end = total
    if before is not None:
        try:
            end = int(before)
        except ValueError:
            _bad("before is not a cursor this host handed out: load the history without it")
        if end < 0:
            _bad("before is not a cursor this host handed out: load the history without it")
        end = min(end, total)
    start = max(0, end - (limit or DEFAULT_HISTORY_PAGE))
    return {**full, "messages": messages[start:end], "next": str(start) if start > 0 else None,
            "total": total}
