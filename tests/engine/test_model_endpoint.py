"""The bundled engine talking to a model endpoint (the local fake server)."""
import logging
import threading

import pytest

from fake_openai import TITLE, FakeModelServer
from test_standin import wait_for

KEY = "sk-test-7f3a9c"


@pytest.fixture(scope="module")
def fake():
    with FakeModelServer() as server:
        yield server


@pytest.fixture
def make(standin, tmp_path, fake, events):
    from korvel_state import SessionDB
    from run_agent import AIAgent

    db = SessionDB(db_path=tmp_path / "state.db")

    def make(model="fake/chat", api_key=KEY, base_url=fake.url, **kw):
        agent = AIAgent(model=model, api_key=api_key, base_url=base_url, provider="openrouter",
                        platform="zalix", session_id="s", session_db=db, quiet_mode=True,
                        ephemeral_system_prompt="Be brief.", **kw)
        return agent, events(agent), db
    return make


def reply_of(ev):
    return "".join(args[0] for args, _ in ev.of("stream_delta_callback"))


def test_streamed_turn_reaches_every_callback_and_is_stored(make, fake):
    agent, ev, db = make()
    assert agent.uses_model
    result = agent.run_conversation("hello otters")
    assert result["final_response"] == "Echo: hello otters" == reply_of(ev)
    assert (result["interrupted"], result["completed"], result["model"]) == (False, True, "fake/chat")
    # The status record comes first, reasoning from both field names live.
    assert ev.seen[0][0] == "status_callback" and "fake/chat" in ev.seen[0][1][1]
    assert [a[0] for a, _ in ev.of("reasoning_callback")] == ["Thinking it ", "over."]
    assert ev.of("tool_progress_callback")[-1][0][:3] == \
        ("reasoning.available", "_thinking", "Thinking it over.")
    # The reasoning is stored beside the answer (never sent back to the model).
    assert db.get_messages_as_conversation("s") == [
        {"role": "user", "content": "hello otters"},
        {"role": "assistant", "content": "Echo: hello otters", "meta": {"reasoning": "Thinking it over."}}]

    # The second turn carries the system prompt and the conversation so far.
    agent.run_conversation("and beavers?")
    sent = fake.chat_requests()[-1]["messages"]
    system = sent[0]["content"]
    assert system.startswith("Be brief.\n\nYou can use tools on the user's computer (Linux).")
    assert sent == [{"role": "system", "content": system},
                    {"role": "user", "content": "hello otters"},
                    {"role": "assistant", "content": "Echo: hello otters"},
                    {"role": "user", "content": "and beavers?"}]


def test_settings_reach_the_request(make, fake, standin):
    agent, _, _ = make(reasoning_config={"effort": "high"}, service_tier="flex",
                       request_overrides={"temperature": 0.25, "stream": False})
    agent.run_conversation("settings")
    body = fake.chat_requests()[-1]
    assert body["stream"] is True and body["temperature"] == 0.25
    assert body["reasoning_effort"] == "high" and body["service_tier"] == "flex"
    assert "provider" not in body

    # OpenRouter takes its own routing, reasoning and fallback fields.
    from agent.model_client import request_body
    body = request_body("a/b", [], base_url="https://openrouter.ai/api/v1",
                        provider_routing={"only": ["x"], "ignore": None, "order": [],
                                          "require_parameters": False, "sort": "price"},
                        reasoning_config={"max_tokens": 100}, fallback_model="c/d")
    assert body["extra_body"] == {"provider": {"only": ["x"], "sort": "price"},
                                  "reasoning": {"max_tokens": 100}, "models": ["a/b", "c/d"]}


def test_stop_closes_the_request_and_the_next_turn_works(make, fake):
    agent, ev, db = make(model="fake/long")
    before = fake.disconnects
    out = {}
    worker = threading.Thread(target=lambda: out.update(agent.run_conversation("go on")))
    worker.start()
    wait_for(lambda: len(ev.of("stream_delta_callback")) >= 3)
    agent.interrupt("User cancelled")
    worker.join(10)
    assert not worker.is_alive()
    assert out["interrupted"] is True and out["interrupt_reason"] == "User cancelled"
    assert out["final_response"].startswith("tick tick tick")
    # What arrived is kept as the reply, its cut beside it as data; the model
    # is told of the cut when it reads the conversation again.
    cut = db.get_messages_as_conversation(agent.session_id)[-1]
    assert cut["content"] == out["final_response"] and cut["meta"]["interrupted"] is True
    wait_for(lambda: fake.disconnects > before)  # the server saw the request go
    agent.switch_model("fake/chat")
    assert agent.run_conversation("again")["final_response"] == "Echo: again"
    assert fake.chat_requests()[-1]["messages"][-2]["content"] == out["final_response"] + " [interrupted]"


@pytest.mark.parametrize("model, key, base, kind, expected, said", [
    ("fake/chat", "bad-key", None, "auth", "refused the API key (401", ""),
    ("fake/busy", KEY, None, "rate_limit", "(429: Rate limit exceeded). Try again in 7 s.", ""),
    ("fake/broken", KEY, None, "server", "answered with an error (500: Internal error in the model)", ""),
    ("no/such-model", KEY, None, "not_found", "does not know the model 'no/such-model' (404", ""),
    ("fake/chat", "", "http://127.0.0.1:9/v1", "unreachable", "Cannot reach the model endpoint at 127.0.0.1:9", ""),
    ("fake/cut", KEY, None, "cut", "The answer from", "The first half of an answer"),
    ("fake/drop", KEY, None, "cut", "The answer from 127.0.0.1:{port} broke off: the connection was lost",
     "of an answer"),
])
def test_failures_end_the_turn_with_an_error_record(make, fake, caplog, model, key, base, kind, expected, said):
    expected = expected.format(port=fake.port)
    agent, ev, db = make(model=model, api_key=key, base_url=base or fake.url)
    with caplog.at_level(logging.WARNING):
        result = agent.run_conversation("hi")
    # The failure is the turn's error, never part of the reply.
    error = result["error"]
    assert error["kind"] == kind and expected in error["message"], error
    assert (error.get("retry_after") == 7.0) == (kind == "rate_limit")
    assert result["final_response"] == reply_of(ev) and "⚠️" not in reply_of(ev)
    assert said in result["final_response"] and expected not in result["final_response"]
    assert result["completed"] is False
    assert ev.of("status_callback")[-1][0][0] == "error"
    assert any(r.levelno == logging.WARNING and r.name == "standin.agent" for r in caplog.records)
    assert KEY not in caplog.text
    # Only what the model wrote before it failed is kept.
    last = db.get_messages_as_conversation("s")[-1]
    assert (last["role"], last["content"]) == (("assistant", result["final_response"]) if said else ("user", "hi"))
    agent.switch_model("fake/chat", api_key=KEY, base_url=fake.url)
    assert agent.run_conversation("next")["final_response"] == "Echo: next"


def test_the_401_advice_names_where_the_key_came_from(standin, monkeypatch, tmp_path):
    from agent import model_client

    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("KORVEL_HOME", raising=False)
    monkeypatch.setenv("OPENROUTER_API_KEY", "sk-from-the-shell")
    assert model_client.key_source() == "in the environment the dashboard was started with"
    (tmp_path / ".korvel").mkdir()
    (tmp_path / ".korvel" / ".env").write_text("OPENROUTER_API_KEY=sk-from-the-shell\n")
    assert model_client.key_source() == "in ~/.korvel/.env"
    profile = tmp_path / ".korvel" / "profiles" / "work"
    profile.mkdir(parents=True)
    (profile / ".env").write_text("export OPENROUTER_API_KEY='sk-from-the-shell'\n")
    monkeypatch.setenv("KORVEL_HOME", str(profile))
    assert model_client.key_source() == f"in the profile's .env ({profile / '.env'})"


def test_images_go_as_parts_only_to_models_that_take_them(make, fake, tmp_path):
    from test_standin import _png

    image = tmp_path / "otter.png"
    image.write_bytes(_png(4, 4))
    text = ("[The user sent an image~ Here's what I can see:\nA PNG image]\n[If you need a closer "
            f"look, use vision_analyze with image_url: {image} ~]\n\nwhat is this?")
    attached = {"image_paths": [str(image)], "user_text": "what is this?"}
    agent, _, _ = make(model="fake/vision")
    assert agent.run_conversation(text, **attached)["final_response"] == "I see 1 image(s)."
    content = fake.chat_requests()[-1]["messages"][-1]["content"]
    assert content[0] == {"type": "text", "text": "what is this?"}
    assert content[1]["image_url"]["url"].startswith("data:image/png;base64,iVBOR")
    # The descriptions are what is kept: the next turn's history has no image parts.
    assert agent.messages[-2]["content"] == text

    agent, _, _ = make(model="fake/chat")
    agent.run_conversation(text, **attached)
    assert fake.chat_requests()[-1]["messages"][-1]["content"] == text
    # An image that cannot be sent (gone, or not an image): the described text.
    agent, _, _ = make(model="fake/vision")
    agent.run_conversation(text, image_paths=[str(tmp_path / "gone.png")], user_text="what is this?")
    assert fake.chat_requests()[-1]["messages"][-1]["content"] == text
    with pytest.raises(TypeError):
        agent.run_conversation(text, image_paths=[image], user_text="x")


def test_image_capabilities_from_model_entries(standin):
    from agent.model_client import takes_images

    assert takes_images({"architecture": {"input_modalities": ["text", "image"]}})
    assert takes_images({"architecture": {"modality": "text+image->text"}})
    assert not takes_images({"architecture": {"modality": "text->text+image"}})
    assert takes_images({"capabilities": ["completion", "vision"]})
    assert takes_images({"modalities": {"input": ["image"]}})
    assert not takes_images({"id": "plain"}) and not takes_images(None)


def test_title_comes_from_the_same_model(make, fake, standin):
    from agent.title_generator import generate_title

    agent, _, _ = make()
    agent.run_conversation("tell me about otters")
    assert generate_title("tell me about otters", "Echo") == TITLE
    assert fake.chat_requests(stream=False)[-1]["model"] == "fake/chat"


def test_without_an_endpoint_the_script_plays(make):
    agent, ev, _ = make(api_key="", base_url="https://openrouter.ai/api/v1")
    assert not agent.uses_model
    assert agent.run_conversation("hi")["final_response"].startswith("You said: hi")
