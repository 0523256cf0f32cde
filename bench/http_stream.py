"""The session stream over HTTP, against a real host on the stand-in engine.

    .venv/bin/python bench/http_stream.py            # both variants, prints a table
    .venv/bin/python bench/http_stream.py --quick    # fewer turns and runs
    .venv/bin/python bench/http_stream.py --write    # also replaces "## Over HTTP" in bench/RESULTS.md

For each variant the host runs in a child process (``python -m dashboard`` as
a user runs it, own home directory, stand-in engine):

- compiled: the bridge modules as built;
- pure Python: the same host with the renditions of bench/pyref put in place
  of the stream fan-out, agent callbacks, warm agents, hold queue, running
  agent registry, compression and approval wiring (module attributes are
  replaced after loading, which the modules' late binding honours).

Measured:

- first record: a reader is connected to the session's stream; the time from
  sending ``POST /chat/send`` until that reader has the turn's first record
  (``turn_started``) and its first text (``delta``); p50 and p99 over many
  short turns;
- records per second: 1 or 16 readers on one session while a turn streams
  ``stream: N fast`` (N text records pushed as fast as the engine can); per
  reader, from sending the message to the reader's ``turn_ended``, and all
  readers together.

Readers are plain sockets counting events, so the client's own parsing
does not limit what is measured; they run in this process on threads.
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.request

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
from results import RESULTS, write_section  # noqa: E402

SECTION = "## Over HTTP"


# -- the host, in a child process ------------------------------------------------

def serve(variant: str, port: int) -> int:
    """Child process: the dashboard host, with the Python renditions in place
    of the compiled modules' hot paths when ``variant`` is "python"."""
    from dashboard import engine as engine_module

    original = engine_module.Engine.activate

    def activate(self, kind):
        ready = original(self, kind)
        if ready and variant == "python":
            sys.path.insert(0, str(BENCH))
            import importlib
            for attr in ("holdqueue", "interrupt", "compression", "consentgate"):
                setattr(self, attr, importlib.import_module(f"pyref.{attr}"))
            pyref_pool = importlib.import_module("pyref.warmpool")
            pool = self.warmpool
            for name, value in vars(pyref_pool).items():
                if name.startswith("__") or name == "logger" or isinstance(value, types.ModuleType):
                    continue
                setattr(pool, name, value)
        return ready

    engine_module.Engine.activate = activate  # type: ignore[method-assign]
    from dashboard.cli import main
    return main(["--port", str(port), "--engine", "standin", "--log-level", "warning"])


class Host:
    def __init__(self, variant: str) -> None:
        self.variant = variant
        self.home = pathlib.Path(tempfile.mkdtemp(prefix="bench-http-"))
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        # The host's access token: sent with every request.
        self.token = os.urandom(16).hex()
        env = dict(os.environ, HOME=str(self.home), PYTHONUNBUFFERED="1", KORVEL_DASHBOARD_TOKEN=self.token)
        for name in ("KORVEL_HOME", "OPENROUTER_API_KEY", "KORVEL_DASHBOARD_PORT"):
            env.pop(name, None)
        self.log = open(self.home / "host.log", "wb")
        self.proc = subprocess.Popen([sys.executable, str(pathlib.Path(__file__).resolve()), "--serve",
                                      variant, "--port", str(self.port)],
                                     env=env, stdout=self.log, stderr=subprocess.STDOUT, cwd=str(self.home))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise SystemExit(f"host exited:\n{(self.home / 'host.log').read_text()}")
            try:
                req = urllib.request.Request(f"http://127.0.0.1:{self.port}/health",
                                             headers={"Authorization": f"Bearer {self.token}"})
                with urllib.request.urlopen(req, timeout=1) as res:
                    if res.status == 200:
                        return
            except OSError:
                time.sleep(0.1)
        raise SystemExit("host did not come up")

    def post(self, path: str, body: dict) -> dict:
        req = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json",
                                              "Authorization": f"Bearer {self.token}"}, method="POST")
        with urllib.request.urlopen(req, timeout=30) as res:
            return json.loads(res.read())

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.log.close()
        shutil.rmtree(self.home, ignore_errors=True)


class Reader:
    """A session stream read from a socket: counts events and notes when the
    marks it is told to watch for arrive."""

    def __init__(self, host: Host, session: str) -> None:
        self.sock = socket.create_connection(("127.0.0.1", host.port))
        self.sock.sendall(f"GET /chat/stream/{session} HTTP/1.1\r\nHost: 127.0.0.1:{host.port}\r\n"
                          f"Authorization: Bearer {host.token}\r\n"
                          "Accept: text/event-stream\r\n\r\n".encode())
        self.events = 0
        self.marks: dict = {}
        self.watch: tuple = ()
        self.changed = threading.Condition()
        self._tail = b""
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        sock = self.sock
        while True:
            try:
                chunk = sock.recv(1 << 16)
            except OSError:
                return
            if not chunk:
                return
            now = time.perf_counter()
            data = self._tail + chunk
            count = data.count(b"\nid: ") + (1 if data.startswith(b"id: ") else 0) \
                - self._tail.count(b"\nid: ")
            with self.changed:
                self.events += count
                for mark in self.watch:
                    if mark not in self.marks and mark in data:
                        self.marks[mark] = now
                self.changed.notify_all()
            self._tail = data[-200:]

    def expect(self, *marks: bytes) -> None:
        with self.changed:
            self.marks = {}
            self.watch = marks
            self._tail = b""

    def wait(self, mark: bytes, timeout: float = 60.0) -> float:
        with self.changed:
            if not self.changed.wait_for(lambda: mark in self.marks, timeout):
                raise SystemExit(f"no {mark!r} within {timeout} s")
            return self.marks[mark]

    def close(self) -> None:
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def percentile(values: list, q: float) -> float:
    values = sorted(values)
    return values[min(len(values) - 1, int(round(q * (len(values) - 1))))]


class Variant:
    """One host and its readers: one on a session for short turns, one and
    sixteen on two sessions for long ones."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.host = Host(name)
        self.first = Reader(self.host, "bench-first")
        self.groups = {n: [Reader(self.host, f"bench-rate-{n}") for _ in range(n)] for n in (1, 16)}
        self.firsts: list = []
        self.deltas: list = []
        self.rates: dict = {n: [] for n in self.groups}
        self.totals: dict = {n: [] for n in self.groups}
        time.sleep(0.3)
        self.short_turns(3)  # the first turns build the agent and title the session
        self.firsts.clear()
        self.deltas.clear()

    def short_turns(self, count: int) -> None:
        reader = self.first
        for _ in range(count):
            reader.expect(b"event: turn_started", b"event: delta", b"event: turn_ended")
            started = time.perf_counter()
            self.host.post("/chat/send", {"session_id": "bench-first", "message": "stream: 1 fast"})
            self.firsts.append(reader.wait(b"event: turn_started") - started)
            self.deltas.append(reader.wait(b"event: delta") - started)
            reader.wait(b"event: turn_ended")

    def long_turn(self, readers: int, records: int) -> None:
        group = self.groups[readers]
        for r in group:
            r.expect(b"event: turn_started", b"event: turn_ended")
        counts = [r.events for r in group]
        started = time.perf_counter()
        self.host.post("/chat/send", {"session_id": f"bench-rate-{readers}",
                                      "message": f"stream: {records} fast"})
        ends = [r.wait(b"event: turn_ended", 300) for r in group]
        got = [r.events - c for r, c in zip(group, counts)]
        self.rates[readers].append(statistics.median(n / max(1e-9, e - started) for n, e in zip(got, ends)))
        self.totals[readers].append(sum(got) / max(1e-9, max(ends) - started))

    def result(self, records: int) -> dict:
        out = {"first_p50": statistics.median(self.firsts), "first_p99": percentile(self.firsts, 0.99),
               "delta_p50": statistics.median(self.deltas), "delta_p99": percentile(self.deltas, 0.99),
               "turns": len(self.firsts), "records": records}
        for n in self.groups:
            out[f"rate_{n}"] = {"per_reader": statistics.median(self.rates[n]),
                                "all": statistics.median(self.totals[n]), "runs": len(self.rates[n])}
        return out

    def close(self) -> None:
        for r in [self.first, *self.groups[1], *self.groups[16]]:
            r.close()
        self.host.close()


def measure(quick: bool) -> dict:
    """Both hosts run side by side and take turns, round by round, so that
    other load on the machine falls on both alike."""
    rounds, per_round = (4, 10) if quick else (20, 10)
    runs, records = (2, 5_000) if quick else (5, 20_000)
    variants = [Variant("compiled"), Variant("python")]
    try:
        for _ in range(rounds):
            for v in variants:
                v.short_turns(per_round)
        for _ in range(runs):
            for readers in (1, 16):
                for v in variants:
                    v.long_turn(readers, records)
        return {v.name: v.result(records) for v in variants}
    finally:
        for v in variants:
            v.close()


def table(results: dict, quick: bool) -> str:
    c, p = results["compiled"], results["python"]

    def ms(v):
        return f"{v * 1000:.2f} ms"

    def rate(v):
        return f"{v / 1000:.1f} k/s"

    rows = [
        ("send → first record (`turn_started`), p50", ms(c["first_p50"]), ms(p["first_p50"])),
        ("send → first record (`turn_started`), p99", ms(c["first_p99"]), ms(p["first_p99"])),
        ("send → first text (`delta`), p50", ms(c["delta_p50"]), ms(p["delta_p50"])),
        ("send → first text (`delta`), p99", ms(c["delta_p99"]), ms(p["delta_p99"])),
        ("records/s, 1 reader", rate(c["rate_1"]["per_reader"]), rate(p["rate_1"]["per_reader"])),
        ("records/s, 16 readers, per reader", rate(c["rate_16"]["per_reader"]), rate(p["rate_16"]["per_reader"])),
        ("records/s, 16 readers, all together", rate(c["rate_16"]["all"]), rate(p["rate_16"]["all"])),
    ]
    load = os.getloadavg()
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True,
                            text=True).stdout.strip() or "unknown"
    lines = [
        SECTION, "",
        f"`bench/http_stream.py{' --quick' if quick else ''}`: the host in a child process on the stand-in "
        f"engine, the session stream read from sockets on this machine ({platform.machine()}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}, commit {commit}, "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, load {load[0]:.2f}). "
        f"Both hosts run at once and take turns, round by round. First record: median and 99th "
        f"percentile over {c['turns']} turns of one session per variant (the stand-in's `stream: 1 fast`, "
        f"one reader connected). Records per second: `stream: {c['records']:,} fast` (text records "
        f"pushed as fast as the engine thread can), median of {c['rate_1']['runs']} runs; each reader's "
        "records of the turn over the time from sending the message to its `turn_ended`, and all "
        "readers' records over the time until the last of them has it. Pure Python: the same host with the "
        "renditions of `bench/pyref/` in place of the compiled hot paths.",
        "",
        "| Measure | compiled | pure Python |",
        "|---|---|---|",
        *[f"| {name} | {a} | {b} |" for name, a, b in rows],
        "",
        "Notes: over HTTP the bridge's share of a record's way is a few microseconds, small beside the "
        "host's (JSON encoding of the record, the session log, the socket writes) and the engine "
        "thread's own Python, so the two variants lie close together; differences of some per cent "
        "between them are within the spread from run to run on a shared machine. Records reach the "
        "readers in batches (a reader writes all that is waiting in one go), so 16 readers cost far "
        "less than 16 times one.",
        "",
    ]
    return "\n".join(lines)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer turns and runs")
    ap.add_argument("--write", action="store_true", help=f"replace the {SECTION!r} section of bench/RESULTS.md")
    ap.add_argument("--serve", choices=("compiled", "python"), help=argparse.SUPPRESS)
    ap.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.serve:
        return serve(args.serve, args.port)
    print("measuring (both hosts, in turns) ...", flush=True)
    results = measure(args.quick)
    text = table(results, args.quick)
    print(text)
    if args.write:
        write_section(SECTION, text, before="## Page")
        print(f"written to {RESULTS}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
