"""Whole chat turns with the stand-in engine, on a real asyncio loop.

The test plays the host: its loop thread runs the stream readers (and
answers approvals from there), worker threads run the turns, and the test
body drives the steps in the order the host takes them.
"""
import asyncio
import pathlib
import sys
import threading

import pytest

import bridge.Chat.holdqueue as holdqueue
import bridge.Chat.interrupt as interrupt
import bridge.Chat.consentgate as consentgate
import bridge.Chat.runconf as runconf

from standin_support import STANDIN
from standin_support import purge_engine_modules as _purge


@pytest.fixture
def engine(wp, korvel, monkeypatch):
    """The stand-in engine on sys.path, bound into the pool as at load."""
    assert (STANDIN / "run_agent.py").exists()
    _purge()
    monkeypatch.syspath_prepend(str(STANDIN))
    import korvel_state
    import run_agent

    monkeypatch.setattr(wp, "AIAgent", run_agent.AIAgent)
    monkeypatch.setattr(wp, "SessionDB", korvel_state.SessionDB)
    monkeypatch.setattr(wp, "build_agent_kwargs", runconf.build_agent_kwargs)
    monkeypatch.setattr(wp, "wire_approval_for_session", consentgate.wire_approval_for_session)
    monkeypatch.setenv("KORVEL_GATEWAY_SESSION", "1")
    monkeypatch.setattr(run_agent, "STREAM_DELAY", 0.001)
    yield run_agent
    _purge()


@pytest.fixture
def loop():
    lp = asyncio.new_event_loop()
    t = threading.Thread(target=lp.run_forever, name="host-loop", daemon=True)
    t.start()
    yield lp
    lp.call_soon_threadsafe(lp.stop)
    t.join(10)
    lp.close()


def on_loop(loop, coro, timeout=30):
    return asyncio.run_coroutine_threadsafe(coro, loop).result(timeout)


class Reader:
    """A stream generator of the host: reads its queue on the loop."""

    def __init__(self, wp, loop, sid, until=lambda rec: rec is None, on_record=None):
        self.records = []
        self.loop = loop

        async def start():
            q = asyncio.Queue()
            self.handle = wp.subscribe_to_stream(sid, q, asyncio.get_running_loop())
            return asyncio.ensure_future(self._read(q, until, on_record))

        self.task = on_loop(loop, start())

    async def _read(self, q, until, on_record):
        while True:
            rec = await q.get()
            self.records.append(rec)
            if on_record:
                on_record(rec)
            if until(rec):
                return

    def wait(self, timeout=30):
        async def done():
            await asyncio.wait_for(asyncio.shield(self.task), timeout)

        on_loop(self.loop, done(), timeout + 5)
        return self.records

    def types(self):
        return [None if r is None else r["type"] for r in self.records]


def run_turn(wp, sid, agent, ctx, message):
    """The host's turn on a worker thread; returns the thread and its result."""
    out = {}

    def turn():
        interrupt.register_running_agent(sid, agent)
        ctx["setup"]()
        try:
            out["result"] = agent.run_conversation(message)
        finally:
            ctx["teardown"]()
            interrupt.unregister_running_agent(sid)
            wp.signal_stream_done(sid)

    t = threading.Thread(target=turn, name="turn")
    t.start()
    return t, out


def test_one_chat_turn_step_by_step(wp, engine, loop, capsys):
    sid = "chat-1"
    # A warm agent from an earlier turn, then the user picks another model.
    first, _ = wp.get_agent(sid, sid)
    assert isinstance(first, engine.AIAgent) and first.model == "google/gemini-2.5-flash:free"
    (wp.get_profile_home() / "config.yaml").write_text("model: standin/echo-2\n")
    wp.bump_model_generation()

    def answer(rec):
        # The user approves from a request handled on the loop thread.
        if rec is not None and rec["type"] == "approval_required":
            answer.result = consentgate.resolve_approval(sid, "once")

    answer.result = None
    reader = Reader(wp, loop, sid, until=lambda r: r is not None and r["type"] == "title_updated",
                    on_record=answer)

    # Step 2: the session mutex and the agent, switched in place.
    with wp.get_session_lock(sid):
        agent, ctx = wp.get_agent(sid, sid)
        assert agent is first and agent.model == "standin/echo-2"
        assert list(ctx) == ["setup", "teardown"]
        # Step 3: the switch note goes in front of the user's text.
        note = wp.pop_pending_model_note(sid)
        assert note == ("[Note: model was just switched from google/gemini-2.5-flash:free to "
                        "standin/echo-2. You are now standin/echo-2. Adjust your "
                        "self-identification accordingly.]")
        message = "run: rm -rf /tmp/scratch"
        # Steps 4-5: the turn blocks on the approval until the loop answers.
        t, out = run_turn(wp, sid, agent, ctx, note + "\n\n" + message)
        # Step 1 of the next turn: a message sent meanwhile is queued.
        pause = threading.Event()
        for _ in range(3000):
            if interrupt.is_agent_running(sid) or not t.is_alive():
                break
            pause.wait(0.01)
        assert interrupt.is_agent_running(sid)
        assert holdqueue.enqueue_message(sid, "second message") == 1
        t.join(60)
        assert not t.is_alive()
    assert answer.result is True
    assert "was allowed and ran" in out["result"]["final_response"]

    # Step 6: a title for the new session, then the next queued message.
    history = out["result"]["messages"]
    wp.trigger_auto_title(sid, message, out["result"]["final_response"], history)
    records = reader.wait()
    types = reader.types()
    assert types[0] == "status" and records[0]["data"]["event"] == "lifecycle"
    # A scripted reply names no model: none writes it.
    assert out["result"]["model"] not in records[0]["data"]["message"]
    for expected in ("thinking", "reasoning_delta", "reasoning", "tool_started",
                     "approval_required", "tool_completed", "delta"):
        assert expected in types, expected
    assert types.index("tool_started") < types.index("approval_required") \
        < types.index("tool_completed") < types.index("delta")
    assert types[-2:] == [None, "title_updated"]
    started = records[types.index("tool_started")]["data"]
    from tools.registry import registry

    assert (started["tool"], started["emoji"], started["toolset"]) == \
        ("terminal", registry.get_emoji("terminal"), registry.get_toolset_for_tool("terminal"))
    assert started["args"]["command"].endswith("rm -rf /tmp/scratch")
    completed = records[types.index("tool_completed")]["data"]
    assert completed["is_error"] is False and completed["duration"] == round(
        completed["duration"], 3)
    text = "".join(r["data"] for r in records if r is not None and r["type"] == "delta")
    assert text == out["result"]["final_response"]
    title = records[-1]["data"]
    assert title["session_id"] == sid and title["title"]
    assert wp.get_session_db().get_session_title(sid) == title["title"]
    assert f"[POOL] Auto-title: {title['title']}\n" in capsys.readouterr().out

    # The next turn takes the queued message on the same warm agent, with no
    # new note, and a late subscriber is replayed everything so far.
    nxt = holdqueue.dequeue_message(sid)
    assert nxt == "second message"
    agent2, ctx2 = wp.get_agent(sid, sid)
    assert agent2 is agent and ctx2 is not ctx
    assert wp.pop_pending_model_note(sid) is None
    reader2 = Reader(wp, loop, sid, until=lambda r: r is None)
    t, out2 = run_turn(wp, sid, agent2, ctx2, nxt)
    t.join(60)
    late = Reader(wp, loop, sid, until=lambda r: False)
    on_loop(loop, asyncio.sleep(0.05))
    replayed_first_turn = records
    assert reader2.wait()[-1] is None
    assert late.records[:len(replayed_first_turn)] == replayed_first_turn
    assert late.records[-1] is None and late.records.count(None) == 2
    assert "second message" in out2["result"]["final_response"]
    assert wp.get_conversation_history(sid)[-1]["content"] == out2["result"]["final_response"]
    for r in (reader, reader2, late):
        wp.unsubscribe_from_stream(sid, r.handle)
    assert sid not in wp._stream_buffers
    late.task.cancel()


def test_two_subscribers_and_an_interrupt(wp, engine, loop):
    sid = "chat-2"
    agent, ctx = wp.get_agent(sid, sid)
    agent.stream_delay = 0.01
    a = Reader(wp, loop, sid)
    b = Reader(wp, loop, sid)
    t, out = run_turn(wp, sid, agent, ctx, "wait: 30")
    pause = threading.Event()
    for _ in range(3000):
        if any(r is not None and r["type"] == "tool_started" for r in list(a.records)):
            break
        pause.wait(0.01)
    assert t.is_alive(), "the slow tool call should still be running"
    assert interrupt.interrupt_agent(sid) is True
    t.join(30)
    assert not t.is_alive()
    assert out["result"]["interrupted"] is True
    assert a.wait() == b.wait()
    assert a.records[-1] is None
    for r in (a, b):
        wp.unsubscribe_from_stream(sid, r.handle)
