"""Running chat turns: one worker thread per busy session, a cap on how many
turns run at once, and a journal on disk of every accepted message.

A message is written to the profile's journal before the host answers, so
that nothing it accepted is lost. A message for a session that has no turn
running starts a chain on a worker thread: the turn runs, and when it has
ended the next message that arrived in the meantime becomes the next turn,
until the queue is empty. Each session has one ordered queue of waiting
turns, here; the bridge's pending-message queue is fed from it. A
message for a busy session is queued and announced on the session's stream
with a "busy" record. At most ``max_turns`` chains run at once; a session
beyond that waits, in order of arrival, and its message says so.
"""
from __future__ import annotations

import collections
import inspect
import logging
import os
import sqlite3
import threading
import time
import uuid
from typing import Callable, Deque, Dict, List, Optional, Sequence, Set, Tuple

from starlette.exceptions import HTTPException

from . import memory, settings
from .journal import QUEUED, RUNNING, Journal, Journals, user_history
from .engine import SCRIPTED_LABEL, endpoint_configured
from .profiles import DEFAULT_MODEL
from .warm import WarmAgents

logger = logging.getLogger("dashboard.turns")

def _now() -> float:
    return time.time()


#: At most one return of freed memory to the system per this many seconds
#: while turns keep running (always when the last running turn ends).
TRIM_INTERVAL = 2.0


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


ERROR_KINDS = ("auth", "rate_limit", "not_found", "server", "unreachable", "cut", "other")


def error_record(error) -> Optional[dict]:
    """A turn's error as the wire gives it: {"message", "kind",
    "retry_after"?}, from what the engine's result says failed."""
    if not error:
        return None
    if not isinstance(error, dict):
        return {"message": str(error), "kind": "other"}
    record = {"message": str(error.get("message") or "the model request failed"),
              "kind": error.get("kind") if error.get("kind") in ERROR_KINDS else "other"}
    wait = error.get("retry_after")
    if isinstance(wait, (int, float)) and not isinstance(wait, bool) and wait >= 0:
        record["retry_after"] = float(wait)
    return record


class Turn:
    """One accepted message and the turn it becomes."""

    __slots__ = ("turn_id", "session_id", "message", "images", "paths", "profile", "journal", "queued",
                 "client_id", "model")

    def __init__(self, turn_id: str, session_id: str, message: str, images: List[str], paths: List[str],
                 profile: str, journal: Journal, queued: bool = False, client_id: Optional[str] = None) -> None:
        self.turn_id = turn_id
        self.client_id = client_id
        #: The model that writes the reply, known when the turn is accepted
        #: and again when it starts (a switch in between applies to it).
        self.model: Optional[str] = None
        self.session_id = session_id
        self.message = message
        self.images = images
        self.paths = paths
        self.profile = profile
        self.journal = journal
        self.queued = queued

    def public(self, position: int, waiting_for: str) -> dict:
        return {"turn": self.turn_id, "client_id": self.client_id, "position": position,
                "message": self.message, "images": list(self.images), "waiting_for": waiting_for}


class Prepared:
    """What a turn hands the engine: the agent, its approval context, the
    text and the history (None: the agent keeps its own context); with
    images, their paths and the text without their descriptions."""

    __slots__ = ("agent", "approval_ctx", "text", "history", "image_paths", "user_text")

    def __init__(self, agent, approval_ctx, text: str, history: Optional[list],
                 image_paths: Sequence[str] = (), user_text: Optional[str] = None) -> None:
        self.agent = agent
        self.approval_ctx = approval_ctx
        self.text = text
        self.history = history
        self.image_paths = list(image_paths)
        self.user_text = user_text

    def engine_arguments(self) -> dict:
        """The keyword arguments of the engine's run: the attached images as
        data for an engine that takes them (its run names ``image_paths``)."""
        args: Dict[str, object] = {"conversation_history": self.history}
        if self.image_paths and _takes_images(self.agent):
            args["image_paths"] = list(self.image_paths)
            args["user_text"] = self.user_text
        return args


def _takes_images(agent) -> bool:
    try:
        return "image_paths" in inspect.signature(agent.run_conversation).parameters
    except (TypeError, ValueError, AttributeError):
        return False


class Outcome:
    """How a turn ended: its status, the reason (when not done), the reply
    and the error record of a failed turn."""

    __slots__ = ("status", "reason", "response", "error")

    def __init__(self, status: str = "error", reason: Optional[str] = None, response: str = "",
                 error: Optional[dict] = None) -> None:
        self.status = status
        self.reason = reason
        self.response = response
        self.error = error

    @classmethod
    def failed(cls, reason: str) -> "Outcome":
        return cls("error", reason, "", {"message": reason, "kind": "other"})

    @property
    def titled(self) -> bool:
        """Whether the turn ended with a reply a title may come from."""
        return self.status in ("done", "stopped", "interrupted")


class NotSaved(HTTPException):
    """A message that could not be written to the journal, so not accepted:
    the sender gets 503 with the reason."""

    def __init__(self, detail: str) -> None:
        super().__init__(status_code=503, detail=detail)


class OtherProfile(HTTPException):
    """A message sent from a view of a profile that is no longer active."""

    def __init__(self, meant: str, active: str) -> None:
        super().__init__(status_code=409, detail=f"This chat belongs to profile '{meant}', but '{active}' is "
                                                 f"active now. Reload to continue in '{active}'.")


def new_turn_id() -> str:
    return "t" + uuid.uuid4().hex[:16]


class TurnRunner:
    def __init__(self, engine, streams, max_turns: Optional[int] = None) -> None:
        self.engine = engine
        self.streams = streams
        self.max_turns = max_turns if max_turns is not None else max(1, int(settings.MAX_TURNS.value()))
        self.journals = Journals()
        # Guards everything below, and makes "is the session busy?" and
        # "queue it" (or "start a chain") one step against a chain that is
        # just taking its last queued message.
        self._lock = threading.Lock()
        self._chains: Dict[str, threading.Thread] = {}   # sessions with a worker
        self._waiting: Deque[str] = collections.deque()  # sessions waiting for a free slot
        # The one ordered queue of waiting turns of each session; the bridge's
        # pending-message queue is fed from it (same messages, same order).
        self._queues: Dict[str, Deque[Turn]] = {}
        self._running: Dict[str, Turn] = {}              # turn started and not yet ended
        self._stopping: Set[str] = set()                 # turns the user stopped
        self._recovered: Set[str] = set()                # journals looked at since start
        self._recovery_lock = threading.Lock()
        self.shutting_down = False
        #: Told the id of a session whose turns changed (started, queued,
        #: ended, waiting for a slot), from any thread.
        self.on_state: Callable[[str], None] = lambda session_id: None
        self._trimmed_at = 0.0
        self.agents = WarmAgents(lambda: engine.warmpool, self.busy, int(settings.WARM_AGENTS.value()),
                                 settings.AGENT_IDLE.value() * 60.0)

    def _give_back_memory(self, idle: bool) -> None:
        now = time.monotonic()
        if not idle and now - self._trimmed_at < TRIM_INTERVAL:
            return
        self._trimmed_at = now
        memory.trim()

    # -- journals -------------------------------------------------------------

    def _profile(self) -> Tuple[str, Journal]:
        pool = self.engine.warmpool
        profile = pool.get_active_profile()
        journal = self.journals.get(pool.get_profile_home())
        return profile, journal

    def recover(self) -> dict:
        """Look at the active profile's journal once per host run: a turn left
        running was cut by the end of the last run (interrupted); messages
        left queued run now, in the order they were accepted."""
        pool = self.engine.warmpool
        home = str(pool.get_profile_home())
        if home in self._recovered:
            return {"interrupted": 0, "resumed": 0}
        # Messages sent meanwhile wait: they must not be taken for leftovers.
        with self._recovery_lock:
            if home in self._recovered:
                return {"interrupted": 0, "resumed": 0}
            profile, journal = self._profile()
            cut = journal.in_state(RUNNING)
            for row in cut:
                journal.ended(row["turn_id"], "interrupted", "the host stopped during the turn")
            waiting = journal.in_state(QUEUED)
            for row in waiting:
                turn = Turn(row["turn_id"], row["session_id"], row["message"], row["images"], row["paths"],
                            profile, journal, client_id=row.get("client_id"))
                self._schedule(turn)
            self._recovered.add(home)
            gone = _drop_deleted_sessions(pool, journal)
        if cut or waiting:
            logger.info("Journal of profile %s: %d turn(s) cut by the last stop marked interrupted, "
                        "%d queued message(s) run again", profile, len(cut), len(waiting))
        if gone:
            logger.info("Journal of profile %s: turns of %d deleted session(s) dropped", profile, gone)
        return {"interrupted": len(cut), "resumed": len(waiting), "dropped_sessions": gone}

    # -- called from request handlers ---------------------------------------

    def submit(self, session_id: str, message: str, image_paths: List, image_ids: Optional[List[str]] = None,
               client_id: Optional[str] = None, profile: Optional[str] = None) -> dict:
        """Start a turn for ``message``, or queue it when the session is busy
        or as many turns as allowed run already. The message is on disk
        before this returns. ``profile``: the profile the sender means; a
        message for another than the active one is refused (409)."""
        paths = [str(p) for p in image_paths]
        ids = list(image_ids) if image_ids is not None else [os.path.basename(p) for p in paths]
        try:
            self.recover()
            active, journal = self._profile()
            if profile is not None and profile != active:
                raise OtherProfile(profile, active)
            turn = Turn(new_turn_id(), session_id, message, ids, paths, active, journal, client_id=client_id)
            journal.accept(turn.turn_id, session_id, message, ids, paths, client_id)
        except (OSError, sqlite3.Error) as exc:
            logger.error("Could not keep a message for session %s: %s", session_id, exc)
            raise NotSaved(f"the message could not be saved, so it was not sent: {exc}") from exc
        return self._schedule(turn)

    def _schedule(self, turn: Turn) -> dict:
        engine = self.engine
        session_id = turn.session_id
        start = False
        with self._lock:
            chain = self._chains.get(session_id)
            queue = self._queues.get(session_id)
            waiting = session_id in self._waiting
            busy = chain is not None or waiting or engine.interrupt.is_agent_running(session_id)
            # A chain that has ended its last turn and is only finishing up
            # takes the message next: it goes through the queue to keep the
            # order, but the user does not wait behind anything.
            follows = chain is not None and session_id not in self._running and not queue
            if not busy and len(self._chains) >= self.max_turns:
                waiting = busy = True
                self._waiting.append(session_id)
                self.streams.activate(session_id)
            if busy:
                turn.model = self.reply_model()
                waiting_turns = self._queues.setdefault(session_id, collections.deque())
                waiting_turns.append(turn)
                engine.holdqueue.enqueue_message(session_id, turn.message)
                position = len(waiting_turns)
                turn.queued = not follows
                waiting_for = "capacity" if waiting and session_id not in self._chains else "turn"
                if not follows:
                    # Announced while the lock is held, so that it comes
                    # before the turn's own start on the stream.
                    self.streams.post(session_id, {
                        "type": "busy",
                        "data": {"session_id": session_id, **_busy(turn, position, waiting_for),
                                 "ts": _now()},
                    })
            else:
                start = True
                self.streams.activate(session_id)
                worker = threading.Thread(target=self._chain, args=(session_id, turn),
                                          name=f"turn-{session_id}", daemon=True)
                self._chains[session_id] = worker
                self._running[session_id] = turn  # a stop from now on reaches it
        answer = {"session_id": session_id, "turn_id": turn.turn_id, "client_id": turn.client_id}
        self.on_state(session_id)
        if start:
            try:
                worker.start()
            except BaseException:
                with self._lock:
                    self._chains.pop(session_id, None)
                    self._running.pop(session_id, None)
                self.streams.deactivate(session_id)
                turn.journal.ended(turn.turn_id, "error", "could not start a worker")
                raise
            return {**answer, "status": "started", "position": 0}
        if follows:
            return {**answer, "status": "started", "position": 0}
        return {**answer, "status": "queued", "position": position, "waiting_for": waiting_for}

    def reply_model(self) -> str:
        """The model that writes a reply now: the bundled engine without a
        model endpoint answers from its script and says so."""
        engine = self.engine
        if engine.kind == "standin" and not endpoint_configured():
            return SCRIPTED_LABEL
        try:
            configured = engine.warmpool.get_config_model()
        except Exception:  # an unreadable config.yaml: the pool falls back alike
            configured = None
        return configured or os.environ.get("ZALIX_MODEL") or DEFAULT_MODEL

    def status(self, session_id: str) -> dict:
        engine = self.engine
        with self._lock:
            running = self._running.get(session_id)
            active = session_id in self._chains
            pending = len(self._queues.get(session_id, ()))
            waiting = session_id in self._waiting
        busy = running is not None or (active and pending > 0) or engine.interrupt.is_agent_running(session_id)
        return {"session_id": session_id, "running": bool(busy), "pending": pending,
                "turn": running.turn_id if running is not None else None,
                "waiting_for_capacity": waiting}

    def activity(self, session_id: str) -> str:
        """"working" (a turn runs or is about to), "waiting" (for a free
        slot) or "idle"."""
        with self._lock:
            if session_id in self._chains:
                return "working"
            if session_id in self._waiting:
                return "waiting"
        return "idle"

    def busy(self, session_id: str) -> bool:
        """Whether the session has a turn running or messages waiting."""
        with self._lock:
            if session_id in self._chains or session_id in self._waiting or self._queues.get(session_id):
                return True
        return bool(self.engine.interrupt.is_agent_running(session_id))

    def history(self, session_id: str) -> dict:
        pool = self.engine.warmpool
        stored = pool.get_conversation_history(session_id)
        if not isinstance(stored, list):
            stored = []
        _, journal = self._profile()
        with self._lock:
            running = self._running.get(session_id)
        running_id = running.turn_id if running is not None else None
        messages = user_history(stored, journal.of_session(session_id), running_id, self.users_words)
        return {"session_id": session_id, "messages": messages, "running": running_id}

    def users_words(self, content: str) -> Tuple[str, List[str]]:
        """The user's own text and upload ids in a message as the engine got
        it: the bridge takes off what it put in front of them (the images'
        descriptions, then a model-switch note)."""
        engine = self.engine
        text, paths = engine.picdrop.split_enriched_message(content)
        _, text = engine.warmpool.split_model_note(text)
        return text, [os.path.basename(p) for p in paths]

    def forget_session(self, session_id: str) -> int:
        """When a session is deleted: its finished turns leave the journal
        (messages still waiting or running stay until they end)."""
        _, journal = self._profile()
        return journal.forget_session(session_id)

    def stop(self, session_id: str, clear_queue: bool = False) -> dict:
        engine = self.engine
        cleared = 0
        if clear_queue:
            with self._lock:
                dropped = list(self._queues.pop(session_id, ()))
                engine.holdqueue.clear_pending(session_id)
                cleared = len(dropped)
                left_line = session_id in self._waiting and session_id not in self._chains
                if left_line:
                    self._waiting.remove(session_id)
                if dropped:
                    self._announce_queue_locked(session_id)
            for turn in dropped:
                turn.journal.forget([turn.turn_id])
            if left_line:
                self.streams.deactivate(session_id)
                self.on_state(session_id)
        with self._lock:
            running = self._running.get(session_id)
            if running is not None:
                self._stopping.add(running.turn_id)
        if running is not None:
            self.streams.post(session_id, {
                "type": "stop_requested",
                "data": {"turn_id": running.turn_id, "client_id": running.client_id, "ts": _now()}})
        stopped = engine.interrupt.interrupt_agent(session_id)
        # A turn whose agent is not registered yet is stopped as soon as it is.
        return {"session_id": session_id, "stopped": bool(stopped) or running is not None, "cleared": cleared}

    def cancel(self, session_id: str, turn_id: str) -> dict:
        """Take back one waiting message: it leaves the queue (the others
        keep their order), the journal marks it cancelled and it never runs.
        404 when no such message waits, 409 when its turn runs already."""
        holdqueue = self.engine.holdqueue
        with self._lock:
            running = self._running.get(session_id)
            if running is not None and running.turn_id == turn_id:
                raise HTTPException(409, f"turn {turn_id} is running already: stop it instead")
            queue = self._queues.get(session_id)
            index = next((i for i, t in enumerate(queue or ()) if t.turn_id == turn_id), None)
            if queue is None or index is None:
                raise HTTPException(404, f"no message {turn_id!r} waits in session {session_id}")
            turn = queue[index]
            del queue[index]
            # The pending-message queue is fed again from ours, without it.
            holdqueue.clear_pending(session_id)
            for waiting in queue:
                holdqueue.enqueue_message(session_id, waiting.message)
            if not queue:
                del self._queues[session_id]
            left_line = not queue and session_id in self._waiting and session_id not in self._chains
            if left_line:
                self._waiting.remove(session_id)
            self._announce_queue_locked(session_id)
        turn.journal.cancelled(turn.turn_id)
        if left_line:
            self.streams.deactivate(session_id)
            self.on_state(session_id)
        logger.info("Session %s: waiting message %s cancelled", session_id, turn_id)
        return {"cancelled": turn_id}

    def stop_all(self, reason: str) -> None:
        """Ask every running turn to end (used when the host shuts down).
        Queued messages stay in the journal and run after the next start."""
        self.shutting_down = True
        self.agents.stop()
        with self._lock:
            sessions = list(self._chains)
        for session_id in sessions:
            try:
                self.engine.interrupt.interrupt_agent(session_id, reason)
            except Exception:  # shutting down regardless
                logger.debug("Could not interrupt %s on shutdown", session_id, exc_info=True)

    def wait_idle(self, timeout: float) -> bool:
        """Wait up to ``timeout`` seconds for every turn chain to end, and for
        the title workers they started (those run bridge code too)."""
        deadline = time.monotonic() + timeout
        while True:
            with self._lock:
                chains = list(self._chains.values())
            if not chains:
                break
            for worker in chains:
                worker.join(max(0.0, deadline - time.monotonic()))
            if time.monotonic() >= deadline:
                with self._lock:
                    return not self._chains
        while True:
            titles = [t for t in threading.enumerate() if t.name == "auto-title" and t.is_alive()]
            if not titles:
                return True
            for worker in titles:
                worker.join(max(0.0, deadline - time.monotonic()))
            if time.monotonic() >= deadline:
                return not any(t.is_alive() for t in titles)

    # -- the worker thread ----------------------------------------------------

    def _next(self, session_id: str) -> Optional[Turn]:
        """The session's next queued turn (lock held), or None."""
        if self.shutting_down:
            return None
        queue = self._queues.get(session_id)
        if not queue:
            return None
        turn = queue.popleft()
        if not queue:
            del self._queues[session_id]
        # The bridge's queue hands out the same message: it leaves there too.
        self.engine.holdqueue.dequeue_message(session_id)
        self._announce_queue_locked(session_id)
        return turn

    def _announce_queue_locked(self, session_id: str) -> None:
        """Restate the session's queue on its stream (its positions changed)."""
        waiting = session_id in self._waiting and session_id not in self._chains
        queue = [t.public(i + 1, "capacity" if waiting else "turn")
                 for i, t in enumerate(self._queues.get(session_id, ()))]
        self.streams.post(session_id, {
            "type": "queue", "data": {"session_id": session_id, "queue": queue, "ts": _now()}})

    def _chain(self, session_id: str, turn: Optional[Turn]) -> None:
        me = threading.current_thread()
        try:
            while True:
                with self._lock:
                    if turn is None:
                        turn = self._next(session_id)
                        if turn is None:
                            # Leaving in the same step as finding the queue
                            # empty: a message sent now starts a new chain.
                            self._leave_locked(session_id, me)
                            return
                    self._running[session_id] = turn
                if turn.profile != self.engine.warmpool.get_active_profile():
                    self._not_sent(session_id, turn)
                    turn = None
                    continue
                try:
                    self.run_turn(turn)
                except BaseException:  # never let one turn kill the chain silently
                    logger.exception("Turn for session %s failed", session_id)
                turn = None
                self._give_back_memory(False)
                with self._lock:
                    # Take turns with the sessions waiting for a free slot.
                    if self._waiting and self._queues.get(session_id):
                        self._waiting.append(session_id)
                        self.streams.activate(session_id)
                        self._leave_locked(session_id, me)
                        return
        finally:
            with self._lock:
                self._leave_locked(session_id, me)
                handover = self._hand_over_locked()
                idle = not self._chains
            self.streams.deactivate(session_id)
            for _, worker in handover:
                worker.start()
            self.on_state(session_id)
            for other, _ in handover:
                self.on_state(other)
            self._give_back_memory(idle)

    def _leave_locked(self, session_id: str, me: threading.Thread) -> None:
        if self._chains.get(session_id) is me:
            del self._chains[session_id]
            self._running.pop(session_id, None)

    def _hand_over_locked(self) -> List[Tuple[str, threading.Thread]]:
        """Chains for sessions waiting for a free slot, as slots allow."""
        out = []
        while self._waiting and len(self._chains) < self.max_turns and not self.shutting_down:
            session_id = self._waiting.popleft()
            if session_id in self._chains:
                continue
            if not self._queues.get(session_id):
                self.streams.deactivate(session_id)
                continue
            worker = threading.Thread(target=self._chain, args=(session_id, None),
                                      name=f"turn-{session_id}", daemon=True)
            self._chains[session_id] = worker
            out.append((session_id, worker))
        return out

    def _not_sent(self, session_id: str, turn: Turn) -> None:
        """The profile changed under a chain: the rest of the session's queue
        belongs to the profile it was sent in and does not run in this one."""
        with self._lock:
            rest = [turn]
            while True:
                nxt = self._next(session_id)
                if nxt is None:
                    break
                rest.append(nxt)
            self._running.pop(session_id, None)
        reason = f"not sent: the profile changed from {turn.profile!r} before it ran"
        for t in rest:
            t.journal.ended(t.turn_id, "interrupted", reason)
            self.streams.post(session_id, {
                "type": "turn_ended",
                "data": {"turn_id": t.turn_id, "client_id": t.client_id, "status": "interrupted",
                         "reason": reason, "ts": _now()}})
        logger.info("Session %s: %d queued message(s) not run after a profile change", session_id, len(rest))

    def run_turn(self, turn: Turn) -> None:
        """One conversation turn, on the calling thread: announced, prepared
        and run under the session's lock, then finished whatever happened."""
        task_id = self.begin(turn)
        outcome = Outcome()
        try:
            self.agents.used(turn.session_id)
            self.agents.make_room(turn.session_id)
            with self.engine.warmpool.get_session_lock(turn.session_id):
                outcome = self.run(turn, self.prepare(turn))
        except Exception as exc:
            logger.exception("Turn for session %s failed", turn.session_id)
            outcome = Outcome.failed(f"{type(exc).__name__}: {exc}")
            self.streams.post(turn.session_id, {
                "type": "error",
                "data": {"session_id": turn.session_id, "turn_id": turn.turn_id, "message": outcome.reason,
                         "ts": _now()},
            })
        finally:
            self.finish(turn, outcome, task_id)
        if outcome.titled:
            self.title(turn, outcome)

    def begin(self, turn: Turn) -> str:
        """The turn starts: in the task registry, the journal and on the
        stream, with the model that will write the reply. Its task id."""
        task_id = uuid.uuid4().hex
        self._record_task(task_id, {"status": "running", "session_id": turn.session_id, "turn_id": turn.turn_id,
                                    "started_at": _now(), "queued": turn.queued})
        turn.model = self.reply_model()
        turn.journal.started(turn.turn_id, turn.model)
        self.streams.post(turn.session_id, {
            "type": "turn_started",
            "data": {"turn_id": turn.turn_id, "client_id": turn.client_id, "model": turn.model,
                     "session_id": turn.session_id, "message": turn.message, "images": list(turn.images),
                     "queued": turn.queued, "task_id": task_id, "ts": _now()},
        })
        return task_id

    def prepare(self, turn: Turn) -> "Prepared":
        """What the engine gets (the session's lock held): the agent, the
        text (a model-switch note and image descriptions in front of the
        user's words) and the history, unless the agent compressed it."""
        engine = self.engine
        pool = engine.warmpool
        session_id = turn.session_id
        # The agent reports to a stream of this turn alone, approvals too
        # (the context get_agent wires reports to the session's stream).
        stream = self.streams.open_turn(session_id, turn.turn_id)
        agent, _ = pool.get_agent(session_id, stream)
        approval_ctx = engine.consentgate.wire_approval_for_session(
            session_id, lambda _session_id, record: pool.push_stream_event(stream, record))
        text = turn.message
        note = pool.pop_pending_model_note(session_id)
        if note:
            text = f"{note}\n\n{text}"
        user_text = text
        if turn.paths:
            text = engine.picdrop.enrich_message_with_images(text, list(turn.paths))
        turn.journal.sent(turn.turn_id, text)
        history = pool.get_conversation_history(session_id)
        if not isinstance(history, list):
            history = []
        # A compressed agent keeps its compressed context: handing it the
        # full stored history again would undo the compression.
        if engine.compression.maybe_compress_session(agent, history):
            history = None
        return Prepared(agent, approval_ctx, text, history, turn.paths, user_text)

    def run(self, turn: Turn, prepared: "Prepared") -> "Outcome":
        """The agent's run (the session's lock held), registered so that a
        stop reaches it, inside its approval context; how it ended."""
        interrupt = self.engine.interrupt
        session_id = turn.session_id
        interrupt.register_running_agent(session_id, prepared.agent)
        try:
            with self._lock:
                stop_now = turn.turn_id in self._stopping
            if stop_now:  # stopped while it was getting ready
                interrupt.interrupt_agent(session_id)
            prepared.approval_ctx["setup"]()
            try:
                result = prepared.agent.run_conversation(prepared.text, **prepared.engine_arguments())
            finally:
                prepared.approval_ctx["teardown"]()
        finally:
            interrupt.unregister_running_agent(session_id)
        return self.outcome(turn, result)

    def outcome(self, turn: Turn, result) -> "Outcome":
        """How a turn ended, from the engine's result."""
        response, interrupted = read_result(result)
        if interrupted:
            with self._lock:
                stopped = turn.turn_id in self._stopping
            if stopped:
                return Outcome("stopped", None, response)
            return Outcome("interrupted", "the host is shutting down" if self.shutting_down else None, response)
        error = error_record(result.get("error")) if isinstance(result, dict) else None
        if error is not None:
            return Outcome("error", error["message"], response, error)
        return Outcome("done", None, response)

    def finish(self, turn: Turn, outcome: "Outcome", task_id: str) -> None:
        """The turn is over: no longer running or stoppable, its stream
        ended, its end in the journal and on the session's log, the task done."""
        session_id = turn.session_id
        with self._lock:
            self._stopping.discard(turn.turn_id)
            self._running.pop(session_id, None)
        self.streams.close_turn(turn.turn_id)
        try:
            turn.journal.ended(turn.turn_id, outcome.status, outcome.reason, outcome.error)
        finally:
            ended: Dict[str, object] = {"turn_id": turn.turn_id, "client_id": turn.client_id,
                                        "status": outcome.status, "ts": _now()}
            if outcome.reason:
                ended["reason"] = outcome.reason
            if outcome.error is not None:
                ended["error"] = outcome.error
            try:
                self.streams.post(session_id, {"type": "turn_ended", "data": ended})
            finally:
                self._finish_task(task_id, outcome.status)
                self.agents.used(session_id)

    def title(self, turn: Turn, outcome: "Outcome") -> None:
        """A new session gets its automatic title from the finished turn."""
        pool = self.engine.warmpool
        history_after = pool.get_conversation_history(turn.session_id)
        if not isinstance(history_after, list):
            history_after = []
        pool.trigger_auto_title(turn.session_id, turn.message, outcome.response, history_after)

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


def _drop_deleted_sessions(pool, journal: Journal) -> int:
    """Journal rows of sessions gone from the engine's store go too (a store
    that cannot say which sessions it has keeps them all)."""
    try:
        db = pool.get_session_db()
        has = getattr(db, "has_session", None)
        if not callable(has):
            get = getattr(db, "get_session", None)
            if not callable(get):
                return 0
            has = lambda sid: get(sid) is not None  # noqa: E731
        return journal.drop_missing_sessions(lambda sid: bool(has(sid)))
    except Exception:  # tidying never stops a start
        logger.warning("Could not tidy the turn journal", exc_info=True)
        return 0


def _busy(turn: Turn, position: int, waiting_for: str) -> dict:
    return {"turn_id": turn.turn_id, "client_id": turn.client_id, "model": turn.model, "position": position,
            "message": turn.message, "images": list(turn.images), "waiting_for": waiting_for}
