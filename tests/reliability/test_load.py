"""Load: many threads on the bus and on the registries at once, for a
bounded time (2 s by default, 20 s with BRIDGE_STRESS=full). No record is
lost or duplicated, every lock is released, and memory returns to where it
was once the last subscriber has left."""
from __future__ import annotations

import asyncio
import faulthandler
import gc
import random
import sys
import threading
import time
import tracemalloc
from typing import Any, Callable

import pytest

import fakes
from rel_support import FULL, exclusive_logs, load_seconds

PUSHERS = 64
SESSIONS = 32
CHURNERS = 8
LOOPS = 4
MAX_PER_PUSHER = 12_000 if FULL else 2_500


class LoopThread:
    """An asyncio event loop running on its own thread, as the host's is."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True, name="host-loop")
        self.thread.start()
        self.ready.wait(10)

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.ident = threading.get_ident()
        self.loop.call_soon(self.ready.set)
        self.loop.run_forever()

    def drain(self) -> None:
        """Returns once every call scheduled so far has run."""
        asyncio.run_coroutine_threadsafe(asyncio.sleep(0), self.loop).result(30)

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


class Collector:
    """A subscriber queue that checks it is only touched on its loop's thread."""

    def __init__(self, owner: LoopThread) -> None:
        self.owner = owner
        self.items: list[Any] = []
        self.wrong_thread = 0
        self.done = False
        ALL.append(self)

    def release(self) -> None:
        """Drops what was received, once checked: anything still alive
        afterwards is held elsewhere."""
        self.done = True
        self.items = []

    def put_nowait(self, item: Any) -> None:
        if self.done:
            return
        if threading.get_ident() != self.owner.ident:
            self.wrong_thread += 1
        self.items.append(item)


ALL: list[Collector] = []


def join_all(threads: list[threading.Thread], timeout: float) -> None:
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    if stuck:
        faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
        pytest.fail(f"threads still running (deadlock?): {stuck[:8]}")


def per_pusher(items: list[Any]) -> dict[int, list[int]]:
    seen: dict[int, list[int]] = {}
    for rec in items:
        if rec is None:
            continue
        seen.setdefault(rec["data"]["p"], []).append(rec["data"]["n"])
    return seen


@pytest.mark.timeout(300)
def test_fan_out_under_load(pool, quiet_logs, capsys):
    wp = pool
    sessions = [f"load-{i}" for i in range(SESSIONS)]
    loops = [LoopThread() for _ in range(LOOPS)]
    started = [[0] * SESSIONS for _ in range(PUSHERS)]
    done = [[0] * SESSIONS for _ in range(PUSHERS)]
    stop = threading.Event()
    problems: list[str] = []
    stats = {"subscriptions": 0, "checked": 0}
    finished: list[tuple[Collector, list[int], list[int], str]] = []

    with exclusive_logs(quiet_logs):
        gc.collect()
        tracemalloc.start()
        baseline = tracemalloc.get_traced_memory()[0]

        # Half the sessions keep one subscriber for the whole run: it must see
        # every record of its session exactly once, in each pusher's order.
        anchors = {}
        for i in range(0, SESSIONS, 2):
            c = Collector(loops[i % LOOPS])
            anchors[i] = (c, wp.subscribe_to_stream(sessions[i], c, c.owner.loop))

        def pusher(p: int) -> None:
            rng = random.Random(p)
            for k in range(MAX_PER_PUSHER):
                if stop.is_set():
                    return
                s = rng.randrange(SESSIONS)
                n = started[p][s] + 1
                started[p][s] = n
                if k % 3 == 0:
                    wp.push_stream_event(sessions[s], {"type": "load", "data": {"p": p, "n": n}})
                else:
                    wp._push_to_subscribers(sessions[s], {"type": "load", "data": {"p": p, "n": n}})
                done[p][s] = n
                if k % 64 == 0:
                    time.sleep(0.0005)

        def churner(c_id: int) -> None:
            rng = random.Random(1000 + c_id)
            while not stop.is_set():
                s = rng.randrange(SESSIONS)
                owner = loops[rng.randrange(LOOPS)]
                col = Collector(owner)
                sub = wp.subscribe_to_stream(sessions[s], col, owner.loop)
                after_sub = [started[p][s] for p in range(PUSHERS)]
                time.sleep(rng.uniform(0.0, 0.004))
                before_unsub = [done[p][s] for p in range(PUSHERS)]
                wp.unsubscribe_from_stream(sessions[s], sub)
                stats["subscriptions"] += 1
                finished.append((col, after_sub, before_unsub, f"churn session {s}"))

        def check(col: Collector, after_sub: list[int], before_unsub: list[int],
                  who: str) -> None:
            if col.wrong_thread:
                problems.append(f"{who}: queue touched off its loop's thread")
            got = per_pusher(col.items)
            for p in range(PUSHERS):
                seqs = got.get(p, [])
                if len(seqs) != len(set(seqs)):
                    problems.append(f"{who}: pusher {p} duplicated records")
                if seqs != sorted(seqs) or (seqs and seqs != list(range(seqs[0], seqs[-1] + 1))):
                    problems.append(f"{who}: pusher {p} out of order or with gaps")
                need = range(after_sub[p] + 1, before_unsub[p] + 1)
                if need and (not seqs or seqs[0] > need.start or seqs[-1] < need.stop - 1):
                    problems.append(f"{who}: pusher {p} records {need} not all delivered")
            stats["checked"] += 1

        threads = [threading.Thread(target=pusher, args=(p,), name=f"pusher-{p}")
                   for p in range(PUSHERS)]
        threads += [threading.Thread(target=churner, args=(c,), name=f"churn-{c}")
                    for c in range(CHURNERS)]
        t0 = time.monotonic()
        for t in threads:
            t.start()
        time.sleep(load_seconds())
        stop.set()
        join_all(threads, 120)
        duration = time.monotonic() - t0

        for lt in loops:
            lt.drain()
        while finished:
            check(*finished.pop())
        for i, (col, sub) in anchors.items():
            wp.unsubscribe_from_stream(sessions[i], sub)
            col.owner.drain()
            total = [done[p][i] for p in range(PUSHERS)]
            check(col, [0] * PUSHERS, total, f"anchor session {i}")
            got = per_pusher(col.items)
            for p in range(PUSHERS):
                if got.get(p, []) != list(range(1, total[p] + 1)):
                    problems.append(f"anchor session {i}: pusher {p} incomplete")
        # Sessions pushed to with nobody listening keep their buffer until an
        # unsubscription finds them without subscribers.
        for s in sessions:
            wp.unsubscribe_from_stream(s, ("nobody", "here"))
        records = sum(map(sum, done))
        for lt in loops:
            lt.close()
        for c in ALL:
            c.release()
        ALL.clear()
        del anchors, threads, col, sub, got
        gc.collect()
        leftover = tracemalloc.get_traced_memory()[0] - baseline
        tracemalloc.stop()

    assert not problems, "\n".join(problems[:20])
    assert wp._stream_buffers == {}
    assert all(v == [] for v in wp.stream_subscribers.values())
    assert leftover < 512 * 1024, f"{leftover} bytes still held after the run"
    with capsys.disabled():
        print(f"\n[load] fan-out: {PUSHERS} pushers, {SESSIONS} sessions, {records} records, "
              f"{stats['subscriptions']} churned subscriptions, {duration:.1f} s, "
              f"{leftover} bytes left")


def run_workers(workers: list[Callable[[threading.Event], None]], seconds: float) -> None:
    stop = threading.Event()
    errors: list[BaseException] = []

    def wrap(fn: Callable[[threading.Event], None]) -> Callable[[], None]:
        def body() -> None:
            try:
                fn(stop)
            except BaseException as e:  # noqa: BLE001 - reported by the test
                errors.append(e)
                stop.set()
        return body

    threads = [threading.Thread(target=wrap(w), name=f"worker-{i}")
               for i, w in enumerate(workers)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    join_all(threads, 120)
    if errors:
        raise errors[0]


@pytest.mark.timeout(300)
def test_pool_operations_under_concurrent_load(pool, quiet_logs, monkeypatch, capsys):
    """get_agent, profile switches, model bumps, interrupts, the hold queue and
    the task cleanup all at once: no deadlock, no lost message, one agent per
    session and profile epoch, and every lock free at the end."""
    import types

    from bridge.Chat import holdqueue, interrupt

    wp = pool
    monkeypatch.setitem(sys.modules, "cron.jobs", types.ModuleType("cron.jobs"))
    sessions = [f"busy-{i}" for i in range(16)]
    counts = {"get_agent": 0, "switch": 0, "interrupt": 0, "queued": 0, "cleanup": 0}
    dequeued: list[str] = []
    enqueued: list[str] = []

    def agents(stop: threading.Event) -> None:
        rng = random.Random()
        while not stop.is_set():
            s = rng.choice(sessions)
            with wp.get_session_lock(s):
                agent, ctx = wp.get_agent(s, s)
                assert agent.session_id == s
                ctx["setup"]()
                interrupt.register_running_agent(s, agent)
                agent.tool_progress_callback("tool.started", "x")
                agent.stream_delta_callback("tok")
                interrupt.unregister_running_agent(s)
                ctx["teardown"]()
                wp.pop_pending_model_note(s)
            counts["get_agent"] += 1

    def switcher(stop: threading.Event) -> None:
        while not stop.is_set():
            wp.set_active_profile(random.choice(["default", "work"]))
            wp.bump_model_generation()
            counts["switch"] += 1
            time.sleep(0.002)

    def interrupter(stop: threading.Event) -> None:
        while not stop.is_set():
            s = random.choice(sessions)
            interrupt.interrupt_agent(s, "stop")
            interrupt.is_agent_running(s)
            counts["interrupt"] += 1

    def queuer(n: int) -> Callable[[threading.Event], None]:
        def body(stop: threading.Event) -> None:
            k = 0
            while not stop.is_set():
                s = sessions[k % len(sessions)]
                msg = f"{n}:{k}"
                enqueued.append(msg)
                holdqueue.enqueue_message(s, msg)
                got = holdqueue.dequeue_message(sessions[(k * 7) % len(sessions)])
                if got is not None:
                    dequeued.append(got)
                holdqueue.pending_count(s)
                k += 1
                counts["queued"] += 1
        return body

    def host_tasks(stop: threading.Event) -> None:
        k = 0
        while not stop.is_set():
            with wp.tasks_lock:
                wp.running_tasks[f"t{k}"] = {"status": "running"}
                if k:
                    wp.running_tasks[f"t{k - 1}"]["status"] = "done"
            k += 1

    def cleaner(stop: threading.Event) -> None:
        while not stop.is_set():
            wp.cleanup_old_tasks()
            counts["cleanup"] += 1

    with exclusive_logs(quiet_logs):
        t0 = time.monotonic()
        run_workers([agents] * 8 + [switcher, interrupter, interrupter, host_tasks, cleaner]
                    + [queuer(i) for i in range(4)], load_seconds())
        duration = time.monotonic() - t0

    for s in sessions:
        while (m := holdqueue.dequeue_message(s)) is not None:
            dequeued.append(m)
    assert sorted(dequeued) == sorted(enqueued)
    assert holdqueue._pending_messages == {}
    assert interrupt._running_agents == {}
    # Finished records are gone (they have no finished_at); the running one stays.
    wp.cleanup_old_tasks()
    assert all(r["status"] == "running" for r in wp.running_tasks.values())
    for name in ["agent_cache_lock", "_profile_dbs_lock", "_session_locks_lock",
                 "_model_generation_lock", "_pending_model_notes_lock", "tasks_lock",
                 "stream_sub_lock", "_stream_buffer_lock"]:
        assert not getattr(wp, name).locked(), name
    assert not holdqueue._pending_lock.locked()
    assert not interrupt._running_agents_lock.locked()
    with capsys.disabled():
        print(f"\n[load] pool: 17 threads, {duration:.1f} s, {counts}")
