"""Fixtures of the stand-in engine tests (the `standin` fixture is suite-wide)."""

import pytest


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
