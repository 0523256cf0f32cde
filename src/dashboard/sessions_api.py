"""Managing sessions from the page: rename, delete and search; plus the
favicon and the installer's address for the install screen."""
from __future__ import annotations

import pathlib
import unicodedata
from typing import Any, Callable, List, NoReturn, Optional

from fastapi import APIRouter, HTTPException, Query, Request
from fastapi.responses import FileResponse
from pydantic import BaseModel, Field

from .engine import EngineDep

STATIC_DIR = pathlib.Path(__file__).resolve().parent / "static"
MAX_TITLE_CHARS = 200
MAX_QUERY_CHARS = 200

router = APIRouter()


class RenameBody(BaseModel):
    title: str = Field(..., max_length=MAX_TITLE_CHARS * 4)


def _bad(detail: str, status: int = 400) -> NoReturn:
    raise HTTPException(status_code=status, detail=detail)


def _host(request: Request) -> Any:
    return request.app.state.host


def _method(store: Any, *names: str) -> Optional[Callable[..., Any]]:
    for name in names:
        fn = getattr(store, name, None)
        if callable(fn):
            return fn
    return None


def _unsupported(what: str) -> NoReturn:
    _bad(f"the engine's session store cannot {what}; update the engine to a version that can", 501)


def _session_id(session_id: str) -> str:
    from .app import _session  # the one check of session ids
    return _session(session_id)


def _exists(store: Any, session_id: str) -> bool:
    has = _method(store, "has_session")
    if has is not None:
        return bool(has(session_id))
    get = _method(store, "get_session")
    if get is not None:
        return get(session_id) is not None
    return True   # cannot tell: let the store's own call decide


def tidy_title(title: str) -> str:
    """One line, no control or format characters (no U+202E turning the
    text around), trimmed, at most MAX_TITLE_CHARS characters."""
    text = "".join(" " if unicodedata.category(ch).startswith("C") else ch for ch in title)
    return " ".join(text.split())[:MAX_TITLE_CHARS]


def clean_title(title: str) -> str:
    """The title as stored: one line, no control characters, trimmed."""
    text = "".join(" " if unicodedata.category(ch).startswith("C") else ch for ch in title)
    text = " ".join(text.split())
    if not text:
        _bad("title is empty")
    if len(text) > MAX_TITLE_CHARS:
        _bad(f"title is longer than {MAX_TITLE_CHARS} characters")
    return text


@router.patch("/sessions/{session_id}")
def rename_session(engine: EngineDep, session_id: str, body: RenameBody, request: Request):
    store = engine.warmpool.get_session_db()
    session_id = _session_id(session_id)
    title = clean_title(body.title)
    setter = _method(store, "set_session_title", "rename_session")
    if setter is None:
        _unsupported("rename sessions")
    if not _exists(store, session_id):
        _bad(f"no session {session_id!r}", 404)
    setter(session_id, title)
    _told(request, session_id, "renamed")
    return {"session_id": session_id, "title": title}


@router.delete("/sessions/{session_id}")
def delete_session(engine: EngineDep, session_id: str, request: Request):
    host = _host(request)
    store = engine.warmpool.get_session_db()
    session_id = _session_id(session_id)
    deleter = _method(store, "delete_session")
    if deleter is None:
        _unsupported("delete sessions")
    status = host.turns.status(session_id)
    if status.get("running") or status.get("pending"):
        _bad("the session is busy: stop its turn (and its queue) before deleting it", 409)
    if not _exists(store, session_id):
        _bad(f"no session {session_id!r}", 404)
    if deleter(session_id) is False:
        _bad(f"no session {session_id!r}", 404)
    # The host's own record of the session's turns goes with it.
    forget = getattr(host.turns, "forget_session", None)
    if callable(forget):
        forget(session_id)
    _told(request, session_id, "deleted")
    return {"session_id": session_id, "deleted": True}


def _told(request: Request, session_id: str, reason: str) -> None:
    """Every open tab hears of the change (the host-wide stream)."""
    told = getattr(_host(request), "sessions_changed", None)
    if callable(told):
        told(session_id, reason)


@router.get("/sessions/search")
def search_sessions(engine: EngineDep, request: Request, q: str = Query("", max_length=MAX_QUERY_CHARS),
                    limit: int = Query(50, ge=1, le=200)):
    store = engine.warmpool.get_session_db()
    query = " ".join(q.split())
    if not query:
        _bad("q is empty: give words to look for in titles and messages")
    search = _method(store, "search_sessions")
    if search is None:
        _unsupported("search sessions")
    rows = search(query, limit=limit) or []
    words = query.split()
    out = []
    for row in rows:
        if not isinstance(row, dict):
            continue
        sid = row.get("id") or row.get("session_id")
        if not isinstance(sid, str):
            continue
        stored_title = row.get("title")
        if not isinstance(stored_title, str):
            stored_title = ""
        title = tidy_title(stored_title)
        # Cleaning moved the characters: the store's ranges no longer fit.
        title_spans = row.get("title_spans") if title == stored_title else None
        snippet = row.get("snippet") or ""
        out.append({
            "session_id": sid,
            "title": title,
            "updated_at": row.get("updated_at") or row.get("last_active") or row.get("started_at"),
            "snippet": snippet,
            "title_parts": marked_parts(title, title_spans, words),
            "snippet_parts": marked_parts(snippet, row.get("snippet_spans"), words),
        })
    return {"query": query, "sessions": out}


def marked_parts(text: str, spans: Any, words: List[str]) -> List[dict]:
    """``text`` cut into ``{"text", "match"}`` pieces: the page shows the
    matched ones highlighted, every piece as plain text. The store's match
    ranges when it gives them, else where the query's words occur."""
    if not isinstance(text, str) or not text:
        return []
    ranges: List[List[int]] = []
    if isinstance(spans, list):
        for span in spans:
            if (isinstance(span, (list, tuple)) and len(span) == 2
                    and all(isinstance(v, int) for v in span) and 0 <= span[0] < span[1] <= len(text)):
                ranges.append([span[0], span[1]])
    else:
        lowered = text.lower()
        for word in words:
            word = word.lower()
            at = lowered.find(word) if word else -1
            while at >= 0:
                ranges.append([at, at + len(word)])
                at = lowered.find(word, at + len(word))
    parts: List[dict] = []
    pos = 0
    for start, end in sorted(ranges):
        start = max(start, pos)
        if start >= end:
            continue
        if start > pos:
            parts.append({"text": text[pos:start], "match": False})
        parts.append({"text": text[start:end], "match": True})
        pos = end
    if pos < len(text):
        parts.append({"text": text[pos:], "match": False})
    return parts


@router.get("/favicon.ico", include_in_schema=False)
def favicon():
    return FileResponse(STATIC_DIR / "favicon.svg", media_type="image/svg+xml",
                        headers={"Cache-Control": "max-age=86400"})


@router.get("/setup/installer")
def installer():
    """Where the install button downloads the engine's installer from, and how it runs it."""
    from bridge.setup import install
    url = str(getattr(install, "INSTALL_SCRIPT_URL", ""))
    return {"url": url, "runs_with": "bash", "command": f"curl -fsSL {url} | bash"}
