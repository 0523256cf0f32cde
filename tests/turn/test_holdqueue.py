import collections
import logging
import threading

import pytest

import bridge.Chat.holdqueue as hq

QUEUED = "Queued message for busy session %s (position %d)"


@pytest.fixture(autouse=True)
def empty_registry():
    hq._pending_messages.clear()
    yield
    hq._pending_messages.clear()


def test_fifo_entry_removal_and_restart():
    assert type(hq._pending_lock) is type(threading.Lock())
    assert [hq.enqueue_message("s", m) for m in ("a", "b", "c")] == [1, 2, 3]
    assert isinstance(hq._pending_messages["s"], collections.deque)
    assert hq.has_pending("s") is True and hq.pending_count("s") == 3
    assert [hq.dequeue_message("s") for _ in range(4)] == ["a", "b", "c", None]
    assert "s" not in hq._pending_messages
    assert hq.has_pending("s") is False and hq.pending_count("s") == 0
    hq.enqueue_message("s", "x")
    hq.enqueue_message("s", "y")
    assert hq.clear_pending("s") == 2 and "s" not in hq._pending_messages
    assert hq.enqueue_message(message="z", session_id="s") == 1


def test_sessions_are_independent_and_unknown_ones_create_nothing():
    hq.enqueue_message("B", "b1")
    assert [hq.enqueue_message("A", "a1"), hq.enqueue_message("A", "a2")] == [1, 2]
    assert hq.enqueue_message("B", "b2") == 2
    assert hq.dequeue_message("A") == "a1" and hq.pending_count("B") == 2
    hq._pending_messages.clear()
    assert (hq.clear_pending("x"), hq.pending_count("x"), hq.dequeue_message("x"),
            hq.has_pending("x")) == (0, 0, None, False)
    assert hq._pending_messages == {}


def test_messages_stored_unchanged():
    odd = ["", "  padded  ", "dup", "dup", "nul\x00", "lone \ud800"]
    for m in odd:
        hq.enqueue_message("s", m)
    assert [hq.dequeue_message("s") for _ in odd] == odd


@pytest.mark.parametrize("call", [
    lambda: hq.enqueue_message(None, "m"), lambda: hq.enqueue_message("s", b"m"),
    lambda: hq.dequeue_message(1), lambda: hq.has_pending(None),
    lambda: hq.pending_count(["s"]), lambda: hq.clear_pending(None),
    lambda: hq.enqueue_message("s"), lambda: hq.enqueue_message("s", "m", "x"),
    lambda: hq.enqueue_message("s", msg="m"),
])
def test_bad_calls_are_type_errors_without_effect(call):
    with pytest.raises(TypeError):
        call()
    assert hq._pending_messages == {} and not hq._pending_lock.locked()


def test_one_info_line_per_enqueue(caplog):
    caplog.set_level(logging.INFO, logger="bridge.holdqueue")
    hq.enqueue_message("sess", "a")
    hq.enqueue_message("sess", "b")
    hq.dequeue_message("sess")
    hq.clear_pending("sess")
    assert [(r.levelno, r.msg, r.args) for r in caplog.records] == [
        (logging.INFO, QUEUED, ("sess", 1)), (logging.INFO, QUEUED, ("sess", 2))]


def test_replaced_info_called_even_with_info_off(monkeypatch):
    log = logging.getLogger("bridge.holdqueue")
    before = log.level
    log.setLevel(logging.WARNING)
    try:
        hq.enqueue_message("warm", "cache")  # logging now knows INFO is off
        seen = []
        monkeypatch.setattr(hq.logger, "info", lambda *a: seen.append(a))
        hq.enqueue_message("s", "m")
        assert seen == [(QUEUED, "s", 1)]
    finally:
        log.setLevel(before)


def test_lock_held_during_the_operation_and_released_before_logging(monkeypatch):
    seen = []

    class Watching(dict):
        def get(self, key, default=None):
            seen.append(("get", hq._pending_lock.locked()))
            return super().get(key, default)

    class Spy:
        def info(self, *args):
            seen.append(("log", hq._pending_lock.locked()))

    monkeypatch.setattr(hq, "_pending_messages", Watching())
    monkeypatch.setattr(hq, "logger", Spy())
    hq.enqueue_message("s", "m")
    hq.dequeue_message("s")
    assert seen == [("get", True), ("log", False), ("get", True)]


def test_host_holding_the_lock_blocks_operations():
    done = threading.Event()
    with hq._pending_lock:
        t = threading.Thread(target=lambda: (hq.enqueue_message("s", "m"), done.set()))
        t.start()
        assert not done.wait(0.2)
    t.join(10)
    assert done.is_set() and hq.pending_count("s") == 1


def test_lock_released_on_error(monkeypatch):
    class BadMap(dict):
        def get(self, key, default=None):
            raise RuntimeError("boom")

    monkeypatch.setattr(hq, "_pending_messages", BadMap())
    with pytest.raises(RuntimeError):
        hq.enqueue_message("s", "m")
    assert not hq._pending_lock.locked()


def test_many_threads_one_session():
    threads, per = 16, 200
    positions, start = [], threading.Barrier(threads)

    def producer(n):
        start.wait()
        mine = [hq.enqueue_message("busy", f"{n}:{i}") for i in range(per)]
        positions.extend(mine)

    workers = [threading.Thread(target=producer, args=(n,)) for n in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    total = threads * per
    assert sorted(positions) == list(range(1, total + 1))
    queued = list(hq._pending_messages["busy"])
    for n in range(threads):
        assert [int(m.split(":")[1]) for m in queued if m.startswith(f"{n}:")] == list(range(per))

    taken = []

    def consumer():
        while (m := hq.dequeue_message("busy")) is not None:
            taken.append(m)

    workers = [threading.Thread(target=consumer) for _ in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert sorted(taken) == sorted(queued) and "busy" not in hq._pending_messages
