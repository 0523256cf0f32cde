"""Timing machinery for the benchmark suite.

Each case has up to three variants (the compiled module, the pure-Python
rendition, the floor). Variants are calibrated separately, then run in
interleaved rounds (the order rotates every round) so that a busy machine
slows all of them alike; every round yields one time per operation for each
variant. A case reports, per variant, the median over the rounds and the
spread (the interquartile range relative to the median), and the ratio of the
medians that its target names.
"""
import gc
import statistics
import time

perf_counter = time.perf_counter

UNROLL = 10


def make_timer(stmt, env, unroll=UNROLL, before=None, after=None, loops=None):
    """A function timing `loops` × `unroll` executions of `stmt`.

    `stmt` is compiled into an unrolled loop whose free names come from
    `env` (bound as locals, so the loop itself costs the same for every
    variant). `before` and `after` run around each timed run, untimed.
    `loops`, when given, fixes the number of loops of every run instead of
    calibrating it: operations that grow state (a replay buffer) then grow
    it by the same amount per run in every variant, so memory effects of
    that growth weigh alike. Returns time per execution, in seconds.
    """
    names = sorted(env)
    lines = [
        f"def _outer({', '.join(names + ['_perf'])}):",
        "    def _run(_loops):",
        "        _it = range(_loops)",
        "        _t0 = _perf()",
        "        for _ in _it:",
        *(["            " + stmt] * unroll),
        "        return _perf() - _t0",
        "    return _run",
    ]
    src = "\n".join(lines) + "\n"
    # A statement of several steps is written on one line, joined by "; ".
    ns = {}
    exec(compile(src, "<bench>", "exec"), ns)
    run = ns["_outer"](*(env[n] for n in names), perf_counter)

    def timed(loops):
        if before is not None:
            before()
        try:
            return run(loops) / (loops * unroll)
        finally:
            if after is not None:
                after()

    timed.unroll = unroll
    timed.loops = loops
    return timed


def calibrate(timed, target_seconds):
    """Loops needed for one run of `timed` to last about `target_seconds`."""
    loops = 1
    while True:
        per_op = timed(loops)
        total = per_op * loops * getattr(timed, "unroll", 1)
        if total >= target_seconds / 8 or loops >= 1 << 24:
            break
        loops *= 4
    unroll = getattr(timed, "unroll", 1)
    return max(1, int(target_seconds / max(per_op * unroll, 1e-9)))


def summarize(values):
    raw = list(values)
    values = sorted(values)
    med = statistics.median(values)
    if len(values) >= 4:
        q = statistics.quantiles(values, n=4)
        iqr = q[2] - q[0]
    else:
        iqr = values[-1] - values[0]
    return {"median": med, "spread": (iqr / med) if med else 0.0, "n": len(values),
            "min": values[0], "max": values[-1], "values": values, "raw": raw}


def paired_ratio(num, den):
    """Median and spread of the per-round ratios num/den of two variants.

    Each round ran both variants back to back, so a round's ratio compares
    them under the same load; the median of these ratios is steadier on a
    busy machine than the ratio of the two medians."""
    ratios = [a / b for a, b in zip(num["raw"], den["raw"]) if b]
    return summarize(ratios)


def run_interleaved(variants, rounds, target_seconds=0.02, runner=None):
    """Runs every variant `rounds` times, interleaved.

    `variants` maps a variant name to a timed function of `loops` (see
    make_timer), or, when `runner` is given, to anything `runner` accepts:
    `runner(variant_value)` must return one measurement per call.
    Returns {name: summary}.
    """
    names = list(variants)
    samples = {n: [] for n in names}
    if runner is None:
        loops = {}
        for n in names:
            variants[n](1)  # warm-up
            fixed = getattr(variants[n], "loops", None)
            loops[n] = fixed if fixed else calibrate(variants[n], target_seconds)
        call = lambda n: variants[n](loops[n])
    else:
        for n in names:
            runner(variants[n])  # warm-up
        call = lambda n: runner(variants[n])
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for n in order:
            gc.collect()
            samples[n].append(call(n))
    return {n: summarize(samples[n]) for n in names}
