"""Task cleanup, history loading and the title worker, with their output on
the standard output of the moment."""
import io
import sys
import threading
import types

import pytest

from pool_fakes import ALL_LOCKS, Store, join_titles, locks_free


class TestCleanup:
    def test_rules(self, pool, monkeypatch):
        monkeypatch.setattr(pool.time, "time", lambda: 10_000.0)
        pool.running_tasks.update({
            "old": {"status": "done", "finished_at": 10_000.0 - 301},
            "young": {"status": "error", "finished_at": 10_000.0 - 299},
            "edge": {"status": "done", "finished_at": 10_000.0 - 300},
            "nostamp": {"status": "done"},
            "run": {"status": "running", "finished_at": 1},
            "weird": {"status": None, "finished_at": 0},
        })
        pool.cleanup_old_tasks()
        assert list(pool.running_tasks) == ["young", "edge", "run"]

    def test_missing_status_removes_nothing(self, pool):
        pool.running_tasks.update({"a": {"status": "done"}, "b": {"finished_at": 0}})
        with pytest.raises(Exception):
            pool.cleanup_old_tasks()
        assert list(pool.running_tasks) == ["a", "b"]
        assert not pool.tasks_lock.locked()

    def test_registry_and_lock_of_the_moment(self, pool, monkeypatch):
        seen = []

        class Tasks(dict):
            def __delitem__(self, k):
                seen.append(lk.locked())
                super().__delitem__(k)

            def pop(self, k, *d):
                seen.append(lk.locked())
                return super().pop(k, *d)

        import threading as th
        lk = th.Lock()
        monkeypatch.setattr(pool, "tasks_lock", lk)
        monkeypatch.setattr(pool, "running_tasks", Tasks(x={"status": "done"}))
        pool.cleanup_old_tasks()
        assert pool.running_tasks == {} and seen == [True]


class TestHistory:
    def test_store_result_returned(self, pool):
        db = pool.get_session_db()
        conv = [{"role": "user", "content": "hi"}]
        db.convs["s"] = conv
        assert pool.get_conversation_history("s") is conv

    def test_failure_printed_to_current_stdout(self, pool, monkeypatch):
        class Bad(Store):
            def get_messages_as_conversation(self, sid):
                raise RuntimeError("db gone")

        monkeypatch.setattr(pool, "SessionDB", Bad)
        out = io.StringIO()
        monkeypatch.setattr(sys, "stdout", out)
        assert pool.get_conversation_history("s") == []
        assert out.getvalue() == "[POOL] Failed to load history: db gone\n"

    def test_store_of_the_moment_and_no_lock_held(self, pool, monkeypatch):
        seen = []

        class S:
            def get_messages_as_conversation(self, sid):
                seen.append(locks_free(*ALL_LOCKS))
                return ["x"]

        monkeypatch.setattr(pool, "get_session_db", lambda profile=None: S())
        assert pool.get_conversation_history("s") == ["x"]
        assert seen == [True]

    @pytest.mark.parametrize("result", [("t",), {"a": 1}, "text"])
    def test_non_list_is_failure(self, pool, monkeypatch, result, capsys):
        monkeypatch.setattr(pool, "get_session_db",
                            lambda profile=None: types.SimpleNamespace(
                                get_messages_as_conversation=lambda sid: result))
        assert pool.get_conversation_history("s") == []
        assert capsys.readouterr().out.startswith("[POOL] Failed to load history: ")


@pytest.fixture
def titles(monkeypatch):
    calls = []
    mod = types.ModuleType("agent.title_generator")

    def generate_title(message, response):
        calls.append((message, response, locks_free(*ALL_LOCKS),
                      threading.current_thread()))
        return mod.result

    mod.generate_title = generate_title
    mod.result = "A title"
    pkg = types.ModuleType("agent")
    pkg.__path__ = []
    pkg.title_generator = mod
    monkeypatch.setitem(sys.modules, "agent", pkg)
    monkeypatch.setitem(sys.modules, "agent.title_generator", mod)
    mod.calls = calls
    return mod


@pytest.fixture
def out(monkeypatch):
    """A buffer that becomes sys.stdout when the test starts a worker (the
    capture of the test runner resets sys.stdout after set-up)."""
    buf = io.StringIO()
    buf.install = lambda: monkeypatch.setattr(sys, "stdout", buf)
    return buf


class TestTitle:
    def run(self, out, pool, *args):
        out.install()
        threads_before = set(threading.enumerate())
        assert pool.trigger_auto_title(*args) is None
        new = [t for t in threading.enumerate() if t not in threads_before]
        join_titles()
        return new

    def test_titles_and_announces(self, pool, titles, out, monkeypatch):
        pushed = []
        monkeypatch.setattr(pool, "push_stream_event", lambda sid, ev: pushed.append((sid, ev)))
        hist = [{"role": "user"}, {"role": "assistant"}, {"role": "user"}, {"content": "x"}]
        new = self.run(out, pool, "s", "hello", "answer", hist)
        for t in new:
            assert t.name == "auto-title" and t.daemon
        assert len(titles.calls) == 1
        msg, resp, free, thread = titles.calls[0]
        assert (msg, resp, free) == ("hello", "answer", True)
        assert thread is not threading.main_thread() and thread.name == "auto-title"
        assert pool.get_session_db().titles == {"s": "A title"}
        assert out.getvalue() == "[POOL] Auto-title: A title\n"
        assert pushed == [("s", {"type": "title_updated",
                                 "data": {"title": "A title", "session_id": "s"}})]
        ev = pushed[0][1]
        assert list(ev) == ["type", "data"] and list(ev["data"]) == ["title", "session_id"]

    def test_title_reaches_subscribers(self, pool, titles, out):
        from pool_fakes import Loop, Queue
        q = Queue()
        pool.subscribe_to_stream("s", q, Loop())
        self.run(out, pool, "s", "m", "r", [])
        assert q.items == [{"type": "title_updated", "data": {"title": "A title",
                                                               "session_id": "s"}}]

    def test_three_user_messages(self, pool, titles, out):
        self.run(out, pool, "s", "m", "r", [{"role": "user"}] * 3)
        assert titles.calls == [] and out.getvalue() == ""

    def test_existing_title(self, pool, titles, out):
        pool.get_session_db().titles["s"] = "Mine"
        self.run(out, pool, "s", "m", "r", [])
        assert titles.calls == [] and pool.get_session_db().titles["s"] == "Mine"

    @pytest.mark.parametrize("result", ["", None])
    def test_nothing_generated_is_quiet(self, pool, titles, out, result):
        titles.result = result
        self.run(out, pool, "s", "m", "r", [])
        assert out.getvalue() == "" and pool.get_session_db().titles == {}

    def test_failures_printed(self, pool, titles, out, monkeypatch):
        pushed = []
        monkeypatch.setattr(pool, "push_stream_event", lambda sid, ev: pushed.append(ev))

        def boom(m, r):
            raise ValueError("no model")

        titles.generate_title = boom
        self.run(out, pool, "s", "m", "r", [])
        assert out.getvalue() == "[POOL] Auto-title failed: no model\n"
        assert pushed == []

    def test_bad_history_entries_fail_in_worker(self, pool, titles, out):
        self.run(out, pool, "s", "m", "r", [None])
        assert out.getvalue().startswith("[POOL] Auto-title failed: ")

    def test_generator_missing(self, pool, out, monkeypatch):
        monkeypatch.setitem(sys.modules, "agent.title_generator", None)
        self.run(out, pool, "s", "m", "r", [])
        assert out.getvalue().startswith("[POOL] Auto-title failed: ")

    def test_store_of_active_profile_when_worker_runs(self, pool, titles, out, monkeypatch):
        stores = []
        monkeypatch.setattr(pool, "get_session_db",
                            lambda profile=None: stores.append(profile) or Store(db_path=None))
        self.run(out, pool, "s", "m", "r", [])
        assert stores == [None] or stores == [""] or len(stores) == 1

    def test_push_failure_reported_not_raised(self, pool, titles, out, monkeypatch):
        def bad(sid, ev):
            raise RuntimeError("push broke")

        monkeypatch.setattr(pool, "push_stream_event", bad)
        errors = []
        monkeypatch.setattr(threading, "excepthook", lambda a: errors.append(a))
        self.run(out, pool, "s", "m", "r", [])
        assert out.getvalue() == "[POOL] Auto-title: A title\n[POOL] Auto-title failed: push broke\n"
        assert errors == []
