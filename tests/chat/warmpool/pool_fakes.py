"""Fakes shared by the pool's tests: loops and queues, an engine agent, a
session store. (A module of its own: test modules import it by name.)"""
import pathlib

FAKE_ENGINE = pathlib.Path(__file__).resolve().parent / "fake_engine"


class FakeLoop:
    """Records scheduling requests and runs them at once, like a loop turn."""

    def __init__(self, closed=False):
        self.closed = closed
        self.calls = []

    def call_soon_threadsafe(self, fn, *args):
        if self.closed:
            raise RuntimeError("Event loop is closed")
        self.calls.append((fn, args))
        fn(*args)


class FakeQueue:
    def __init__(self):
        self.items = []

    def put_nowait(self, item):
        self.items.append(item)


class Agent:
    """Engine agent stand-in: keeps its construction arguments."""

    built = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.model = kwargs["model"]
        self.switches = []
        self.fail_switch = False
        Agent.built.append(self)

    def switch_model(self, *, new_model, new_provider, api_key, base_url):
        if self.fail_switch:
            raise RuntimeError("cannot switch")
        self.switches.append((new_model, new_provider, api_key, base_url))
        self.model = new_model


class Store:
    opened = []

    def __init__(self, *, db_path):
        self.db_path = db_path
        self.titles = {}
        self.conversations = {}
        Store.opened.append(self)

    def get_messages_as_conversation(self, session_id):
        return self.conversations.get(session_id, [])

    def get_session_title(self, session_id):
        return self.titles.get(session_id, "")

    def set_session_title(self, session_id, title):
        self.titles[session_id] = title
