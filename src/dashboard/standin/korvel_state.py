"""Session store of the stand-in engine: sessions, messages and titles in SQLite.

One connection per store, opened with check_same_thread=False and guarded by
the store's own lock, so a store can be used from any thread.
"""
import json
import os
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
"""


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
        with self._lock, self._conn:
            self._conn.execute("PRAGMA foreign_keys = ON")
            # An agent stores each step as it goes: write-ahead logging with
            # normal syncing keeps a committed step through a crash of the
            # process without a disk flush per message.
            self._conn.execute("PRAGMA journal_mode = WAL")
            self._conn.execute("PRAGMA synchronous = NORMAL")
            self._conn.executescript(_SCHEMA)
            have = {row["name"] for row in self._conn.execute("PRAGMA table_info(messages)")}
            for column in ("tool_calls", "tool_call_id", "meta"):  # stores from before tools
                if column not in have:
                    self._conn.execute(f"ALTER TABLE messages ADD COLUMN {column} TEXT")

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

    def list_sessions(self, limit=50, offset=0):
        """Sessions, most recently active first, with titles and message counts."""
        with self._lock:
            rows = self._conn.execute(
                "SELECT s.id, s.title, s.source, s.model, s.created_at, s.updated_at,"
                " (SELECT COUNT(*) FROM messages m WHERE m.session_id = s.id) AS message_count"
                " FROM sessions s ORDER BY s.updated_at DESC, s.rowid DESC LIMIT ? OFFSET ?",
                (limit, offset)).fetchall()
        return [dict(row) for row in rows]

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
        """Sessions whose title or any user or assistant message contains
        ``query`` (case-insensitive), most recently active first; each row has
        a ``snippet`` of the first matching message."""
        pattern = "%" + query.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        with self._lock:
            rows = self._conn.execute(
                "SELECT s.id, s.title, s.created_at, s.updated_at,"
                " (SELECT m.content FROM messages m WHERE m.session_id = s.id"
                "   AND m.role IN ('user', 'assistant') AND m.content_is_json = 0"
                "   AND m.content LIKE ? ESCAPE '\\' ORDER BY m.id LIMIT 1) AS hit"
                " FROM sessions s"
                " WHERE s.title LIKE ? ESCAPE '\\' OR hit IS NOT NULL"
                " ORDER BY s.updated_at DESC, s.rowid DESC LIMIT ?",
                (pattern, pattern, limit)).fetchall()
        out = []
        for row in rows:
            entry = {"id": row["id"], "title": row["title"], "created_at": row["created_at"],
                     "updated_at": row["updated_at"], "snippet": ""}
            hit = row["hit"]
            if hit:
                at = hit.lower().find(query.lower())
                start = max(0, at - 40)
                text = " ".join(hit[start:at + len(query) + 80].split())
                entry["snippet"] = ("…" if start else "") + text
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
