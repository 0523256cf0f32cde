"""Session store of the stand-in engine: sessions, messages and titles in SQLite.

One connection per store, opened with check_same_thread=False and guarded by
the store's own lock, so a store can be used from any thread.

Search is full-text (SQLite FTS5) over titles and the user's and assistant's
messages: the indexes follow every write through triggers, so they never
need rebuilding; a store written before they existed is indexed once when
it is opened. Listing pages through sessions by last activity with a key that
stays put while sessions are used meanwhile (see ``list_sessions_page``).
"""
import json
import os
import re
import sqlite3
import threading
import time
from pathlib import Path

_SCHEMA = """
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY,
    title TEXT NOT NULL DEFAULT '',
    source TEXT,
    model TEXT,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS messages (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    session_id TEXT NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
    role TEXT NOT NULL,
    content TEXT,
    content_is_json INTEGER NOT NULL DEFAULT 0,
    tool_name TEXT,
    tool_calls TEXT,
    tool_call_id TEXT,
    meta TEXT,
    created_at REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS messages_by_session ON messages(session_id, id);
CREATE INDEX IF NOT EXISTS sessions_by_activity ON sessions(updated_at, id);

-- Every time a session's last activity moves on: when and from what. A
-- listing that started before can still place the session where it was.
CREATE TABLE IF NOT EXISTS session_touches (
    session_id TEXT NOT NULL,
    at REAL NOT NULL,
    previous REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS touches_by_session ON session_touches(session_id, at);
CREATE INDEX IF NOT EXISTS touches_by_time ON session_touches(at);
CREATE TRIGGER IF NOT EXISTS sessions_touched AFTER UPDATE OF updated_at ON sessions
WHEN new.updated_at > old.updated_at BEGIN
    INSERT INTO session_touches (session_id, at, previous) VALUES (old.id, new.updated_at, old.updated_at);
    DELETE FROM session_touches WHERE at < new.updated_at - 604800;
END;
CREATE TRIGGER IF NOT EXISTS sessions_deleted_touches AFTER DELETE ON sessions BEGIN
    DELETE FROM session_touches WHERE session_id = old.id;
END;
"""

#: How long a listing may take from its first page to its last (seconds):
#: the touches it needs are kept that long.
TOUCH_HORIZON = 604800.0

# What search sees: the words of titles and of user and assistant messages
# (tool output and structured content are left out).
_SEARCHABLE = "role IN ('user', 'assistant') AND content_is_json = 0 AND content IS NOT NULL"
_TOKENIZER = "unicode61 remove_diacritics 2"

_FTS_SCHEMA = f"""
CREATE VIRTUAL TABLE IF NOT EXISTS messages_fts USING fts5(
    content, content='messages', content_rowid='id', tokenize='{_TOKENIZER}', prefix='2 3');
CREATE VIRTUAL TABLE IF NOT EXISTS titles_fts USING fts5(
    session_id UNINDEXED, title, tokenize='{_TOKENIZER}', prefix='2 3');
CREATE TRIGGER IF NOT EXISTS messages_fts_insert AFTER INSERT ON messages
WHEN new.role IN ('user', 'assistant') AND new.content_is_json = 0 AND new.content IS NOT NULL BEGIN
    INSERT INTO messages_fts (rowid, content) VALUES (new.id, new.content);
END;
CREATE TRIGGER IF NOT EXISTS messages_fts_delete AFTER DELETE ON messages
WHEN old.role IN ('user', 'assistant') AND old.content_is_json = 0 AND old.content IS NOT NULL BEGIN
    INSERT INTO messages_fts (messages_fts, rowid, content) VALUES ('delete', old.id, old.content);
END;
CREATE TRIGGER IF NOT EXISTS messages_fts_update AFTER UPDATE ON messages BEGIN
    INSERT INTO messages_fts (messages_fts, rowid, content) SELECT 'delete', old.id, old.content
        WHERE old.role IN ('user', 'assistant') AND old.content_is_json = 0 AND old.content IS NOT NULL;
    INSERT INTO messages_fts (rowid, content) SELECT new.id, new.content
        WHERE new.role IN ('user', 'assistant') AND new.content_is_json = 0 AND new.content IS NOT NULL;
END;
CREATE TRIGGER IF NOT EXISTS titles_fts_insert AFTER INSERT ON sessions WHEN new.title != '' BEGIN
    INSERT INTO titles_fts (session_id, title) VALUES (new.id, new.title);
END;
CREATE TRIGGER IF NOT EXISTS titles_fts_update AFTER UPDATE OF title ON sessions
WHEN new.title IS NOT old.title BEGIN
    DELETE FROM titles_fts WHERE session_id = old.id;
    INSERT INTO titles_fts (session_id, title) SELECT new.id, new.title WHERE new.title != '';
END;
CREATE TRIGGER IF NOT EXISTS titles_fts_delete AFTER DELETE ON sessions WHEN old.title != '' BEGIN
    DELETE FROM titles_fts WHERE session_id = old.id;
END;
"""

# Marks around matches in what FTS5 hands back; taken out again before the
# text leaves the store, with the matches given as character ranges.
_OPEN, _CLOSE = "\x02", "\x03"
_TERM = re.compile(r"[^\W_]+")
#: Best-ranked matching messages looked at to pick the sessions shown.
_MESSAGE_HITS = 1000
#: Ranking reads this many of the newest matching messages at most: a word
#: found in most messages ("the") is ranked among the recent ones, so that
#: search stays fast however much was said.
_RANKED_MESSAGES = 1000
#: Snippets made by FTS5 for this many of the best messages; a session whose
#: best message ranks lower gets its excerpt cut here.
_SNIPPETS = 200


def _terms(query):
    """The words of a query as FTS5 understands them (letters and digits)."""
    return _TERM.findall(query)


def _fts_query(terms):
    """Every word must occur, each also as the start of a longer word (the
    user may still be typing it); quoted, so nothing in it is FTS syntax."""
    return " ".join('"' + t.replace('"', '""') + '"*' for t in terms)


def _unmark(marked):
    """Text with _OPEN/_CLOSE marks -> (text with white space collapsed,
    [[start, end], ...] of the marked ranges)."""
    text, spans, inside, start = [], [], False, 0
    length = 0
    for piece in re.split("([\x02\x03])", marked or ""):
        if piece == _OPEN:
            inside, start = True, length
        elif piece == _CLOSE:
            if inside and length > start:
                spans.append([start, length])
            inside = False
        elif piece:
            piece = re.sub(r"\s+", " ", piece)
            if text and text[-1].endswith(" ") and piece.startswith(" "):
                piece = piece[1:]
            text.append(piece)
            length += len(piece)
    return "".join(text), spans


def _excerpt(content, words, before=60, after=140):
    """Some words around the first of ``words`` found in ``content``."""
    lowered = content.lower()
    found = [at for at in (lowered.find(w.lower()) for w in words) if at >= 0]
    at = min(found) if found else 0
    start = max(0, content.rfind(" ", 0, max(0, at - before)) + 1) if at > before else 0
    end = content.find(" ", at + after)
    end = len(content) if end < 0 else end
    text = " ".join(content[start:end].split())
    return ("…" if start else "") + text + ("…" if end < len(content) else "")


def _find_spans(text, words):
    """Where the words occur in text, case-insensitively."""
    lowered, spans = text.lower(), []
    for word in words:
        word = word.lower()
        if not word:
            continue
        at = lowered.find(word)
        while at >= 0:
            spans.append([at, at + len(word)])
            at = lowered.find(word, at + len(word))
    spans.sort()
    merged = []
    for span in spans:
        if merged and span[0] <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], span[1])
        else:
            merged.append(span)
    return merged


def _default_db_path():
    home = os.environ.get("KORVEL_HOME") or os.path.join(os.path.expanduser("~"), ".korvel")
    return Path(home) / "state.db"


class SessionDB:
    def __init__(self, db_path=None):
        self.db_path = Path(db_path) if db_path is not None else _default_db_path()
        self.db_path.parent.mkdir(parents=True, exist_ok=True)
        self._lock = threading.RLock()
        self._conn = sqlite3.connect(str(self.db_path), check_same_thread=False, timeout=30)
        self._conn.row_factory = sqlite3.Row
        self._conn.execute("PRAGMA foreign_keys = ON")
        # An agent stores each step as it goes: write-ahead logging with
        # normal syncing keeps a committed step through a crash of the
        # process without a disk flush per message.
        self._conn.execute("PRAGMA journal_mode = WAL")
        self._conn.execute("PRAGMA synchronous = NORMAL")
        self._fts = self._create()
        with self._lock, self._conn:
            have = {row["name"] for row in self._conn.execute("PRAGMA table_info(messages)")}
            for column in ("tool_calls", "tool_call_id", "meta"):  # stores from before tools
                if column not in have:
                    self._conn.execute(f"ALTER TABLE messages ADD COLUMN {column} TEXT")

    def _create(self):
        """Create the tables and the search indexes, in one transaction (a
        new store is written to disk once), filling the indexes from what a
        store written before them holds. False when SQLite has no FTS5."""
        fill = (
            "INSERT INTO messages_fts (rowid, content) SELECT id, content FROM messages"
            f" WHERE {_SEARCHABLE};"
            "INSERT INTO titles_fts (session_id, title) SELECT id, title FROM sessions WHERE title != '';")
        with self._lock:
            had = self._conn.execute(
                "SELECT 1 FROM sqlite_master WHERE name = 'messages_fts'").fetchone() is not None
            try:
                self._conn.executescript("BEGIN;" + _SCHEMA + _FTS_SCHEMA + ("" if had else fill) + "COMMIT;")
            except sqlite3.OperationalError as exc:
                if self._conn.in_transaction:
                    self._conn.rollback()
                if "fts5" not in str(exc):
                    raise
                self._conn.executescript("BEGIN;" + _SCHEMA + "COMMIT;")
                return False
        return True

    # -- sessions -------------------------------------------------------

    def _ensure(self, session_id, source=None, model=None):
        now = time.time()
        self._conn.execute(
            "INSERT OR IGNORE INTO sessions (id, source, model, created_at, updated_at)"
            " VALUES (?, ?, ?, ?, ?)", (session_id, source, model, now, now))

    def create_session(self, session_id, source=None, model=None):
        with self._lock, self._conn:
            self._ensure(session_id, source, model)
            if model is not None:
                self._conn.execute("UPDATE sessions SET model = ? WHERE id = ?",
                                   (model, session_id))

    def has_session(self, session_id):
        with self._lock:
            row = self._conn.execute("SELECT 1 FROM sessions WHERE id = ?",
                                     (session_id,)).fetchone()
        return row is not None

    _ROW = ("s.id, s.title, s.source, s.model, s.created_at, s.updated_at,"
            " (SELECT COUNT(*) FROM messages m WHERE m.session_id = s.id) AS message_count")

    def list_sessions(self, limit=50, offset=0):
        """Sessions, most recently active first, with titles and message counts."""
        with self._lock:
            rows = self._conn.execute(
                f"SELECT {self._ROW} FROM sessions s ORDER BY s.updated_at DESC, s.id DESC"
                " LIMIT ? OFFSET ?", (limit, offset)).fetchall()
        return [dict(row) for row in rows]

    def count_sessions(self):
        with self._lock:
            return self._conn.execute("SELECT COUNT(*) FROM sessions").fetchone()[0]

    def list_sessions_page(self, limit=50, as_of=None, after=None):
        """One page of a listing of sessions, most recently active first, as
        they stood at the time ``as_of`` (default: now).

        ``after`` is the ``(key, id)`` of the last row of the previous page.
        Each row carries ``key``: its last activity at ``as_of``. A session
        used since ``as_of`` keeps its place from then (found in the touch
        log), so a listing walked page by page meets every session that
        existed at ``as_of`` exactly once, however the sessions are used
        meanwhile; sessions created after ``as_of`` are not part of it.
        """
        as_of = time.time() if as_of is None else float(as_of)
        limit = max(1, int(limit))
        with self._lock:
            if after is None:
                quiet = self._conn.execute(
                    f"SELECT {self._ROW}, s.updated_at AS key FROM sessions s WHERE s.updated_at <= ?"
                    " ORDER BY s.updated_at DESC, s.id DESC LIMIT ?", (as_of, limit)).fetchall()
            else:
                key, sid = float(after[0]), str(after[1])
                quiet = self._conn.execute(
                    f"SELECT {self._ROW}, s.updated_at AS key FROM sessions s WHERE s.updated_at <= ?"
                    " AND (s.updated_at < ? OR (s.updated_at = ? AND s.id < ?))"
                    " ORDER BY s.updated_at DESC, s.id DESC LIMIT ?",
                    (as_of, key, key, sid, limit)).fetchall()
            # Used since as_of: placed by their activity before the first
            # touch after it (sessions new since then have none at as_of).
            moved = self._conn.execute(
                f"SELECT {self._ROW}, (SELECT t.previous FROM session_touches t"
                "   WHERE t.session_id = s.id AND t.at > ? ORDER BY t.at LIMIT 1) AS key"
                " FROM sessions s WHERE s.updated_at > ?", (as_of, as_of)).fetchall()
        rows = [dict(r) for r in quiet]
        for row in moved:
            row = dict(row)
            key = row["key"]
            if key is None or key > as_of:
                continue
            if after is not None and (key, row["id"]) >= (float(after[0]), str(after[1])):
                continue
            rows.append(row)
        rows.sort(key=lambda r: (r["key"], r["id"]), reverse=True)
        return rows[:limit]

    def delete_session(self, session_id):
        with self._lock, self._conn:
            self._conn.execute("DELETE FROM messages WHERE session_id = ?", (session_id,))
            cur = self._conn.execute("DELETE FROM sessions WHERE id = ?", (session_id,))
        return cur.rowcount > 0

    def get_session_title(self, session_id):
        with self._lock:
            row = self._conn.execute("SELECT title FROM sessions WHERE id = ?",
                                     (session_id,)).fetchone()
        return row["title"] if row else ""

    def set_session_title(self, session_id, title):
        with self._lock, self._conn:
            self._ensure(session_id)
            self._conn.execute("UPDATE sessions SET title = ? WHERE id = ?",
                               (title or "", session_id))

    def search_sessions(self, query, limit=50):
        """Sessions whose title or user or assistant messages hold every word
        of ``query`` (as a word or the start of one, case and accents
        ignored), best first: title matches, then by the best-ranked message
        (bm25; among the newest few thousand matching messages when a word
        is in most of them). Each row has a ``snippet`` around that message's match, and
        ``snippet_spans``/``title_spans``: the [start, end) character ranges
        of the matched words in ``snippet`` and ``title``.

        A query without letters or digits ("%", "?!") is looked for as a
        literal piece of text instead."""
        terms = _terms(query)
        if not self._fts or not terms:
            return self._search_literal(query, limit)
        match = _fts_query(terms)
        with self._lock:
            titles = self._conn.execute(
                "SELECT session_id, highlight(titles_fts, 1, ?, ?) AS marked FROM titles_fts"
                " WHERE titles_fts MATCH ? ORDER BY rank LIMIT ?",
                (_OPEN, _CLOSE, match, limit)).fetchall()
            floor = self._conn.execute(
                "SELECT rowid FROM messages_fts WHERE messages_fts MATCH ? ORDER BY rowid DESC"
                " LIMIT 1 OFFSET ?", (match, _RANKED_MESSAGES - 1)).fetchone()
            hits = self._conn.execute(
                "SELECT m.session_id, h.rowid AS message_id, MIN(h.rank) AS score"
                " FROM (SELECT rowid, rank FROM messages_fts WHERE messages_fts MATCH ? AND rowid >= ?"
                "       ORDER BY rank LIMIT ?) h"
                " JOIN messages m ON m.id = h.rowid GROUP BY m.session_id ORDER BY score LIMIT ?",
                (match, floor[0] if floor else 0, _MESSAGE_HITS, limit)).fetchall()
            # Snippets come with the best messages in one query: asked for
            # one message at a time, FTS5 would run the whole query again.
            snippets = dict(self._conn.execute(
                "SELECT rowid, snippet(messages_fts, 0, ?, ?, '…', 24) FROM messages_fts"
                " WHERE messages_fts MATCH ? AND rowid >= ? ORDER BY rank LIMIT ?",
                (_OPEN, _CLOSE, match, floor[0] if floor else 0, _SNIPPETS)).fetchall())
            order, title_marks, best = [], {}, {}
            for row in titles:
                if row["session_id"] not in title_marks:
                    title_marks[row["session_id"]] = row["marked"]
                    order.append(row["session_id"])
            for row in hits:
                best[row["session_id"]] = row["message_id"]
                if row["session_id"] not in title_marks:
                    order.append(row["session_id"])
            order = order[:limit]
            out = []
            for sid in order:
                info = self._conn.execute(
                    "SELECT id, title, created_at, updated_at FROM sessions WHERE id = ?", (sid,)).fetchone()
                if info is None:
                    continue
                entry = {"id": sid, "title": info["title"], "created_at": info["created_at"],
                         "updated_at": info["updated_at"], "snippet": "", "snippet_spans": [],
                         "title_spans": []}
                if sid in title_marks:
                    entry["title"], entry["title_spans"] = _unmark(title_marks[sid])
                if best.get(sid) in snippets:
                    entry["snippet"], entry["snippet_spans"] = _unmark(snippets[best[sid]])
                elif sid in best:
                    row = self._conn.execute("SELECT content FROM messages WHERE id = ?",
                                             (best[sid],)).fetchone()
                    entry["snippet"] = _excerpt(row[0] if row else "", terms)
                    entry["snippet_spans"] = _find_spans(entry["snippet"], terms)
                out.append(entry)
        return out

    def _search_literal(self, query, limit):
        """Sessions whose title or messages contain ``query`` as it is
        (case-insensitive), most recently active first."""
        pattern = "%" + query.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        with self._lock:
            rows = self._conn.execute(
                "SELECT s.id, s.title, s.created_at, s.updated_at,"
                " (SELECT m.content FROM messages m WHERE m.session_id = s.id"
                f"   AND {_SEARCHABLE} AND m.content LIKE ? ESCAPE '\\' ORDER BY m.id LIMIT 1) AS hit"
                " FROM sessions s"
                " WHERE s.title LIKE ? ESCAPE '\\' OR hit IS NOT NULL"
                " ORDER BY s.updated_at DESC, s.id DESC LIMIT ?",
                (pattern, pattern, limit)).fetchall()
        out = []
        for row in rows:
            entry = {"id": row["id"], "title": row["title"], "created_at": row["created_at"],
                     "updated_at": row["updated_at"], "snippet": "",
                     "title_spans": _find_spans(row["title"], [query])}
            hit = row["hit"]
            if hit:
                at = hit.lower().find(query.lower())
                start = max(0, at - 40)
                text = " ".join(hit[start:at + len(query) + 80].split())
                entry["snippet"] = ("…" if start else "") + text
            entry["snippet_spans"] = _find_spans(entry["snippet"], [query])
            out.append(entry)
        return out

    # -- messages -------------------------------------------------------

    def append_message(self, session_id, role, content, tool_name=None, tool_calls=None,
                       tool_call_id=None, meta=None):
        """Store one message. An assistant message that calls tools carries
        ``tool_calls`` (the request's form); a tool result carries its
        ``tool_call_id``, ``tool_name`` and ``meta`` (status, exit code,
        duration: what the page shows of the step)."""
        is_json = not isinstance(content, str) and content is not None
        stored = json.dumps(content) if is_json else content
        now = time.time()
        with self._lock, self._conn:
            self._ensure(session_id)
            cur = self._conn.execute(
                "INSERT INTO messages (session_id, role, content, content_is_json, tool_name,"
                " tool_calls, tool_call_id, meta, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (session_id, role, stored, int(is_json), tool_name,
                 json.dumps(tool_calls) if tool_calls else None, tool_call_id,
                 json.dumps(meta) if meta else None, now))
            self._conn.execute("UPDATE sessions SET updated_at = ? WHERE id = ?",
                               (now, session_id))
        return cur.lastrowid

    def get_messages(self, session_id):
        with self._lock:
            rows = self._conn.execute(
                "SELECT id, role, content, content_is_json, tool_name, tool_calls, tool_call_id,"
                " meta, created_at FROM messages WHERE session_id = ? ORDER BY id",
                (session_id,)).fetchall()
        out = []
        for row in rows:
            content = json.loads(row["content"]) if row["content_is_json"] else row["content"]
            out.append({"id": row["id"], "role": row["role"], "content": content,
                        "tool_name": row["tool_name"],
                        "tool_calls": json.loads(row["tool_calls"]) if row["tool_calls"] else None,
                        "tool_call_id": row["tool_call_id"],
                        "meta": json.loads(row["meta"]) if row["meta"] else None,
                        "timestamp": row["created_at"]})
        return out

    def get_messages_as_conversation(self, session_id):
        """The session's messages as [{"role": ..., "content": ...}, ...], with
        "tool_calls", "tool_call_id", "tool_name" and "meta" where set."""
        conversation = []
        for message in self.get_messages(session_id):
            entry = {"role": message["role"], "content": message["content"]}
            for key in ("tool_name", "tool_calls", "tool_call_id", "meta"):
                if message[key]:
                    entry[key] = message[key]
            conversation.append(entry)
        return conversation

    def close(self):
        with self._lock:
            self._conn.close()
