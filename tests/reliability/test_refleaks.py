"""Reference and memory leaks: every operation, on its success and its error
paths, run many times (3,000 by default; 100,000 with BRIDGE_STRESS=full,
where slow cases that create files, event loops, threads or parse YAML run a
tenth of that). Afterwards the collector's object count, tracemalloc's total,
the C allocator's bytes in use and the reference counts of the arguments are
where they were."""
from __future__ import annotations

import contextlib
import io
import subprocess
import sys
import threading
import time
import types
from typing import Any, Callable

import pytest

import fakes
from rel_support import exclusive_logs, leak_iterations
from leakcheck import expect, measure

Case = Callable[[Any], tuple[Callable[[], Any], list[Any]]]
CASES: dict[str, tuple[Case, float]] = {}


def case(name: str, scale: float = 1.0) -> Callable[[Case], Case]:
    def register(fn: Case) -> Case:
        CASES[name] = (fn, scale)
        return fn

    return register


class Null(io.TextIOBase):
    def write(self, s: str) -> int:
        return len(s)


class Env(types.SimpleNamespace):
    pool: Any
    tmp: Any
    mp: pytest.MonkeyPatch


def text(s: str) -> str:
    """A fresh (not interned, not shared) text object to watch."""
    return "".join([s, "-", str(id(object()))])


# ---- hold queue ------------------------------------------------------------

@case("holdqueue.enqueue_dequeue")
def _(env):
    from bridge.Chat import holdqueue as hq
    sid, msg = text("s"), text("m")

    def fn():
        hq.enqueue_message(sid, msg)
        hq.enqueue_message(sid, msg)
        assert hq.pending_count(sid) == 2 and hq.has_pending(sid)
        hq.dequeue_message(sid)
        assert hq.clear_pending(sid) == 1
        assert hq.dequeue_message(sid) is None
    return fn, [sid, msg]


@case("holdqueue.refused")
def _(env):
    from bridge.Chat import holdqueue as hq
    sid = text("s")

    def fn():
        expect(TypeError, hq.enqueue_message, sid, None)
        expect(TypeError, hq.enqueue_message, None, sid)
        expect(TypeError, hq.dequeue_message, 5)
        expect(TypeError, hq.pending_count, b"x")
    return fn, [sid]


# ---- running agents ----------------------------------------------------------

@case("interrupt.register_interrupt_unregister")
def _(env):
    from bridge.Chat import interrupt as it
    sid, reason = text("s"), text("r")
    agent = fakes.Agent()

    def fn():
        it.register_running_agent(sid, agent)
        assert it.is_agent_running(sid)
        assert it.interrupt_agent(sid, reason) is True
        agent.interrupts.clear()
        it.unregister_running_agent(sid)
    return fn, [sid, reason, agent]


@case("interrupt.failing_and_missing")
def _(env):
    from bridge.Chat import interrupt as it
    sid, reason = text("s"), text("r")
    failing = fakes.Agent()
    failing.fail_interrupt = True
    plain = object()

    def fn():
        assert it.interrupt_agent(sid) is False          # nobody registered
        it.register_running_agent(sid, failing)
        assert it.interrupt_agent(sid, reason) is False  # interrupt raises
        it.register_running_agent(sid, plain)
        assert it.interrupt_agent(sid, reason) is False  # no interrupt()
        it.unregister_running_agent(sid)
        expect(TypeError, it.interrupt_agent, sid, None)
        expect(TypeError, it.register_running_agent, None, failing)
    return fn, [sid, reason, failing, plain]


# ---- approvals ---------------------------------------------------------------

def fake_approval(env, fail=False):
    mod = types.ModuleType("tools.approval")

    def resolve(sid, choice):
        if fail:
            raise RuntimeError("engine failed")
        return True
    mod.resolve_gateway_approval = resolve
    mod.set_current_session_key = lambda sid: ("token", sid)
    mod.reset_current_session_key = lambda token: None
    mod.notify = {}
    mod.register_gateway_notify = lambda sid, fn: mod.notify.__setitem__(sid, fn)
    mod.unregister_gateway_notify = lambda sid: mod.notify.pop(sid, None)
    env.mp.setitem(sys.modules, "tools.approval", mod)
    return mod


@case("consentgate.turn")
def _(env):
    from bridge.Chat import consentgate as cg
    approval = fake_approval(env)
    sid = text("s")
    pushed = []
    request = {"command": "rm -rf /" * 100, "description": "d", "pattern_key": "k"}

    def fn():
        ctx = cg.wire_approval_for_session(sid, lambda s, r: pushed.append(r))
        ctx["setup"]()
        approval.notify[sid](request)
        ctx["teardown"]()
        assert cg.resolve_approval(sid, "once") is True
        pushed.clear()
    return fn, [sid, request]


@case("consentgate.errors")
def _(env):
    from bridge.Chat import consentgate as cg
    fake_approval(env, fail=True)
    sid = text("s")

    def boom(s, r):
        raise RuntimeError("push failed")
    notify = cg._make_notify_callback(sid, boom)
    bad_command = {"command": None}
    request = {"command": "ls"}

    def fn():
        assert cg.resolve_approval(sid, "deny") is False     # engine raises
        expect(RuntimeError, notify, request)                 # push raises
        expect(TypeError, notify, bad_command)                # None[:500]
        expect(TypeError, notify, ["not", "a", "mapping"])
        expect(TypeError, cg.resolve_approval, sid, 3)
    return fn, [sid, bad_command, request]


# ---- compression -------------------------------------------------------------

HISTORY = [{"role": "user", "content": "x" * 40},
           {"role": "assistant", "content": [{"text": "abc"}, {"type": "image"}, "raw"]},
           {"role": "tool", "content": None}, {"role": "system"}]


@case("compression.measure_and_compress")
def _(env):
    from bridge.Chat import compression as cp
    agent, raising, bare = fakes.Agent(), fakes.RaisingAgent(), object()
    history = [dict(m) for m in HISTORY]

    def fn():
        assert cp.estimate_token_count(history) == 10
        assert cp.maybe_compress_session(agent, history) is False
        assert cp.maybe_compress_session(agent, history, 1) is True
        assert cp.maybe_compress_session(raising, history, 1) is False
        assert cp.maybe_compress_session(bare, history, 0) is False
    return fn, [agent, raising, history]


@case("compression.errors")
def _(env):
    from bridge.Chat import compression as cp
    agent = fakes.Agent()
    bad = [{"content": 5}]

    def fn():
        expect(TypeError, cp.maybe_compress_session, agent, bad, 0)
        expect(TypeError, cp.maybe_compress_session, agent, [], 1.5)
        expect(TypeError, cp.estimate_token_count, (1,))
    return fn, [agent, bad]


# ---- images ------------------------------------------------------------------

@case("picdrop.save_and_remove", scale=0.1)
def _(env):
    from bridge.Chat import picdrop as pd
    data, name = b"\x89PNG" + bytes(64), text("photo") + ".png"
    url = "data:image/png;base64,iVBORw0KGgo="

    def fn():
        pd.save_uploaded_image(data, name).unlink()
        pd.save_base64_image(url).unlink()
        expect(Exception, pd.save_base64_image, "data:image/png;base64,AAA")
        expect(TypeError, pd.save_uploaded_image, "not bytes", name)
    return fn, [data, name, url]


@case("picdrop.enrich", scale=0.1)
def _(env):
    from bridge.Chat import picdrop as pd
    vision = types.ModuleType("tools.vision_tools")
    answers = ['{"success": true, "analysis": "cat"}', '{"success": false}', "not json"]
    state = {"i": 0}

    async def vision_analyze_tool(image_url, user_prompt):
        state["i"] += 1
        if state["i"] % 4 == 3:
            raise RuntimeError("vision failed")
        return answers[state["i"] % 3]
    vision.vision_analyze_tool = vision_analyze_tool
    env.mp.setitem(sys.modules, "tools.vision_tools", vision)
    user = text("look")
    paths = [env.tmp / "a.png"]

    def fn():
        assert pd.enrich_message_with_images(user, []) is user
        assert pd.enrich_message_with_images(user, paths).endswith(user)
    return fn, [user, paths]


# ---- profile configuration ---------------------------------------------------

CFG = {"providers": {"only": ["a"], "ignore": ["b"], "order": ["c"], "sort": "price",
                     "require_parameters": False, "data_collection": "deny"},
       "reasoning": {"effort": "high"}, "service_tier": "  flex ",
       "model": {"fallback": " m2 "}, "agent": {"max_turns": 12.9},
       "request_overrides": {"x": 1}}


@case("runconf.getters")
def _(env):
    from bridge.Chat import runconf as rc
    cfg = {k: (dict(v) if isinstance(v, dict) else v) for k, v in CFG.items()}
    odd = {"providers": ["x"], "model": "plain", "agent": {"max_turns": "many"},
           "service_tier": 5, "reasoning": {}}

    def fn():
        for c in (cfg, odd):
            rc.get_provider_routing(c)
            rc.get_reasoning_config(c)
            rc.get_service_tier(c)
            rc.get_fallback_model(c)
            rc.get_max_iterations(c)
            rc.get_request_overrides(c)
        expect(TypeError, rc.get_max_iterations, None)
    return fn, [cfg, odd]


@case("runconf.build_agent_kwargs", scale=0.1)
def _(env):
    from bridge.Chat import runconf as rc
    good, bad = env.tmp / "good", env.tmp / "bad"
    good.mkdir()
    bad.mkdir()
    (good / "config.yaml").write_text("providers: {only: [a]}\nagent: {max_turns: 7}\n")
    (bad / "config.yaml").write_text("- just\n- a list\n")

    def fn():
        assert rc.build_agent_kwargs(good)["max_iterations"] == 7
        assert rc.build_agent_kwargs(bad) == {"max_iterations": 90}
        assert rc.build_agent_kwargs(env.tmp) == {"max_iterations": 90}
    return fn, [good, bad]


# ---- the pool: stream fan-out and callbacks ----------------------------------

@case("warmpool.stream_subscribe_push_unsubscribe")
def _(env):
    wp = env.pool
    sid = text("s")
    q, loop, closed = fakes.Queue(), fakes.Loop(), fakes.Loop(closed=True)
    event = {"type": "status", "data": {}}

    def fn():
        sub = wp.subscribe_to_stream(sid, q, loop)
        dead = wp.subscribe_to_stream(sid, q, closed)
        wp.push_stream_delta(sid, "tok")
        wp.push_stream_delta(sid, None)
        wp.push_stream_event(sid, event)
        wp.signal_stream_done(sid)
        wp._threadsafe_put(q, closed, event)
        wp.unsubscribe_from_stream(sid, dead)
        wp.unsubscribe_from_stream(sid, sub)
        assert sid not in wp._stream_buffers
        q.items.clear()
        expect(TypeError, wp.push_stream_event, sid, ["not a mapping"])
        expect(TypeError, wp.push_stream_delta, None, "x")
    return fn, [sid, q, loop, closed, event]


@case("warmpool.callbacks")
def _(env):
    wp = env.pool
    reg = types.SimpleNamespace(get_emoji=lambda name, default="": "🔧",
                                get_toolset_for_tool=lambda name: "")
    mod = types.ModuleType("tools.registry")
    mod.registry = reg
    env.mp.setitem(sys.modules, "tools.registry", mod)
    sid = text("s")
    q = fakes.Queue()
    wp.subscribe_to_stream(sid, q, fakes.Loop())
    args = {"cmd": "ls"}

    def fn():
        tool = wp._make_tool_progress_callback(sid)
        tool("tool.started", "terminal", "ls", args)
        tool("tool.completed", "terminal", "ls", duration=1.23456, is_error=False, extra=1)
        tool("reasoning.available", None, None)
        tool("something.else", "terminal")
        expect(TypeError, tool, "a", "b", "c", "d", "e")
        expect(TypeError, tool, "tool.completed", "t", duration="slow")
        wp._make_thinking_callback(sid)("thinking")
        wp._make_reasoning_callback(sid)("")
        wp._make_status_callback(sid)("retry", "again")
        review = wp._make_background_review_callback(sid)
        review("💾 Memory updated")
        expect(TypeError, review, None)
        q.items.clear()
        wp._stream_buffers[sid].clear()
    return fn, [sid, args, q]


# ---- the pool: profiles, models, cache, tasks --------------------------------

@case("warmpool.profiles_and_models")
def _(env):
    wp = env.pool
    jobs = types.ModuleType("cron.jobs")
    env.mp.setitem(sys.modules, "cron.jobs", jobs)
    sid = text("s")

    def fn():
        wp.get_profile_home()
        wp.get_profile_home("work")
        wp.get_session_db()
        wp.get_session_db("work")
        wp.set_active_profile("default")
        assert wp.get_active_profile() == "default"
        wp._get_config_model()
        wp.get_model_generation()
        assert wp.pop_pending_model_note(sid) is None
        expect(TypeError, wp.set_active_profile, None)
    return fn, [sid]


@case("warmpool.get_agent")
def _(env):
    wp = env.pool
    sid, stream = text("s"), text("stream")

    def fn():
        agent, ctx = wp.get_agent(sid, stream)      # built
        again, _ = wp.get_agent(sid)                # cached
        assert again is agent
        wp.bump_model_generation()
        wp.get_agent(sid, stream)                   # switch pass, note left
        assert wp.pop_pending_model_note(sid)
        agent.fail_switch = True
        wp.bump_model_generation()
        rebuilt, _ = wp.get_agent(sid)              # failed switch: rebuilt
        assert rebuilt is not agent
        del wp.agent_cache[sid]
        expect(TypeError, wp.get_agent, None)
        expect(TypeError, wp.get_agent, sid, 5)
    return fn, [sid, stream]


@case("warmpool.get_agent_failing_construction")
def _(env):
    wp = env.pool
    sid = text("s")

    class Broken:
        def __init__(self, **kw):
            raise RuntimeError("engine refused")
    env.mp.setattr(wp, "AIAgent", Broken)
    env.mp.setattr(wp, "build_agent_kwargs", lambda home: {"model": "dup"})

    def fn():
        expect(Exception, wp.get_agent, sid)
        assert sid not in wp.agent_cache
    return fn, [sid]


@case("warmpool.session_locks_and_tasks")
def _(env):
    wp = env.pool
    sid = text("s")
    record = {"status": "done", "finished_at": 0}

    def fn():
        assert wp.get_session_lock(sid) is wp.get_session_lock(sid)
        with wp.tasks_lock:
            wp.running_tasks["t"] = record
        wp.cleanup_old_tasks()
        assert "t" not in wp.running_tasks
    return fn, [sid, record]


@case("warmpool.history")
def _(env):
    wp = env.pool
    sid = text("s")

    def fn():
        store = wp.get_session_db()
        store.fail = False
        assert wp.get_conversation_history(sid)
        store.fail = True
        assert wp.get_conversation_history(sid) == []
        store.fail = False
    return fn, [sid]


@case("warmpool.auto_title", scale=0.05)
def _(env):
    wp = env.pool
    gen = types.ModuleType("agent.title_generator")
    gen.generate_title = lambda message, response: "A title"
    env.mp.setitem(sys.modules, "agent.title_generator", gen)
    sid, message, response = text("s"), text("m"), text("r")
    history = [{"role": "user"}]

    def fn():
        store = wp.get_session_db()
        store.titles.clear()
        wp.trigger_auto_title(sid, message, response, history)
        for t in threading.enumerate():
            if t.name == "auto-title":
                t.join(10)
        wp._stream_buffers.pop(sid, None)
    return fn, [sid, message, response, history]


# ---- process supervision -----------------------------------------------------

@case("pid.file_cycle", scale=0.1)
def _(env):
    from bridge.supervisor import pid
    env.mp.setattr(pid, "PID_FILE", env.tmp / "korvel" / ".bridge.pid")

    def fn():
        pid.write_pid()
        assert pid.read_pid()
        assert pid.kill_stale_bridge() is False   # our own id
        pid.cleanup_pid()
        assert pid.read_pid() is None
        assert pid.is_pid_alive(1 << 22) is False
        expect(TypeError, pid.is_pid_alive, "1")
    return fn, []


@case("port.probes")
def _(env):
    from bridge.supervisor import port
    done = subprocess.CompletedProcess(["lsof"], 0, stdout="4242\n4343\n", stderr="")
    env.mp.setattr(subprocess, "run", lambda *a, **k: done)
    with __import__("socket").socket() as s:
        s.bind(("127.0.0.1", 0))
        free = s.getsockname()[1]

    def fn():
        assert port.is_port_in_use(free) is False
        assert port.find_port_owner(free) == 4242
        assert port.free_port(free) is True
        assert port.ensure_port_free(free) is True
        expect(TypeError, port.is_port_in_use, None)
    return fn, [done]


@case("lifecycle.register_and_repeat_shutdown")
def _(env):
    from bridge.supervisor import lifecycle
    env.mp.setattr(lifecycle, "_is_shutting_down", True)
    callbacks = lifecycle._shutdown_callbacks
    cb = lambda: None  # noqa: E731

    def fn():
        lifecycle.register_shutdown_callback(cb)
        callbacks.pop()
        lifecycle.graceful_shutdown(15, None)     # already shutting down
        expect(TypeError, lifecycle.graceful_shutdown, "SIGTERM")
    return fn, [cb]


# ---- setup -------------------------------------------------------------------

@case("setup.detect_and_path")
def _(env):
    from bridge.setup import detect, path
    done = subprocess.CompletedProcess(["korvel"], 0, stdout=" 1.2.3\n", stderr="")
    env.mp.setattr(subprocess, "run", lambda *a, **k: done)
    env.mp.setenv("OPENROUTER_API_KEY", "")

    def fn():
        path.inject()
        detect.is_installed()
        assert detect.get_version() == "1.2.3"
        detect.has_api_key()
    return fn, [done]


@case("setup.install", scale=0.01)
def _(env):
    from bridge.setup import install
    bindir = env.tmp / "bin"
    bindir.mkdir()
    fake = bindir / "bash"
    fake.write_text("#!/bin/sh\necho one\necho 'two  '\nexit ${FAKE_STATUS:-0}\n")
    fake.chmod(0o755)
    env.mp.setenv("PATH", f"{bindir}:/usr/bin:/bin")
    lines = []

    def fn():
        install.install_korvel(lines.append)
        assert lines[-1] == "two"
        lines.clear()
        expect(TypeError, install.install_korvel, "not callable")
    return fn, []


@case("bootstrap.start_up")
def _(env):
    from bridge import bootstrap
    env.mp.setattr(bootstrap, "_auto_update", lambda: None)
    env_setup = types.ModuleType("bridge.env_setup")
    env_setup.setup_agent_environment = lambda: None
    env.mp.setitem(sys.modules, "bridge.env_setup", env_setup)

    def fn():
        bootstrap.bootstrap()
        bootstrap._setup_env()
    return fn, []


@pytest.mark.timeout(900)
@pytest.mark.parametrize("name", sorted(CASES))
def test_no_growth(name, pool, quiet_logs, tmp_path, monkeypatch):
    build, scale = CASES[name]
    calls = max(200, int(leak_iterations() * scale))
    env = Env(pool=pool, tmp=tmp_path, mp=monkeypatch)
    fn, watch = build(env)
    with exclusive_logs(quiet_logs), contextlib.redirect_stdout(Null()):
        growth = measure(fn, calls, watch)
        if growth.problems():
            # tracemalloc sees every thread: a leftover thread of an earlier
            # test can allocate during one measurement; a leak grows again.
            growth = measure(fn, calls, watch)
    assert not growth.problems(), f"{name}: " + "; ".join(growth.problems())


@pytest.mark.parametrize("kind", ["object", "bytes", "reference", "type"])
def test_the_checker_sees_a_leak(kind):
    """One small object, 100 bytes, one reference or one reference to a
    bridge type kept per call is seen."""
    from bridge.Chat import consentgate  # noqa: F401  (defines a type)
    from leakcheck import bridge_types
    kept: list[Any] = []
    watched = object()
    bridge_type = next(t for t in bridge_types() if t.__module__ == "bridge.Chat.consentgate")
    step = {
        "object": lambda: kept.append([]),
        "bytes": lambda: kept.append(bytes(100)),
        "reference": lambda: kept.append(watched),
        "type": lambda: kept.append(bridge_type),
    }[kind]
    assert measure(step, 3000, [watched]).problems()
