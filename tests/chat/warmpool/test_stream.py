"""Stream fan-out: replay buffers, subscribers, the record envelope."""
import asyncio
import threading

import pytest

from pool_fakes import Loop, Queue


def sub(wp, sid, loop=None):
    q = Queue()
    handle = wp.subscribe_to_stream(sid, q, loop or Loop())
    return q, handle


class TestReplay:
    def test_records_before_subscription_come_first_in_order(self, wp):
        wp.push_stream_delta("s", "a")
        ev = {"type": "status", "data": {}}
        wp.push_stream_event("s", ev)
        q, handle = sub(wp, "s")
        wp.push_stream_delta("s", "b")
        assert q.items == [{"type": "delta", "data": "a"}, ev, {"type": "delta", "data": "b"}]
        assert q.items[1] is ev  # passed on by reference, never copied
        assert wp._stream_buffers["s"][1] is ev
        assert handle == (q, handle[1]) and isinstance(handle, tuple)

    def test_late_subscriber_gets_whole_turn_with_sentinel(self, wp):
        first, h1 = sub(wp, "s")
        wp.push_stream_delta("s", "x")
        wp.signal_stream_done("s")
        late, _ = sub(wp, "s")
        assert late.items == [{"type": "delta", "data": "x"}, None]
        # Records after the sentinel are buffered and delivered like others.
        wp.push_stream_delta("s", "y")
        assert late.items[-1] == {"type": "delta", "data": "y"}
        assert wp._stream_buffers["s"][-1] == {"type": "delta", "data": "y"}

    def test_buffer_dropped_when_last_subscriber_leaves(self, wp):
        q, h = sub(wp, "s")
        wp.push_stream_delta("s", "x")
        wp.signal_stream_done("s")
        wp.unsubscribe_from_stream("s", h)
        assert "s" not in wp._stream_buffers
        assert wp.stream_subscribers["s"] == []  # an empty list stays
        fresh, _ = sub(wp, "s")
        assert fresh.items == []
        wp.push_stream_delta("s", "live")
        assert fresh.items == [{"type": "delta", "data": "live"}]

    def test_delta_none_and_empty(self, wp):
        q, _ = sub(wp, "s")
        wp.push_stream_delta("s", None)
        assert q.items == [] and "s" not in wp._stream_buffers
        wp.push_stream_delta("s", "")
        assert q.items == [{"type": "delta", "data": ""}]
        assert list(q.items[0]) == ["type", "data"]

    def test_texts_kept_as_they_are(self, wp):
        q, _ = sub(wp, "s")
        odd = "nul\x00 and lone \udc80 surrogate"
        wp.push_stream_delta(odd, odd)
        wp.push_stream_delta("s", odd)
        assert q.items[0]["data"] is odd
        assert wp._stream_buffers[odd][0]["data"] is odd


class TestSubscribers:
    def test_two_subscribers_and_leaving(self, wp):
        a, ha = sub(wp, "s")
        b, hb = sub(wp, "s")
        wp.push_stream_delta("s", "1")
        assert a.items == b.items == [{"type": "delta", "data": "1"}]
        wp.unsubscribe_from_stream("s", ha)
        assert "s" in wp._stream_buffers
        wp.push_stream_delta("s", "2")
        assert len(a.items) == 1 and len(b.items) == 2
        wp.unsubscribe_from_stream("s", hb)
        assert "s" not in wp._stream_buffers
        wp.push_stream_delta("s", "3")
        assert wp._stream_buffers["s"] == [{"type": "delta", "data": "3"}]

    @pytest.mark.parametrize("count", [20, 40])
    def test_many_subscribers_each_get_every_record(self, wp, count):
        queues = [sub(wp, "s")[0] for _ in range(count - 1)]
        listed = Queue()  # a handle the host added as a list
        wp.stream_subscribers["s"].append([listed, Loop()])
        queues.append(listed)
        wp.push_stream_delta("s", "x")
        wp.push_stream_delta("s", "y")
        for q in queues:
            assert q.items == [{"type": "delta", "data": "x"}, {"type": "delta", "data": "y"}]
        first, second = queues[0].items
        assert first is not second and queues[-1].items[0] is first
        first["type"] = "changed"  # a consumer's change stays in its record
        wp.push_stream_delta("s", "z")
        assert queues[0].items[2] == {"type": "delta", "data": "z"}

    def test_unsubscribe_unknown_session_drops_its_buffer(self, wp):
        wp.push_stream_delta("never", "x")
        wp.unsubscribe_from_stream("never", (object(), object()))
        assert "never" not in wp._stream_buffers
        assert "never" not in wp.stream_subscribers  # nothing stored
        wp.unsubscribe_from_stream("nobody", None)

    def test_unregistered_handle_changes_nothing(self, wp):
        q, h = sub(wp, "s")
        wp.push_stream_delta("s", "x")
        wp.unsubscribe_from_stream("s", (Queue(), Loop()))
        assert wp.stream_subscribers["s"] == [h]
        assert len(wp._stream_buffers["s"]) == 1

    def test_same_handle_twice(self, wp):
        q, loop = Queue(), Loop()
        h1 = wp.subscribe_to_stream("s", q, loop)
        h2 = wp.subscribe_to_stream("s", q, loop)
        wp.push_stream_delta("s", "x")
        assert q.items == [{"type": "delta", "data": "x"}] * 2
        wp.unsubscribe_from_stream("s", h1)
        assert wp.stream_subscribers["s"] == [h2]
        wp.push_stream_delta("s", "y")
        assert q.items[-1] == {"type": "delta", "data": "y"} and len(q.items) == 3

    def test_closed_loop_fails_nothing(self, wp):
        dead, _ = sub(wp, "s", Loop(closed=True))
        live, _ = sub(wp, "s")
        wp.push_stream_delta("s", "x")
        assert dead.items == [] and live.items == [{"type": "delta", "data": "x"}]
        assert len(wp._stream_buffers["s"]) == 1

    def test_threadsafe_put_schedules_put_nowait(self, wp):
        q, loop = Queue(), Loop()
        assert wp._threadsafe_put(q, loop, "item") is None
        fn, args = loop.calls[0]
        assert fn == q.put_nowait and args == ("item",)
        # A loop or queue that refuses is swallowed, whatever it raises.
        wp._threadsafe_put(object(), loop, 1)
        wp._threadsafe_put(q, object(), 1)
        wp._threadsafe_put(q, Loop(closed=True), 1)

    def test_subscription_is_registered_after_replay(self, wp):
        seen = []

        class SpyLoop(Loop):
            def call_soon_threadsafe(self, fn, *args):
                seen.append(list(wp.stream_subscribers.get("s", [])))
                super().call_soon_threadsafe(fn, *args)

        wp.push_stream_delta("s", "x")
        q = Queue()
        h = wp.subscribe_to_stream("s", q, SpyLoop())
        assert seen == [[]]
        assert wp.stream_subscribers["s"] == [h]


class TestTypeChecks:
    @pytest.mark.parametrize("call", [
        lambda wp: wp.push_stream_delta(None, "x"),
        lambda wp: wp.push_stream_delta(b"s", "x"),
        lambda wp: wp.push_stream_event(1, {"type": "x"}),
        lambda wp: wp.push_stream_event("s", None),
        lambda wp: wp.push_stream_event("s", [("type", "x")]),
        lambda wp: wp.signal_stream_done(None),
        lambda wp: wp._push_to_subscribers(3, {}),
    ])
    def test_refused_before_anything_is_buffered(self, wp, call):
        q, _ = sub(wp, "s")
        with pytest.raises(TypeError):
            call(wp)
        assert q.items == [] and wp._stream_buffers == {}

    def test_mapping_subclasses_and_str_subclasses_accepted(self, wp):
        import collections

        class S(str):
            pass

        q, _ = sub(wp, "s")
        ev = collections.OrderedDict(type="x", data={})
        wp.push_stream_event(S("s"), ev)
        assert q.items == [ev]

    def test_keywords(self, wp):
        q, _ = sub(wp, "s")
        wp.push_stream_delta(session_id="s", raw_delta="k")
        wp.push_stream_event(session_id="s", event={"type": "e"})
        wp.signal_stream_done(session_id="s")
        assert q.items == [{"type": "delta", "data": "k"}, {"type": "e"}, None]


class TestLateBinding:
    def test_replaced_threadsafe_put_is_used_by_push_and_replay(self, wp, monkeypatch):
        calls = []
        monkeypatch.setattr(wp, "_threadsafe_put", lambda q, loop, item: calls.append(item))
        wp.push_stream_delta("s", "a")
        sub(wp, "s")
        wp.signal_stream_done("s")
        assert calls == [{"type": "delta", "data": "a"}, None]

    def test_replaced_push_to_subscribers(self, wp, monkeypatch):
        calls = []
        monkeypatch.setattr(wp, "_push_to_subscribers", lambda sid, item: calls.append((sid, item)))
        wp.push_stream_delta("s", "a")
        wp.push_stream_event("s", {"type": "e"})
        wp.signal_stream_done("s")
        assert calls == [("s", {"type": "delta", "data": "a"}), ("s", {"type": "e"}), ("s", None)]

    def test_replaced_state_and_locks_are_used(self, wp, monkeypatch):
        buffers, lock = {}, threading.Lock()
        monkeypatch.setattr(wp, "_stream_buffers", buffers)
        monkeypatch.setattr(wp, "_stream_buffer_lock", lock)
        wp.push_stream_delta("s", "a")
        assert buffers == {"s": [{"type": "delta", "data": "a"}]}
        assert not lock.locked()

    def test_push_waits_for_the_namespace_lock(self, wp):
        done = threading.Event()
        with wp._stream_buffer_lock:
            t = threading.Thread(target=lambda: (wp.push_stream_delta("s", "x"), done.set()))
            t.start()
            assert not done.wait(0.2)
        assert done.wait(10)
        t.join(10)


def _run_loop_thread():
    loop = asyncio.new_event_loop()
    t = threading.Thread(target=loop.run_forever, daemon=True)
    t.start()
    return loop, t


def _stop(loop, t):
    loop.call_soon_threadsafe(loop.stop)
    t.join(10)
    loop.close()


class TestRealLoop:
    def test_exactly_once_under_concurrent_pushes_and_subscriptions(self, wp):
        """Producers push numbered records while subscribers come and go: each
        subscriber sees every record from its replay onward exactly once, in
        each producer's order."""
        loop, lt = _run_loop_thread()
        producers, per_producer, rounds = 4, 400, 30
        start = threading.Barrier(producers + 1)
        results = []

        def produce(p):
            start.wait()
            for i in range(per_producer):
                wp.push_stream_event("s", {"type": "n", "data": (p, i)})

        def consume():
            for _ in range(rounds):
                q = asyncio.Queue()
                h = wp.subscribe_to_stream("s", q, loop)
                threading.Event().wait(0.001)
                wp.unsubscribe_from_stream("s", h)
                results.append(q)

        # One subscriber stays for the whole run so the buffer is kept.
        anchor_q = asyncio.Queue()
        anchor = wp.subscribe_to_stream("s", anchor_q, loop)
        threads = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
        consumers = [threading.Thread(target=consume) for _ in range(2)]
        for t in threads + consumers:
            t.start()
        start.wait()
        for t in threads + consumers:
            t.join(60)
        # Let the loop run everything scheduled so far.
        asyncio.run_coroutine_threadsafe(asyncio.sleep(0), loop).result(10)
        asyncio.run_coroutine_threadsafe(asyncio.sleep(0.05), loop).result(10)
        _stop(loop, lt)

        def drain(q):
            out = []
            while not q.empty():
                out.append(q.get_nowait()["data"])
            return out

        everything = drain(anchor_q)
        assert sorted(everything) == sorted((p, i) for p in range(producers) for i in range(per_producer))
        for q in results + [anchor_q]:
            got = everything if q is anchor_q else drain(q)
            assert len(got) == len(set(got)), "a record arrived twice"
            for p in range(producers):
                seq = [i for (pp, i) in got if pp == p]
                # The buffer holds everything since the first push, so a
                # subscriber sees each producer's records from the first one
                # up to its leaving: in order, with no gap.
                assert seq == list(range(len(seq))), (p, seq[:10])
        wp.unsubscribe_from_stream("s", anchor)

    def test_records_cross_threads_to_the_loop(self, wp):
        loop, lt = _run_loop_thread()
        got = []

        async def reader(q):
            while True:
                item = await q.get()
                got.append(item)
                if item is None:
                    return

        async def main():
            q = asyncio.Queue()
            h = wp.subscribe_to_stream("s", q, asyncio.get_running_loop())
            task = asyncio.ensure_future(reader(q))
            return h, task

        h, task = asyncio.run_coroutine_threadsafe(main(), loop).result(10)
        t = threading.Thread(target=lambda: [wp.push_stream_delta("s", str(i)) for i in range(50)]
                             + [wp.signal_stream_done("s")])
        t.start()
        t.join(10)
        fut = asyncio.run_coroutine_threadsafe(asyncio.wait_for(_await(task), 10), loop)
        fut.result(15)
        _stop(loop, lt)
        assert got == [{"type": "delta", "data": str(i)} for i in range(50)] + [None]


async def _await(task):
    return await task


def test_any_lock_object_in_the_namespace_is_honoured(wp, monkeypatch):
    """A lock that is not a plain threading.Lock is taken through its methods."""
    log = []

    class Recording:
        def __init__(self, name):
            self.name = name

        def acquire(self):
            log.append(("acquire", self.name))
            return True

        def release(self):
            log.append(("release", self.name))

    monkeypatch.setattr(wp, "_stream_buffer_lock", Recording("buffer"))
    monkeypatch.setattr(wp, "stream_sub_lock", Recording("sub"))
    wp.push_stream_delta("s", "x")
    assert log == [("acquire", "buffer"), ("acquire", "sub"), ("release", "sub"),
                   ("release", "buffer")]
    log.clear()
    h = wp.subscribe_to_stream("s", Queue(), Loop())
    wp.unsubscribe_from_stream("s", h)
    assert log == [("acquire", "buffer"), ("acquire", "sub"), ("release", "sub"),
                   ("release", "buffer")] * 2


def test_pushes_schedule_with_no_lock_of_ours_held(wp):
    held = []

    class Watch(Loop):
        def call_soon_threadsafe(self, fn, *args):
            held.append((wp._stream_buffer_lock.locked(), wp.stream_sub_lock.locked()))
            super().call_soon_threadsafe(fn, *args)

    q = Queue()
    wp.subscribe_to_stream("s", q, Watch())
    held.clear()
    t = threading.Thread(target=lambda: (wp.push_stream_delta("s", "x"),
                                         wp.push_stream_event("s", {"type": "e"}),
                                         wp.signal_stream_done("s")))
    t.start()
    t.join(10)
    assert held == [(False, False)] * 3 and len(q.items) == 3


def test_replay_failures_are_per_record(wp):
    for i in range(3):
        wp.push_stream_delta("s", str(i))

    class Flaky(Loop):
        def call_soon_threadsafe(self, fn, *args):
            if args[0]["data"] == "1":
                raise RuntimeError("busy")
            super().call_soon_threadsafe(fn, *args)

    q = Queue()
    h = wp.subscribe_to_stream("s", q, Flaky())
    assert [r["data"] for r in q.items] == ["0", "2"]
    assert wp.stream_subscribers["s"] == [h]
    # A queue without put_nowait gets nothing, and the subscription stands.
    h2 = wp.subscribe_to_stream("s", object(), Loop())
    assert wp.stream_subscribers["s"] == [h, h2]


def test_state_of_other_sequence_kinds(wp, monkeypatch):
    """Buffers and subscriber lists that are not plain lists still work."""
    import collections

    buffers = collections.defaultdict(collections.deque)
    monkeypatch.setattr(wp, "_stream_buffers", buffers)
    wp.push_stream_delta("s", "a")
    wp._stream_buffers["t"] = collections.deque([1])
    q = Queue()
    wp.subscribe_to_stream("t", q, Loop())
    wp.push_stream_event("t", {"type": "e"})
    assert list(buffers["s"]) == [{"type": "delta", "data": "a"}]
    assert list(buffers["t"]) == [1, {"type": "e"}] and q.items == [1, {"type": "e"}]
