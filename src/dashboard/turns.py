"""Running chat turns: one worker thread per busy session.

A message for a session that has no turn running starts a chain on a worker
thread: the turn runs, and when it has ended the next message that arrived in
the meantime (kept by the pending-message queue) becomes the next turn, until
the queue is empty. A message for a busy session is queued and announced on
the session's stream with a "busy" record.
"""
from __future__ import annotations

import collections
import itertools
import logging
import threading
import time
import uuid
from typing import Deque, Dict, List, Optional, Set, Tuple

logger = logging.getLogger("dashboard.turns")

#: How long a finished turn waits for its listeners to leave (seconds).
STREAM_CLOSE_GRACE = 2.0


def _now() -> float:
    return time.time()


def read_result(result) -> Tuple[str, bool]:
    """The reply text and the interrupted flag of a run_conversation result."""
    if isinstance(result, dict):
        response = result.get("final_response")
        interrupted = bool(result.get("interrupted"))
    else:
        response, interrupted = result, False
    if response is None:
        response = ""
    elif not isinstance(response, str):
        response = str(response)
    return response, interrupted


class TurnRunner:
    def __init__(self, engine) -> None:
        self.engine = engine
        # Guards _active and _queued_images, and makes "is the session busy?"
        # and "queue it" (or "start a chain") one step against a chain that
        # is just taking its last queued message.
        self._lock = threading.Lock()
        self._active: Set[str] = set()
        self._threads: Dict[str, threading.Thread] = {}
        # Images of queued messages, and whether the sender was told "queued".
        self._queued_images: Dict[str, Deque[Tuple[List, bool]]] = {}
        self.shutting_down = False
        # Sessions whose turn has started and not yet ended (its end-of-stream
        # sent); a chain is "active" a little longer, while it finishes up.
        self._in_turn: Set[str] = set()
        # Event streams that are open, per session, by token.
        self._streams: Dict[str, Set[int]] = {}
        self._stream_tokens = itertools.count(1)
        self._streams_changed = threading.Condition(threading.Lock())

    # -- event streams ----------------------------------------------------------

    def stream_opened(self, session_id: str) -> int:
        with self._streams_changed:
            token = next(self._stream_tokens)
            self._streams.setdefault(session_id, set()).add(token)
            return token

    def stream_closed(self, session_id: str, token: int) -> None:
        with self._streams_changed:
            open_ = self._streams.get(session_id)
            if open_ is not None:
                open_.discard(token)
                if not open_:
                    del self._streams[session_id]
            self._streams_changed.notify_all()

    def _let_streams_end(self, session_id: str) -> None:
        """Give the streams that were open when a turn ended a moment to
        close before more records are pushed: a record pushed before the last
        listener has left is dropped with the session's replay buffer, while
        one pushed after it waits in a new buffer for the next listener."""
        with self._streams_changed:
            ending = set(self._streams.get(session_id, ()))
            if ending:
                self._streams_changed.wait_for(
                    lambda: not (ending & self._streams.get(session_id, set())),
                    timeout=STREAM_CLOSE_GRACE)

    # -- called from request handlers ---------------------------------------

    def submit(self, session_id: str, message: str, image_paths: List) -> dict:
        """Start a turn for ``message``, or queue it when the session is busy."""
        engine = self.engine
        with self._lock:
            running = engine.interrupt.is_agent_running(session_id)
            busy = session_id in self._active or running
            # A chain that has ended its last turn and is only finishing up
            # takes the message next: it goes through the queue to keep the
            # order, but the user does not wait behind anything.
            follows = (busy and not running and session_id not in self._in_turn
                       and engine.holdqueue.pending_count(session_id) == 0)
            if busy:
                position = engine.holdqueue.enqueue_message(session_id, message)
                self._queued_images.setdefault(session_id, collections.deque()).append(
                    (list(image_paths), not follows))
                if follows:
                    self._in_turn.add(session_id)
            else:
                self._active.add(session_id)
                self._in_turn.add(session_id)
        if follows:
            return {"session_id": session_id, "status": "started", "position": 0}
        if busy:
            engine.warmpool.push_stream_event(session_id, {
                "type": "busy",
                "data": {"session_id": session_id, "position": position,
                         "message": message, "ts": _now()},
            })
            return {"session_id": session_id, "status": "queued", "position": position}
        worker = threading.Thread(target=self._chain, args=(session_id, message, list(image_paths)),
                                  name=f"turn-{session_id}", daemon=True)
        with self._lock:
            self._threads[session_id] = worker
        try:
            worker.start()
        except BaseException:
            with self._lock:
                self._active.discard(session_id)
                self._in_turn.discard(session_id)
            raise
        return {"session_id": session_id, "status": "started", "position": 0}

    def status(self, session_id: str) -> dict:
        engine = self.engine
        with self._lock:
            in_turn = session_id in self._in_turn
            pending = engine.holdqueue.pending_count(session_id)
        running = in_turn or engine.interrupt.is_agent_running(session_id)
        return {"session_id": session_id, "running": bool(running), "pending": pending}

    def stop(self, session_id: str, clear_queue: bool = False) -> dict:
        engine = self.engine
        cleared = 0
        if clear_queue:
            with self._lock:
                cleared = engine.holdqueue.clear_pending(session_id)
                self._queued_images.pop(session_id, None)
        stopped = engine.interrupt.interrupt_agent(session_id)
        return {"session_id": session_id, "stopped": bool(stopped), "cleared": cleared}

    def stop_all(self, reason: str) -> None:
        """Ask every running turn to end (used when the host shuts down)."""
        self.shutting_down = True
        with self._lock:
            sessions = list(self._active)
        for session_id in sessions:
            try:
                self.engine.interrupt.interrupt_agent(session_id, reason)
            except Exception:  # shutting down regardless
                logger.debug("Could not interrupt %s on shutdown", session_id, exc_info=True)

    def wait_idle(self, timeout: float) -> bool:
        """Wait up to ``timeout`` seconds for every turn chain to end, and for
        the title workers they started (those run bridge code too)."""
        deadline = time.monotonic() + timeout
        with self._lock:
            chains = list(self._threads.values())
        for worker in chains:
            worker.join(max(0.0, deadline - time.monotonic()))
        if any(worker.is_alive() for worker in chains):
            return False
        while True:
            titles = [t for t in threading.enumerate() if t.name == "auto-title" and t.is_alive()]
            if not titles:
                return True
            for worker in titles:
                worker.join(max(0.0, deadline - time.monotonic()))
            if time.monotonic() >= deadline:
                return not any(t.is_alive() for t in titles)

    # -- the worker thread ----------------------------------------------------

    def _chain(self, session_id: str, message: str, image_paths: List) -> None:
        queued = False
        while True:
            try:
                self.run_turn(session_id, message, image_paths, queued=queued)
            except BaseException:  # never let one turn kill the chain silently
                logger.exception("Turn for session %s failed", session_id)
            with self._lock:
                nxt: Optional[str] = None
                if not self.shutting_down:
                    nxt = self.engine.holdqueue.dequeue_message(session_id)
                if nxt is None:
                    self._active.discard(session_id)
                    self._in_turn.discard(session_id)
                    if self._threads.get(session_id) is threading.current_thread():
                        del self._threads[session_id]
                    self._queued_images.pop(session_id, None)
                    return
                waiting = self._queued_images.get(session_id)
                image_paths, queued = waiting.popleft() if waiting else ([], True)
                if waiting is not None and not waiting:
                    del self._queued_images[session_id]
                self._in_turn.add(session_id)
            message = nxt

    def run_turn(self, session_id: str, message: str, image_paths: List, queued: bool = False) -> None:
        """One conversation turn for ``session_id``, on the calling thread."""
        engine = self.engine
        pool = engine.warmpool
        task_id = uuid.uuid4().hex
        self._record_task(task_id, {"status": "running", "session_id": session_id,
                                    "started_at": _now(), "queued": queued})
        pool.push_stream_event(session_id, {
            "type": "turn_started",
            "data": {"session_id": session_id, "message": message, "images": len(image_paths),
                     "queued": queued, "task_id": task_id, "ts": _now()},
        })
        status, response, titled = "error", "", False
        try:
            with pool.get_session_lock(session_id):
                agent, approval_ctx = pool.get_agent(session_id, session_id)
                text = message
                note = pool.pop_pending_model_note(session_id)
                if note:
                    text = f"{note}\n\n{text}"
                if image_paths:
                    text = engine.picdrop.enrich_message_with_images(text, list(image_paths))
                history = pool.get_conversation_history(session_id)
                if not isinstance(history, list):
                    history = []
                # A compressed agent keeps its compressed context: handing it
                # the full stored history again would undo the compression.
                if engine.compression.maybe_compress_session(agent, history):
                    history = None
                engine.interrupt.register_running_agent(session_id, agent)
                try:
                    approval_ctx["setup"]()
                    try:
                        result = agent.run_conversation(text, conversation_history=history)
                    finally:
                        approval_ctx["teardown"]()
                finally:
                    engine.interrupt.unregister_running_agent(session_id)
            response, interrupted = read_result(result)
            status = "interrupted" if interrupted else "done"
            titled = True
        except Exception as exc:
            logger.exception("Turn for session %s failed", session_id)
            pool.push_stream_event(session_id, {
                "type": "error",
                "data": {"session_id": session_id, "message": f"{type(exc).__name__}: {exc}",
                         "ts": _now()},
            })
        finally:
            # The turn is over before its end reaches the interface: a message
            # sent the moment the client sees the end starts at once.
            with self._lock:
                self._in_turn.discard(session_id)
            try:
                pool.signal_stream_done(session_id)
            finally:
                self._finish_task(task_id, status)
        self._let_streams_end(session_id)
        if titled:
            history_after = pool.get_conversation_history(session_id)
            if not isinstance(history_after, list):
                history_after = []
            pool.trigger_auto_title(session_id, message, response, history_after)

    # -- the task registry ---------------------------------------------------

    def _record_task(self, task_id: str, record: dict) -> None:
        pool = self.engine.warmpool
        with pool.tasks_lock:
            pool.running_tasks[task_id] = record

    def _finish_task(self, task_id: str, status: str) -> None:
        pool = self.engine.warmpool
        with pool.tasks_lock:
            record = pool.running_tasks.get(task_id)
            if record is not None:
                record["status"] = status
                record["finished_at"] = _now()
