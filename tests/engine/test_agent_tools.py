"""The bundled engine as an agent: a model's tool calls run for real, in a
temporary working folder, behind the approval policy, and stop when asked."""
import json
import os
import threading
import time

import pytest

from fake_openai import FakeModelServer
from test_standin import wait_for


@pytest.fixture(scope="module")
def fake():
    with FakeModelServer() as server:
        yield server


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A profile whose working folder (terminal.cwd) is a fresh folder."""
    home, folder = tmp_path / "profile", tmp_path / "work"
    home.mkdir()
    folder.mkdir()
    (home / "config.yaml").write_text(f"terminal:\n  cwd: {folder}\n")
    monkeypatch.setenv("KORVEL_HOME", str(home))
    monkeypatch.delenv("KORVEL_GATEWAY_SESSION", raising=False)
    return folder


@pytest.fixture
def make(standin, work, fake, events, tmp_path, monkeypatch):
    monkeypatch.setenv("KORVEL_HOME", str(work.parent / "profile"))
    from korvel_state import SessionDB
    from run_agent import AIAgent

    db = SessionDB(db_path=tmp_path / "state.db")

    def make(model="fake/tools", **kw):
        agent = AIAgent(model=model, api_key="k", base_url=fake.url, session_id="s",
                        session_db=db, **kw)
        return agent, events(agent), db
    return make


def calls(*pairs):
    return "\n".join(f"call {name} {args if isinstance(args, str) else json.dumps(args)}"
                     for name, args in pairs)


def steps(ev):
    """(tool, preview, result summary, is_error) of each completed step."""
    out, summary = [], None
    for name, args, kwargs in ev.seen:
        if name == "status_callback" and args[0] == "tool.result":
            summary = args[1]
        if name == "tool_progress_callback" and args[0] == "tool.completed":
            out.append((args[1], args[2], summary, kwargs["is_error"]))
    return out


class Gateway:
    """The approval channel as the bridge wires it: requests are recorded and
    answered with the next of ``answers``."""

    def __init__(self, monkeypatch, answers):
        from tools import approval

        monkeypatch.setenv("KORVEL_GATEWAY_SESSION", "1")
        self.approval = approval
        self.asked = []
        self.answers = list(answers)
        self.token = approval.set_current_session_key("s")
        approval.register_gateway_notify("s", self.notify)

    def notify(self, data):
        self.asked.append(data)
        choice = self.answers.pop(0)
        threading.Timer(0.05, self.approval.resolve_gateway_approval, ("s", choice)).start()

    def close(self):
        self.approval.unregister_gateway_notify("s")
        self.approval.reset_current_session_key(self.token)


def test_calls_streamed_in_pieces_run_in_order_and_their_results_go_back(make, fake, work):
    agent, ev, db = make()
    (work / "notes.txt").write_text("one\ntwo\nthree\n")
    message = "say Looking.\n" + calls(
        ("read_file", {"path": "notes.txt", "start_line": 2, "end_line": 3}),
        ("search_files", {"pattern": "t[wh]", "path": "."}),
        ("list_dir", {"path": "."}),
        ("nope", {}),
        ("read_file", "{not json"),
        ("read_file", {"path": "missing.txt"}))
    result = agent.run_conversation(message)
    assert result["completed"] and result["api_calls"] == 2
    assert steps(ev) == [
        ("read_file", "notes.txt (lines 2-3)", "lines 2-3 of 3", False),
        ("search_files", "t[wh] in .", "2 matching line(s)", False),
        ("list_dir", ".", "1 entries", False),
        ("nope", "nope", "unknown tool", True),
        ("read_file", "read_file", "bad arguments", True),
        ("read_file", "missing.txt", f"{work}/missing.txt does not exist", True)]
    first, second = fake.chat_requests()[-2:]
    assert [t["function"]["name"] for t in first["tools"]] == [
        "terminal", "read_file", "write_file", "list_dir", "search_files"]
    system = first["messages"][0]
    assert system["role"] == "system" and f"in the working folder {work}," in system["content"]
    # The next request holds the answer's calls, each followed by its result.
    sent = second["messages"]
    said = sent[-7]
    assert said["role"] == "assistant" and said["content"] == "Looking."
    assert [c["function"]["arguments"] for c in said["tool_calls"]][3:5] == ["{}", "{not json"]
    results = sent[-6:]
    assert [m["tool_call_id"] for m in results] == [c["id"] for c in said["tool_calls"]]
    assert results[0]["content"].endswith("two\nthree\n")
    assert "there is no tool named 'nope'" in results[3]["content"]
    assert "not valid JSON" in results[4]["content"]
    assert result["final_response"].startswith("Looking.\n\nResults: ")
    # The store keeps every step, and the next turn sends them again.
    stored = db.get_messages_as_conversation("s")
    assert [m["role"] for m in stored] == ["user", "assistant"] + ["tool"] * 6 + ["assistant"]
    assert stored[2]["meta"]["status"] == "ok" and stored[5]["meta"]["summary"] == "unknown tool"
    agent.run_conversation("thanks", conversation_history=stored)
    assert fake.chat_requests()[-1]["messages"][:-1] == sent + [
        {"role": "assistant", "content": stored[-1]["content"]}]


def test_commands_run_in_the_working_folder_with_capped_output(make, work, monkeypatch):
    agent, ev, _ = make()
    gate = Gateway(monkeypatch, ["once"])
    try:
        agent.run_conversation(calls(("terminal", {"command": "pwd; echo oops >&2; exit 3"}),
                                     ("terminal", {"command": "seq 1 100000 | tail -n 100000"})))
    finally:
        gate.close()
    assert [a["command"] for a in gate.asked] == ["pwd; echo oops >&2; exit 3"]
    assert [s[2:] for s in steps(ev)] == [("exit status 3", True), ("exit status 0", False)]
    live = "".join(a[1] for a, _ in ev.of("status_callback") if a[0] == "tool.output")
    assert live.startswith(f"{work}\noops\n1\n2\n")
    results = [m for m in agent.messages if m["role"] == "tool"]
    assert results[0]["content"] == f"exit status 3\n{work}\noops\n"
    capped = results[1]["content"]
    assert capped.startswith("exit status 0\n1\n2\n") and capped.endswith("99999\n100000\n")
    assert "bytes of output cut here" in capped and len(capped) < 40_000


def test_without_a_gateway_only_read_only_commands_run(make, work):
    agent, ev, _ = make()
    (work / "keep").mkdir()
    agent.run_conversation(calls(("terminal", {"command": "ls"}),
                                 ("terminal", {"command": "rm -rf keep"}),
                                 ("terminal", {"command": "touch made"})))
    assert [s[2] for s in steps(ev)] == [
        "exit status 0", "not approved: needs approval, and there is nobody to ask",
        "not approved: needs approval, and there is nobody to ask"]
    assert (work / "keep").is_dir() and not (work / "made").exists()


def test_approvals_decide_what_runs(make, work, monkeypatch):
    agent, ev, _ = make()
    for name in ("a", "b", "c"):
        (work / name).mkdir()
    gate = Gateway(monkeypatch, ["deny", "once", "session"])
    try:
        agent.run_conversation(calls(
            ("terminal", {"command": "rm -rf a"}),     # denied
            ("terminal", {"command": "rm -rf b"}),     # once
            ("terminal", {"command": "touch x"}),      # asked: allowed for the session
            ("terminal", {"command": "touch y"}),      # touch again: not asked
            ("write_file", {"path": "inside.txt", "content": "ok"})))  # inside: not asked
        assert [(a["command"], a["pattern_key"], a["description"]) for a in gate.asked] == [
            ("rm -rf a", "recursive_delete", f"recursive forced delete, in {work}"),
            ("rm -rf b", "recursive_delete", f"recursive forced delete, in {work}"),
            ("touch x", "command:touch", f"runs touch, which may change files or the system, in {work}")]
        assert (work / "a").is_dir() and not (work / "b").exists()
        assert (work / "x").exists() and (work / "y").exists() and (work / "inside.txt").exists()
        told = [m["content"] for m in agent.messages if m["role"] == "tool"]
        assert told[0].startswith("The user denied this, so the command did not run.")
        assert [s[2] for s in steps(ev)][2:4] == [
            "exit status 0", "exit status 0 (allowed earlier in this session)"]

        # Writing outside the working folder asks; "always" is kept on disk.
        outside = work.parent / "outside.txt"
        gate.answers = ["always"]
        agent.run_conversation(calls(("write_file", {"path": str(outside), "content": "x"})))
        assert gate.asked[-1]["pattern_key"] == "write_outside_workdir"
        assert outside.read_text() == "x"
        saved = json.loads((work.parent / "profile" / "approvals.json").read_text())
        assert saved == {"always": ["write_outside_workdir"]}
        gate.approval._session_approved.clear()  # as after a restart: the profile remembers
        asked = len(gate.asked)
        agent.run_conversation(calls(("write_file", {"path": str(outside), "content": "y"})))
        assert len(gate.asked) == asked and outside.read_text() == "y"
    finally:
        gate.close()


def _processes_with(marker):
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as fh:
                    if f"sleep\0{marker}".encode() in fh.read():
                        found.append(int(pid))
            except OSError:
                pass
    return found


def test_stop_ends_the_command_its_children_and_the_turn(make, work, monkeypatch):
    agent, ev, db = make()
    gate = Gateway(monkeypatch, ["once"])
    # A child in the background, one that ignores SIGTERM, and one in front.
    command = "sleep 71.25 & sh -c 'trap \"\" TERM; sleep 72.25' & sleep 73.25"
    out = {}

    def turn():  # on a thread of its own, as the host runs turns
        gate.approval.set_current_session_key("s")
        out.update(agent.run_conversation(
            calls(("terminal", {"command": command}), ("terminal", {"command": "ls"}))))
    worker = threading.Thread(target=turn)
    worker.start()
    wait_for(lambda: _processes_with("73.25") and _processes_with("72.25"))
    stopped_at = time.monotonic()
    agent.interrupt("User cancelled")
    worker.join(5)
    gate.close()
    # Within a second by design (0.5 s of grace); the margin is for a busy machine.
    assert not worker.is_alive() and time.monotonic() - stopped_at < 3
    assert out["interrupted"] is True
    wait_for(lambda: not any(_processes_with(m) for m in ("71.25", "72.25", "73.25")), timeout=3)
    assert [s[1:] for s in steps(ev)] == [(command, "stopped", True)]
    stored = db.get_messages_as_conversation("s")
    assert [m.get("meta", {}).get("status") for m in stored if m["role"] == "tool"] == [
        "stopped", "stopped"]   # the second call never ran
    assert stored[-1] == {"role": "assistant", "content": "", "meta": {"interrupted": True}}


def test_a_model_that_never_stops_meets_the_cap(make, fake):
    agent, ev, _ = make(model="fake/loop", max_iterations=3)
    before = len(fake.chat_requests())
    result = agent.run_conversation("list forever")
    assert len(fake.chat_requests()) - before == 3 and result["api_calls"] == 3
    assert len(steps(ev)) == 3
    assert "reached its limit of 3 model calls" in result["final_response"]
    assert len(agent.round_trips) == 2
    assert all(0 <= asked - ended - tools < 1 for ended, tools, asked in agent.round_trips)


def test_a_model_that_refuses_tools_is_asked_again_without_them(make, fake):
    agent, ev, _ = make(model="fake/notools")
    result = agent.run_conversation("plain words")
    assert result["final_response"] == "Echo: plain words" and result["completed"]
    first, second = fake.chat_requests()[-2:]
    assert "tools" in first and "tools" not in second
    assert ("warning", "fake/notools does not take tools here; it answers without them") in [
        a for a, _ in ev.of("status_callback")]
    asked = len(fake.chat_requests())
    agent.run_conversation("again")  # not offered again
    assert len(fake.chat_requests()) == asked + 1 and "tools" not in fake.chat_requests()[-1]


def test_time_limit_and_file_tool_errors(standin, work):
    from tools import file_tools, terminal_tool

    stop = threading.Event()
    ran = terminal_tool.run_command("echo started; sleep 30", work, 0.3, stop)
    assert ran["outcome"] == "timeout" and ran["exit_code"] is None and ran["duration"] < 2
    assert ran["output"] == "started\n"
    # The engine's key stays out of a command's reach; nothing waits for input.
    os.environ["OPENROUTER_API_KEY"] = "sk-hidden"
    try:
        ran = terminal_tool.run_command("echo \"[$OPENROUTER_API_KEY]\"; cat", work, 5, stop)
    finally:
        del os.environ["OPENROUTER_API_KEY"]
    assert (ran["output"], ran["exit_code"]) == ("[]\n", 0)

    (work / "bin.dat").write_bytes(b"\x00\x01\x02")
    (work / "latin.txt").write_bytes("caf\xe9".encode("latin-1"))
    (work / "big.txt").write_text("x\n" * (file_tools.MAX_READ_BYTES // 2 + 10))
    for path, problem in [("bin.dat", "is a binary file"), ("latin.txt", "is not UTF-8 text"),
                          ("big.txt", "is too large to read"), (".", "is a folder"),
                          ("nope.txt", "does not exist")]:
        with pytest.raises(file_tools.ToolError, match=problem):
            file_tools.read_file(path, work)
    assert file_tools.read_file("big.txt", work, 2, 3).endswith("x\nx\n")
    with pytest.raises(file_tools.ToolError, match="not a valid regular expression"):
        file_tools.search_files("(", ".", work)


@pytest.mark.parametrize("command, read_only", [
    ("ls -la", True), ("git log --oneline | head -5", True), ("grep -rn x . && wc -l f", True),
    ("cat < in.txt", True), ("cat a > b", False), ("echo $(rm x)", False), ("git push", False),
    ("find . -name x -delete", False), ("sort -o out in", False), ("FOO=1 ls", False),
    ("python3 -c 1", False), ("ls `rm x`", False), ("ls; rm -f x", False), ("'unclosed", False),
    ("echo $OPENROUTER_API_KEY", False), ("echo ${HOME}", False), ("grep -n 'end$' f", True),
    ("sort -rn x", True), ("sort -ro out x", False), ("date -us 1", False), ("rg --pre=sh x", False),
    ("uniq in out", False),
])
def test_what_counts_as_read_only(standin, command, read_only):
    from tools.terminal_tool import is_read_only

    assert is_read_only(command) is read_only


def test_stored_calls_without_results_still_make_pairs(standin):
    from agent.model_client import conversation

    call = {"id": "c1", "type": "function", "function": {"name": "terminal", "arguments": "{}"}}
    wire = conversation([{"role": "user", "content": "hi"},
                         {"role": "tool", "tool_call_id": "stray", "content": "x"},
                         {"role": "assistant", "content": "", "tool_calls": [call]},
                         {"role": "user", "content": "again"}])
    assert wire == [{"role": "user", "content": "hi"},
                    {"role": "assistant", "content": None, "tool_calls": [call]},
                    {"role": "tool", "tool_call_id": "c1",
                     "content": "(no result was recorded for this call)"},
                    {"role": "user", "content": "again"}]


def test_compression_asks_the_model_and_keeps_calls_with_their_results(make, fake):
    from fake_openai import SUMMARY

    call = {"id": "c1", "type": "function", "function": {"name": "list_dir", "arguments": "{}"}}
    history = [{"role": "user", "content": "otters?"}, {"role": "assistant", "content": "Otters."},
               {"role": "user", "content": "list the river"},
               {"role": "assistant", "content": None, "tool_calls": [call]},
               {"role": "tool", "tool_call_id": "c1", "tool_name": "list_dir", "content": "river/"},
               {"role": "assistant", "content": "One folder."}, {"role": "user", "content": "and?"}]
    agent, ev, _ = make()
    out = agent._compress_context(history)
    assert out[0] == {"role": "user", "content": "[Summary of 3 earlier messages, written by "
                                                 f"fake/tools:\n{SUMMARY} (3 entries)]"}
    assert out[1:] == history[3:] and agent.messages == out
    asked = fake.chat_requests(stream=False)[-1]["messages"][1]["content"]
    assert asked == "user: otters?\n\nassistant: Otters.\n\nuser: list the river"
    assert ev.of("status_callback")[-1][0] == ("context.compressed", "Compressed 7 messages to 5")

    # A model that fails leaves the summary of each message's start.
    broken, _, _ = make(model="fake/broken")
    assert broken._compress_context(history)[0]["content"].startswith(
        "[Summary of 3 earlier messages: otters? | Otters. | list the river]")


PNG = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360f8cfc0f01f0005050201a5"
    "b0b3a50000000049454e44ae426082")


def test_images_are_described_by_a_model_unless_the_chat_model_sees_them(make, tmp_path):
    import asyncio

    from fake_openai import IMAGE_DESCRIPTION
    from tools.vision_tools import vision_analyze_tool

    image = tmp_path / "pic.png"
    image.write_bytes(PNG)

    def look():
        return json.loads(asyncio.run(vision_analyze_tool(image_url=str(image), user_prompt="What?")))

    make(model="fake/tools")  # takes no images: a model describes them
    seen = look()
    assert (seen["success"], seen["analysis"], seen["described_by"]) == (True, IMAGE_DESCRIPTION, "fake/tools")
    make(model="fake/vision")  # sees the image itself: the file's facts are enough
    seen = look()
    assert seen["success"] and seen["analysis"].startswith("A PNG image (") and "described_by" not in seen
