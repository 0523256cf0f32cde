"""Session-long event streams with ids, on top of the bridge's stream fan-out.

For every session that has activity (a turn running or waiting) or a client
watching, the host holds one ``SessionLog``: the single subscriber of the
bridge's stream for that session. Each record it receives gets the next id of
the session, the id of the turn it belongs to, and its SSE text, encoded
once. Clients do not get queues of their own: each connection keeps only its
position in the log and writes what follows at its own pace, so a slow or
stalled client never holds up a turn or another client.

The agent of a running turn reports to a bridge stream of that turn alone
(``TurnFeed``): its records, approvals included, get their turn from the
stream they were made on, and the bridge's copy of them goes with the
stream when the turn ends. The host's own records (a turn started, queued,
stopped or ended; the queue) go straight into the log and name their turn.
The session's bridge stream carries what the bridge says of the session
outside any turn: its automatic title.

The log keeps the records of unfinished turns (a client connecting mid-turn
gets the turn replayed from its start) and, while clients watch or have just
left, those of a turn that ended moments ago (a reconnect right after the end
still resumes). A finished turn of a session nobody watches is released at
once.

Loop-thread rule: a log's records, clients and positions are only touched on
the event loop's thread; subscription state and activity counts are guarded
by the hub's lock and may change from any thread.
"""
from __future__ import annotations

import asyncio
import collections
import itertools
import logging
import os
import threading
import time
from typing import Any, Awaitable, Callable, Deque, Dict, List, Optional, Set, Tuple

from starlette.responses import Response

from . import settings, sse
from .sessions_api import tidy_title

logger = logging.getLogger("dashboard.streams")

#: Seconds a finished turn's records stay for watching clients to resume,
#: and the most bytes of finished turns a session keeps for that.
RESUME_GRACE = 30.0
RESUME_KEEP_BYTES = 8 * 1024 * 1024
#: The bridge's replay buffer of a session's own stream is released after
#: this many records (it carries few: titles).
RENEW_EVERY = 512
#: Most bytes written to a client in one go.
WRITE_CHUNK = 256 * 1024

# Record types that change what a session is doing (told host-wide).
STATEFUL = ("busy", "queue", "turn_started", "turn_ended", "approval_required", "approval_resolved",
            "tool_completed", "title_updated")
# The host's records of a turn: they name their turn (data's "turn_id").
OWN_TURN = ("busy", "turn_started", "turn_ended", "stop_requested", "approval_resolved", "error")


class Entry:
    __slots__ = ("seq", "turn", "frame")

    def __init__(self, seq: int, turn: Optional[str], frame: str) -> None:
        self.seq = seq
        self.turn = turn
        self.frame = frame


class SessionLog:
    """The records of one session that clients may still need, in order."""

    def __init__(self, hub: "StreamHub", session_id: str, seq: int) -> None:
        self.hub = hub
        self.session_id = session_id
        self.seq = seq                      # id of the last record
        self.floor = seq                    # records up to here are released
        self.entries: Deque[Entry] = collections.deque()
        self.changed = asyncio.Event()
        self.current: Optional[str] = None  # the running turn
        self.starts: Dict[str, int] = {}    # retained turn -> id of its turn_started
        self.ended: Dict[str, float] = {}   # retained finished turn -> when it ended
        self.sizes: Dict[str, int] = {}     # retained turn -> bytes of its records
        self.queue: List[dict] = []
        # The client_id of each turn the log knows (from the host's own
        # records of the turn: busy, turn_started).
        self.clients: Dict[str, Optional[str]] = {}
        # Approvals of the running turn not answered yet, oldest (the one an
        # answer resolves) first: (id of its approval_required event, data).
        self.approvals: Deque[Tuple[str, dict]] = collections.deque()
        self.readers: Set[object] = set()
        self.left_at = float("-inf")        # when the last reader left
        self._timer = False
        # Under the hub's lock:
        self.activity = 0
        self.sub: Any = None
        self.since_renew = 0
        self.retired = False

    # -- records from the bridge (called on the loop's thread) ---------------

    def put_nowait(self, record) -> None:
        """A record of the session's own bridge stream."""
        self.add(record, None)
        self.since_renew += 1
        if self.since_renew >= RENEW_EVERY:
            self.hub.renew(self)

    def add(self, record, from_turn: Optional[str]) -> None:
        """A record, of the turn whose stream it came from (``from_turn``) or
        of the session's stream (then only the host's records name a turn)."""
        if record is None:  # the bridge's end-of-turn marker: turn_ended says more
            return
        if self.retired:
            self.hub.forward(self.session_id, record, from_turn)
            return
        if isinstance(record, dict) and isinstance(record.get("type"), str):
            kind, data = record["type"], record.get("data")
        else:
            kind, data = "message", record
        turn: Optional[str] = from_turn
        if turn is None and kind in OWN_TURN and isinstance(data, dict) and isinstance(data.get("turn_id"), str):
            turn = data["turn_id"]
        if kind == "title_updated" and isinstance(data, dict) and isinstance(data.get("title"), str):
            # Automatic titles are held to the rules of renamed ones.
            data = {**data, "title": tidy_title(data["title"])}
        if turn is not None and kind in OWN_TURN and isinstance(data, dict) and "client_id" in data:
            client = data["client_id"]
            self.clients[turn] = client
        else:
            client = self.clients.get(turn) if turn is not None else None
        self.seq += 1
        frame = sse.format_frame(f"{self.hub.run}-{self.seq}", kind,
                                 {"turn": turn, "client_id": client, "data": data})
        self.entries.append(Entry(self.seq, turn, frame))
        if turn is not None and turn in self.sizes:
            self.sizes[turn] += len(frame)
        self._track(kind, turn, data)
        self.changed.set()
        self.changed = asyncio.Event()
        if kind in STATEFUL and self.hub.watch is not None:
            self.hub.watch(self.session_id, kind)
        if kind == "turn_ended":
            self.release()

    def _track(self, kind: str, turn: Optional[str], data) -> None:
        if kind == "turn_started" and turn is not None:
            self.current = turn
            self.starts[turn] = self.seq
            self.sizes[turn] = len(self.entries[-1].frame)
            self.queue = [q for q in self.queue if q.get("turn") != turn]
            self.approvals.clear()
        elif kind == "turn_ended":
            if turn is not None and turn in self.starts:
                self.ended[turn] = time.monotonic()
            if turn == self.current:
                self.current = None
            self.queue = [q for q in self.queue if q.get("turn") != turn]
            self.approvals.clear()
        elif kind == "busy" and isinstance(data, dict) and turn is not None:
            self.queue = [q for q in self.queue if q.get("turn") != turn]
            self.queue.append({"turn": turn, "client_id": data.get("client_id"), "position": data.get("position"),
                               "message": data.get("message"), "images": data.get("images") or [],
                               "waiting_for": data.get("waiting_for", "turn")})
        elif kind == "queue" and isinstance(data, dict) and isinstance(data.get("queue"), list):
            self.queue = list(data["queue"])
        elif kind == "approval_required" and turn is not None:
            self.approvals.append((f"{self.hub.run}-{self.seq}", data if isinstance(data, dict) else {"data": data}))
        elif kind == "approval_resolved":
            named = data.get("approval_id") if isinstance(data, dict) else None
            if named is None:
                if self.approvals:
                    self.approvals.popleft()
            else:
                self.take_approval(named)
        elif kind == "tool_completed":
            self.approvals.clear()

    @property
    def pending_approval(self) -> Optional[dict]:
        """Data of the approval an answer resolves now, if one waits."""
        return self.approvals[0][1] if self.approvals else None

    @property
    def pending_approval_id(self) -> Optional[str]:
        """Id of the approval an answer resolves now, if one waits."""
        return self.approvals[0][0] if self.approvals else None

    def take_approval(self, approval_id: str) -> None:
        """The approval is answered: it waits no more (loop thread)."""
        for item in list(self.approvals):
            if item[0] == approval_id:
                self.approvals.remove(item)

    # -- what is kept ----------------------------------------------------------

    def release(self) -> None:
        """Let go of finished turns nobody may still resume, and what precedes them."""
        now = time.monotonic()
        # A reader that left a moment ago may be reconnecting (a dropped
        # connection, a stalled reader disconnected): keep what it may resume.
        watched = bool(self.readers) or now - self.left_at < RESUME_GRACE
        kept = sum(self.sizes.get(turn, 0) for turn in self.ended)
        for turn, at in sorted(self.ended.items(), key=lambda item: item[1]):
            if not watched or now - at >= RESUME_GRACE or kept > RESUME_KEEP_BYTES:
                kept -= self.sizes.pop(turn, 0)
                del self.ended[turn]
                self.starts.pop(turn, None)
        known = set(self.starts) | {q.get("turn") for q in self.queue} | {self.current}
        for turn in [t for t in self.clients if t not in known]:
            del self.clients[turn]
        keep_from = min(self.starts.values(), default=self.seq + 1)
        while self.entries and self.entries[0].seq < keep_from:
            self.floor = self.entries.popleft().seq
        if not self.entries:
            self.floor = self.seq
        if self.ended and self.hub.loop is not None and not self._timer:
            self._timer = True
            self.hub.loop.call_later(RESUME_GRACE, self._timed_release)
        if not self.readers:
            self.hub.maybe_retire(self)

    # -- what a connecting client gets --------------------------------------------

    def _timed_release(self) -> None:
        self._timer = False
        self.release()

    def start_for(self, last_event_id: Optional[str]) -> Tuple[int, bool]:
        """(position to read after, resumed) for a client resuming after ``last_event_id``."""
        if last_event_id:
            run, _, number = last_event_id.strip().rpartition("-")
            if run == self.hub.run and number.isdigit():
                n = int(number)
                if self.floor <= n <= self.seq:
                    return n, True
        if self.current is not None and self.current in self.starts:
            return self.starts[self.current] - 1, False
        return self.seq, False

    def sync(self, position: int, resumed: bool) -> str:
        queue = [{**q, "position": i + 1} for i, q in enumerate(self.queue)]
        data = {"session_id": self.session_id, "resumed": resumed, "running": self.current,
                "queue": queue, "pending_approval": self.pending_approval,
                "pending_approval_id": self.pending_approval_id}
        return sse.format_frame(f"{self.hub.run}-{position}", "sync",
                                {"turn": None, "client_id": None, "data": data})

    def frames_after(self, position: int) -> Tuple[Optional[str], int]:
        """SSE text of the records after ``position`` and the new position;
        None when some of them were released (the client must start over)."""
        if position < self.floor:
            return None, position
        if not self.entries or position >= self.entries[-1].seq:
            return "", position
        index = max(0, position - self.entries[0].seq + 1)
        out: List[str] = []
        size = 0
        # (a deque's items are reached in order from one end: no indexing per item)
        for entry in itertools.islice(self.entries, index, None):
            out.append(entry.frame)
            size += len(entry.frame)
            position = entry.seq
            if size >= WRITE_CHUNK:
                break
        return "".join(out), position


class TurnFeed:
    """The bridge stream of one turn, subscribed by the host: every record on
    it is that turn's."""

    __slots__ = ("hub", "session_id", "turn_id", "stream_id", "sub")

    def __init__(self, hub: "StreamHub", session_id: str, turn_id: str) -> None:
        self.hub = hub
        self.session_id = session_id
        self.turn_id = turn_id
        # Session ids have no "/": no turn's stream is a session's.
        self.stream_id = f"{session_id}/{turn_id}"
        self.sub: Any = None

    def put_nowait(self, record) -> None:  # the loop's thread
        log = self.hub.logs.get(self.session_id)
        if log is None:
            self.hub.forward(self.session_id, record, self.turn_id)
        else:
            log.add(record, self.turn_id)


class StreamHub:
    """The sessions' logs, their bridge subscriptions and their clients."""

    def __init__(self, get_pool) -> None:
        self._get_pool = get_pool
        # Changes whenever the host starts, so that ids of an earlier run are
        # never taken for ids of this one.
        self.run = format(int(time.time()), "x") + os.urandom(2).hex()
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.logs: Dict[str, SessionLog] = {}
        self._seqs: Dict[str, int] = {}   # last id of sessions without a log
        self._feeds: Dict[str, TurnFeed] = {}  # running turns' streams, by turn id
        self._lock = threading.Lock()
        #: Told (session_id, record type) of records that change what a
        #: session is doing, on the loop's thread.
        self.watch: Optional[Callable[[str, str], None]] = None

    def bind(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop

    # -- subscriptions (any thread) ------------------------------------------------

    def _log_locked(self, session_id: str) -> SessionLog:
        log = self.logs.get(session_id)
        if log is None:
            log = SessionLog(self, session_id, self._seqs.pop(session_id, 0))
            self.logs[session_id] = log
        return log

    def _subscribe_locked(self, log: SessionLog) -> None:
        if log.sub is None and self.loop is not None:
            log.sub = self._get_pool().subscribe_to_stream(log.session_id, log, self.loop)
            log.since_renew = 0

    def activate(self, session_id: str) -> None:
        """The session has a turn running or waiting: its records must be caught."""
        with self._lock:
            log = self._log_locked(session_id)
            log.activity += 1
            self._subscribe_locked(log)

    def deactivate(self, session_id: str) -> None:
        with self._lock:
            log = self.logs.get(session_id)
            if log is None:
                return
            log.activity = max(0, log.activity - 1)
            idle = log.activity == 0
        if idle and self.loop is not None:
            # After every record already on its way to the log.
            try:
                self.loop.call_soon_threadsafe(log.release)
            except RuntimeError:  # the loop has closed
                pass

    def renew(self, log: SessionLog) -> None:
        """Release the bridge's replay buffer of the session's stream: the
        log holds all it needs. Unsubscribing drops the buffer (records pushed
        from then on start a new one, which the new subscription replays), so
        nothing is lost and nothing comes twice."""
        with self._lock:
            if log.sub is None or log.retired:
                return
            pool = self._get_pool()
            pool.unsubscribe_from_stream(log.session_id, log.sub)
            log.sub = pool.subscribe_to_stream(log.session_id, log, self.loop)
            log.since_renew = 0

    def maybe_retire(self, log: SessionLog) -> None:
        """Drop a session's log once nothing runs, nobody watches and nothing is kept."""
        with self._lock:
            if log.retired or log.activity or log.readers:
                return
            if log.sub is not None:
                self._get_pool().unsubscribe_from_stream(log.session_id, log.sub)
                log.sub = None
            if log.entries or log.ended:
                return
            log.retired = True
            if self.logs.get(log.session_id) is log:
                del self.logs[log.session_id]
                self._seqs[log.session_id] = log.seq

    def post(self, session_id: str, record: dict) -> None:
        """One of the host's own records (it names its turn, if it has one),
        from any thread: into the session's log after everything already on
        its way there."""
        if self.loop is None:
            return
        try:
            self.loop.call_soon_threadsafe(self.forward, session_id, record)
        except RuntimeError:  # the loop has closed: nobody is left to tell
            pass

    def forward(self, session_id: str, record, turn: Optional[str] = None) -> None:
        """A record for the session's log (on the loop's thread), made if the
        session has none: the host's own records, and those that reached a
        log just retired."""
        with self._lock:
            log = self._log_locked(session_id)
        log.add(record, turn)
        if not log.readers:
            log.release()

    # -- a turn's own stream (any thread) ------------------------------------------

    def open_turn(self, session_id: str, turn_id: str) -> str:
        """Catch the records of a turn about to run; the id of the bridge
        stream its agent and approvals report to."""
        feed = TurnFeed(self, session_id, turn_id)
        if self.loop is not None:
            feed.sub = self._get_pool().subscribe_to_stream(feed.stream_id, feed, self.loop)
            with self._lock:
                self._feeds[turn_id] = feed
        return feed.stream_id

    def close_turn(self, turn_id: str) -> None:
        """The turn has ended: its stream gets the bridge's end marker and is
        let go, with what the bridge kept of it (its records are in the
        session's log)."""
        with self._lock:
            feed = self._feeds.pop(turn_id, None)
        if feed is None:
            return
        pool = self._get_pool()
        pool.signal_stream_done(feed.stream_id)
        pool.unsubscribe_from_stream(feed.stream_id, feed.sub)
        # The bridge keeps an emptied subscriber list under its stream's
        # name; this stream is never used again.
        with pool.stream_sub_lock:
            if not pool.stream_subscribers.get(feed.stream_id, True):
                del pool.stream_subscribers[feed.stream_id]

    # -- clients (loop thread) ----------------------------------------------------

    def open(self, session_id: str, reader: object) -> SessionLog:
        with self._lock:
            log = self._log_locked(session_id)
            log.readers.add(reader)
            self._subscribe_locked(log)
        return log

    def close(self, log: SessionLog, reader: object) -> None:
        log.readers.discard(reader)
        if not log.readers:
            log.left_at = time.monotonic()
            log.release()

    # -- inspection ---------------------------------------------------------------

    def held(self) -> dict:
        """What the logs hold (for /chat/status and the reliability checks)."""
        logs = list(self.logs.values())
        return {"sessions": len(logs), "records": sum(len(log.entries) for log in logs),
                "bytes": sum(len(e.frame) for log in logs for e in log.entries)}


class StalledClient(Exception):
    pass


class SessionStream:
    """The ASGI body of ``GET /chat/stream/{id}``: the sync event, then the
    session's records from the client's position on, until it leaves."""

    media_type = "text/event-stream"

    def __init__(self, hub: StreamHub, session_id: str, last_event_id: Optional[str],
                 closing: asyncio.Event, keepalive: Optional[float] = None,
                 stall: Optional[float] = None) -> None:
        self.hub = hub
        self.session_id = session_id
        self.last_event_id = last_event_id
        self.closing = closing
        self.keepalive = sse.KEEPALIVE_SECONDS if keepalive is None else keepalive
        self.stall = settings.STALL.value() if stall is None else stall

    async def __call__(self, scope, receive, send) -> None:
        log = self.hub.open(self.session_id, self)
        try:
            position, resumed = log.start_for(self.last_event_id)
            await send({"type": "http.response.start", "status": 200, "headers": [
                (b"content-type", b"text/event-stream; charset=utf-8"),
                (b"cache-control", b"no-cache"), (b"x-accel-buffering", b"no")]})
            writer = asyncio.ensure_future(self._write(send, log, position, resumed))
            gone = asyncio.ensure_future(self._left(receive))
            try:
                await asyncio.wait({writer, gone}, return_when=asyncio.FIRST_COMPLETED)
            finally:
                for task in (writer, gone):
                    task.cancel()
                await asyncio.gather(writer, gone, return_exceptions=True)
            stalled = writer.done() and not writer.cancelled() and isinstance(writer.exception(), StalledClient)
            if stalled:
                logger.info("Disconnected a stalled reader of session %s (it resumes by id)", self.session_id)
                _quiet_incomplete.expect()
                return
            if writer.done() and not writer.cancelled() and writer.exception() is None:
                # We ended the stream (host closing, position released): end it properly.
                with _suppress():
                    await asyncio.wait_for(send({"type": "http.response.body", "body": b"",
                                                 "more_body": False}), self.stall)
        finally:
            self.hub.close(log, self)

    async def _left(self, receive) -> None:
        while True:
            message = await receive()
            if message.get("type") == "http.disconnect":
                return

    async def _put(self, send, text: str) -> None:
        try:
            await asyncio.wait_for(send({"type": "http.response.body", "body": text.encode("utf-8"),
                                         "more_body": True}), self.stall)
        except asyncio.TimeoutError:
            raise StalledClient() from None

    async def _write(self, send, log: SessionLog, position: int, resumed: bool) -> None:
        await self._put(send, log.sync(position, resumed))
        closing = self.closing
        while not closing.is_set():
            changed = log.changed
            text, position = log.frames_after(position)
            if text is None:
                return  # released under a client that fell behind: it starts over
            if text:
                await self._put(send, text)
                continue
            waiter = asyncio.ensure_future(changed.wait())
            stop = asyncio.ensure_future(closing.wait())
            try:
                done, _ = await asyncio.wait({waiter, stop}, timeout=self.keepalive,
                                             return_when=asyncio.FIRST_COMPLETED)
            finally:
                waiter.cancel()
                stop.cancel()
            if not done:
                await self._put(send, ": keepalive\n\n")


class SessionStreamResponse(Response):
    """The route's response: written by a ``SessionStream`` (or the
    host-wide ``EventsStream``); ``on_close`` runs when it ends."""

    def __init__(self, stream: Callable[[Any, Any, Any], Awaitable[None]], on_close=None) -> None:
        super().__init__()
        self._stream = stream
        self._on_close = on_close

    async def __call__(self, scope, receive, send) -> None:
        try:
            await self._stream(scope, receive, send)
        finally:
            if self._on_close is not None:
                self._on_close()


class _suppress:
    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        return kind is not None and issubclass(kind, Exception)


class _IncompleteFilter(logging.Filter):
    """uvicorn reports a response the application left unfinished; a stalled
    reader's is left so on purpose (its connection is closed), so that one
    report per such reader is dropped."""

    MESSAGE = "ASGI callable returned without completing response."

    def __init__(self) -> None:
        super().__init__()
        self._expected = 0
        self._lock = threading.Lock()
        self._installed = False

    def expect(self) -> None:
        with self._lock:
            if not self._installed:
                logging.getLogger("uvicorn.error").addFilter(self)
                self._installed = True
            self._expected += 1

    def filter(self, record: logging.LogRecord) -> bool:
        if record.getMessage() == self.MESSAGE:
            with self._lock:
                if self._expected:
                    self._expected -= 1
                    return False
        return True


_quiet_incomplete = _IncompleteFilter()
