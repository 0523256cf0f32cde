"""What every request and response passes through: the body cap, security
headers, refusal of cross-site changes, JSON for every failure, JSON parsed
off the event loop, and log lines without control characters."""
from __future__ import annotations

import asyncio
import errno
import gc
import json
import logging
import sqlite3
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

from fastapi import Request
from fastapi.responses import JSONResponse
from fastapi.routing import APIRoute
from starlette.concurrency import run_in_threadpool

from . import memory

logger = logging.getLogger("dashboard")

# -- log lines ------------------------------------------------------------------

# C0 and C1 control characters (tab kept) written as escapes, so that text
# from a user can neither split a log line nor drive the terminal.
_CONTROLS = {c: f"\\x{c:02x}" for c in (*range(0x00, 0x20), *range(0x7f, 0xa0)) if c != 0x09}
_CONTROLS.update({0x0a: "\\n", 0x0d: "\\r"})


def escape_controls(text: str) -> str:
    return text.translate(_CONTROLS)


class EscapingFormatter(logging.Formatter):
    """One record, one line: control characters in the message are escaped
    (a traceback that follows keeps its lines)."""

    def formatMessage(self, record: logging.LogRecord) -> str:
        return escape_controls(super().formatMessage(record))


# For whole output streams: line feeds (and tabs) stay.
_CONTROLS_IN_STREAM = {c: e for c, e in _CONTROLS.items() if c != 0x0a}


class EscapingStream:
    """A text stream that writes control characters (other than line feed
    and tab) as escapes: lines printed by any part of the process, not only
    log records, cannot carry a NUL or drive the terminal."""

    def __init__(self, stream) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        self._stream.write(text.translate(_CONTROLS_IN_STREAM))
        return len(text)

    def writelines(self, lines) -> None:
        for line in lines:
            self.write(line)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def install_log_escaping() -> None:
    """Escape control characters in the process's output and in log records.
    Call before logging is configured."""
    import sys
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if stream is not None and not isinstance(stream, EscapingStream):
            setattr(sys, name, EscapingStream(stream))


def escape_log_records() -> None:
    """Give the root logger's handlers a formatter that keeps one record on one line."""
    for handler in logging.getLogger().handlers:
        fmt = handler.formatter
        handler.setFormatter(EscapingFormatter(fmt._fmt if fmt else None, fmt.datefmt if fmt else None))


class RepeatFilter(logging.Filter):
    """Warnings and errors that repeat are logged once, then again only at
    their 10th, 100th, 1000th, ... time within ``window`` seconds, with the
    count (and without a traceback): a client that makes the same thing fail
    on and on cannot fill the disk with the log."""

    KEEP = 1024   # different messages tracked at once

    def __init__(self, window: float, clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__()
        self.window = window
        self.clock = clock
        self._lock = threading.Lock()
        self._seen: Dict[tuple, List[float]] = {}   # key -> [window start, count]

    def filter(self, record: logging.LogRecord) -> bool:
        if record.levelno < logging.WARNING:
            return True
        try:
            text = record.getMessage()
        except Exception:  # a record whose arguments do not fit: let the handler report it
            return True
        exc = record.exc_info[1] if record.exc_info else None
        key = (record.name, record.levelno, text, type(exc).__name__ if exc else None, str(exc)[:200])
        now = self.clock()
        with self._lock:
            entry = self._seen.get(key)
            if entry is None or now - entry[0] >= self.window:
                earlier = int(entry[1]) - 1 if entry is not None else 0
                if len(self._seen) >= self.KEEP:
                    self._seen.clear()
                self._seen[key] = [now, 1]
                if earlier > 0:
                    self._rewrite(record, text, f"(and {earlier} time(s) more before)")
                return True
            entry[1] += 1
            count = int(entry[1])
        if count >= 10 and str(count).rstrip("0") == "1":
            self._rewrite(record, text, f"(repeated {count} times in {self.window:g} s)")
            record.exc_info = None
            record.exc_text = None
            return True
        return False

    @staticmethod
    def _rewrite(record: logging.LogRecord, text: str, note: str) -> None:
        record.msg = "%s %s"
        record.args = (text, note)


def limit_repeats(window: float, loggers=("", "uvicorn", "uvicorn.error", "uvicorn.access")) -> RepeatFilter:
    """Put one RepeatFilter on the handlers of ``loggers`` (the root logger
    and uvicorn's own, which do not pass their records on)."""
    flt = RepeatFilter(window)
    for name in loggers:
        for handler in logging.getLogger(name).handlers:
            if not any(isinstance(f, RepeatFilter) for f in handler.filters):
                handler.addFilter(flt)
    return flt


# -- failures ---------------------------------------------------------------------

class Problems:
    """Failures the host ran into lately, for /health."""

    KEEP = 5

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._recent: List[Tuple[float, str]] = []

    def record(self, text: str) -> None:
        with self._lock:
            self._recent.append((time.time(), text))
            del self._recent[:-self.KEEP]

    def recent(self, within: float = 300.0) -> List[str]:
        cutoff = time.time() - within
        with self._lock:
            return [text for when, text in self._recent if when >= cutoff]


def describe_failure(exc: BaseException) -> Tuple[int, str]:
    """The status and readable detail for an error a route did not handle."""
    if isinstance(exc, OSError) and exc.errno in (errno.ENOSPC, errno.EDQUOT):
        where = f" ({exc.filename})" if exc.filename else ""
        return 507, f"the disk is full{where}: free some space and try again"
    if isinstance(exc, OSError) and exc.errno in (errno.EACCES, errno.EPERM, errno.EROFS,
                                                  errno.ENOTDIR, errno.EEXIST, errno.EISDIR):
        where = f" {exc.filename}" if exc.filename else ""
        return 503, f"cannot write{where}: {exc.strerror or exc}; check the home directory's permissions"
    if isinstance(exc, OSError):
        return 503, f"file system error: {exc.strerror or exc}" + (f" ({exc.filename})" if exc.filename else "")
    from .journal import JournalError
    if isinstance(exc, JournalError):
        return 503, str(exc)
    if isinstance(exc, sqlite3.DatabaseError):
        return 503, f"the session store (state.db) cannot be used: {exc}"
    return 500, f"internal error: {type(exc).__name__}: {exc}"[:500]


# -- the middleware ---------------------------------------------------------------

SECURITY_HEADERS: List[Tuple[bytes, bytes]] = [
    (b"content-security-policy",
     b"default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
     b"img-src 'self' data: blob:; connect-src 'self'; font-src 'self'; object-src 'none'; "
     b"base-uri 'none'; form-action 'self'; frame-ancestors 'none'"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"x-frame-options", b"DENY"),
    # Nothing of the host (an uploaded image above all) is for other sites' pages.
    (b"cross-origin-resource-policy", b"same-origin"),
]

UNSAFE_SITES = ("cross-site", "same-site")
SAFE_METHODS = ("GET", "HEAD", "OPTIONS")


def release_memory() -> None:
    """After a large body: free what the reference cycles of a refused
    request's traceback keep alive, and hand the C allocator's free memory
    back to the system (blocks of a few dozen MB are not returned by itself)."""
    gc.collect()
    memory.trim()


class BodyTooLarge(Exception):
    pass


class Guard:
    """Outermost layer of the app.

    - Every response gets the security headers.
    - A change (POST, ...) that the browser marks as coming from another
      site is refused, with or without an Origin header.
    - A request body larger than ``max_body`` gets 413: at once when its
      Content-Length says so, otherwise as soon as that many bytes arrived.
    - An error no route handled becomes JSON ``detail`` with a fitting
      status, and is remembered for /health.
    """

    COLLECT_AFTER = 8 * 1024 * 1024

    def __init__(self, app, max_body: int, problems: Problems,
                 allowed_origins: Callable[[], List[str]]) -> None:
        self.app = app
        self.max_body = max_body
        self.problems = problems
        self.allowed_origins = allowed_origins

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers: Dict[bytes, bytes] = {}
        for key, value in scope.get("headers", ()):
            headers.setdefault(key.lower(), value)
        started = False
        too_large = False

        async def send_secured(message):
            nonlocal started
            if message["type"] == "http.response.start":
                if too_large:
                    return  # the 413 below answers instead
                started = True
                present = {k.lower() for k, _ in message.get("headers", ())}
                extra = [(k, v) for k, v in SECURITY_HEADERS if k not in present]
                message = {**message, "headers": [*message.get("headers", ()), *extra]}
            elif too_large and not started:
                return
            await send(message)

        async def answer(status: int, detail: str) -> None:
            await JSONResponse(status_code=status, content={"detail": detail})(scope, receive, send_secured)

        method = scope.get("method", "GET")
        site = headers.get(b"sec-fetch-site", b"").decode("latin-1").lower()
        origin = headers.get(b"origin", b"").decode("latin-1")
        if method not in SAFE_METHODS and site in UNSAFE_SITES and origin not in self.allowed_origins():
            await answer(403, "changes are accepted only from the dashboard's own page")
            return

        limit = self.max_body
        length = headers.get(b"content-length")
        if length is not None:
            try:
                declared = int(length)
            except ValueError:
                await answer(400, "Content-Length is not a number")
                return
            if declared > limit:
                await answer(413, self._too_large(limit))
                return
        received = 0

        async def receive_capped():
            nonlocal received, too_large
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > limit:
                    too_large = True
                    raise BodyTooLarge()
            return message

        try:
            await self.app(scope, receive_capped, send_secured)
        except Exception as exc:
            if too_large:
                pass
            elif started:
                raise
            else:
                status, detail = describe_failure(exc)
                logger.error("%s %s failed: %s", method, scope.get("path", ""), detail,
                             exc_info=status == 500)
                self.problems.record(f"{method} {scope.get('path', '')}: {detail}")
                await answer(status, detail)
                return
        if too_large and not started:
            too_large = False
            await answer(413, self._too_large(limit))
        if received > self.COLLECT_AFTER:
            # Once this request's objects are gone (its error, the frames
            # its traceback holds, the body).
            asyncio.get_running_loop().call_later(0.05, release_memory)

    @staticmethod
    def _too_large(limit: int) -> str:
        return (f"request body is larger than {limit // (1024 * 1024)} MB; "
                "send big images one at a time through /chat/upload")


# -- JSON bodies ------------------------------------------------------------------

class OffLoopRequest(Request):
    """A request whose large JSON body is parsed on a worker thread."""

    offloop_bytes = 256 * 1024

    async def json(self):
        if not hasattr(self, "_json"):
            body = await self.body()
            if len(body) > self.offloop_bytes:
                self._json = await run_in_threadpool(json.loads, body)
            else:
                self._json = json.loads(body)
        return self._json


def offloop_route(threshold: int) -> type:
    class OffLoopRequestHere(OffLoopRequest):
        offloop_bytes = threshold

    class OffLoopRoute(APIRoute):
        def get_route_handler(self):
            handler = super().get_route_handler()

            async def handle(request: Request):
                return await handler(OffLoopRequestHere(request.scope, request.receive))
            return handle
    return OffLoopRoute


def run_checks(checks: List[Callable[[], Optional[str]]]) -> List[str]:
    out = []
    for check in checks:
        try:
            problem = check()
        except Exception as exc:  # a check must not break /health
            problem = f"{type(exc).__name__}: {exc}"
        if problem:
            out.append(problem)
    return out


# -- health -----------------------------------------------------------------------

def storage_problems(engine, min_free: int) -> List[str]:
    """What keeps the host from storing things right now, in words."""
    import os
    import pathlib
    import shutil

    from . import profiles, uploads

    root = profiles.korvel_root()

    def writable(path: pathlib.Path, what: str) -> Optional[str]:
        if not path.exists():
            return None
        if not path.is_dir():
            return f"{what} {path} is not a directory"
        if not os.access(path, os.W_OK | os.X_OK):
            return f"{what} {path} is not writable"
        return None

    def home() -> Optional[str]:
        if not root.exists():
            parent = root.parent
            if not os.access(parent, os.W_OK | os.X_OK):
                return f"the home directory {parent} is not writable"
            return None
        return writable(root, "the data directory")

    def disk() -> Optional[str]:
        probe = root if root.exists() else root.parent
        free = shutil.disk_usage(probe).free
        if free < min_free:
            return f"the disk is full: {free // (1024 * 1024)} MB free, {min_free // (1024 * 1024)} MB needed"
        return None

    def readable(db: pathlib.Path, what: str) -> Optional[str]:
        if not db.exists():
            return None
        try:
            con = sqlite3.connect(f"{db.resolve().as_uri()}?mode=ro", uri=True, timeout=1)
            try:
                con.execute("PRAGMA schema_version").fetchone()
            finally:
                con.close()
        except sqlite3.OperationalError as exc:
            if "locked" in str(exc):
                return None
            return f"{what} {db} cannot be read: {exc}"
        except sqlite3.DatabaseError as exc:
            return f"{what} {db} is damaged: {exc}"
        return None

    def store() -> Optional[str]:
        if engine is None or not engine.ready:
            return None
        return readable(pathlib.Path(engine.warmpool.get_profile_home()) / "state.db", "the session store")

    def journal() -> Optional[str]:
        if engine is None or not engine.ready:
            return None
        from .journal import journal_path
        return readable(journal_path(engine.warmpool.get_profile_home()), "the turn journal")

    def config() -> Optional[str]:
        if engine is None or not engine.ready:
            return None
        return profiles.config_problem(pathlib.Path(engine.warmpool.get_profile_home()))

    return run_checks([home, lambda: writable(uploads.upload_dir(engine), "the upload directory"),
                       disk, store, journal, config])
