"""Pending messages of busy sessions, checked from outside."""
import collections
import logging
import threading

import pytest

import bridge.Chat.holdqueue as hq

LOG = "bridge.holdqueue"
QUEUED = "Queued message for busy session %s (position %d)"


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    monkeypatch.setattr(hq, "_pending_messages", {})
    monkeypatch.setattr(hq, "_pending_lock", threading.Lock())


class Text(str):
    pass


def test_state_kinds():
    import importlib
    mod = importlib.import_module("bridge.Chat.holdqueue")
    assert mod.logger is logging.getLogger(LOG)
    assert type(mod._pending_lock) is type(threading.Lock())


def test_queue_is_a_deque_in_a_dict():
    hq.enqueue_message("s", "a")
    assert type(hq._pending_messages) is dict
    assert type(hq._pending_messages["s"]) is collections.deque
    assert list(hq._pending_messages["s"]) == ["a"]


def test_cycle_with_keywords_and_results(logs):
    assert hq.enqueue_message(session_id="s", message="one") == 1
    assert hq.enqueue_message("s", message="two") == 2
    assert hq.enqueue_message("s", "") == 3
    assert hq.has_pending(session_id="s") is True
    assert hq.pending_count(session_id="s") == 3
    assert [hq.dequeue_message(session_id="s") for _ in range(4)] == ["one", "two", "", None]
    assert hq.has_pending("s") is False and hq.pending_count("s") == 0
    assert "s" not in hq._pending_messages
    assert logs(LOG) == [("INFO", QUEUED, ("s", 1)), ("INFO", QUEUED, ("s", 2)),
                         ("INFO", QUEUED, ("s", 3))]


def test_clear_and_restart(logs):
    hq.enqueue_message("s", "a")
    hq.enqueue_message("s", "b")
    hq.enqueue_message("t", "c")
    assert hq.clear_pending(session_id="s") == 2
    assert hq.clear_pending("s") == 0
    assert "s" not in hq._pending_messages
    assert hq.enqueue_message("s", "d") == 1
    assert hq.pending_count("t") == 1
    assert len(logs(LOG)) == 4


def test_unknown_sessions_create_nothing():
    assert hq.dequeue_message("x") is None
    assert hq.pending_count("x") == 0
    assert hq.clear_pending("x") == 0
    assert hq.has_pending("x") is False
    assert hq._pending_messages == {}


def test_messages_kept_as_given():
    odd = Text(" spaced \x00 \ud800 ")
    hq.enqueue_message(Text("s"), odd)
    hq.enqueue_message("s", odd)
    got = hq.dequeue_message("s")
    assert got is odd
    assert hq.dequeue_message("s") == odd


@pytest.mark.parametrize("bad", [None, 1, b"s", ["s"]])
def test_type_errors_before_any_effect(bad, logs):
    hq.enqueue_message("s", "keep")
    for call in (lambda: hq.enqueue_message(bad, "m"), lambda: hq.enqueue_message("s", bad),
                 lambda: hq.dequeue_message(bad), lambda: hq.has_pending(bad),
                 lambda: hq.pending_count(bad), lambda: hq.clear_pending(bad)):
        with pytest.raises(TypeError):
            call()
    assert list(hq._pending_messages["s"]) == ["keep"]
    assert len(logs(LOG)) == 1


def test_state_reached_at_call_time(monkeypatch):
    mine = {"s": collections.deque(["x", "y"])}
    monkeypatch.setattr(hq, "_pending_messages", mine)
    assert hq.pending_count("s") == 2
    assert hq.enqueue_message("s", "z") == 3
    assert hq.dequeue_message("s") == "x"
    assert list(mine["s"]) == ["y", "z"]


def test_empty_queue_left_by_the_host_counts_as_none():
    hq._pending_messages["s"] = collections.deque()
    assert hq.has_pending("s") is False
    assert hq.pending_count("s") == 0
    assert hq.dequeue_message("s") is None
    assert hq.enqueue_message("s", "m") == 1


def test_operations_take_the_namespace_lock(monkeypatch):
    lock = threading.Lock()
    monkeypatch.setattr(hq, "_pending_lock", lock)
    lock.acquire()
    done = threading.Event()

    def work():
        hq.enqueue_message("s", "m")
        done.set()

    t = threading.Thread(target=work, daemon=True)
    t.start()
    assert not done.wait(0.3)
    lock.release()
    assert done.wait(10)
    t.join(10)


def test_logging_happens_with_the_lock_free(monkeypatch, logs):
    seen = []

    class Probe(logging.Handler):
        def emit(self, record):
            seen.append(hq._pending_lock.locked())

    handler = Probe()
    hq.logger.addHandler(handler)
    try:
        hq.enqueue_message("s", "m")
    finally:
        hq.logger.removeHandler(handler)
    assert seen == [False]


def test_concurrent_enqueues_get_distinct_positions():
    positions = []
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        for _ in range(50):
            positions.append(hq.enqueue_message("s", "m"))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(positions) == list(range(1, 401))
