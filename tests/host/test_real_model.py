"""Whole turns of the host on the bundled engine, talking to the fake model server."""
import json
import os
import uuid

import pytest

from fake_openai import MODELS, TITLE, FakeModelServer
from host_wire import Stream, free_port, history, idle, run_turn, send, start_server, wait_for

KEY = "sk-or-v1-test-5ecret"


def sid(prefix="m"):
    return f"{prefix}-{uuid.uuid4().hex[:10]}"


# -- reading the wire (kept in one place: the event stream's framing may change) --

def _record(name, data):
    """(type, the record's own data), whether or not the wire wraps it with its turn."""
    if isinstance(data, dict) and set(data) == {"turn", "client_id", "data"}:
        data = data["data"]
    return name, data


def turn(server, message, session, **extra):
    """Run one turn and return its records as (type, data) pairs."""
    return [_record(name, data) for name, data in run_turn(server, message, session, **extra)]


def reply(records):
    return "".join(data for name, data in records if name == "delta")


def title_of(server, session):
    return server.client.get(f"/sessions/{session}").json()["title"]


def set_model(server, model):
    assert server.client.post("/model", json={"model": model}).status_code == 200


@pytest.fixture(scope="module")
def fake():
    with FakeModelServer() as server:
        yield server


@pytest.fixture(scope="module")
def model_server(fake):
    srv = start_server("--engine", "standin", env={
        "ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": KEY, "ZALIX_MODEL": "fake/chat"})
    yield srv
    srv.stop()


def test_health_names_endpoint_and_model_but_no_page_shows_the_key(model_server, fake):
    health = model_server.client.get("/health").json()
    assert health["engine"] == "standin"
    assert health["engine_label"] == f"bundled engine · fake/chat at 127.0.0.1:{fake.port}"
    assert health["endpoint"] == {"host": f"127.0.0.1:{fake.port}", "model": "fake/chat"}
    for path in ("/health", "/setup/status", "/", "/model", "/static/app.js"):
        assert KEY not in model_server.client.get(path).text, path


def test_a_turn_streams_the_models_reply_and_gets_a_title(model_server, fake):
    session = sid()
    records = turn(model_server, "hello otters", session)
    names = [name for name, _ in records]
    status = next(data for name, data in records if name == "status")
    assert "fake/chat" in status["message"]
    assert names.index("status") < names.index("reasoning_delta") < names.index("delta")
    assert [d["text"] for n, d in records if n == "reasoning_delta"] == ["Thinking it ", "over."]
    assert reply(records) == "Echo: hello otters"
    assert [(m["role"], m["content"]) for m in history(model_server, session)] == [
        ("user", "hello otters"), ("assistant", "Echo: hello otters")]
    assert wait_for(lambda: title_of(model_server, session)) == TITLE
    # The model was sent the key, the system prompt and the message.
    sent = fake.chat_requests()[-1]
    assert sent["messages"][0]["role"] == "system" and sent["messages"][-1]["content"] == "hello otters"


def test_stop_mid_stream_and_failures_end_the_turn_and_the_next_one_works(model_server, fake):
    stopped, failing = sid("stop"), sid("fail")
    set_model(model_server, "fake/long")
    try:
        asked = len(fake.chat_requests())
        disconnects = fake.disconnects
        send(model_server, "count for me", stopped)
        wait_for(lambda: len(fake.chat_requests()) > asked)
        res = model_server.client.post("/chat/stop", json={"session_id": stopped})
        assert res.json()["stopped"] is True
        idle(model_server, stopped)
        assert history(model_server, stopped)[-1]["status"] == "stopped"
        wait_for(lambda: fake.disconnects > disconnects)

        set_model(model_server, "fake/busy")
        records = turn(model_server, "are you there?", failing)
        # A failed request ends the turn with an error record, not a reply.
        assert reply(records) == ""
        ended = records[-1][1]
        assert ended["status"] == "error" and ended["error"]["kind"] == "rate_limit"
        assert ended["error"]["retry_after"] == 7.0
        assert "(429: Rate limit exceeded). Try again in 7 s." in ended["error"]["message"]
        last = history(model_server, failing)[-1]
        assert (last["role"], last["content"], last["status"]) == ("assistant", "", "error")
        assert last["error"] == ended["error"] and last["model"] == "fake/busy"
    finally:
        set_model(model_server, "fake/chat")
    assert reply(turn(model_server, "and now?", failing)).endswith("and now?")
    send(model_server, "after the stop", stopped)
    idle(model_server, stopped)
    assert history(model_server, stopped)[-1]["content"].endswith("after the stop")
    log = model_server.output()
    assert "Rate limit exceeded" in log and KEY not in log


def test_a_model_that_takes_images_gets_them_as_images(model_server, fake):
    from host_wire import PNG_1x1

    up = model_server.client.post("/chat/upload", files={"file": ("shot.png", PNG_1x1, "image/png")}).json()
    set_model(model_server, "fake/vision")
    try:
        records = turn(model_server, "what is this?", sid(), images=[up["id"]])
    finally:
        set_model(model_server, "fake/chat")
    assert reply(records) == "I see 1 image(s)."
    content = [m for m in fake.chat_requests() if m["model"] == "fake/vision"][-1]["messages"][-1]["content"]
    # The user's own words beside the image; its description is not sent again.
    assert content[0] == {"type": "text", "text": "what is this?"}
    assert content[1]["image_url"]["url"].startswith("data:image/png;base64,")


def test_model_picker_lists_the_endpoints_models(model_server, fake):
    first = model_server.client.get("/model").json()
    assert first["source"] == "endpoint" and first["models_error"] is None
    assert first["choices"] == sorted(m["id"] for m in MODELS)
    served = fake.models_served
    assert model_server.client.get("/model").json()["choices"] == first["choices"]
    assert fake.models_served == served  # kept, not fetched again


def test_an_unreachable_endpoint_is_named_and_reported():
    port = free_port()
    srv = start_server("--engine", "standin", env={
        "ZALIX_BASE_URL": f"http://127.0.0.1:{port}/v1", "ZALIX_MODEL": "local/model"})
    try:
        assert srv.client.get("/health").json()["engine_label"] == \
            f"bundled engine · local/model at 127.0.0.1:{port}"
        models = srv.client.get("/model").json()
        assert models["choices"] == ["local/model"] and models["source"] == "unavailable"
        assert f"127.0.0.1:{port}" in models["models_error"]
        error = turn(srv, "anyone?", sid("down"))[-1][1]["error"]
        assert error["kind"] == "unreachable"
        assert f"Cannot reach the model endpoint at 127.0.0.1:{port}" in error["message"]
    finally:
        srv.stop()


def test_without_an_endpoint_the_script_plays(server):
    assert server.client.get("/health").json()["engine_label"] == "stand-in (scripted)"
    assert server.client.get("/model").json()["source"] == "suggested"
    assert reply(turn(server, "hi", sid("script"))).startswith("You said: hi")


def test_the_model_list_stands_while_the_endpoint_cannot_list(fake, monkeypatch):
    from dashboard.engine import ModelCatalog

    monkeypatch.setenv("ZALIX_BASE_URL", fake.url)
    monkeypatch.setenv("OPENROUTER_API_KEY", KEY)
    catalog = ModelCatalog()
    catalog.TTL = catalog.RETRY_AFTER = 0.0
    listed, problem = catalog.models()
    assert problem is None and "fake/vision" in listed
    fake.models_down = True
    try:
        again, problem = catalog.models()
    finally:
        fake.models_down = False
    assert again == listed and "503" in problem and KEY not in problem


# -- the agent: tool calls run for real behind approvals ---------------------------

def new_agent_home(tmp_path_factory):
    """A home whose profile runs the fake agent in its own working folder."""
    home = tmp_path_factory.mktemp("agent-home")
    work = home / "work"
    work.mkdir()
    (home / ".korvel").mkdir()
    (home / ".korvel" / "config.yaml").write_text(f"model: fake/tools\nterminal:\n  cwd: {work}\n")
    return home


@pytest.fixture(scope="module")
def agent_home(tmp_path_factory):
    return new_agent_home(tmp_path_factory)


@pytest.fixture(scope="module")
def agent_server(fake, agent_home):
    srv = start_server("--engine", "standin", home=agent_home,
                       env={"ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": KEY})
    yield srv
    srv.stop()


def call(name, **args):
    return f"call {name} {json.dumps(args)}"


def answer(server, stream, session, choice):
    """Answer the next approval request of the stream, naming it by its id."""
    request = stream.until("approval_required")
    res = server.client.post("/chat/approve", json={
        "session_id": session, "choice": choice, "approval_id": stream.last_id})
    assert res.json()["resolved"] is True, res.text
    return request


def _sleeping(marker):
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as fh:
                if f"sleep\0{marker}".encode() in fh.read():
                    return True
        except OSError:
            pass
    return False


def test_commands_wait_for_approval_and_denied_ones_do_not_run(agent_server, agent_home, fake):
    work = agent_home / "work"
    session = sid("approve")
    for name in ("denied", "allowed"):
        (work / name).mkdir()
    with Stream(agent_server, session) as stream:
        first = send(agent_server, call("terminal", command="rm -rf denied"), session)["turn_id"]
        asked = answer(agent_server, stream, session, "deny")
        assert (asked["command"], asked["pattern_key"]) == ("rm -rf denied", "recursive_delete")
        stream.until("turn_ended", first)
        second = send(agent_server, call("terminal", command="rm -rf allowed"), session)["turn_id"]
        answer(agent_server, stream, session, "once")
        stream.until("turn_ended", second)
    assert (work / "denied").is_dir() and not (work / "allowed").exists()
    denied, allowed = [_record(n, d) for n, d in stream.turn(first)], stream.turn(second)
    assert [d["message"] for n, d in denied if n == "status" and d["event"] == "tool.result"] == [
        "denied by the user"]
    # The model heard of the denial in its next request.
    told = [m for m in fake.chat_requests()[-3]["messages"] if m["role"] == "tool"]
    assert told[-1]["content"].startswith("The user denied this, so the command did not run.")
    assert reply(allowed).endswith("Results: exit status 0")


def test_live_output_and_steps_in_the_history_after_a_restart(fake, tmp_path_factory):
    agent_home = new_agent_home(tmp_path_factory)  # a host of its own: it is restarted
    session = sid("steps")
    server = start_server("--engine", "standin", home=agent_home,
                          env={"ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": KEY})
    try:
        with Stream(server, session) as stream:
            command = "echo one; sleep 1; echo two"
            turn_id = send(server, "say Running it.\n" + call("terminal", command=command), session)["turn_id"]
            answer(server, stream, session, "session")
            stream.until("turn_ended", turn_id)
        records = [_record(n, d) for n, d in stream.turn(turn_id)]
        names = [n if n != "status" else d["event"] for n, d in records]
        assert names.index("tool_started") < names.index("tool.output") < names.index("tool_completed")
        outputs = [d["message"] for n, d in records if n == "status" and d["event"] == "tool.output"]
        assert "".join(outputs) == "one\ntwo\n" and outputs[0] == "one\n"   # as it came, not at the end
        done = next(d for n, d in records if n == "tool_completed")
        assert done["preview"] == command and done["is_error"] is False and done["duration"] >= 1
    finally:
        server.stop()
    server = start_server("--engine", "standin", home=agent_home,
                          env={"ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": KEY})
    try:
        steps = history(server, session)
        assert [m["role"] for m in steps] == ["user", "assistant", "tool", "assistant"]
        assert {m["turn"] for m in steps} == {turn_id}
        calls = steps[1]["tool_calls"]
        assert steps[1]["content"] == "Running it." and len(calls) == 1
        assert json.loads(calls[0]["function"]["arguments"]) == {"command": command}
        result = steps[2]
        assert result["tool_call_id"] == calls[0]["id"] and result["content"] == "exit status 0\none\ntwo\n"
        assert result["meta"]["exit_code"] == 0 and result["meta"]["preview"] == command
        assert steps[3]["content"] == "Results: exit status 0"
    finally:
        server.stop()


def test_stop_ends_a_running_command_and_leaves_no_process(agent_server, agent_home):
    session = sid("stop-cmd")
    with Stream(agent_server, session) as stream:
        turn_id = send(agent_server, call("terminal", command="sleep 91.75 & sleep 92.75"),
                       session)["turn_id"]
        answer(agent_server, stream, session, "once")
        wait_for(lambda: _sleeping("91.75") and _sleeping("92.75"))
        assert agent_server.client.post("/chat/stop", json={"session_id": session}).json()["stopped"]
        ended = stream.until("turn_ended", turn_id)
    assert ended["status"] == "stopped"
    assert not _sleeping("91.75") and not _sleeping("92.75")
    last = history(agent_server, session)[-1]
    assert (last["content"], last["status"]) == ("", "stopped")
