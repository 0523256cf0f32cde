"""End-to-end stream measurements on a real asyncio loop.

The loop runs on its own thread, as the host's does; one subscriber coroutine
reads its asyncio.Queue. An engine thread pushes text deltas through the
variant under test:

- throughput: N records pushed as fast as possible; records per second from
  the first push until the subscriber holds the last record;
- paced: records pushed at a fixed rate (a fast model's token rate); the
  latency of each record from the moment its push starts until the
  subscriber coroutine has it; p50 and p99 per run.

The floor pushes with the one call a record cannot avoid,
loop.call_soon_threadsafe(q.put_nowait, item), made bare and inline in the
engine's loop.
"""
import asyncio
import itertools
import threading
import time

perf_counter = time.perf_counter

_ids = itertools.count()


class LoopThread:
    """An asyncio loop running forever on a daemon thread."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self._run, name="bench-loop", daemon=True)
        self.thread.start()

    def _run(self):
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def call(self, coro, timeout=None):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


class Pusher:
    """How one variant delivers records to a subscriber's queue.

    attach() returns (first, push, detach): the engine calls push(first,
    delta) for every record. For the floor, push is None and first the
    queue: the engine then makes the bare call itself, inline,
    loop.call_soon_threadsafe(q.put_nowait, delta), with the same attribute
    fetches per record as the bridge makes.
    """

    def __init__(self, name, module=None):
        self.name = name
        self.module = module  # None: the bare floor

    def attach(self, q, loop):
        if self.module is None:
            return q, None, lambda: None
        sid = f"e2e-{self.name}-{next(_ids)}"
        sub = self.module.subscribe_to_stream(sid, q, loop)
        return sid, self.module.push_stream_delta, lambda: self.module.unsubscribe_from_stream(sid, sub)


async def _make_queue():
    return asyncio.Queue()


async def _consume(q, n, stamps):
    get = q.get
    if stamps is None:
        for _ in range(n):
            await get()
        return perf_counter()
    append = stamps.append
    for _ in range(n):
        await get()
        append(perf_counter())
    return perf_counter()


def throughput(lt, pusher, n):
    """Records per second: n records pushed from an engine thread, timed
    from the first push until the subscriber coroutine has the last."""
    q = lt.call(_make_queue())
    first, push, detach = pusher.attach(q, lt.loop)
    done = asyncio.run_coroutine_threadsafe(_consume(q, n, None), lt.loop)
    started = []

    loop = lt.loop

    def engine():
        delta = "tok"
        started.append(perf_counter())
        if push is None:
            q = first
            for _ in range(n):
                loop.call_soon_threadsafe(q.put_nowait, delta)
        else:
            for _ in range(n):
                push(first, delta)

    th = threading.Thread(target=engine, name="bench-engine")
    th.start()
    th.join()
    t_end = done.result(300)
    detach()
    return n / (t_end - started[0])


def paced(lt, pushers, per_variant, rate, block):
    """Latencies (seconds, in push order) per variant, for records pushed at
    `rate` per second from an engine thread.

    Every variant has its own subscriber queue on the same loop for the
    whole run; the engine pushes blocks of `block` records through one
    variant after another, so that all variants see the same conditions
    while each block runs at the given rate.
    """
    names = list(pushers)
    attached, received, waits = {}, {}, []
    for name in names:
        q = lt.call(_make_queue())
        attached[name] = pushers[name].attach(q, lt.loop)
        received[name] = []
        waits.append(asyncio.run_coroutine_threadsafe(_consume(q, per_variant, received[name]), lt.loop))
    if per_variant % block:
        raise ValueError("records per variant must be a multiple of the block")
    schedule = []
    for cycle in range(per_variant // block):
        for name in names[cycle % len(names):] + names[:cycle % len(names)]:
            schedule.extend([name] * block)
    sent = {name: [] for name in names}

    loop = lt.loop

    def engine():
        period = 1.0 / rate
        sleep = time.sleep
        delta = "tok"
        start = perf_counter() + 0.01
        for i, name in enumerate(schedule):
            wait = start + i * period - perf_counter()
            if wait > 0:
                sleep(wait)
            first, push, _detach = attached[name]
            stamps = sent[name]
            stamps.append(perf_counter())
            if push is None:
                loop.call_soon_threadsafe(first.put_nowait, delta)
            else:
                push(first, delta)

    th = threading.Thread(target=engine, name="bench-engine")
    th.start()
    th.join()
    for w in waits:
        w.result(300)
    for name in names:
        attached[name][2]()
    return {name: [r - s for s, r in zip(sent[name], received[name])] for name in names}


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * p))]
