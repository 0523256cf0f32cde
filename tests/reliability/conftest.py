"""Fixtures for the reliability suite: bad input, reference leaks, load and
faults across every module.

Run sizes: the default run is short. BRIDGE_STRESS=full (CI's dedicated step)
runs the full counts: 100,000 calls per operation in the leak check and the
longer load runs. BRIDGE_LEAK_ITERATIONS and BRIDGE_LOAD_SECONDS override the
two figures directly.
"""
from __future__ import annotations

import contextlib
import faulthandler
import importlib.util
import logging
import os
import pathlib
import sys
from typing import Iterator

import pytest

FULL = os.environ.get("BRIDGE_STRESS", "") == "full"

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


@pytest.fixture(autouse=True)
def stack_dump_on_hang(request: pytest.FixtureRequest) -> Iterator[None]:
    """Dumps every thread's stack shortly before the test's time limit, so a
    deadlock shows where each thread waits."""
    marker = request.node.get_closest_marker("timeout")
    limit = float(marker.args[0]) if marker and marker.args else 120.0
    faulthandler.dump_traceback_later(max(limit - 5.0, 1.0), exit=False)
    yield
    faulthandler.cancel_dump_traceback_later()


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


@pytest.fixture
def quiet_logs() -> Iterator[Sink]:
    """A formatting sink; `with exclusive_logs(quiet_logs):` routes the bridge
    loggers to it alone."""
    yield Sink()


POOL_STATE = [
    "stream_subscribers", "_stream_buffers", "_profile_dbs", "agent_cache",
    "_session_locks", "_pending_model_notes", "running_tasks",
]


@pytest.fixture
def pool(monkeypatch: pytest.MonkeyPatch) -> Iterator[object]:
    """The warm pool with fake engine items and empty registries."""
    import bridge.Chat.warmpool as wp

    import fakes

    def reset() -> None:
        for name in POOL_STATE:
            getattr(wp, name).clear()
        wp._active_profile = "default"
        wp._model_generation = 0

    reset()
    monkeypatch.setattr(wp, "AIAgent", fakes.Agent)
    monkeypatch.setattr(wp, "SessionDB", fakes.Store)
    monkeypatch.setattr(wp, "build_agent_kwargs", lambda home: {})
    monkeypatch.setattr(wp, "wire_approval_for_session", fakes.wire_approval_for_session)
    for var in ["OPENROUTER_API_KEY", "ZALIX_BASE_URL", "ZALIX_PROVIDER", "ZALIX_TOOLSETS",
                "ZALIX_MODEL", "KORVEL_EPHEMERAL_SYSTEM_PROMPT", "KORVEL_HOME"]:
        monkeypatch.delenv(var, raising=False)
    yield wp
    reset()
