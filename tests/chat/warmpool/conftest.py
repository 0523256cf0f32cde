"""Fixtures for the warm agent pool: a small fake engine and clean state.

The fake engine modules (fake_engine/) go at the end of sys.path, so the
pool can load; each test then points the pool's engine items at fresh fakes
through the module namespace, the way the pool itself reaches them.
"""
import collections
import pathlib
import sys
import threading
import types

import pytest

from pool_fakes import FAKE_ENGINE, Agent, Loop, Queue, Store  # noqa: E402

if str(FAKE_ENGINE) not in sys.path:
    sys.path.append(str(FAKE_ENGINE))

import bridge.Chat.warmpool as warmpool  # noqa: E402


_STATE = [
    "stream_subscribers", "_stream_buffers", "_profile_dbs", "agent_cache",
    "_session_locks", "_pending_model_notes", "running_tasks",
]


def _reset():
    for name in _STATE:
        getattr(warmpool, name).clear()
    warmpool._active_profile = "default"
    warmpool._model_generation = 0


@pytest.fixture
def wp(monkeypatch):
    """The pool module with fake engine items and empty state."""
    _reset()
    Agent.built = []
    Store.opened = []
    approvals = []

    def wire_approval_for_session(session_id, push_event_fn):
        ctx = {"setup": lambda: None, "teardown": lambda: None}
        approvals.append((session_id, push_event_fn, ctx))
        return ctx

    monkeypatch.setattr(warmpool, "AIAgent", Agent, raising=False)
    monkeypatch.setattr(warmpool, "SessionDB", Store, raising=False)
    monkeypatch.setattr(warmpool, "build_agent_kwargs", lambda home: {}, raising=False)
    monkeypatch.setattr(warmpool, "wire_approval_for_session", wire_approval_for_session,
                        raising=False)
    for var in ["OPENROUTER_API_KEY", "ZALIX_BASE_URL", "ZALIX_PROVIDER", "ZALIX_TOOLSETS",
                "ZALIX_MODEL", "KORVEL_EPHEMERAL_SYSTEM_PROMPT", "KORVEL_HOME"]:
        monkeypatch.delenv(var, raising=False)
    warmpool.approvals = approvals
    yield warmpool
    del warmpool.approvals
    _reset()


@pytest.fixture
def registry(monkeypatch):
    """Installs a fake tools.registry module; returns its registry object."""
    reg = types.SimpleNamespace(
        get_emoji=lambda name, default="?": {"terminal": "💻"}.get(name, default),
        get_toolset_for_tool=lambda name: {"terminal": "shell"}.get(name),
        calls=[],
    )
    mod = types.ModuleType("tools.registry")
    mod.registry = reg
    pkg = types.ModuleType("tools")
    pkg.registry = mod
    monkeypatch.setitem(sys.modules, "tools", pkg)
    monkeypatch.setitem(sys.modules, "tools.registry", mod)
    return reg


@pytest.fixture
def no_registry(monkeypatch):
    monkeypatch.setitem(sys.modules, "tools.registry", None)


@pytest.fixture
def collect(wp):
    """Subscribes a fake queue to a session; returns the queue's item list."""

    def subscribe(session_id):
        q = Queue()
        wp.subscribe_to_stream(session_id, q, Loop())
        return q.items

    return subscribe


@pytest.fixture
def korvel(home):
    """The root profile directory, emptied after the test."""
    import shutil

    root = home / ".korvel"
    root.mkdir(exist_ok=True)
    yield root
    shutil.rmtree(root, ignore_errors=True)
