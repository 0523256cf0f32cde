"""The bridge's benchmark suite.

Measures each hot path three ways in one run: the compiled module, the
pure-Python rendition in bench/pyref (the same operation written plainly in
Python), and, where one exists, the floor (the calls that cannot be avoided,
made bare). Prints a table and writes it, with the machine, the Python
version and the date, to this Python version's section of bench/RESULTS.md
("## CPython 3.13"); the file's other sections stay as they are.

    scripts/bench                 # the full run (a few minutes)
    scripts/bench --quick         # fewer rounds, for a look while working
    scripts/bench --only push     # cases whose name contains "push"
"""
import argparse
import datetime
import gc
import importlib
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent

# Private home and the bench engine, before anything of the bridge is loaded.
os.environ["HOME"] = tempfile.mkdtemp(prefix="bridge-bench-home-")
os.environ.pop("KORVEL_HOME", None)
sys.path.insert(0, str(BENCH / "engine_stub"))
sys.path.insert(0, str(BENCH))

import harness  # noqa: E402
import e2e  # noqa: E402
from results import write_section  # noqa: E402
from stubs import stub_handle  # noqa: E402

COMPILED = ("warmpool", "compression", "holdqueue", "interrupt")


def load_modules():
    compiled, python, missing = {}, {}, {}
    for name in COMPILED:
        try:
            compiled[name] = importlib.import_module(f"bridge.Chat.{name}")
        except Exception as e:  # a module not built yet is reported, not fatal
            compiled[name] = None
            missing[name] = f"{type(e).__name__}: {e}"
        python[name] = importlib.import_module(f"pyref.{name}")
    return compiled, python, missing


class Case:
    """One measured operation; variants map 'compiled' / 'python' / 'floor'
    to timed functions (harness.make_timer)."""

    def __init__(self, group, name, variants, target=None, unroll_note=""):
        self.group = group
        self.name = name
        self.variants = {k: v for k, v in variants.items() if v is not None}
        self.target = target
        self.result = {}
        self.error = None


# Every hot path is to be at least this many times faster than its
# pure-Python rendition on every supported CPython (the token estimate 10 ×),
# with the public C API only.
HOT_PATH = 1.5

# Runs of operations that append to a replay buffer push the same number of
# records (10 × this) in every variant; the buffer is dropped after each run.
BUFFERED_LOOPS = 1000

EVENT = {"type": "status", "data": {"event": "retry", "message": "Retrying", "ts": 0.0}}
SUB_COUNTS = (0, 1, 4, 16)


def _variant_modules(compiled, python, name):
    return (("compiled", compiled[name]), ("python", python[name]))


def _clear_stream(mod, sid):
    mod.stream_subscribers.pop(sid, None)
    mod._stream_buffers.pop(sid, None)


def push_cases(compiled, python):
    cases = []
    for op, item in (("push_stream_delta", "tok"), ("push_stream_event", EVENT)):
        for k in SUB_COUNTS:
            variants = {}
            for label, mod in _variant_modules(compiled, python, "warmpool"):
                if mod is None:
                    continue
                sid = f"bench-{label}-{op}-{k}"
                _clear_stream(mod, sid)
                for _ in range(k):
                    mod.subscribe_to_stream(sid, *stub_handle())
                variants[label] = harness.make_timer(
                    "push(sid, item)", {"push": getattr(mod, op), "sid": sid, "item": item},
                    after=lambda m=mod, s=sid: m._stream_buffers.pop(s, None), loops=BUFFERED_LOOPS)
            if k:
                env = {"item": item}
                for i in range(k):
                    env[f"q{i}"], env[f"l{i}"] = stub_handle()
                stmt = "; ".join(f"l{i}.call_soon_threadsafe(q{i}.put_nowait, item)" for i in range(k))
                variants["floor"] = harness.make_timer(stmt, env, loops=BUFFERED_LOOPS)
            target = HOT_PATH if k in (0, 1, 16) else None
            cases.append(Case("1 push (stub loop)", f"{op}, {k} subscribers", variants, target))
    return cases


def _agent_callbacks(mod, label):
    """The six callbacks of a warm agent whose stream has one stub subscriber."""
    stream = f"bench-cb-{label}"
    _clear_stream(mod, stream)
    mod.subscribe_to_stream(stream, *stub_handle())
    agent, _ctx = mod.get_agent(f"bench-cb-agent-{label}", stream)
    return stream, agent


CALLBACK_CALLS = (
    ("tool_progress_callback", "tool.started", 'cb("tool.started", "terminal", "ls -la", args)'),
    ("tool_progress_callback", "tool.completed",
     'cb("tool.completed", "terminal", "ls -la", duration=1.23456, is_error=False)'),
    ("stream_delta_callback", "delta", 'cb("tok")'),
    ("thinking_callback", "thinking", 'cb("pondering the question")'),
    ("reasoning_callback", "reasoning delta", 'cb("step one")'),
    ("status_callback", "status", 'cb("context_pressure", "Context at 80%")'),
    ("background_review_callback", "background review", 'cb("\U0001f4be Memory updated")'),
)


def callback_cases(compiled, python):
    agents = {}
    for label, mod in _variant_modules(compiled, python, "warmpool"):
        if mod is not None:
            agents[label] = (mod,) + _agent_callbacks(mod, label)
    cases = []
    for attr, what, stmt in CALLBACK_CALLS:
        variants = {}
        for label, (mod, stream, agent) in agents.items():
            env = {"cb": getattr(agent, attr), "args": {"command": "ls -la"}}
            variants[label] = harness.make_timer(
                stmt, env, after=lambda m=mod, s=stream: m._stream_buffers.pop(s, None), loops=BUFFERED_LOOPS)
        name = f"{attr} ({what})" if attr == "tool_progress_callback" else attr
        if attr == "tool_progress_callback":
            name += ", registry present"
        cases.append(Case("3 callbacks (1 stub subscriber)", name, variants, HOT_PATH))
    return cases


def get_agent_case(compiled, python):
    variants = {}
    for label, mod in _variant_modules(compiled, python, "warmpool"):
        if mod is None:
            continue
        sid, stream = f"bench-warm-{label}", f"bench-warm-stream-{label}"
        mod.get_agent(sid, stream)  # built once; every timed call is warm
        variants[label] = harness.make_timer("ga(sid, stream)", {"ga": mod.get_agent, "sid": sid, "stream": stream})
    return [Case("4 get_agent", "get_agent, warm session, streaming id", variants, HOT_PATH)]


REPLAY = 10_000


def replay_case(compiled, python):
    variants = {}
    for label, mod in _variant_modules(compiled, python, "warmpool"):
        if mod is None:
            continue
        sid = f"bench-replay-{label}"
        _clear_stream(mod, sid)
        mod.subscribe_to_stream(sid, *stub_handle())  # stays: keeps the buffer alive
        for i in range(REPLAY):
            mod.push_stream_delta(sid, "tok")
        q, loop = stub_handle()
        variants[label] = harness.make_timer(
            "unsub(sid, sub(sid, q, loop))",
            {"sub": mod.subscribe_to_stream, "unsub": mod.unsubscribe_from_stream, "sid": sid,
             "q": q, "loop": loop}, unroll=1)
    return [Case("5 replay", f"subscribe_to_stream + unsubscribe, {REPLAY:,}-record buffer", variants, HOT_PATH)]


def make_history():
    """1,000 messages, 300,000 characters: 700 text contents of 300
    characters, 300 list contents of two 150-character text parts and an
    image part without text."""
    history = []
    for i in range(1000):
        if i % 10 < 7:
            history.append({"role": "user" if i % 2 else "assistant", "content": "x" * 300})
        else:
            history.append({"role": "user", "content": [
                {"type": "text", "text": "y" * 150},
                {"type": "image_url", "image_url": {"url": "data:image/png;base64,AAAA"}},
                {"type": "text", "text": "z" * 150},
            ]})
    return history


def compression_cases(compiled, python):
    history = make_history()
    cases = []
    est, maybe = {}, {}
    for label, mod in _variant_modules(compiled, python, "compression"):
        if mod is None:
            continue
        assert mod.estimate_token_count(history) == 75_000
        est[label] = harness.make_timer("f(history)", {"f": mod.estimate_token_count, "history": history}, unroll=1)
        maybe[label] = harness.make_timer(
            "f(agent, history, 300001)",
            {"f": mod.maybe_compress_session, "history": history, "agent": object()}, unroll=1)
    cases.append(Case("6 compression", "estimate_token_count, 1,000 msgs / 300,000 chars", est, 10.0))
    cases.append(Case("6 compression", "maybe_compress_session, below threshold", maybe, 10.0))
    return cases


def queue_cases(compiled, python):
    cases = []
    hq = {}
    for label, mod in _variant_modules(compiled, python, "holdqueue"):
        if mod is not None:
            hq[label] = harness.make_timer(
                "enq(sid, msg); deq(sid)",
                {"enq": mod.enqueue_message, "deq": mod.dequeue_message, "sid": "bench-hq", "msg": "hello"})
    cases.append(Case("7 registries", "enqueue_message + dequeue_message", hq, HOT_PATH))
    reg = {}
    for label, mod in _variant_modules(compiled, python, "interrupt"):
        if mod is not None:
            reg[label] = harness.make_timer(
                "reg(sid, agent); running(sid); unreg(sid)",
                {"reg": mod.register_running_agent, "running": mod.is_agent_running,
                 "unreg": mod.unregister_running_agent, "sid": "bench-run", "agent": object()})
    cases.append(Case("7 registries", "register + is_agent_running + unregister", reg, HOT_PATH))
    pop = {}
    for label, mod in _variant_modules(compiled, python, "warmpool"):
        if mod is not None:
            pop[label] = harness.make_timer("pop(sid)", {"pop": mod.pop_pending_model_note, "sid": "bench-note"})
    cases.append(Case("7 registries", "pop_pending_model_note (no note)", pop, HOT_PATH))
    return cases


BUILDERS = (
    ("push", push_cases, ("warmpool",)),
    ("callbacks", callback_cases, ("warmpool",)),
    ("get_agent", get_agent_case, ("warmpool",)),
    ("replay", replay_case, ("warmpool",)),
    ("compression", compression_cases, ("compression",)),
    ("registries", queue_cases, ()),
)


# -- end to end ---------------------------------------------------------------

def run_e2e(compiled, python, rounds, tput_rounds, n_fast, n_paced, rate, block):
    pushers = {"python": e2e.Pusher("python", python["warmpool"]), "floor": e2e.Pusher("floor")}
    if compiled["warmpool"] is not None:
        pushers = {"compiled": e2e.Pusher("compiled", compiled["warmpool"]), **pushers}
    lt = e2e.LoopThread()
    try:
        tput = harness.run_interleaved(pushers, tput_rounds, runner=lambda p: e2e.throughput(lt, p, n_fast))
        e2e.paced(lt, pushers, 50 * block, rate, block)  # warm-up
        p50 = {n: [] for n in pushers}
        p99 = {n: [] for n in pushers}
        pooled = {n: [] for n in pushers}
        for _ in range(rounds):
            gc.collect()
            lat = e2e.paced(lt, pushers, n_paced, rate, block)
            for n, values in lat.items():
                p50[n].append(e2e.percentile(values, 0.50))
                p99[n].append(e2e.percentile(values, 0.99))
                pooled[n].extend(values)
    finally:
        lt.close()
    p50 = {n: harness.summarize(v) for n, v in p50.items()}
    p99 = {n: harness.summarize(v) for n, v in p99.items()}
    for n in pushers:
        p50[n]["pooled"] = e2e.percentile(pooled[n], 0.50)
        p99[n]["pooled"] = e2e.percentile(pooled[n], 0.99)
    return tput, p50, p99


# -- report -------------------------------------------------------------------

def fmt_time(s):
    if s is None:
        return "n/a"
    v = s["median"]
    if v >= 1e-3:
        text = f"{v * 1e3:.2f} ms"
    elif v >= 1e-6:
        text = f"{v * 1e6:.2f} µs"
    else:
        text = f"{v * 1e9:.0f} ns"
    return f"{text} ±{s['spread'] * 50:.0f}%"


def fmt_lat(s):
    if s is None:
        return "n/a"
    return f"{s['pooled'] * 1e6:.1f} µs (rounds {s['median'] * 1e6:.1f} ±{s['spread'] * 50:.0f}%)"


def fmt_rate(s):
    return "n/a" if s is None else f"{s['median'] / 1e3:.0f} k/s ±{s['spread'] * 50:.0f}%"


def machine():
    cpu = platform.processor() or ""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{platform.system()} {platform.release()}, {cpu}, {os.cpu_count()} CPUs"


def git_commit():
    try:
        return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10).stdout.strip()
    except Exception:
        return ""


def section_heading():
    """This interpreter's section of bench/RESULTS.md."""
    return f"## {platform.python_implementation()} {platform.python_version_tuple()[0]}.{platform.python_version_tuple()[1]}"


def render(cases, e2e_result, missing, meta):
    out = []
    out.append(f"{section_heading()}\n")
    out.append(f"- Date: {meta['date']}")
    out.append(f"- Machine: {meta['machine']}")
    out.append(f"- Python: {meta['python']}")
    out.append(f"- Commit: {meta['commit'] or 'unknown'}")
    out.append(f"- Load average before / after the run: {meta['load_before']} / {meta['load_after']}"
               + (" (the machine was busy with other work)" if meta["busy"] else ""))
    out.append(f"- Rounds per case: {meta['rounds']} (interleaved); run time {meta['elapsed']:.0f} s")
    out.append("")
    out.append("Times are per operation: median over the rounds, ± half the interquartile range (relative). "
               "Ratio: pure-Python rendition time / compiled module time (higher is better), the median of "
               "the rounds' own ratios (both variants ran back to back in every round), ± half its "
               "interquartile range; the floor is the unavoidable scheduling call(s), made bare.\n")
    out.append("| Case | compiled | pure Python | floor | Python / compiled | target | met |")
    out.append("|---|---|---|---|---|---|---|")
    group = None
    for c in cases:
        if c.group != group:
            group = c.group
            out.append(f"| **{group}** | | | | | | |")
        r = c.result
        if c.error:
            out.append(f"| {c.name} | error: {c.error} | | | | | |")
            continue
        pr = harness.paired_ratio(r["python"], r["compiled"]) if "compiled" in r and "python" in r else None
        ratio = pr["median"] if pr else None
        met = "" if ratio is None or c.target is None else ("yes" if ratio >= c.target else "**NO**")
        ratio_text = "n/a" if pr is None else f"{ratio:.2f} × ±{pr['spread'] * 50:.0f}%"
        out.append(f"| {c.name} | {fmt_time(r.get('compiled'))} | {fmt_time(r.get('python'))} | "
                   f"{fmt_time(r.get('floor')) if 'floor' in r else '—'} | "
                   f"{ratio_text} | "
                   f"{'—' if c.target is None else f'≥ {c.target:g} ×'} | {met} |")
    if e2e_result is not None:
        tput, p50, p99, params = e2e_result
        out.append("")
        out.append(f"End to end (real asyncio loop on another thread, one subscriber coroutine per "
                   f"variant). Throughput, {params['tput_rounds']} interleaved rounds: {params['n_fast']:,} deltas "
                   f"pushed by an engine thread as fast as it can, records per second until the subscriber "
                   f"has them all. Paced, {params['rounds']} rounds: {params['n_paced']:,} deltas per variant and round at "
                   f"{params['rate']:,}/s, the variants taking turns record by record (blocks of "
                   f"{params['block']}), so that load from other processes falls on all of them alike; latency "
                   f"from the start of the push to receipt by the subscriber coroutine: the percentile of "
                   f"all rounds' records pooled, then the median and spread of the rounds' own percentiles. "
                   f"Target: compiled within 10 % of the floor (throughput: median of the rounds' own "
                   f"compiled/floor ratios; latency: pooled p99).\n")
        out.append("| Measure | compiled | pure Python | floor | compiled vs floor | target | met |")
        out.append("|---|---|---|---|---|---|---|")
        f = tput.get("floor")
        c = tput.get("compiled")
        rel = harness.paired_ratio(c, f)["median"] if c and f else None
        out.append(f"| throughput | {fmt_rate(c)} | {fmt_rate(tput.get('python'))} | {fmt_rate(f)} | "
                   f"{'n/a' if rel is None else f'{rel * 100:.0f} % of floor'} | ≥ 90 % | "
                   f"{'' if rel is None else ('yes' if rel >= 0.9 else '**NO**')} |")
        for label, s, tgt in (("paced p50 latency", p50, None), ("paced p99 latency", p99, 1.10)):
            c, f = s.get("compiled"), s.get("floor")
            rel = (c["pooled"] / f["pooled"]) if c and f else None
            met = "" if rel is None or tgt is None else ("yes" if rel <= tgt else "**NO**")
            out.append(f"| {label} | {fmt_lat(c)} | {fmt_lat(s.get('python'))} | {fmt_lat(f)} | "
                       f"{'n/a' if rel is None else f'{rel * 100:.0f} % of floor'} | "
                       f"{'—' if tgt is None else '≤ 110 %'} | {met} |")
    if missing:
        out.append("")
        out.append("Compiled modules not available in this run:")
        for name, why in missing.items():
            out.append(f"- `{name}`: {why}")
    out.append("")
    out.append("Notes: the stub loop's `call_soon_threadsafe` is a bound `dict.get` (a C-level callable of two "
               "arguments that does almost nothing; a bound `dict.__setitem__` builds an argument tuple per call "
               "and costs about twice as much), so those rows show the bridge's own cost; the floor makes the "
               "same stub calls bare. Logging runs at the default level (INFO lines are not emitted). "
               "The pure-Python renditions are in `bench/pyref/` (argument checks through one small helper per module, "
               "locks through `with`); `bench/check.py` confirms they leave the same records, state and errors as the "
               "compiled modules. The bench engine is `bench/engine_stub/`. End-to-end rows depend most on other "
               "load: each extra microsecond of the engine thread's work per record costs more than a microsecond of "
               "throughput, because the loop thread then takes the GIL more often per record. "
               "The modules use CPython's public C API only: locks are taken through their own "
               "acquire/release, namespace and dict lookups go through the public dict calls; the rows near "
               "their target are those whose work is mostly generic attribute look-ups and calls that both "
               "variants make (fan-out to many subscribers, tool progress), which a newer interpreter's "
               "specialising bytecode makes cheaper for the Python rendition.")
    return "\n".join(out) + "\n"


def loadavg():
    try:
        return " ".join(open("/proc/loadavg").read().split()[:3])
    except OSError:
        return "?"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer rounds and records")
    ap.add_argument("--smoke", action="store_true", help="one short round of everything (checks the suite runs)")
    ap.add_argument("--rounds", type=int, help="rounds per case (default 21, quick 5)")
    ap.add_argument("--only", help="run only cases whose name contains this text (e2e: 'end to end')")
    ap.add_argument("--output", default=str(BENCH / "RESULTS.md"),
                    help="the file whose section for this Python version is replaced by the table")
    ap.add_argument("--no-write", action="store_true", help="print only")
    args = ap.parse_args(argv)
    rounds = args.rounds or (1 if args.smoke else 5 if args.quick else 21)
    started = time.perf_counter()
    load_before = loadavg()
    compiled, python, missing = load_modules()

    cases = []
    for _name, build, _needs in BUILDERS:
        try:
            built = build(compiled, python)
        except Exception as e:
            built = [Case("?", f"{_name}", {})]
            built[0].error = f"{type(e).__name__}: {e}"
        cases.extend(built)
    if args.only:
        cases = [c for c in cases if args.only in c.name or args.only in c.group]
    gc.collect()
    gc.freeze()
    for c in cases:
        if c.error or not c.variants:
            continue
        try:
            c.result = harness.run_interleaved(c.variants, rounds, 0.002 if args.smoke else 0.02)
        except Exception as e:
            c.error = f"{type(e).__name__}: {e}"
        print(f"  {c.name}: " + ", ".join(f"{k} {fmt_time(v)}" for k, v in c.result.items()), flush=True)

    e2e_result = None
    if not args.only or args.only in "end to end":
        if args.smoke:
            params = {"n_fast": 2000, "n_paced": 100, "rate": 2000, "block": 1, "rounds": 1, "tput_rounds": 1}
        else:
            params = {"n_fast": 20_000 if args.quick else 100_000, "n_paced": 1000 if args.quick else 2000,
                      "rate": 2000, "block": 1, "rounds": 3 if args.quick else 11,
                      "tput_rounds": 3 if args.quick else 15}
        tput, p50, p99 = run_e2e(compiled, python, params["rounds"], params["tput_rounds"], params["n_fast"],
                                 params["n_paced"], params["rate"], params["block"])
        e2e_result = (tput, p50, p99, params)

    load_after = loadavg()
    busy = max(float(load_before.split()[0] or 0), float(load_after.split()[0] or 0)) > 1.5 \
        if "?" not in (load_before + load_after) else False
    meta = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "commit": git_commit(),
        "load_before": load_before, "load_after": load_after, "busy": busy,
        "rounds": rounds, "elapsed": time.perf_counter() - started,
    }
    text = render(cases, e2e_result, missing, meta)
    print()
    print(text)
    if not args.no_write:
        # Sections of other interpreters and benchmarks stay; a new
        # interpreter's goes after the other interpreters' sections.
        write_section(section_heading(), text, pathlib.Path(args.output), before="## Over HTTP")
        print(f"{section_heading()[3:]} section written to {args.output}")


if __name__ == "__main__":
    main()
