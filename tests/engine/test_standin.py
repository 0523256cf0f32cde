import asyncio
import json
import os
import struct
import subprocess
import sys
import threading
import time
import zlib

import pytest


def wait_for(predicate, timeout=30):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached")
        time.sleep(0.01)


def test_not_on_sys_path_by_default():
    assert not any(p.endswith("standin") for p in sys.path)


def test_command_answers_version(standin):
    korvel = standin / "bin" / "korvel"
    assert os.access(korvel, os.X_OK)
    out = subprocess.run([str(korvel), "version"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.startswith("Korvel Agent v")
    bad = subprocess.run([str(korvel), "fly"], capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2


class TestSessionDB:
    def test_messages_titles_and_listing(self, standin, tmp_path):
        from korvel_state import SessionDB

        db = SessionDB(db_path=tmp_path / "nested" / "state.db")
        assert db.get_session_title("s") == ""
        assert db.get_messages_as_conversation("s") == []
        db.append_message("s", "user", "hi\0there")
        db.append_message("s", "assistant", [{"type": "text", "text": "parts"}])
        db.set_session_title("s", "Greeting")
        db.set_session_title("t", "Other")
        assert db.get_messages_as_conversation("s") == [
            {"role": "user", "content": "hi\0there"},
            {"role": "assistant", "content": [{"type": "text", "text": "parts"}]}]
        assert db.get_session_title("s") == "Greeting"
        listing = {row["id"]: row for row in db.list_sessions()}
        assert listing["s"]["title"] == "Greeting" and listing["s"]["message_count"] == 2
        assert listing["t"]["message_count"] == 0
        assert db.delete_session("s") and db.get_messages_as_conversation("s") == []
        # A second store on the same file sees what the first wrote.
        assert SessionDB(db_path=str(tmp_path / "nested" / "state.db")).get_session_title("t") \
            == "Other"

    def test_search_follows_writes_ranks_and_marks_matches(self, standin, tmp_path):
        import sqlite3

        from korvel_state import SessionDB

        # A store written before search existed is indexed when opened.
        path = tmp_path / "state.db"
        old = sqlite3.connect(path)
        old.executescript(
            "CREATE TABLE sessions (id TEXT PRIMARY KEY, title TEXT NOT NULL DEFAULT '', source TEXT,"
            " model TEXT, created_at REAL NOT NULL, updated_at REAL NOT NULL);"
            "CREATE TABLE messages (id INTEGER PRIMARY KEY AUTOINCREMENT, session_id TEXT NOT NULL,"
            " role TEXT NOT NULL, content TEXT, content_is_json INTEGER NOT NULL DEFAULT 0,"
            " tool_name TEXT, created_at REAL NOT NULL);"
            "INSERT INTO sessions VALUES ('old', 'Ancient rivers', NULL, NULL, 1, 1);"
            "INSERT INTO messages VALUES (1, 'old', 'user', 'Where do otters sleep?', 0, NULL, 1);"
            "INSERT INTO messages VALUES (2, 'old', 'tool', 'otters otters otters', 0, 'x', 1);")
        old.commit()
        old.close()
        db = SessionDB(db_path=path)
        found = db.search_sessions("OTTER")
        assert [r["id"] for r in found] == ["old"]
        assert found[0]["snippet"] == "Where do otters sleep?"
        assert found[0]["snippet_spans"] == [[9, 15]]   # the whole word a prefix matched

        # New writes are found at once; a title match ranks first and is marked too.
        db.append_message("new", "user", "Otters hold hands while they sleep. " + "filler words " * 30)
        db.append_message("busy", "assistant", "otters " * 5 + "and rivers")
        db.set_session_title("titled", "Otters of the Rhône")
        db.append_message("titled", "user", "nothing about them here")
        found = db.search_sessions("otters")
        assert [r["id"] for r in found][0] == "titled"
        assert found[0]["title_spans"] == [[0, 6]] and found[0]["snippet"] == ""
        assert {r["id"] for r in found} == {"titled", "old", "new", "busy"}
        assert found[1]["id"] == "busy"   # bm25: the densest message next
        # Every word must occur; accents and case do not matter; the long
        # message is cut around the match.
        assert [r["id"] for r in db.search_sessions("otters hands")] == ["new"]
        assert [r["id"] for r in db.search_sessions("rhone")] == ["titled"]
        new = db.search_sessions("hands")[0]
        assert len(new["snippet"]) < 250 and new["snippet"].endswith("…")
        start, end = new["snippet_spans"][0]
        assert new["snippet"][start:end] == "hands"
        # FTS syntax in a query is just text; punctuation alone is looked for literally.
        assert db.search_sessions('otters" OR "x') == []
        assert {r["id"] for r in db.search_sessions('(otters* "hands')} == {"new"}
        db.append_message("pct", "user", "100% sure")
        assert [r["id"] for r in db.search_sessions("%")] == ["pct"]

        # Renaming and deleting take the old text out of the index.
        db.set_session_title("titled", "Something else")
        assert "titled" not in {r["id"] for r in db.search_sessions("rhone")}
        db.delete_session("busy")
        assert "busy" not in {r["id"] for r in db.search_sessions("otters")}

    def test_paged_listing_meets_every_session_once_while_they_are_used(self, standin, tmp_path):
        import random
        import time

        from korvel_state import SessionDB

        db = SessionDB(db_path=tmp_path / "state.db")
        for n in range(40):
            db.append_message(f"s{n:02d}", "user", f"message {n}")
        assert db.count_sessions() == 40
        as_of, after, seen = time.time(), None, []
        rng = random.Random(7)
        while True:
            page = db.list_sessions_page(7, as_of=as_of, after=after)
            if not page:
                break
            seen.extend(r["id"] for r in page)
            keys = [(r["key"], r["id"]) for r in page]
            assert keys == sorted(keys, reverse=True)
            after = keys[-1]
            # Between pages: sessions already listed and not yet listed are
            # used (they move to the top), and new ones start.
            for sid in rng.sample([f"s{n:02d}" for n in range(40)], 3):
                db.append_message(sid, "user", "used again")
            db.append_message(f"new{len(seen)}", "user", "started meanwhile")
        assert sorted(seen) == [f"s{n:02d}" for n in range(40)]
        # A fresh listing has the new and the used sessions on top.
        first = db.list_sessions_page(100)
        assert len(first) == db.count_sessions()
        assert [r["id"] for r in first] == [r["id"] for r in db.list_sessions(limit=100)]

    def test_usable_from_many_threads(self, standin, tmp_path):
        from korvel_state import SessionDB

        db = SessionDB(db_path=tmp_path / "state.db")
        errors = []

        def writer(n):
            try:
                for i in range(25):
                    db.append_message(f"s{n % 3}", "user", f"{n}-{i}")
                    db.get_messages_as_conversation(f"s{n % 3}")
                    db.set_session_title(f"s{n % 3}", f"title {n}")
            except Exception as exc:  # collected for the assertion below
                errors.append(exc)

        threads = [threading.Thread(target=writer, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert errors == []
        assert sum(len(db.get_messages_as_conversation(f"s{k}")) for k in range(3)) == 200


class TestApproval:
    @pytest.fixture
    def approval(self, standin, monkeypatch):
        monkeypatch.setenv("KORVEL_GATEWAY_SESSION", "1")
        from tools import approval
        return approval

    def _blocked_check(self, approval, key, command, cancel=None):
        out = {}

        def run():
            token = approval.set_current_session_key(key)
            try:
                out["verdict"] = approval.check_dangerous_command(command, cancel=cancel)
            finally:
                approval.reset_current_session_key(token)

        t = threading.Thread(target=run)
        t.start()
        return t, out

    def test_safe_commands_pass(self, approval):
        assert approval.check_dangerous_command("ls -la")["approved"] is True
        assert approval.detect_dangerous_command("rm -fr /x")[0] is True

    def test_session_key_is_per_context(self, approval):
        token = approval.set_current_session_key("outer")
        seen = []
        t = threading.Thread(target=lambda: seen.append(approval.get_current_session_key("none")))
        t.start()
        t.join(10)
        assert seen == ["none"] and approval.get_current_session_key() == "outer"
        approval.reset_current_session_key(token)
        assert approval.get_current_session_key("none") == "none"

    def test_without_gateway_nothing_is_asked(self, approval, monkeypatch):
        monkeypatch.delenv("KORVEL_GATEWAY_SESSION")
        assert approval.check_dangerous_command("rm -rf /tmp/x")["approved"] is True

    def test_gateway_without_channel_denies(self, approval):
        assert approval.check_dangerous_command("rm -rf /tmp/x")["approved"] is False

    def test_block_then_session_choice_is_remembered(self, approval):
        requests = []
        approval.register_gateway_notify("k", requests.append)
        t, out = self._blocked_check(approval, "k", "rm -rf /data")
        wait_for(lambda: requests)
        assert requests[0]["command"] == "rm -rf /data"
        assert requests[0]["pattern_key"] == "recursive_delete" and requests[0]["description"]
        assert approval.has_pending("k") and t.is_alive()
        assert approval.resolve_gateway_approval("k", "session") is True
        t.join(30)
        assert out["verdict"]["approved"] is True
        assert approval.resolve_gateway_approval("k", "once") is False
        # The same pattern in this session passes now without asking.
        t, out = self._blocked_check(approval, "k", "rm -rf /other")
        t.join(30)
        assert out["verdict"]["approved"] is True and len(requests) == 1

    def test_deny_and_unregister_release(self, approval):
        requests = []
        approval.register_gateway_notify("k", requests.append)
        t, out = self._blocked_check(approval, "k", "mkfs.ext4 /dev/sdz")
        wait_for(lambda: requests)
        approval.resolve_gateway_approval("k", "deny")
        t.join(30)
        assert out["verdict"] == {"approved": False, "choice": "deny", "message": "denied"}

        t, out = self._blocked_check(approval, "k", "mkfs.ext4 /dev/sdz")
        wait_for(lambda: len(requests) == 2)
        approval.unregister_gateway_notify("k")
        t.join(30)
        assert out["verdict"]["approved"] is False and not approval.has_pending("k")

    def test_cancel_ends_the_wait(self, approval):
        approval.register_gateway_notify("k", lambda data: None)
        cancel = threading.Event()
        t, out = self._blocked_check(approval, "k", "rm -rf /", cancel=cancel)
        wait_for(lambda: approval.has_pending("k"))
        cancel.set()
        t.join(30)
        assert out["verdict"]["message"] == "interrupted"
        assert not approval.has_pending("k")


class TestAgent:
    @pytest.fixture
    def make(self, standin, tmp_path):
        from korvel_state import SessionDB
        from run_agent import AIAgent

        db = SessionDB(db_path=tmp_path / "state.db")

        def make(session_id="s", **kw):
            # No key and the default base URL: the scripted engine.
            agent = AIAgent(model="m1", api_key="", base_url="https://openrouter.ai/api/v1/",
                            provider="p", platform="zalix", session_id=session_id, session_db=db,
                            quiet_mode=True, enabled_toolsets=["korvel-cli"],
                            ephemeral_system_prompt="note", max_iterations=5,
                            providers_allowed=["a"], reasoning_config={"effort": "low"},
                            service_tier="flex", fallback_model="f", request_overrides={},
                            provider_require_parameters=True, provider_sort="price",
                            providers_ignored=[], providers_order=[],
                            provider_data_collection="deny", **kw)
            agent.stream_delay = 0.001
            return agent, db
        return make

    def test_turn_streams_every_kind_of_event_and_stores_it(self, make, events):
        agent, db = make()
        ev = events(agent)
        result = agent.run_conversation("hello world")
        assert result["interrupted"] is False
        assert "".join(a[0] for a, _ in ev.of("stream_delta_callback")) == \
            result["final_response"]
        assert len(ev.of("stream_delta_callback")) > 3
        kinds = [a[0] for a, _ in ev.of("tool_progress_callback")]
        assert kinds == ["reasoning.available", "tool.started", "tool.completed"]
        done = ev.of("tool_progress_callback")[2]
        assert done[1]["duration"] >= 0 and done[1]["is_error"] is False
        assert ev.of("reasoning_callback") and ev.of("thinking_callback")
        assert ev.of("status_callback")
        assert db.get_messages_as_conversation("s") == [
            {"role": "user", "content": "hello world"},
            {"role": "assistant", "content": result["final_response"],
             "meta": {"reasoning": "The user wrote 11 characters; choosing a tool."}}]
        assert result["messages"][-1]["role"] == "assistant"

    def test_state_kept_between_turns_and_history_override(self, make):
        agent, _ = make()
        agent.run_conversation("one")
        assert len(agent.run_conversation("two")["messages"]) == 4
        given = [{"role": "user", "content": "x"}, {"role": "assistant", "content": "y"}]
        assert len(agent.run_conversation("three", conversation_history=given)["messages"]) == 4

    def test_interrupt_stops_a_running_turn(self, make, events):
        agent, _ = make()
        ev = events(agent)
        out = {}
        t = threading.Thread(target=lambda: out.update(agent.run_conversation("wait: 30")))
        t.start()
        wait_for(lambda: any(a[0] == "tool.started" for a, _ in ev.of("tool_progress_callback")))
        agent.interrupt("User cancelled")
        t.join(30)
        assert out["interrupted"] is True and out["interrupt_reason"] == "User cancelled"
        # The next turn runs normally.
        assert agent.run_conversation("hi")["interrupted"] is False

    def test_dangerous_command_waits_for_approval(self, make, events, monkeypatch):
        monkeypatch.setenv("KORVEL_GATEWAY_SESSION", "1")
        from tools import approval

        agent, _ = make(session_id="chat")
        events(agent)
        requests = []
        out = {}

        def turn():
            token = approval.set_current_session_key("chat")
            approval.register_gateway_notify("chat", requests.append)
            try:
                out.update(agent.run_conversation("run: rm -rf /tmp/standin-test"))
            finally:
                approval.unregister_gateway_notify("chat")
                approval.reset_current_session_key(token)

        t = threading.Thread(target=turn)
        t.start()
        wait_for(lambda: requests)
        assert t.is_alive()
        approval.resolve_gateway_approval("chat", "deny")
        t.join(30)
        assert "denied" in out["final_response"]

    def test_switch_model_and_compression(self, make, events):
        agent, _ = make()
        agent.switch_model(new_model="m2", new_provider="q", api_key="k", base_url="u")
        assert (agent.model, agent.provider, agent.api_key, agent.base_url) == ("m2", "q", "k", "u")
        with pytest.raises(ValueError):
            agent.switch_model(new_model="")
        history = [{"role": "user", "content": str(i)} for i in range(10)]
        ev = events(agent)
        agent._compress_context(history)
        assert len(agent.messages) == 5 and agent.compression_count == 1
        assert ev.of("status_callback")[0][0][0] == "context.compressed"


def _png(width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IEND", b""))


class TestSmallModules:
    def test_vision_tool(self, standin, tmp_path):
        from tools.vision_tools import vision_analyze_tool

        png = tmp_path / "a.png"
        png.write_bytes(_png(3, 2))
        gif = tmp_path / "b.gif"
        gif.write_bytes(b"GIF89a" + struct.pack("<HH", 7, 5) + b"\0" * 10)
        jpg = tmp_path / "c.jpg"
        jpg.write_bytes(b"\xff\xd8\xff\xe0" + struct.pack(">H", 4) + b"JF"
                        + b"\xff\xc0" + struct.pack(">HBHH", 11, 8, 9, 12) + b"\0" * 6)
        text = tmp_path / "d.txt"
        text.write_text("hello")

        def run(path):
            return json.loads(asyncio.run(vision_analyze_tool(image_url=str(path),
                                                              user_prompt="describe")))

        r = run(png)
        assert (r["success"], r["format"], r["width"], r["height"]) == (True, "PNG", 3, 2)
        assert r["size_bytes"] == png.stat().st_size and "PNG" in r["analysis"]
        assert (run(gif)["width"], run(gif)["height"]) == (7, 5)
        assert (run(jpg)["format"], run(jpg)["width"], run(jpg)["height"]) == ("JPEG", 12, 9)
        assert run(text)["success"] is False
        assert run(tmp_path / "missing.png")["success"] is False
        assert json.loads(asyncio.run(vision_analyze_tool(
            image_url="https://example.invalid/x.png", user_prompt="")))["success"] is False

    def test_title_generator(self, standin):
        from agent.title_generator import generate_title

        assert generate_title("how do I   bake bread?", "...") == "How do I bake bread"
        long = generate_title("one two three four five six seven eight", "")
        assert long == "One two three four five six…"
        assert generate_title("", "") == ""
        assert len(generate_title("x" * 200, "")) <= 60
        # Commands keep their case.
        assert generate_title("run: rm -rf build", "") == "rm -rf build"
        assert generate_title("ls -la /tmp", "") == "ls -la /tmp"

    def test_registry_and_expansion(self, standin, monkeypatch):
        from korvel_cli.config import _expand_env_vars
        from tools.registry import registry

        assert registry.get_emoji("terminal", default="⚡") == "💻"
        assert registry.get_emoji("nope", default="⚡") == "⚡"
        assert registry.get_toolset_for_tool("terminal") == "terminal"
        assert not registry.get_toolset_for_tool("nope")
        monkeypatch.setenv("A_VAR", "1")
        assert _expand_env_vars({"a": ["${A_VAR}", {"b": "x${A_VAR}y"}], "c": 3,
                                 "d": "${NOT_SET_VAR}"}) == \
            {"a": ["1", {"b": "x1y"}], "c": 3, "d": "${NOT_SET_VAR}"}

    def test_cron_paths_follow_reassignment(self, standin, tmp_path):
        from cron import jobs

        jobs.KORVEL_DIR = tmp_path
        jobs.CRON_DIR = tmp_path / "cron"
        jobs.JOBS_FILE = jobs.CRON_DIR / "jobs.json"
        jobs.OUTPUT_DIR = jobs.CRON_DIR / "output"
        assert jobs.load_jobs() == []
        jobs.save_jobs([{"id": "j1"}])
        assert jobs.load_jobs() == [{"id": "j1"}]
        assert (tmp_path / "cron" / "jobs.json").exists()
