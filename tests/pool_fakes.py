"""Fakes shared by every test of the warm agent pool: recording loops and
queues, engine stand-ins, lock probes, and the directory of the engine
modules the pool needs to load (fake_engine/). A module of its own: test
modules import it by name."""
import pathlib
import threading

FAKE_ENGINE = pathlib.Path(__file__).resolve().parent / "fake_engine"


class Loop:
    """Runs each scheduled call at once, recording it."""

    def __init__(self, closed=False):
        self.closed = closed
        self.calls = []

    def call_soon_threadsafe(self, fn, *args):
        if self.closed:
            raise RuntimeError("Event loop is closed")
        self.calls.append((fn, args))
        fn(*args)


class Queue:
    def __init__(self):
        self.items = []

    def put_nowait(self, item):
        self.items.append(item)


class Agent:
    built: list = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.model = kwargs.get("model")
        self.switched = []
        self.refuse = False
        Agent.built.append(self)

    def switch_model(self, *, new_model, new_provider, api_key, base_url):
        if self.refuse:
            raise RuntimeError("switch refused")
        self.switched.append(dict(new_model=new_model, new_provider=new_provider,
                                  api_key=api_key, base_url=base_url))
        self.model = new_model


class Store:
    opened: list = []

    def __init__(self, *, db_path):
        self.db_path = db_path
        self.titles = {}
        self.convs = {}
        Store.opened.append(self)

    def get_messages_as_conversation(self, session_id):
        return self.convs.get(session_id, [])

    def get_session_title(self, session_id):
        return self.titles.get(session_id, "")

    def set_session_title(self, session_id, title):
        self.titles[session_id] = title


def locks_free(*names):
    """True when none of the named pool locks is held right now."""
    free = []
    for n in names:
        import bridge.Chat.warmpool as warmpool
        lk = getattr(warmpool, n)
        ok = lk.acquire(blocking=False)
        if ok:
            lk.release()
        free.append(ok)
    return all(free)


ALL_LOCKS = ("stream_sub_lock", "_stream_buffer_lock", "agent_cache_lock",
             "_profile_dbs_lock", "_session_locks_lock", "_model_generation_lock",
             "_pending_model_notes_lock", "tasks_lock")


def join_titles(timeout=10):
    for t in threading.enumerate():
        if t.name == "auto-title" and t is not threading.current_thread():
            t.join(timeout)
