"""The tool-progress record's "duration" is exactly Python's round(x, 3).

The pool decides most float roundings itself (the benchmarks showed round()
as the largest single cost of a tool_completed record); these cases compare
its records with round() itself on values chosen to break a shortcut: ties
and near-ties at every scale, values whose product by 1000 is inexact, signed
zeros, the largest magnitudes, non-finite values, integers and other types,
and a replaced builtins.round.

Runs in a child interpreter, which puts the bench engine on the module
search path without sharing imported modules with the other tests.
"""
import pathlib
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parents[2]

SCRIPT = textwrap.dedent(r'''
    import builtins, math, os, random, struct, sys, tempfile
    os.environ["HOME"] = tempfile.mkdtemp()
    sys.path.insert(0, "bench/engine_stub")
    import bridge.Chat.warmpool as wp

    cb = wp._make_tool_progress_callback("rounding")

    def duration(x):
        cb("tool.completed", "terminal", duration=x)
        return wp._stream_buffers["rounding"][-1]["data"]["duration"]

    def same(a, b):
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if math.isnan(a):
                return math.isnan(b)
            return struct.pack("<d", a) == struct.pack("<d", b)
        return a == b

    rng = random.Random(20261208)
    values = [0.0, -0.0, 0.0005, -0.0005, 0.0015, 0.0025, 0.0625, -0.0625, 1.0005, 2.675, 1.23456,
              0.1, 0.125, 1e-300, -1e-300, 5e-324, 4503599627370.495, 4503599627370496.0,
              1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan,
              0, 7, -3, True, False, 10**30]
    for _ in range(50000):
        values.append(rng.uniform(-1e3, 1e3))
        values.append(rng.uniform(-1, 1) * 10 ** rng.randint(-12, 15))
        values.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
        k = rng.randint(-10**9, 10**9)
        tie = (k + 0.5) / 1000            # near a decimal tie, and its neighbours
        values.append(tie)
        values.append(math.nextafter(tie, math.inf))
        values.append(math.nextafter(tie, -math.inf))
        values.append((k + 0.5) / 2 ** rng.randint(1, 12))  # exact binary ties
    bad = [(x, duration(x), round(x, 3)) for x in values if not same(duration(x), round(x, 3))]
    wp._stream_buffers.pop("rounding", None)

    # A replaced round is the one called.
    original = builtins.round
    builtins.round = lambda x, n: "replaced"
    try:
        replaced = duration(1.23456)
    finally:
        builtins.round = original
    print(len(values), "values,", len(bad), "different", bad[:5], replaced)
    sys.exit(1 if bad or replaced != "replaced" else 0)
''')


def test_duration_is_exactly_round_to_three_places():
    r = subprocess.run([sys.executable, "-c", SCRIPT], cwd=ROOT, capture_output=True, text=True,
                       timeout=110)
    assert r.returncode == 0, r.stdout + r.stderr
