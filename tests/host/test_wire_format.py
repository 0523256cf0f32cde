"""The session stream's encoding and what its log keeps, without a server."""
import asyncio
import json
import threading

from dashboard import sse, streams
from dashboard.streams import StreamHub


def decode(text):
    lines = text.split("\n")
    assert text.endswith("\n\n") and len(lines) == 5, text
    assert lines[0].startswith("id: ") and lines[1].startswith("event: ") and lines[2].startswith("data: ")
    return lines[0][4:], lines[1][7:], json.loads(lines[2][6:])


def test_frames_carry_an_id_one_event_and_one_data_line():
    assert decode(sse.format_frame("r-1", "delta", {"turn": "t1", "data": "two\nlines\r\n"})) == (
        "r-1", "delta", {"turn": "t1", "data": "two\nlines\r\n"})
    # Texts that UTF-8 cannot hold survive; odd names and values are still delivered.
    text = "nul\x00 and a lone \ud800 surrogate"
    assert decode(sse.format_frame("r-2", "bad\nname", text)) == ("r-2", "badname", text)
    ident, _, data = decode(sse.format_frame("r\n-3", "x", {"obj": object()}))
    assert ident == "r-3" and data["obj"].startswith("<object")


class FakePool:
    def __init__(self):
        self.calls = []
        self.stream_sub_lock = threading.Lock()
        self.stream_subscribers = {}

    def subscribe_to_stream(self, session_id, q, loop):
        self.calls.append(("subscribe", session_id))
        return (q, loop)

    def signal_stream_done(self, session_id):
        self.calls.append(("done", session_id))

    def unsubscribe_from_stream(self, session_id, sub):
        self.calls.append(("unsubscribe", session_id))
        self.stream_subscribers[session_id] = []  # the bridge keeps the emptied list


def agent_of(hub, session_id, turn_id):
    """What the bridge hands the records of a turn's agent to: the feed the
    host subscribed to the turn's stream."""
    hub.open_turn(session_id, turn_id)
    return hub._feeds[turn_id]


def post(hub, session_id, record):
    """A record of the host's own, as a worker thread posts it."""
    hub.post(session_id, record)
    hub.loop.run_until_complete(asyncio.sleep(0))


def turn(log, turn_id, deltas, end=True):
    post(log.hub, log.session_id, {"type": "turn_started", "data": {"turn_id": turn_id, "message": "hi"}})
    agent = agent_of(log.hub, log.session_id, turn_id)
    for text in deltas:
        agent.put_nowait({"type": "delta", "data": text})
    if end:
        log.hub.close_turn(turn_id)
        agent.put_nowait(None)  # the bridge's own end marker adds nothing
        post(log.hub, log.session_id, {"type": "turn_ended", "data": {"turn_id": turn_id, "status": "done"}})
    return agent


def frames(log, position):
    text, _ = log.frames_after(position)
    return [decode(f + "\n\n") for f in text.split("\n\n") if f]


def hub_with_loop():
    pool = FakePool()
    hub = StreamHub(lambda: pool)
    hub.bind(asyncio.new_event_loop())
    return hub, pool


def test_records_are_numbered_tagged_and_resumed_after_an_id():
    hub, pool = hub_with_loop()
    reader = object()
    log = hub.open("s1", reader)
    hub.activate("s1")
    log.put_nowait({"type": "title_updated", "data": {"title": "T"}})
    assert [(e, d["turn"]) for _, e, d in frames(log, 0)] == [("title_updated", None)]
    turn(log, "t1", ["a", "b"])
    # What came before the oldest turn kept is let go once that turn ended.
    assert log.frames_after(0) == (None, 0)
    got = frames(log, 1)
    assert [(e, d["turn"]) for _, e, d in got] == [
        ("turn_started", "t1"), ("delta", "t1"), ("delta", "t1"), ("turn_ended", "t1")]
    assert [i for i, _, _ in got] == [f"{hub.run}-{n}" for n in range(2, 6)]
    # Exactly what follows an id; an id of another run or from the future is not resumed.
    assert log.start_for(f"{hub.run}-3") == (3, True)
    assert [d["data"] for _, _, d in frames(log, 3)][0] == "b"
    assert log.start_for("0000-3") == (5, False)
    assert log.start_for(f"{hub.run}-99") == (5, False)
    assert log.start_for("nonsense") == (5, False)
    # The turn's bridge stream ended and went when the turn ended, with what
    # the bridge kept of it; the session's stream stays subscribed.
    assert pool.calls == [("subscribe", "s1"), ("subscribe", "s1/t1"), ("done", "s1/t1"), ("unsubscribe", "s1/t1")]
    assert pool.stream_subscribers == {} and hub._feeds == {}
    hub.loop.close()


def test_a_fresh_client_gets_the_running_turn_from_its_start_and_the_state():
    hub, _ = hub_with_loop()
    log = hub.open("s1", object())
    hub.activate("s1")
    turn(log, "t1", ["old"])
    agent = turn(log, "t2", [], end=False)
    log.put_nowait({"type": "busy", "data": {"turn_id": "t3", "position": 1, "message": "next"}})
    agent.put_nowait({"type": "approval_required", "data": {"command": "rm -rf /x"}})
    position, resumed = log.start_for(None)
    assert not resumed
    assert [e for _, e, _ in frames(log, position)] == ["turn_started", "busy", "approval_required"]
    _, event, sync = decode(log.sync(position, resumed))
    assert event == "sync"
    assert sync["data"]["running"] == "t2" and sync["data"]["pending_approval"] == {"command": "rm -rf /x"}
    assert [q["turn"] for q in sync["data"]["queue"]] == ["t3"]
    log.put_nowait({"type": "approval_resolved", "data": {"choice": "deny"}})
    assert log.pending_approval is None
    hub.loop.close()


def test_an_unwatched_session_keeps_nothing_of_a_finished_turn():
    hub, pool = hub_with_loop()
    hub.activate("s1")
    log = hub.logs["s1"]
    turn(log, "t1", ["x" * 100_000] * 5)
    assert not log.entries and log.floor == log.seq == 7
    hub.deactivate("s1")
    hub.loop.run_until_complete(asyncio.sleep(0))  # the release runs on the loop
    assert "s1" not in hub.logs and hub.held()["records"] == 0
    assert pool.calls[-1] == ("unsubscribe", "s1")
    # Ids go on growing; a client holding an old id starts over.
    hub.activate("s1")
    log = hub.logs["s1"]
    assert log.seq == 7 and log.start_for(f"{hub.run}-3") == (7, False)
    hub.loop.close()


def test_a_watched_session_keeps_a_finished_turn_for_a_reconnect(monkeypatch):
    hub, _ = hub_with_loop()
    reader = object()
    log = hub.open("s1", reader)
    hub.activate("s1")
    turn(log, "t1", ["a"])
    assert log.start_for(f"{hub.run}-1") == (1, True)
    hub.close(log, reader)  # the last reader leaves: it may be reconnecting
    assert log.start_for(f"{hub.run}-1") == (1, True)
    monkeypatch.setattr(streams, "RESUME_GRACE", 0.0)
    log.release()  # the grace is over
    assert not log.entries and log.start_for(f"{hub.run}-1") == (3, False)
    assert log.frames_after(1) == (None, 1)
    hub.loop.close()


def test_finished_turns_kept_for_readers_are_bounded_in_bytes(monkeypatch):
    monkeypatch.setattr(streams, "RESUME_KEEP_BYTES", 3000)
    hub, _ = hub_with_loop()
    log = hub.open("s1", object())
    hub.activate("s1")
    turn(log, "t1", ["x" * 2000])
    turn(log, "t2", ["y" * 2000])
    # The older turn went; the newer one can still be resumed from its start.
    assert list(log.starts) == ["t2"]
    assert log.start_for(f"{hub.run}-2") == (6, False)
    assert log.start_for(f"{hub.run}-3") == (3, True)
    hub.loop.close()


def test_every_record_of_a_turn_names_its_turn_and_the_senders_client_id():
    hub, _ = hub_with_loop()
    log = hub.open("s1", object())
    hub.activate("s1")
    tags = []
    session, t1, t2 = log, agent_of(hub, "s1", "t1"), agent_of(hub, "s1", "t2")
    for source, record in (
            (session, {"type": "busy", "data": {"turn_id": "t1", "client_id": "c-1", "position": 1}}),
            (session, {"type": "queue", "data": {"queue": [{"turn": "t1", "client_id": "c-1"}]}}),
            (session, {"type": "turn_started", "data": {"turn_id": "t1", "client_id": "c-1"}}),
            (t1, {"type": "delta", "data": "made by the bridge"}),
            (t1, {"type": "approval_required", "data": {"command": "ls"}}),
            (session, {"type": "approval_resolved", "data": {"turn_id": "t1", "choice": "once"}}),
            (session, {"type": "turn_ended", "data": {"turn_id": "t1", "client_id": "c-1", "status": "done"}}),
            (session, {"type": "turn_started", "data": {"turn_id": "t2", "client_id": None}}),
            (t2, {"type": "delta", "data": "another sender's"}),
            # Late, but still on its own turn's stream: never taken for the running one's.
            (t1, {"type": "status", "data": {"event": "x"}}),
            # On the session's stream a record of the agent names no turn (none is guessed).
            (session, {"type": "delta", "data": "from elsewhere"})):
        source.put_nowait(record)
        _, event, data = frames(log, log.seq - 1)[0]
        tags.append((event, data["turn"], data["client_id"]))
    assert tags == [("busy", "t1", "c-1"), ("queue", None, None), ("turn_started", "t1", "c-1"),
                    ("delta", "t1", "c-1"), ("approval_required", "t1", "c-1"), ("approval_resolved", "t1", "c-1"),
                    ("turn_ended", "t1", "c-1"), ("turn_started", "t2", None), ("delta", "t2", None),
                    ("status", "t1", "c-1"), ("delta", None, None)]
    assert set(log.clients) == {"t1", "t2"}  # t1 is kept for a reconnect, and its sender with it
    hub.loop.close()


def test_the_sessions_own_bridge_stream_is_renewed_only_when_it_piles_up(monkeypatch):
    monkeypatch.setattr(streams, "RENEW_EVERY", 3)
    hub, pool = hub_with_loop()
    log = hub.open("s1", object())
    turn(log, "t1", ["a"] * 10)  # the turn's records never count: they are on its own stream
    for n in range(3):
        log.put_nowait({"type": "title_updated", "data": {"title": f"T{n}"}})
    assert pool.calls.count(("subscribe", "s1")) == 2 and pool.calls.count(("unsubscribe", "s1")) == 1
    assert [d["data"]["title"] for _, e, d in frames(log, log.seq - 3)] == ["T0", "T1", "T2"]
    hub.loop.close()
