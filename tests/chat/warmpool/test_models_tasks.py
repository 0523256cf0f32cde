"""Model generation and notes; task cleanup, history and automatic titles."""
import sys
import threading
import time
import types

import pytest



class TestGeneration:
    def test_bumps(self, wp):
        assert wp.get_model_generation() == 0
        assert wp.bump_model_generation() == 1
        assert wp.bump_model_generation() == 2
        assert wp.get_model_generation() == 2 == wp._model_generation

    def test_concurrent_bumps_are_counted(self, wp):
        def bump():
            for _ in range(200):
                wp.bump_model_generation()

        threads = [threading.Thread(target=bump) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert wp.get_model_generation() == 800

    def test_notes(self, wp):
        assert wp.pop_pending_model_note("s") is None
        wp._pending_model_notes["s"] = "note"
        assert wp.pop_pending_model_note(session_id="s") == "note"
        assert wp.pop_pending_model_note("s") is None
        with pytest.raises(TypeError):
            wp.pop_pending_model_note(None)

    def test_note_survives_eviction(self, wp, korvel):
        wp.get_agent("s")
        wp.bump_model_generation()
        wp.get_agent("s")
        wp.set_active_profile("other")
        assert wp.agent_cache == {}
        assert wp.pop_pending_model_note("s").startswith("[Note: model was just switched")


class TestSplitNote:
    """split_model_note takes back the note a switch left, whatever the names hold."""

    @pytest.mark.parametrize("old, new", [
        ("google/gemini-2.5-flash:free", "c/d"), ("", "m"), ("x to y", "p. You are now q"),
        ("[a]", " to "), ("\u00e9 \U0001f600", ". You are now ")])
    def test_round_trips(self, wp, korvel, monkeypatch, old, new):
        agent, _ = wp.get_agent("s")
        agent.model = old
        monkeypatch.setattr(wp, "_get_config_model", lambda: new)
        wp.bump_model_generation()
        wp.get_agent("s")
        note = wp.pop_pending_model_note("s")
        assert note.startswith("[Note: model was just switched from ")
        for rest in ["hello", "", "\n\nstill mine", "two\n\nparts", note]:
            assert wp.split_model_note(note + "\n\n" + rest) == (note, rest)
        assert wp.split_model_note(text=note) == (note, "")

    @pytest.mark.parametrize("text", [
        "", "plain", "[Note: model was just switched from a to b. You are now c. "
        "Adjust your self-identification accordingly.]",
        "[Note: model was just switched from a to b. You are now b.]",
        "[Note: model was just switched from a\nb to c. You are now c. "
        "Adjust your self-identification accordingly.]"])
    def test_lookalikes_are_left_alone(self, wp, text):
        got = wp.split_model_note(text)
        assert got == (None, text) and got[1] is text

    def test_note_must_end_its_line_and_be_followed_by_a_gap(self, wp):
        note = ("[Note: model was just switched from a to b. You are now b. "
                "Adjust your self-identification accordingly.]")
        for text in [note + "tail", note + "\nx", " " + note]:
            assert wp.split_model_note(text) == (None, text)
        with pytest.raises(TypeError):
            wp.split_model_note(None)
        with pytest.raises(TypeError):
            wp.split_model_note(text=b"x")


class TestCleanup:
    def test_rules(self, wp):
        now = time.time()
        wp.running_tasks.update({
            "old": {"status": "done", "finished_at": now - 301},
            "recent": {"status": "error", "finished_at": now - 299},
            "no_time": {"status": "done"},
            "running": {"status": "running", "finished_at": now - 10_000},
        })
        assert wp.cleanup_old_tasks() is None
        assert set(wp.running_tasks) == {"recent", "running"}

    def test_missing_status_removes_nothing(self, wp):
        wp.running_tasks.update({"a": {"status": "done"}, "b": {"finished_at": 0}})
        with pytest.raises(KeyError):
            wp.cleanup_old_tasks()
        assert set(wp.running_tasks) == {"a", "b"}
        assert not wp.tasks_lock.locked()

    def test_uses_module_time(self, wp, monkeypatch):
        monkeypatch.setattr(wp, "time", types.SimpleNamespace(time=lambda: 1000.0))
        wp.running_tasks.update({"a": {"status": "done", "finished_at": 699.0},
                                 "b": {"status": "done", "finished_at": 700.0}})
        wp.cleanup_old_tasks()
        assert set(wp.running_tasks) == {"b"}


class TestHistory:
    def test_from_active_store(self, wp):
        db = wp.get_session_db()
        db.convs["s"] = [{"role": "user", "content": "hi"}]
        assert wp.get_conversation_history("s") is db.convs["s"]
        assert wp.get_conversation_history("unknown") == []

    def test_none_passed_through(self, wp, monkeypatch):
        wp.get_session_db().get_messages_as_conversation = lambda sid: None
        assert wp.get_conversation_history("s") is None

    @pytest.mark.parametrize("result", [{"a": 1}, "text", 3])
    def test_non_list_is_a_failure(self, wp, capsys, result):
        wp.get_session_db().get_messages_as_conversation = lambda sid: result
        assert wp.get_conversation_history("s") == []
        assert capsys.readouterr().out.startswith("[POOL] Failed to load history: ")

    def test_store_failure(self, wp, monkeypatch, capsys):
        def boom():
            raise RuntimeError("db locked")

        monkeypatch.setattr(wp, "get_session_db", boom)
        assert wp.get_conversation_history("s") == []
        assert capsys.readouterr().out == "[POOL] Failed to load history: db locked\n"
        with pytest.raises(TypeError):
            wp.get_conversation_history(None)


@pytest.fixture
def titles(monkeypatch):
    """A fake title generator; returns the list of its calls."""
    calls = []
    mod = types.ModuleType("agent.title_generator")
    mod.result = "A Title"

    def generate_title(message, response):
        calls.append((message, response))
        if isinstance(mod.result, Exception):
            raise mod.result
        return mod.result

    mod.generate_title = generate_title
    pkg = types.ModuleType("agent")
    pkg.title_generator = mod
    monkeypatch.setitem(sys.modules, "agent", pkg)
    monkeypatch.setitem(sys.modules, "agent.title_generator", mod)
    return types.SimpleNamespace(calls=calls, module=mod)


def run_title(wp, monkeypatch, *args):
    """Runs trigger_auto_title and waits for its worker thread."""
    started = []
    real = threading.Thread

    class Spy(real):
        def __init__(self, *a, **k):
            super().__init__(*a, **k)
            started.append(self)

    monkeypatch.setattr(wp, "threading", types.SimpleNamespace(Thread=Spy, Lock=threading.Lock))
    assert wp.trigger_auto_title(*args) is None
    for t in started:
        t.join(30)
    return started


class TestAutoTitle:
    def test_titles_and_announces(self, wp, monkeypatch, titles, capsys, collect):
        items = collect("s")
        history = [{"role": "user"}, {"role": "assistant"}, {"role": "user"}, {"content": "x"}]
        (t,) = run_title(wp, monkeypatch, "s", "hello", "hi there", history)
        assert t.name == "auto-title" and t.daemon
        assert titles.calls == [("hello", "hi there")]
        assert wp.get_session_db().titles == {"s": "A Title"}
        assert capsys.readouterr().out == "[POOL] Auto-title: A Title\n"
        assert items == [{"type": "title_updated", "data": {"title": "A Title", "session_id": "s"}}]
        assert list(items[0]) == ["type", "data"] and list(items[0]["data"]) == ["title", "session_id"]

    def test_control_characters_escaped_in_the_console_line(self, wp, monkeypatch, titles,
                                                             capsys, collect):
        items = collect("s")
        titles.module.result = "Evil\x00\n[SYSTEM] forged\x1b[2J"
        run_title(wp, monkeypatch, "s", "m", "r", [])
        assert capsys.readouterr().out == "[POOL] Auto-title: Evil\\x00\\n[SYSTEM] forged\\x1b[2J\n"
        assert items[0]["data"]["title"] == "Evil\x00\n[SYSTEM] forged\x1b[2J"  # stored as given

    def test_three_user_messages_get_no_title(self, wp, monkeypatch, titles, capsys):
        run_title(wp, monkeypatch, "s", "m", "r", [{"role": "user"}] * 3)
        assert titles.calls == [] and wp.get_session_db().titles == {}
        assert capsys.readouterr().out == ""

    def test_existing_title_kept(self, wp, monkeypatch, titles, collect):
        items = collect("s")
        wp.get_session_db().titles["s"] = "Mine"
        run_title(wp, monkeypatch, "s", "m", "r", [])
        assert titles.calls == [] and wp.get_session_db().titles["s"] == "Mine" and items == []

    @pytest.mark.parametrize("result", ["", None])
    def test_empty_title_is_quiet(self, wp, monkeypatch, titles, capsys, result):
        titles.module.result = result
        run_title(wp, monkeypatch, "s", "m", "r", [])
        assert wp.get_session_db().titles == {} and capsys.readouterr().out == ""

    def test_failures_reported_on_stdout(self, wp, monkeypatch, titles, capsys, collect):
        items = collect("s")
        titles.module.result = RuntimeError("no model")
        run_title(wp, monkeypatch, "s", "m", "r", [])
        assert capsys.readouterr().out == "[POOL] Auto-title failed: no model\n"
        monkeypatch.setitem(sys.modules, "agent.title_generator", None)
        run_title(wp, monkeypatch, "s", "m", "r", [])
        assert capsys.readouterr().out.startswith("[POOL] Auto-title failed: ")
        run_title(wp, monkeypatch, "s", "m", "r", [None])  # an entry that is no mapping
        assert capsys.readouterr().out.startswith("[POOL] Auto-title failed: ")
        assert items == []

    def test_store_of_profile_active_when_worker_runs(self, wp, monkeypatch, titles):
        wp._active_profile = "p2"
        run_title(wp, monkeypatch, "s", "m", "r", [])
        assert wp._profile_dbs["p2"].titles == {"s": "A Title"}

    @pytest.mark.parametrize("args", [
        (None, "m", "r", []), ("s", None, "r", []), ("s", "m", 1, []), ("s", "m", "r", None),
        ("s", "m", "r", ({"role": "user"},)),
    ])
    def test_type_checks_start_no_worker(self, wp, monkeypatch, titles, args):
        with pytest.raises(TypeError):
            run_title(wp, monkeypatch, *args)
        assert titles.calls == []
