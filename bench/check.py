"""Checks that each pure-Python rendition does what its compiled module does.

The benchmarks compare the two, so they must do the same work: the same
records (keys in the same order), the same state left behind, the same
results and the same refusals. Runs every scenario on both and reports each
difference; exits 1 when there is one, 0 otherwise. Modules that are not
built are skipped (and named).

    .venv/bin/python bench/check.py
"""
import importlib
import os
import pathlib
import sys
import tempfile

BENCH = pathlib.Path(__file__).resolve().parent
os.environ["HOME"] = tempfile.mkdtemp(prefix="bridge-check-home-")
os.environ.pop("KORVEL_HOME", None)
sys.path.insert(0, str(BENCH / "engine_stub"))
sys.path.insert(0, str(BENCH))

from run import make_history  # noqa: E402

failures = []


class RecordingQueue:
    def __init__(self):
        self.put_nowait = self  # only compared by identity


class RecordingLoop:
    def __init__(self):
        self.calls = []

    def call_soon_threadsafe(self, fn, arg):
        self.calls.append((fn, arg))


class ClosedLoop:
    def call_soon_threadsafe(self, fn, arg):
        raise RuntimeError("Event loop is closed")


def shape(value):
    """A comparable form of a record: mappings become key/value lists (key
    order kept) and the time stamp is reduced to its type."""
    if isinstance(value, dict):
        return [(k, type(v).__name__ if k == "ts" else shape(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [shape(v) for v in value]
    return value


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", shape(fn(*args, **kwargs)))
    except Exception as e:
        return ("raised", type(e).__name__)


def same(label, a, b):
    if a != b:
        failures.append(f"{label}:\n    compiled: {a!r}\n    python:   {b!r}")


def on_both(label, mods, scenario):
    c, p = mods
    same(label, scenario(c), scenario(p))


def stream_scenarios(mods):
    def pushes_and_replay(m):
        sid = "chk-stream"
        m.stream_subscribers.pop(sid, None)
        m._stream_buffers.pop(sid, None)
        out = []
        out.append(outcome(m.push_stream_delta, sid, "a"))
        out.append(outcome(m.push_stream_delta, sid, None))
        out.append(outcome(m.push_stream_delta, sid, ""))
        out.append(outcome(m.push_stream_event, sid, {"type": "status", "data": {"x": 1}}))
        out.append(outcome(m.signal_stream_done, sid))
        out.append(shape(m._stream_buffers[sid]))
        q, loop = RecordingQueue(), RecordingLoop()
        sub = m.subscribe_to_stream(sid, q, loop)
        out.append(sub == (q, loop))
        m.subscribe_to_stream(sid, RecordingQueue(), ClosedLoop())
        out.append(outcome(m.push_stream_delta, sid, "b"))
        out.append([(fn is q.put_nowait, shape(item)) for fn, item in loop.calls])
        out.append(outcome(m.unsubscribe_from_stream, sid, (RecordingQueue(), loop)))
        out.append(len(m.stream_subscribers[sid]))
        m.unsubscribe_from_stream(sid, sub)
        out.append(sid in m._stream_buffers)
        m.stream_subscribers[sid].clear()
        m.unsubscribe_from_stream(sid, sub)
        out.append(sid in m._stream_buffers)
        for bad in (None, 1, b"x"):
            out.append(outcome(m.push_stream_delta, bad, "a"))
            out.append(outcome(m.push_stream_event, bad, {}))
            out.append(outcome(m.signal_stream_done, bad))
        for bad in (None, [("type", "x")], "x"):
            out.append(outcome(m.push_stream_event, sid, bad))
        out.append(sid in m._stream_buffers)
        return out

    on_both("stream fan-out", mods, pushes_and_replay)

    def callbacks(m):
        sid = "chk-cb"
        m._stream_buffers.pop(sid, None)
        out = []
        tool = m._make_tool_progress_callback(sid)
        out.append(outcome(tool, "tool.started", "terminal", "ls", {"a": 1}))
        out.append(outcome(tool, "tool.started", "nosuchtool"))
        out.append(outcome(tool, "tool.completed", "terminal", "ls", duration=1.23456, is_error=True, extra=1))
        out.append(outcome(tool, "tool.completed", "terminal"))
        out.append(outcome(tool, "tool.completed", "terminal", duration=2.0005))
        out.append(outcome(tool, "reasoning.available", None, None))
        out.append(outcome(tool, "reasoning.available", "x", "why"))
        out.append(outcome(tool, "other", "terminal"))
        out.append(outcome(tool, "tool.started", "a", "b", "c", "d"))
        out.append(outcome(tool, "tool.completed", "terminal", duration="slow"))
        for make, args in ((m._make_thinking_callback, [("t",), ("",), (None,)]),
                           (m._make_reasoning_callback, [("r",), ("",), (None,)]),
                           (m._make_status_callback, [("retry", "again"), ("x", ""), (None, None)]),
                           (m._make_background_review_callback, [("\U0001f4be Memory updated",), ("",), (None,)])):
            cb = make(sid)
            for a in args:
                out.append(outcome(cb, *a))
        for make in (m._make_tool_progress_callback, m._make_thinking_callback, m._make_reasoning_callback,
                     m._make_status_callback, m._make_background_review_callback):
            out.append(outcome(make, None))
        out.append(shape(m._stream_buffers.get(sid)))
        return out

    on_both("agent callbacks", mods, callbacks)

    def warm_agent(m):
        out = []
        sid, stream = "chk-agent", "chk-agent-stream"
        m._stream_buffers.pop(stream, None)
        a1, ctx1 = m.get_agent(sid, stream)
        a2, ctx2 = m.get_agent(sid, stream)
        out.append(a1 is a2)
        out.append(ctx1 is not ctx2)
        out.append(list(ctx2))
        out.append((a2.session_id, a2._last_flushed_db_idx, a2._zalix_model_gen == m.get_model_generation()))
        cbs = ("stream_delta_callback", "tool_progress_callback", "thinking_callback", "reasoning_callback",
               "status_callback", "background_review_callback")
        out.append([callable(getattr(a2, n)) for n in cbs])
        before = [getattr(a2, n) for n in cbs]
        m.get_agent(sid, None)
        m.get_agent(sid, "")
        out.append([getattr(a2, n) is b for n, b in zip(cbs, before)])
        a2.stream_delta_callback("tok")
        out.append(shape(m._stream_buffers.get(stream)))
        out.append(outcome(m.get_agent, None))
        out.append(outcome(m.get_agent, sid, 5))
        out.append(m.pop_pending_model_note(sid))
        out.append(outcome(m.pop_pending_model_note, None))
        return out

    on_both("get_agent warm path", mods, warm_agent)


def compression_scenarios(mods):
    def run(m):
        history = make_history()
        out = [m.estimate_token_count(history), m.maybe_compress_session(object(), history, 300001)]
        odd = [{"content": None}, {"content": []}, {}, {"content": [{"text": "abcd"}, {"x": 1}, "abc"]},
               {"content": "12345678"}]
        out.append(m.estimate_token_count(odd))
        out.append(m.maybe_compress_session(object(), odd, 1000))
        out.append(outcome(m.estimate_token_count, ("a",)))
        out.append(outcome(m.maybe_compress_session, object(), None))
        out.append(outcome(m.maybe_compress_session, object(), [], "1"))
        out.append(outcome(m.maybe_compress_session, object(), [{"content": 5}], 10))
        out.append(m.DEFAULT_COMPRESSION_THRESHOLD_CHARS)
        return out

    on_both("compression", mods, run)


def holdqueue_scenarios(mods):
    def run(m):
        sid = "chk-hq"
        out = [m.enqueue_message(sid, "a"), m.enqueue_message(sid, ""), m.enqueue_message(sid, "c")]
        out.append(type(m._pending_messages[sid]).__name__)
        out += [m.has_pending(sid), m.pending_count(sid)]
        out += [m.dequeue_message(sid) for _ in range(4)]
        out += [sid in m._pending_messages, m.has_pending(sid), m.pending_count(sid), m.clear_pending(sid)]
        m.enqueue_message(sid, "x")
        m.enqueue_message(sid, "y")
        out += [m.clear_pending(sid), m.enqueue_message(sid, "z"), m.dequeue_message(sid)]
        for fn in (m.dequeue_message, m.has_pending, m.pending_count, m.clear_pending):
            out.append(outcome(fn, None))
        out.append(outcome(m.enqueue_message, sid, None))
        return out

    on_both("hold queue", mods, run)


def interrupt_scenarios(mods):
    def run(m):
        sid = "chk-run"
        agent = object()
        out = [m.is_agent_running(sid), m.register_running_agent(sid, agent), m.is_agent_running(sid),
               m._running_agents[sid] is agent, m.unregister_running_agent(sid), m.is_agent_running(sid),
               m.unregister_running_agent(sid), m.interrupt_agent(sid)]
        for fn in (m.is_agent_running, m.unregister_running_agent):
            out.append(outcome(fn, None))
        out.append(outcome(m.register_running_agent, None, agent))
        return out

    on_both("running-agent registry", mods, run)


def main():
    skipped = []
    for name, scenarios in (("warmpool", stream_scenarios), ("compression", compression_scenarios),
                            ("holdqueue", holdqueue_scenarios), ("interrupt", interrupt_scenarios)):
        try:
            compiled = importlib.import_module(f"bridge.Chat.{name}")
        except ImportError as e:
            skipped.append(f"{name} ({e})")
            continue
        python = importlib.import_module(f"pyref.{name}")
        try:
            scenarios((compiled, python))
        except Exception as e:
            failures.append(f"{name}: scenario stopped: {type(e).__name__}: {e}")
    for s in skipped:
        print(f"skipped: {s}")
    for f in failures:
        print(f"DIFFERENT {f}")
    print(f"{len(failures)} difference(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
