"""Black-box fixtures for the warm agent pool: engine stand-ins bound through
the module namespace, clean module state, loops and queues that record."""
import pathlib
import shutil
import sys

import pytest

from pool_fakes import FAKE_ENGINE, Agent, Store

if str(FAKE_ENGINE) not in sys.path:
    sys.path.append(str(FAKE_ENGINE))

import bridge.Chat.warmpool as warmpool  # noqa: E402

_MAPS = ["stream_subscribers", "_stream_buffers", "_profile_dbs", "agent_cache",
         "_session_locks", "_pending_model_notes", "running_tasks"]
_ENV = ["OPENROUTER_API_KEY", "ZALIX_BASE_URL", "ZALIX_PROVIDER", "ZALIX_TOOLSETS",
        "ZALIX_MODEL", "KORVEL_EPHEMERAL_SYSTEM_PROMPT", "KORVEL_HOME"]


def _reset():
    for name in _MAPS:
        getattr(warmpool, name).clear()
    warmpool._active_profile = "default"
    warmpool._model_generation = 0


@pytest.fixture
def wired():
    """(session id, push function) of every approval wiring, in order."""
    return []


@pytest.fixture
def pool(monkeypatch, wired):
    _reset()
    Agent.built = []
    Store.opened = []

    def wire_approval_for_session(session_id, push_event_fn):
        ctx = {"setup": lambda: None, "teardown": lambda: None}
        wired.append((session_id, push_event_fn))
        return ctx

    monkeypatch.setattr(warmpool, "AIAgent", Agent)
    monkeypatch.setattr(warmpool, "SessionDB", Store)
    monkeypatch.setattr(warmpool, "build_agent_kwargs", lambda home: {})
    monkeypatch.setattr(warmpool, "wire_approval_for_session", wire_approval_for_session)
    for var in _ENV:
        monkeypatch.delenv(var, raising=False)
    yield warmpool
    _reset()


@pytest.fixture
def root(home):
    r = home / ".korvel"
    r.mkdir(exist_ok=True)
    yield r
    shutil.rmtree(r, ignore_errors=True)
