"""The stream bus seen from producers and subscribers: scheduling through the
loop only, failures of one subscriber, exactly-once subscription, and no lock
of the pool held while records are handed on."""
import threading

import pytest

from pool_fakes import ALL_LOCKS, Loop, Queue, locks_free


class DeferredLoop:
    """Collects scheduled calls; run() performs them like loop turns."""

    def __init__(self):
        self.pending = []

    def call_soon_threadsafe(self, fn, *args):
        self.pending.append((fn, args))

    def run(self):
        while self.pending:
            fn, args = self.pending.pop(0)
            fn(*args)


def test_put_goes_through_the_loop_with_put_nowait(pool):
    q, loop = Queue(), DeferredLoop()
    pool._threadsafe_put(q, loop, "rec")
    assert q.items == []
    assert len(loop.pending) == 1
    fn, args = loop.pending[0]
    assert args == ("rec",)
    assert fn == q.put_nowait
    loop.run()
    assert q.items == ["rec"]


@pytest.mark.parametrize("exc", [RuntimeError, ValueError, AttributeError, TypeError])
def test_refused_scheduling_is_swallowed(pool, exc):
    class Bad:
        def call_soon_threadsafe(self, fn, *args):
            raise exc("no")

    pool._threadsafe_put(Queue(), Bad(), 1)


def test_one_refusing_subscriber_does_not_stop_the_others(pool):
    good1, good2 = Queue(), Queue()
    pool.subscribe_to_stream("s", good1, Loop())
    pool.subscribe_to_stream("s", Queue(), Loop(closed=True))
    pool.subscribe_to_stream("s", good2, Loop())
    pool.push_stream_delta("s", "x")
    assert good1.items == good2.items == [{"type": "delta", "data": "x"}]
    assert pool._stream_buffers["s"] == [{"type": "delta", "data": "x"}]


def test_delta_record_shape(pool):
    pool.push_stream_delta("s", "")
    rec = pool._stream_buffers["s"][0]
    assert type(rec) is dict and list(rec.items()) == [("type", "delta"), ("data", "")]
    pool.push_stream_delta("s", None)
    assert len(pool._stream_buffers["s"]) == 1


def test_text_subclass_and_odd_texts_kept(pool):
    class T(str):
        pass

    t = T("a\x00b\udcff")
    pool.push_stream_delta("s", t)
    assert pool._stream_buffers["s"][0]["data"] is t


def test_same_object_everywhere(pool):
    q1, q2 = Queue(), Queue()
    pool.subscribe_to_stream("s", q1, Loop())
    pool.subscribe_to_stream("s", q2, Loop())
    ev = {"type": "x", "data": {}}
    pool.push_stream_event("s", ev)
    assert q1.items[0] is ev and q2.items[0] is ev and pool._stream_buffers["s"][0] is ev


def test_records_after_sentinel_keep_flowing(pool):
    q = Queue()
    pool.subscribe_to_stream("s", q, Loop())
    pool.signal_stream_done("s")
    pool.push_stream_delta("s", "next")
    pool.signal_stream_done("s")
    assert q.items == [None, {"type": "delta", "data": "next"}, None]
    late = Queue()
    pool.subscribe_to_stream("s", late, Loop())
    assert late.items == q.items


def test_unsubscribe_keeps_empty_list_and_fresh_list_not_stored(pool):
    pool.unsubscribe_from_stream("never", (Queue(), Loop()))
    assert "never" not in pool.stream_subscribers
    sub = pool.subscribe_to_stream("s", Queue(), Loop())
    pool.unsubscribe_from_stream("s", sub)
    assert pool.stream_subscribers["s"] == []


def test_no_lock_held_while_live_records_are_handed_on(pool):
    # (the replay of a new subscription is ordered against concurrent pushes
    # and may hold the buffer lock; live records never hold any)
    seen = []

    class Probe:
        def call_soon_threadsafe(self, fn, *args):
            seen.append(locks_free(*ALL_LOCKS))
            fn(*args)

    pool.subscribe_to_stream("s", Queue(), Probe())
    pool.push_stream_delta("s", "a")
    pool.push_stream_event("s", {"type": "x"})
    pool.signal_stream_done("s")
    pool._push_to_subscribers("s", 5)
    assert seen == [True, True, True, True]


def test_push_during_subscription_arrives_once_after_replay(pool):
    """A record pushed by another thread while subscribe_to_stream replays
    reaches the new subscriber exactly once, after the replay."""
    pool.push_stream_delta("s", "r1")
    pool.push_stream_delta("s", "r2")
    q = Queue()
    started = []

    class Loop1(Loop):
        def call_soon_threadsafe(self, fn, *args):
            super().call_soon_threadsafe(fn, *args)
            if not started:
                t = threading.Thread(target=pool.push_stream_delta, args=("s", "live"))
                started.append(t)
                t.start()
                t.join(1.0)   # either it went through or it waits for us

    pool.subscribe_to_stream("s", q, Loop1())
    started[0].join(10)
    pool.push_stream_delta("s", "after")
    data = [r["data"] for r in q.items]
    assert data == ["r1", "r2", "live", "after"]
    assert [r["data"] for r in pool._stream_buffers["s"]] == ["r1", "r2", "live", "after"]


def test_concurrent_pushes_and_subscriptions_exactly_once(pool):
    """Many producers while subscribers join: each subscriber gets every
    record of the buffer exactly once, and each producer's records in order."""
    n_threads, per = 4, 200
    subs = []
    go = threading.Event()

    def producer(k):
        go.wait()
        for i in range(per):
            pool.push_stream_event("s", {"type": "x", "data": (k, i)})

    def subscriber():
        go.wait()
        for _ in range(5):
            q = Queue()
            pool.subscribe_to_stream("s", q, Loop())
            subs.append(q)

    threads = [threading.Thread(target=producer, args=(k,)) for k in range(n_threads)]
    threads += [threading.Thread(target=subscriber) for _ in range(2)]
    for t in threads:
        t.start()
    go.set()
    for t in threads:
        t.join(60)
    everything = [r["data"] for r in pool._stream_buffers["s"]]
    assert len(everything) == n_threads * per
    for q in subs:
        got = [r["data"] for r in q.items]
        assert sorted(got) == sorted(everything)
        for k in range(n_threads):
            mine = [i for (kk, i) in got if kk == k]
            assert mine == list(range(per))
