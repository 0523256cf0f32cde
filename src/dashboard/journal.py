"""The host's turn journal: every accepted message, on disk, per profile.

``<profile>/dashboard/turns.sqlite`` keeps each message the host accepted
(started or queued) with the user's own text and upload ids, from the moment
it is accepted until long after its turn ended:

- a queued message survives a crash of the host (even SIGKILL) and runs
  after the restart, in order;
- a turn cut by a crash is found "running" at the next start and marked
  interrupted;
- the history shows what the user wrote, not the text the engine was given
  (image descriptions and model-switch notes in front of it): the journal
  knows each turn by a digest of that text.

A finished turn stays as long as its session: deleting the session drops
its rows, and the first look at a journal after a start drops those of
sessions that are no longer in the engine's store.
"""
from __future__ import annotations

import contextlib
import hashlib
import json
import logging
import pathlib
import sqlite3
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

logger = logging.getLogger("dashboard.turns")

QUEUED, RUNNING = "queued", "running"
ENDED = ("done", "interrupted", "stopped", "error")
#: A waiting message the user took back: it never ran and is not shown.
CANCELLED = "cancelled"

_SCHEMA = """
CREATE TABLE IF NOT EXISTS turns (
    n INTEGER PRIMARY KEY AUTOINCREMENT,
    turn_id TEXT NOT NULL UNIQUE,
    session_id TEXT NOT NULL,
    message TEXT NOT NULL,
    images TEXT NOT NULL DEFAULT '[]',
    paths TEXT NOT NULL DEFAULT '[]',
    state TEXT NOT NULL,
    digest TEXT,
    reason TEXT,
    accepted_at REAL NOT NULL,
    started_at REAL,
    ended_at REAL,
    client_id TEXT,
    model TEXT,
    error TEXT
);
CREATE INDEX IF NOT EXISTS turns_by_session ON turns(session_id, n);
CREATE INDEX IF NOT EXISTS turns_by_state ON turns(state, n);
"""
_ENDED = "UPDATE turns SET state = ?, reason = ?, ended_at = ?, error = ? WHERE turn_id = ?"
#: Columns added after the first release, with their types: a journal
#: written before gets them when it is opened.
_ADDED = (("client_id", "TEXT"), ("model", "TEXT"), ("error", "TEXT"))


def digest(text: str) -> str:
    """What the journal knows the engine's copy of a message by."""
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def journal_path(profile_home) -> pathlib.Path:
    return pathlib.Path(profile_home) / "dashboard" / "turns.sqlite"


class JournalError(sqlite3.DatabaseError):
    """The journal file cannot be used; names the file."""

    def __init__(self, path: pathlib.Path, exc: BaseException) -> None:
        damaged = isinstance(exc, sqlite3.DatabaseError) and not isinstance(exc, sqlite3.OperationalError)
        what = "is damaged" if damaged else "cannot be used"
        hint = ": move it aside and the host starts a new one" if damaged else ""
        super().__init__(f"the turn journal {path} {what} ({exc}){hint}")
        self.path = path
        self.damaged = damaged


@contextlib.contextmanager
def _naming(path: pathlib.Path):
    try:
        yield
    except JournalError:
        raise
    except sqlite3.DatabaseError as exc:
        raise JournalError(path, exc) from exc


class Journal:
    """One profile's journal; usable from any thread.

    The end of a turn that cannot be written (a full disk) is kept and
    written with the next write that succeeds; a turn whose end is never
    written is marked interrupted at the next start.
    """

    def __init__(self, profile_home) -> None:
        from .access import private_dir, private_file
        self.path = journal_path(profile_home)
        # Its user's messages: readable by nobody else, whatever the umask
        # (SQLite gives the -wal and -shm files the database file's mode).
        private_dir(self.path.parent)
        private_file(self.path)
        self._lock = threading.Lock()
        self._unwritten: List[tuple] = []   # ends of turns not yet on disk
        with _naming(self.path):
            self._db = sqlite3.connect(str(self.path), check_same_thread=False, timeout=30,
                                       isolation_level=None)
            self._db.row_factory = sqlite3.Row
            with self._lock:
                # WAL with normal syncing: a committed row survives the process
                # being killed (the operating system still has it).
                self._db.execute("PRAGMA journal_mode=WAL")
                self._db.execute("PRAGMA synchronous=NORMAL")
                self._db.executescript(_SCHEMA)
                have = {row[1] for row in self._db.execute("PRAGMA table_info(turns)")}
                for name, kind in _ADDED:
                    if name not in have:
                        self._db.execute(f"ALTER TABLE turns ADD COLUMN {name} {kind}")

    def _catch_up_locked(self) -> None:
        while self._unwritten:
            self._db.execute(_ENDED, self._unwritten[0])
            self._unwritten.pop(0)

    def _run(self, sql: str, args=()) -> int:
        with self._lock, _naming(self.path):
            self._catch_up_locked()
            return self._db.execute(sql, args).rowcount

    def _rows(self, sql: str, args=()) -> List[sqlite3.Row]:
        with self._lock, _naming(self.path):  # the rows are read before another thread uses the connection
            return self._db.execute(sql, args).fetchall()

    def accept(self, turn_id: str, session_id: str, message: str, images: List[str],
               paths: List[str], client_id: Optional[str] = None, accepted_at: Optional[float] = None) -> None:
        self._run("INSERT INTO turns (turn_id, session_id, message, images, paths, state, accepted_at,"
                  " client_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                  (turn_id, session_id, message, json.dumps(images), json.dumps(paths), QUEUED,
                   time.time() if accepted_at is None else accepted_at, client_id))

    def started(self, turn_id: str, model: Optional[str] = None) -> None:
        self._run("UPDATE turns SET state = ?, started_at = ?, model = ? WHERE turn_id = ?",
                  (RUNNING, time.time(), model, turn_id))

    def cancelled(self, turn_id: str) -> bool:
        """A waiting message the user took back; False when it was not waiting."""
        return self._run("UPDATE turns SET state = ?, ended_at = ? WHERE turn_id = ? AND state = ?",
                         (CANCELLED, time.time(), turn_id, QUEUED)) > 0

    def sent(self, turn_id: str, text: str) -> None:
        """The text the engine was given for the turn (known by its digest)."""
        self._run("UPDATE turns SET digest = ? WHERE turn_id = ?", (digest(text), turn_id))

    def ended(self, turn_id: str, status: str, reason: Optional[str] = None,
              error: Optional[dict] = None) -> bool:
        """Mark the turn ended (``error``: what failed, for a turn ended by
        an error); False when that could not be written now (it is written
        with the next write that succeeds)."""
        args = (status, reason, time.time(), json.dumps(error) if error else None, turn_id)
        try:
            self._run(_ENDED, args)
            return True
        except (OSError, sqlite3.Error) as exc:
            with self._lock:
                self._unwritten.append(args)
            logger.error("Could not write the end of turn %s to %s (%s); it is written with the "
                         "next write, or marked interrupted at the next start", turn_id, self.path, exc)
            return False

    def catch_up(self) -> bool:
        """Write the turn ends that could not be written before; True when none is left."""
        try:
            with self._lock, _naming(self.path):
                self._catch_up_locked()
            return True
        except (OSError, sqlite3.Error):
            return False

    def forget(self, turn_ids: List[str]) -> None:
        """Messages the user took back (stop with the queue cleared)."""
        with self._lock:
            self._db.executemany("DELETE FROM turns WHERE turn_id = ? AND state = ?",
                                 [(t, QUEUED) for t in turn_ids])

    def forget_session(self, session_id: str) -> int:
        """Drop the session's finished turns (the session was deleted)."""
        marks = ",".join("?" * len(ENDED + (CANCELLED,)))
        return self._run(f"DELETE FROM turns WHERE session_id = ? AND state IN ({marks})",
                         (session_id, *ENDED, CANCELLED))

    def drop_missing_sessions(self, exists) -> int:
        """Drop the finished turns of sessions that ``exists(session_id)``
        says are gone (deleted while the host was not looking); the rows of
        messages still waiting or running stay."""
        marks = ",".join("?" * len(ENDED))
        sessions = [r[0] for r in self._rows(
            f"SELECT DISTINCT session_id FROM turns WHERE state IN ({marks})", ENDED)]
        gone = [sid for sid in sessions if not exists(sid)]
        for sid in gone:
            self.forget_session(sid)
        return len(gone)

    def in_state(self, state: str) -> List[dict]:
        rows = self._rows("SELECT * FROM turns WHERE state = ? ORDER BY n", (state,))
        return [_row(r) for r in rows]

    def of_session(self, session_id: str) -> List[dict]:
        rows = self._rows("SELECT * FROM turns WHERE session_id = ? ORDER BY n", (session_id,))
        return [_row(r) for r in rows]

    def close(self) -> None:
        with self._lock:
            self._db.close()


def _row(row: sqlite3.Row) -> dict:
    out = dict(row)
    out["images"] = json.loads(out["images"] or "[]")
    out["paths"] = json.loads(out["paths"] or "[]")
    out["error"] = json.loads(out["error"]) if out.get("error") else None
    return out


class Journals:
    """The journal of each profile home, opened on first use."""

    def __init__(self) -> None:
        self._open: Dict[str, Journal] = {}
        self._lock = threading.Lock()

    def get(self, profile_home) -> Journal:
        key = str(pathlib.Path(profile_home))
        with self._lock:
            journal = self._open.get(key)
            if journal is None:
                journal = self._open[key] = Journal(key)
            return journal

    def close(self) -> None:
        with self._lock:
            for journal in self._open.values():
                journal.close()
            self._open.clear()


#: Splits a message as the engine got it into the user's own text and the
#: upload ids of its images (for messages the journal does not know).
Words = Callable[[str], Tuple[str, List[str]]]


def user_history(stored: list, turns: List[dict], running: Optional[str], words: Words) -> list:
    """The stored conversation as the user wrote it.

    A stored user message whose text is a journal turn's (by digest) shows
    the user's own text and upload ids and names its turn; so does the reply
    that follows it. Other user messages (sent before the journal kept
    them) are split by ``words``. Turns that ended without a reply, or without reaching
    the engine's store, are marked with their status. The running turn's
    messages are left out: the stream replays that turn.
    """
    by_digest: Dict[str, List[dict]] = {}
    for turn in turns:
        if turn.get("digest"):
            by_digest.setdefault(turn["digest"], []).append(turn)
    # A finished turn is always in the engine's store; one that is not (its
    # session deleted or rewritten there) is not brought back from here.
    ended = [t for t in turns if t["state"] in ENDED and t["state"] != "done"]
    placed = set()
    out: List[dict] = []
    current: Optional[dict] = None

    def close_turn() -> None:
        # A turn whose reply never came gets an empty one with its status.
        if current is not None and current["state"] in ENDED and current["state"] != "done" \
                and not (out and out[-1]["role"] == "assistant" and out[-1].get("turn") == current["turn_id"]):
            out.append(_reply_of(current, {"role": "assistant", "content": ""}))

    def unplaced_before(n: int) -> None:
        nonlocal current
        for turn in ended:
            if turn["n"] < n and turn["turn_id"] not in placed:
                placed.add(turn["turn_id"])
                close_turn()
                current = turn
                out.append(_user(turn))

    for message in stored:
        if not isinstance(message, dict):
            continue
        role = message.get("role")
        content = message.get("content")
        if role == "user":
            match = None
            if isinstance(content, str):
                for turn in by_digest.get(digest(content), ()):
                    if turn["turn_id"] not in placed:
                        match = turn
                        break
            if match is not None:
                unplaced_before(match["n"])
                close_turn()
                placed.add(match["turn_id"])
                current = match
                if match["turn_id"] == running:
                    continue
                out.append(_user(match))
                continue
            close_turn()
            current = None
            entry = {"role": "user", "content": content}
            if isinstance(content, str):
                text, images = words(content)
                if text != content:
                    entry = {"role": "user", "content": text, "images": images}
            if isinstance(message.get("timestamp"), (int, float)):
                entry["ts"] = float(message["timestamp"])
            out.append(entry)
            continue
        if current is not None and current["turn_id"] == running:
            continue
        entry = {"role": role, "content": content}
        # A step of the agent: the calls an answer made, and each one's result.
        for key in ("tool_calls", "tool_call_id", "tool_name", "meta"):
            if message.get(key):
                entry[key] = message[key]
        meta = message.get("meta")
        if role == "assistant" and isinstance(meta, dict) and isinstance(meta.get("reasoning"), str):
            entry["reasoning"] = meta["reasoning"]
        if isinstance(message.get("timestamp"), (int, float)):
            entry["ts"] = float(message["timestamp"])
        if current is not None and role == "tool":
            entry["turn"] = current["turn_id"]
        if current is not None and role == "assistant":
            entry = _reply_of(current, entry)
        out.append(entry)
    unplaced_before(float("inf"))  # type: ignore[arg-type]
    close_turn()
    return out


def _user(turn: dict) -> dict:
    entry = {"role": "user", "content": turn["message"], "turn": turn["turn_id"], "images": turn["images"],
             "client_id": turn.get("client_id"), "ts": turn["accepted_at"]}
    if turn["state"] in ENDED and turn["state"] != "done":
        entry["status"] = turn["state"]
    return entry


def _reply_of(turn: dict, entry: dict) -> dict:
    """An assistant message of a journal turn: its turn, the model that
    wrote it, when the turn ended and how, if not well."""
    entry["turn"] = turn["turn_id"]
    if turn.get("model"):
        entry["model"] = turn["model"]
    if "ts" not in entry and turn.get("ended_at"):
        entry["ts"] = turn["ended_at"]
    if turn["state"] in ENDED and turn["state"] != "done":
        entry["status"] = turn["state"]
        if turn.get("error"):
            entry["error"] = turn["error"]
    return entry
