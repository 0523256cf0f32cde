"""How many warm agents the host keeps, and for how long.

The bridge keeps one agent per session in ``agent_cache`` for as long as
nobody removes it, with the whole conversation inside. The host lets go of
the agent of a session idle for a while, and of the sessions used longest
ago once more than a set number are warm, the way the bridge drops agents
itself: the entry leaves ``agent_cache`` under ``agent_cache_lock``. The
next turn of that session builds a new agent from the session store, and
the turn hands it the stored conversation, as after a restart of the host.

An agent is never let go while its session's turn runs or waits (queued
messages, a free slot, an approval): the session lock is taken without
waiting first, so a turn that is about to start either finds its agent
gone and builds a new one, or runs on the one it has.
"""
from __future__ import annotations

import logging
import threading
import time
from typing import Callable, Dict, List, Optional

logger = logging.getLogger("dashboard.turns")


class WarmAgents:
    def __init__(self, pool: Callable[[], object], busy: Callable[[str], bool], most: int,
                 idle_seconds: float) -> None:
        self._pool = pool
        self._busy = busy
        self.most = max(1, most)
        self.idle_seconds = idle_seconds
        self._used: Dict[str, float] = {}   # session id -> last turn (monotonic)
        self._lock = threading.Lock()
        self._sweeper: Optional[threading.Thread] = None
        self._stop = threading.Event()

    def used(self, session_id: str) -> None:
        """The session's agent was just used (a turn started or ended)."""
        with self._lock:
            self._used[session_id] = time.monotonic()
        self._start_sweeper()

    def make_room(self, session_id: str) -> List[str]:
        """Before the session's turn builds its agent: let go of others so
        that the new one stays within the bound."""
        pool = self._pool()
        with pool.agent_cache_lock:  # type: ignore[attr-defined]
            if session_id in pool.agent_cache:  # type: ignore[attr-defined]
                return []
        return self.trim(keep=session_id, room=1)

    def trim(self, keep: Optional[str] = None, room: int = 0) -> List[str]:
        """Let go of idle agents, then of the least recently used ones beyond
        the bound (``room`` more places kept free). The ids let go."""
        pool = self._pool()
        with pool.agent_cache_lock:  # type: ignore[attr-defined]
            cached = list(pool.agent_cache)  # type: ignore[attr-defined]
        now = time.monotonic()
        with self._lock:
            for sid in list(self._used):
                if sid not in cached:
                    del self._used[sid]
            # Agents the host never used (built by someone else) go first.
            never = float("-inf")
            order = sorted((sid for sid in cached if sid != keep), key=lambda s: self._used.get(s, never))
            last = dict(self._used)
        excess = len(cached) - max(0, self.most - room)
        dropped = []
        for sid in order:
            idle = now - last.get(sid, never) >= self.idle_seconds
            if not idle and excess <= 0:
                break
            if self._drop(pool, sid):
                dropped.append(sid)
                excess -= 1
        if dropped:
            logger.debug("Let go of the warm agents of %d session(s): %s", len(dropped), ", ".join(dropped))
        return dropped

    def _drop(self, pool, session_id: str) -> bool:
        lock = pool.get_session_lock(session_id)
        if not lock.acquire(blocking=False):
            return False  # a turn holds the session
        try:
            if self._busy(session_id):
                return False
            with pool.agent_cache_lock:
                agent = pool.agent_cache.pop(session_id, None)
        finally:
            lock.release()
        with self._lock:
            self._used.pop(session_id, None)
        del agent  # the conversation goes with it, outside every lock
        return True

    # -- the idle sweep --------------------------------------------------------

    def _start_sweeper(self) -> None:
        if self._sweeper is not None:
            return
        with self._lock:
            if self._sweeper is not None:
                return
            self._sweeper = threading.Thread(target=self._sweep, name="warm-agents", daemon=True)
        self._sweeper.start()

    def _sweep(self) -> None:
        interval = min(60.0, max(0.5, self.idle_seconds / 4))
        while not self._stop.wait(interval):
            try:
                self.trim()
            except Exception:  # the next sweep tries again
                logger.warning("Could not let go of idle warm agents", exc_info=True)

    def stop(self) -> None:
        self._stop.set()
