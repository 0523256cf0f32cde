"""The stand-in engine, importable for one test at a time."""
import pathlib
import sys

import pytest

_ENGINE_TOPS = ("run_agent", "korvel_state", "tools", "agent", "cron", "korvel_cli")


def _purge_engine_modules():
    for name in list(sys.modules):
        if name.split(".")[0] in _ENGINE_TOPS:
            del sys.modules[name]


@pytest.fixture
def standin(monkeypatch):
    import dashboard

    root = pathlib.Path(dashboard.__file__).resolve().parent / "standin"
    _purge_engine_modules()
    monkeypatch.syspath_prepend(str(root))
    monkeypatch.delenv("KORVEL_HOME", raising=False)
    yield root
    _purge_engine_modules()


class Events:
    """Callbacks that record what an agent reports."""

    NAMES = ("stream_delta_callback", "tool_progress_callback", "thinking_callback",
             "reasoning_callback", "status_callback", "background_review_callback")

    def __init__(self, agent):
        self.seen = []
        for name in self.NAMES:
            setattr(agent, name, self._recorder(name))

    def _recorder(self, name):
        def record(*args, **kwargs):
            self.seen.append((name, args, kwargs))
        return record

    def of(self, name):
        return [(args, kwargs) for n, args, kwargs in self.seen if n == name]


@pytest.fixture
def events():
    return Events
