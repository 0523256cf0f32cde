"""Fixtures for the reliability suite: bad input, reference leaks, load and
faults across every module.

Run sizes: the default run is short. BRIDGE_STRESS=full (CI's dedicated step)
runs the full counts: 100,000 calls per operation in the leak check and the
longer load runs. BRIDGE_LEAK_ITERATIONS and BRIDGE_LOAD_SECONDS override the
two figures directly.
"""
from __future__ import annotations

import faulthandler
from typing import Iterator

import pytest

from rel_support import Sink


@pytest.fixture(autouse=True)
def stack_dump_on_hang(request: pytest.FixtureRequest) -> Iterator[None]:
    """Dumps every thread's stack shortly before the test's time limit, so a
    deadlock shows where each thread waits."""
    marker = request.node.get_closest_marker("timeout")
    limit = float(marker.args[0]) if marker and marker.args else 120.0
    faulthandler.dump_traceback_later(max(limit - 5.0, 1.0), exit=False)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(autouse=True)
def clean_turn_registries() -> Iterator[None]:
    """The hold queue and the running-agent registry start and end empty."""
    from bridge.Chat import holdqueue, interrupt

    holdqueue._pending_messages.clear()
    interrupt._running_agents.clear()
    yield
    holdqueue._pending_messages.clear()
    interrupt._running_agents.clear()


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
