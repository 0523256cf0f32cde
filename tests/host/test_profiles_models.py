"""Profile switches and model changes through the host."""
import yaml

from host_wire import history, replies, run_turn


def test_model_change_writes_the_profile_and_leaves_a_switch_note(server):
    session = "model-note"
    run_turn(server, "first", session)
    before = server.client.get("/model").json()
    old = before["model"]
    assert before["profile"] == "default" and before["generation"] == 0

    res = server.client.post("/model", json={"model": "test/model-b"})
    assert res.status_code == 200, res.text
    assert res.json()["generation"] == 1
    config = yaml.safe_load((server.home / ".korvel" / "config.yaml").read_text())
    assert config["model"] == "test/model-b"
    assert server.client.get("/model").json()["model"] == "test/model-b"

    events = run_turn(server, "who are you?", session)
    note = (f"[Note: model was just switched from {old} to test/model-b. You are now "
            "test/model-b. Adjust your self-identification accordingly.]")
    # The agent is given the note; the history shows only what the user wrote.
    assert replies(events).startswith(f"You said: {note}\n\nwho are you?")
    assert history(server, session)[-2]["content"] == "who are you?"
    # The note is used once.
    assert replies(run_turn(server, "again", session)).startswith("You said: again")


def test_model_change_keeps_other_model_settings(server):
    home = server.home / ".korvel"
    (home / "config.yaml").write_text("model:\n  default: a/one\n  provider: openrouter\nagent:\n  max_turns: 7\n")
    res = server.client.post("/model", json={"model": "a/two"})
    assert res.status_code == 200
    config = yaml.safe_load((home / "config.yaml").read_text())
    assert config == {"model": {"default": "a/two", "provider": "openrouter"}, "agent": {"max_turns": 7}}


def test_model_change_refuses_bad_names_and_unusable_files(server):
    assert server.client.post("/model", json={"model": "two words"}).status_code == 400
    assert server.client.post("/model", json={"model": ""}).status_code == 400
    path = server.home / ".korvel" / "config.yaml"
    saved = path.read_text()
    try:
        path.write_text("- a list\n")
        res = server.client.post("/model", json={"model": "a/three"})
        assert res.status_code == 409
        assert path.read_text() == "- a list\n"
    finally:
        path.write_text(saved)


def test_profile_switch(server):
    run_turn(server, "in default", "prof-default")
    assert server.client.get("/profiles").json()["active"] == "default"
    assert not list((server.home / ".korvel" / "profiles").glob("nl*"))

    assert server.client.post("/profiles/active", json={"name": "work"}).status_code == 404
    res = server.client.post("/profiles/active", json={"name": "work", "create": True})
    assert res.status_code == 200 and res.json()["active"] == "work"
    assert (server.home / ".korvel" / "profiles" / "work").is_dir()
    profiles = server.client.get("/profiles").json()
    assert profiles == {"active": "work", "profiles": ["default", "work"]}

    # The work profile has a store of its own.
    listed = [s["session_id"] for s in server.client.get("/sessions").json()["sessions"]]
    assert "prof-default" not in listed
    run_turn(server, "in work", "prof-work")
    assert (server.home / ".korvel" / "profiles" / "work" / "state.db").exists()
    assert [m["content"] for m in history(server, "prof-work")][0] == "in work"

    assert server.client.post("/profiles/active", json={"name": "default"}).status_code == 200
    listed = [s["session_id"] for s in server.client.get("/sessions").json()["sessions"]]
    assert "prof-default" in listed and "prof-work" not in listed


def test_profile_names_are_single_plain_components(server):
    for name in ("../escape", "a/b", "", ".hidden", "x" * 65, "nl\n", "nl\r"):
        res = server.client.post("/profiles/active", json={"name": name, "create": True})
        assert res.status_code == 400, name
    assert server.client.get("/profiles").json()["active"] == "default"
    assert not list((server.home / ".korvel" / "profiles").glob("nl*"))


def test_model_change_keeps_a_linked_config_and_its_mode(server):
    home = server.home / ".korvel"
    path = home / "config.yaml"
    saved = path.read_bytes() if path.exists() else None
    shared = server.home / "dotfiles" / "korvel.yaml"
    shared.parent.mkdir(exist_ok=True)
    shared.write_text("model: a/one\n")
    shared.chmod(0o640)
    path.unlink(missing_ok=True)
    path.symlink_to(shared)
    try:
        assert server.client.post("/model", json={"model": "a/linked"}).status_code == 200
        assert path.is_symlink() and path.resolve() == shared.resolve()
        assert yaml.safe_load(shared.read_text()) == {"model": "a/linked"}
        assert shared.stat().st_mode & 0o777 == 0o640
        assert not list(home.glob(".config.*")) and not list(shared.parent.glob(".config.*"))
    finally:
        path.unlink()
        if saved is not None:
            path.write_bytes(saved)


def test_a_corrupt_config_is_reported_not_hidden(server):
    path = server.home / ".korvel" / "config.yaml"
    saved = path.read_bytes() if path.exists() else None
    try:
        path.write_text("model: [unclosed\n")
        res = server.client.get("/model")
        assert res.status_code == 200
        assert "config.yaml is not usable" in res.json()["config_error"]
        health = server.client.get("/health").json()
        assert health["status"] == "degraded" and any("config.yaml" in p for p in health["problems"])
        assert server.client.post("/model", json={"model": "a/b"}).status_code == 409
    finally:
        if saved is None:
            path.unlink()
        else:
            path.write_bytes(saved)
    assert server.client.get("/model").json()["config_error"] is None
