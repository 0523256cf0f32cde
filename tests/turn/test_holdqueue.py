import collections
import inspect
import logging
import threading

import pytest

import bridge.Chat.holdqueue as hq

LOGGER = "bridge.holdqueue"


@pytest.fixture(autouse=True)
def empty_registry():
    hq._pending_messages.clear()
    yield
    hq._pending_messages.clear()


def test_state_is_plain_python_objects():
    assert type(hq._pending_messages) is dict
    assert type(hq._pending_lock) is type(threading.Lock())
    assert hq.logger is logging.getLogger(LOGGER)
    assert list(inspect.signature(hq.enqueue_message).parameters) == ["session_id", "message"]


class TestQueue:
    def test_fifo_and_entry_removed_when_empty(self):
        assert [hq.enqueue_message("s", m) for m in ("a", "b", "c")] == [1, 2, 3]
        assert isinstance(hq._pending_messages["s"], collections.deque)
        assert list(hq._pending_messages["s"]) == ["a", "b", "c"]
        assert hq.has_pending("s") is True and hq.pending_count("s") == 3
        assert [hq.dequeue_message("s") for _ in range(3)] == ["a", "b", "c"]
        assert "s" not in hq._pending_messages
        assert hq.dequeue_message("s") is None
        assert hq.has_pending("s") is False and hq.pending_count("s") == 0

    def test_sessions_are_independent(self):
        hq.enqueue_message("B", "b1")
        assert hq.enqueue_message("A", "a1") == 1
        assert hq.enqueue_message("A", "a2") == 2
        assert hq.pending_count("B") == 1
        assert hq.enqueue_message("B", "b2") == 2
        assert hq.dequeue_message("A") == "a1"
        assert hq.pending_count("B") == 2

    def test_clear_then_positions_restart(self):
        hq.enqueue_message("s", "x")
        hq.enqueue_message("s", "y")
        assert hq.clear_pending("s") == 2
        assert "s" not in hq._pending_messages
        assert hq.enqueue_message("s", "z") == 1

    def test_unknown_session_creates_nothing(self):
        assert hq.clear_pending("never") == 0
        assert hq.pending_count("never") == 0
        assert hq.dequeue_message("never") is None
        assert hq.has_pending("never") is False
        assert hq._pending_messages == {}

    def test_messages_stored_unchanged(self):
        odd = ["", "  padded  ", "dup", "dup", "nul\x00", "lone \ud800 surrogate"]
        for m in odd:
            hq.enqueue_message("s", m)
        assert hq.pending_count("s") == len(odd)
        out = [hq.dequeue_message("s") for _ in odd]
        assert out == odd
        assert out[0] == "" and out[0] is not None

    def test_keywords(self):
        assert hq.enqueue_message(message="m", session_id="k") == 1
        assert hq.pending_count(session_id="k") == 1
        assert hq.dequeue_message(session_id="k") == "m"

    @pytest.mark.parametrize("call", [
        lambda: hq.enqueue_message(None, "m"),
        lambda: hq.enqueue_message("s", None),
        lambda: hq.enqueue_message("s", b"bytes"),
        lambda: hq.dequeue_message(1),
        lambda: hq.has_pending(None),
        lambda: hq.pending_count(["s"]),
        lambda: hq.clear_pending(None),
        lambda: hq.enqueue_message("s"),
        lambda: hq.enqueue_message("s", "m", "extra"),
        lambda: hq.enqueue_message("s", msg="m"),
    ])
    def test_bad_calls_are_type_errors_without_effect(self, call):
        with pytest.raises(TypeError):
            call()
        assert hq._pending_messages == {}
        assert not hq._pending_lock.locked()

    def test_str_subclass_accepted(self):
        class Sid(str):
            pass

        assert hq.enqueue_message(Sid("s"), Sid("m")) == 1
        assert hq.dequeue_message("s") == "m"


def test_each_enqueue_logs_one_info_line(caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    hq.enqueue_message("sess", "a")
    hq.enqueue_message("sess", "b")
    hq.dequeue_message("sess")
    hq.clear_pending("sess")
    recs = [r for r in caplog.records if r.name == LOGGER]
    assert [(r.levelno, r.msg, r.args) for r in recs] == [
        (logging.INFO, "Queued message for busy session %s (position %d)", ("sess", 1)),
        (logging.INFO, "Queued message for busy session %s (position %d)", ("sess", 2)),
    ]


def test_logger_double_sees_every_enqueue(monkeypatch):
    # Even with INFO off, a replaced logger or info method is always called.
    logging.getLogger(LOGGER).setLevel(logging.WARNING)
    try:
        seen = []
        monkeypatch.setattr(hq.logger, "info", lambda *a: seen.append(a))
        hq.enqueue_message("s", "m")
        assert seen == [("Queued message for busy session %s (position %d)", "s", 1)]
    finally:
        logging.getLogger(LOGGER).setLevel(logging.NOTSET)


def test_position_logged_after_lock_released(monkeypatch):
    states = []

    class Spy:
        def info(self, *args):
            states.append(hq._pending_lock.locked())

    monkeypatch.setattr(hq, "logger", Spy())
    hq.enqueue_message("s", "m")
    assert states == [False]


class TestLocking:
    def test_host_holding_the_lock_blocks_operations(self):
        done = threading.Event()
        with hq._pending_lock:
            t = threading.Thread(target=lambda: (hq.enqueue_message("s", "m"), done.set()))
            t.start()
            assert not done.wait(0.2)
            assert hq._pending_messages == {}
        t.join(10)
        assert done.is_set() and hq.pending_count("s") == 1

    def test_lock_released_on_error_and_usable_by_host(self, monkeypatch):
        class BadMap(dict):
            def get(self, key, default=None):
                raise RuntimeError("boom")

        monkeypatch.setattr(hq, "_pending_messages", BadMap())
        with pytest.raises(RuntimeError):
            hq.enqueue_message("s", "m")
        assert not hq._pending_lock.locked()
        assert hq._pending_lock.acquire(timeout=1)
        hq._pending_lock.release()

    def test_replaced_state_is_used(self, monkeypatch):
        mine = {}
        lock = threading.RLock()
        monkeypatch.setattr(hq, "_pending_messages", mine)
        monkeypatch.setattr(hq, "_pending_lock", lock)
        hq.enqueue_message("s", "m")
        assert list(mine["s"]) == ["m"]
        assert hq.dequeue_message("s") == "m" and mine == {}

    def test_many_threads_one_session(self):
        threads, per = 16, 200
        positions = []
        positions_lock = threading.Lock()
        start = threading.Barrier(threads)

        def producer(n):
            start.wait()
            mine = []
            for i in range(per):
                mine.append(hq.enqueue_message("busy", f"{n}:{i}"))
            with positions_lock:
                positions.extend(mine)

        workers = [threading.Thread(target=producer, args=(n,)) for n in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(60)
        total = threads * per
        assert sorted(positions) == list(range(1, total + 1))
        assert hq.pending_count("busy") == total
        # Each producer's messages keep their order in the queue.
        queued = list(hq._pending_messages["busy"])
        for n in range(threads):
            order = [int(m.split(":")[1]) for m in queued if m.startswith(f"{n}:")]
            assert order == list(range(per))

        taken = []
        taken_lock = threading.Lock()

        def consumer():
            while (m := hq.dequeue_message("busy")) is not None:
                with taken_lock:
                    taken.append(m)

        workers = [threading.Thread(target=consumer) for _ in range(8)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(60)
        assert len(taken) == total and len(set(taken)) == total
        assert "busy" not in hq._pending_messages
