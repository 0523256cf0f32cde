import os

import pytest

from bridge import env_setup

VARS = ("ZALIX_MODEL", "ZALIX_PROVIDER", "ZALIX_BASE_URL")


@pytest.fixture
def config(home, monkeypatch):
    for var in VARS:
        monkeypatch.delenv(var, raising=False)
    f = home / ".korvel" / "config.yaml"
    f.parent.mkdir(parents=True, exist_ok=True)

    def write(text):
        f.write_text(text, encoding="utf-8")

    return write


def current():
    return {v: os.environ[v] for v in VARS if v in os.environ}


def test_model_mapping_sets_all_three(config):
    config("model:\n  default: anthropic/claude-x\n  provider: openrouter\n"
           "  base_url: https://openrouter.ai/api/v1\nother: 1\n")
    expected = {"ZALIX_MODEL": "anthropic/claude-x", "ZALIX_PROVIDER": "openrouter",
                "ZALIX_BASE_URL": "https://openrouter.ai/api/v1"}
    assert env_setup.setup_agent_environment() == expected
    assert current() == expected


def test_model_as_plain_text(config):
    config("model: some/model\n")
    assert env_setup.setup_agent_environment() == {"ZALIX_MODEL": "some/model"}
    assert current() == {"ZALIX_MODEL": "some/model"}


def test_set_variables_are_never_overridden(config, monkeypatch):
    monkeypatch.setenv("ZALIX_MODEL", "mine")
    monkeypatch.setenv("ZALIX_BASE_URL", "")  # set, even if empty
    config("model:\n  default: theirs\n  provider: p\n  base_url: http://x\n")
    assert env_setup.setup_agent_environment() == {"ZALIX_PROVIDER": "p"}
    assert current() == {"ZALIX_MODEL": "mine", "ZALIX_PROVIDER": "p", "ZALIX_BASE_URL": ""}


@pytest.mark.parametrize("text", [
    None,                          # no file
    "model: [unclosed\n",          # not YAML
    "- a list\n- not a mapping\n",
    "",                            # empty document
    "model:\n",                    # model is null
    "model: 42\n",
    "model:\n  default: 42\n  provider: [x]\n  base_url: ''\n",
    "other: 1\n",
])
def test_missing_or_malformed_sets_nothing(config, text):
    if text is not None:
        config(text)
    assert env_setup.setup_agent_environment() == {}
    assert current() == {}


def test_undecodable_file_sets_nothing(config, home):
    (home / ".korvel" / "config.yaml").write_bytes(b"model: \xff\xfe\n")
    assert env_setup.setup_agent_environment() == {}


def test_value_the_environment_cannot_hold_is_skipped(config):
    config('model:\n  default: "bad\\0name"\n  provider: ok\n')
    assert env_setup.setup_agent_environment() == {"ZALIX_PROVIDER": "ok"}


def test_home_is_resolved_at_call_time(config, tmp_path, monkeypatch):
    other = tmp_path / "otherhome"
    (other / ".korvel").mkdir(parents=True)
    (other / ".korvel" / "config.yaml").write_text("model: from-other-home\n")
    monkeypatch.setenv("HOME", str(other))
    assert env_setup.setup_agent_environment() == {"ZALIX_MODEL": "from-other-home"}
