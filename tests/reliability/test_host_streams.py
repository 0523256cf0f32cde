"""The host's session streams under load: what unwatched turns leave in
memory, and what a reader that never reads does to the turns of others;
what many sessions leave in memory, and what an agent let go of still
tells the model. Figures are printed (pytest -s shows them)."""
from __future__ import annotations

import pathlib
import socket
import sys
import time
import uuid

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "host"))

from host_wire import TOKEN, Stream, idle, send, start_server, wait_for  # noqa: E402
from rel_support import SANITIZED  # noqa: E402

MESSAGE_CHARS = 200_000


def rss_kib(pid: int) -> int:
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def settled_rss(server) -> int:
    """RSS once the host is idle (the figure after a short pause, lowest of three)."""
    samples = []
    for _ in range(3):
        time.sleep(0.3)
        samples.append(rss_kib(server.proc.pid))
    return min(samples)


@pytest.mark.timeout(300)
def test_unwatched_turns_of_long_messages_leave_nothing_behind():
    server = start_server("--engine", "standin")
    sessions = [f"mem-{uuid.uuid4().hex[:8]}" for _ in range(10)]
    try:
        def round_of_turns(n: int) -> None:
            # One turn per session at a time, no reader anywhere; every
            # message is new text, so nothing is shared between turns.
            for session in sessions:
                send(server, f"{n:06d}{session}" + "x" * (MESSAGE_CHARS - 6 - len(session)), session)
            for session in sessions:
                idle(server, session)

        for n in range(3):  # the agents, stores and caches reach their working size
            round_of_turns(n)
        before = settled_rss(server)
        turns = 150
        started = time.monotonic()
        for n in range(turns // len(sessions)):
            round_of_turns(100 + n)
        took = time.monotonic() - started
        after = settled_rss(server)
        grown_mb = (after - before) / 1024
        print(f"\n{turns} unwatched turns of {MESSAGE_CHARS:,}-character messages in {took:.1f} s: "
              f"RSS {before / 1024:.1f} MB -> {after / 1024:.1f} MB, retained {grown_mb:+.1f} MB")
        # A late reader gets no finished turn's tail as if it were live.
        with Stream(server, sessions[0]) as late:
            assert late.sync["running"] is None and late.sync["queue"] == []
            send(server, "a new question", sessions[0])
            assert late.next()[0] == "turn_started"
        assert SANITIZED or grown_mb < 10, f"unwatched turns retained {grown_mb:.1f} MB"
    finally:
        server.stop()


@pytest.mark.timeout(300)
def test_new_sessions_of_long_messages_do_not_make_memory_creep():
    server = start_server("--engine", "standin")
    try:
        def new_sessions(count: int, tag: str) -> None:
            # Each session gets one long message of a few long words (the
            # scripted engine streams its echo word by word).
            for n in range(count):
                session = f"many-{tag}-{n:03d}-{uuid.uuid4().hex[:6]}"
                words = " ".join(f"{session}{w}" + "y" * (MESSAGE_CHARS // 4 - 40) for w in "abcd")
                send(server, words[:MESSAGE_CHARS - 1000], session)
                idle(server, session)

        new_sessions(24, "warm")   # more sessions than warm agents are kept
        before = settled_rss(server)
        started = time.monotonic()
        new_sessions(150, "run")
        took = time.monotonic() - started
        after = settled_rss(server)
        grown_mb = (after - before) / 1024
        print(f"\n150 new sessions of {MESSAGE_CHARS:,}-character messages in {took:.1f} s: "
              f"RSS {before / 1024:.1f} MB -> {after / 1024:.1f} MB, retained {grown_mb:+.1f} MB")
        # Every one of them is still listed, and found.
        listed = server.client.get("/sessions", params={"limit": 500}).json()
        assert listed["total"] == 174 and len(listed["sessions"]) == 174
        assert SANITIZED or grown_mb < 15, f"150 new sessions retained {grown_mb:.1f} MB"
    finally:
        server.stop()


@pytest.mark.timeout(120)
def test_a_session_whose_agent_was_let_go_tells_the_model_what_was_said(tmp_path):
    from fake_openai import FakeModelServer

    home = tmp_path / "home"
    home.mkdir()
    with FakeModelServer() as fake:
        env = {"ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": "sk-test-key", "ZALIX_MODEL": "fake/chat",
               "KORVEL_DASHBOARD_WARM_AGENTS": "1"}

        def asked(message: str) -> list:
            """What the model was sent with ``message`` (the last user message)."""
            for body in reversed(fake.chat_requests()):
                if body["messages"][-1]["content"] == message:
                    return [(m["role"], m["content"]) for m in body["messages"] if m["role"] != "system"]
            raise AssertionError(f"the model never got {message!r}")

        server = start_server("--engine", "standin", "--log-level", "debug", env=env, home=home)
        try:
            for message in ("my name is Ada", "what is my name?"):
                send(server, message, "kept")
                idle(server, "kept")
            warm = asked("what is my name?")
            assert warm[:2] == [("user", "my name is Ada"), ("assistant", "Echo: my name is Ada")]
            # Another session's turn: only one agent is kept, so "kept"'s goes.
            send(server, "hello", "other")
            idle(server, "other")
            wait_for(lambda: "Let go of the warm agents of 1 session(s): kept" in server.output())
            send(server, "and my name again?", "kept")
            idle(server, "kept")
            cold = asked("and my name again?")
            assert cold[:len(warm)] == warm and cold[len(warm)] == ("assistant", "Echo: what is my name?")
        finally:
            server.stop()
        # After a restart the model is told the same; so it is after the
        # agent sat idle long enough to be let go.
        server = start_server("--engine", "standin", "--log-level", "debug", home=home,
                              env={**env, "KORVEL_DASHBOARD_AGENT_IDLE_MINUTES": "0.02"})
        try:
            send(server, "once more?", "kept")
            idle(server, "kept")
            again = asked("once more?")
            assert again[:len(cold)] == cold
            wait_for(lambda: "Let go of the warm agents of 1 session(s): kept" in server.output())
            send(server, "and after a pause?", "kept")
            idle(server, "kept")
            assert asked("and after a pause?")[:len(again)] == again
        finally:
            server.stop()


def _turn_times(server, session: str, count: int, message: str) -> list:
    times = []
    with Stream(server, session) as reader:
        for _ in range(count):
            started = time.monotonic()
            turn = send(server, message, session)["turn_id"]
            reader.until("turn_ended", turn)
            times.append(time.monotonic() - started)
    return times


def _median(values: list) -> float:
    values = sorted(values)
    return values[len(values) // 2]


@pytest.mark.timeout(300)
def test_a_reader_that_never_reads_does_not_slow_the_turns():
    server = start_server("--engine", "standin", env={"KORVEL_DASHBOARD_STALL_SECONDS": "2"})
    session = f"stall-{uuid.uuid4().hex[:8]}"
    turns, message = 20, "stream: 3000"
    try:
        _turn_times(server, session, 2, message)  # warm
        alone = _turn_times(server, session, turns, message)
        # A client that opens the stream with a tiny receive buffer and never reads.
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # before connecting, to hold
        stalled.connect(("127.0.0.1", server.port))
        stalled.sendall(f"GET /chat/stream/{session} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
                        f"Authorization: Bearer {TOKEN}\r\n\r\n".encode())
        try:
            time.sleep(0.2)
            beside = _turn_times(server, session, turns, message)
            wait_for(lambda: "Disconnected a stalled reader" in server.output(), timeout=30)
            assert "Exception in ASGI application" not in server.output()
            assert "without completing response" not in server.output()
        finally:
            stalled.close()
        a, b = _median(alone), _median(beside)
        print(f"\n{turns} turns of {message!r}: median {a * 1000:.0f} ms alone, {b * 1000:.0f} ms with a "
              f"stalled reader ({b / a:.2f}x); totals {sum(alone):.2f} s / {sum(beside):.2f} s")
        # Turns held up by their reader would take the stall bound each; a
        # loaded machine alone moves the median by up to about 2x.
        if not SANITIZED:
            assert b <= 2.5 * a, (alone, beside)
        # The host is none the worse: the next turn runs as before.
        idle(server, session)
        assert _turn_times(server, session, 1, "hello")
    finally:
        server.stop()


@pytest.mark.timeout(120)
def test_a_host_killed_with_messages_waiting_runs_them_after_the_restart(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    session = f"crash-{uuid.uuid4().hex[:8]}"
    server = start_server("--engine", "standin", home=home)
    try:
        with Stream(server, session) as reader:
            cut = send(server, "wait: 60", session)["turn_id"]
            reader.until("tool_started", cut)
            waiting = [send(server, f"queued {n}", session) for n in range(5)]
            assert [w["position"] for w in waiting] == [1, 2, 3, 4, 5]
        server.kill()
    finally:
        server.stop()
    started = time.monotonic()
    server = start_server("--engine", "standin", home=home)
    try:
        up = time.monotonic() - started
        idle(server, session)
        drained = time.monotonic() - started
        shown = server.client.get(f"/chat/history/{session}").json()["messages"]
        users = [(m["content"], m.get("status")) for m in shown if m["role"] == "user"]
        assert users == [("wait: 60", "interrupted")] + [(f"queued {n}", None) for n in range(5)]
        replies = [m["content"] for m in shown if m["role"] == "assistant"]
        assert replies[0] == "" and all(r.startswith(f"You said: queued {n}") for n, r in enumerate(replies[1:]))
        print(f"\nkilled with 1 turn running and 5 waiting: host back in {up:.2f} s, the 5 ran by "
              f"{drained:.2f} s after the restart, RSS {rss_kib(server.proc.pid) / 1024:.1f} MB")
    finally:
        server.stop()
