"""Helpers shared by the reliability tests (run sizes, log routing)."""
from __future__ import annotations

import contextlib
import importlib.util
import logging
import os
import pathlib
import sys
from typing import Iterator

FULL = os.environ.get("BRIDGE_STRESS", "") == "full"

#: Running against the sanitizer build (scripts/test-asan): its allocator keeps
#: freed memory in quarantine and everything runs several times slower, so
#: figures of memory and time say nothing there; the behaviour is still checked.
SANITIZED = "ASAN_OPTIONS" in os.environ

# The pool loads engine modules when it is imported. When no engine is on the
# path yet, the stand-in engine shipped with the package goes at the end of it.
if importlib.util.find_spec("run_agent") is None:
    import dashboard

    _standin = pathlib.Path(dashboard.__file__).resolve().parent / "standin"
    sys.path.append(str(_standin))


def leak_iterations() -> int:
    env = os.environ.get("BRIDGE_LEAK_ITERATIONS")
    if env:
        return int(env)
    return 100_000 if FULL else 3_000


def load_seconds() -> float:
    env = os.environ.get("BRIDGE_LOAD_SECONDS")
    if env:
        return float(env)
    return 20.0 if FULL else 2.0


class Sink(logging.Handler):
    """Formats every record (so the arguments are exercised) and keeps none."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.format(record)
        self.count += 1


BRIDGE_LOGGERS = [
    "bridge.pool", "bridge.runconf", "bridge.compression", "bridge.holdqueue",
    "bridge.picdrop", "bridge.interrupt", "bridge.approval", "bridge.supervisor.pid",
    "bridge.supervisor.port", "bridge.supervisor.lifecycle", "bridge.bootstrap",
]


@contextlib.contextmanager
def exclusive_logs(sink: Sink) -> Iterator[Sink]:
    """Bridge loggers write to `sink` alone: not to pytest's capture, which
    keeps every record (and attaches itself to non-propagating loggers when
    a test phase starts, so this is entered inside the test body)."""
    saved = []
    for name in BRIDGE_LOGGERS:
        lg = logging.getLogger(name)
        saved.append((lg, lg.level, lg.propagate, lg.handlers[:]))
        lg.setLevel(logging.DEBUG)
        lg.propagate = False
        lg.handlers = [sink]
    try:
        yield sink
    finally:
        for lg, level, propagate, handlers in saved:
            lg.handlers = handlers
            lg.setLevel(level)
            lg.propagate = propagate


