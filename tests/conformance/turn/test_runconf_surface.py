"""Profile configuration to constructor arguments, checked from outside."""
import logging
import math

import pytest

import bridge.Chat.runconf as runconf

LOG = "bridge.runconf"


@pytest.fixture(autouse=True)
def plain(monkeypatch, engine_module):
    monkeypatch.delenv("KORVEL_MAX_ITERATIONS", raising=False)
    engine_module("korvel_cli.config", _missing=True)


@pytest.fixture
def home(tmp_path):
    def write(text):
        (tmp_path / "config.yaml").write_text(text, encoding="utf-8")
        return tmp_path
    return write


def test_logger_and_keyword_names(tmp_path):
    assert runconf.logger is logging.getLogger(LOG)
    assert runconf._load_profile_config(profile_home=tmp_path) == {}
    assert runconf.build_agent_kwargs(profile_home=tmp_path) == {"max_iterations": 90}
    for name in ("get_provider_routing", "get_reasoning_config", "get_service_tier",
                 "get_fallback_model", "get_max_iterations", "get_request_overrides"):
        getattr(runconf, name)(cfg={})


@pytest.mark.parametrize("bad", [None, [], "x", 3, [("a", 1)]])
def test_getters_refuse_what_is_not_a_mapping(bad):
    for name in ("get_provider_routing", "get_reasoning_config", "get_service_tier",
                 "get_fallback_model", "get_max_iterations", "get_request_overrides"):
        with pytest.raises(TypeError):
            getattr(runconf, name)(bad)


def test_every_key_in_order_and_by_reference(home, monkeypatch):
    path = home("""
providers:
  data_collection: deny
  require_parameters: yes
  sort: price
  order: [b, a]
  ignore: [c]
  only: [a, b]
reasoning: {effort: high}
service_tier: "  flex "
model: {default: m, fallback: "  fb/model  "}
agent: {max_turns: 7}
request_overrides: {temperature: 0.5}
""")
    out = runconf.build_agent_kwargs(path)
    assert list(out) == ["providers_allowed", "providers_ignored", "providers_order",
                         "provider_sort", "provider_require_parameters",
                         "provider_data_collection", "reasoning_config", "service_tier",
                         "fallback_model", "max_iterations", "request_overrides"]
    assert out["provider_require_parameters"] is True
    assert out["service_tier"] == "flex" and out["fallback_model"] == "fb/model"
    assert out["max_iterations"] == 7 and type(out["max_iterations"]) is int

    cfg = {"providers": {"only": ["x"], "order": ["y"]}, "reasoning": {"e": 1},
           "request_overrides": {"t": 1}}
    routing = runconf.get_provider_routing(cfg)
    assert routing["providers_allowed"] is cfg["providers"]["only"]
    assert routing["providers_order"] is cfg["providers"]["order"]
    assert runconf.get_reasoning_config(cfg) is cfg["reasoning"]
    assert runconf.get_request_overrides(cfg) is cfg["request_overrides"]


def test_provider_conditions():
    get = runconf.get_provider_routing
    assert get({"providers": {"only": [], "ignore": "", "order": None, "sort": 0}}) == {}
    assert get({"providers": {"require_parameters": 0}}) == {"provider_require_parameters": False}
    assert get({"providers": {"require_parameters": "no"}}) == {"provider_require_parameters": True}
    assert get({"providers": {"require_parameters": None, "data_collection": None}}) == {}
    assert get({"providers": {"data_collection": False}}) == {"provider_data_collection": False}
    assert get({"providers": {"data_collection": ""}}) == {"provider_data_collection": ""}
    for odd in (["only"], "only", 5, None):
        assert get({"providers": odd}) == {}


def test_text_getters():
    assert runconf.get_service_tier({"service_tier": "\t pro \n"}) == "pro"
    for odd in ("   ", "", 3, None, ["a"], True):
        assert runconf.get_service_tier({"service_tier": odd}) is None
    assert runconf.get_service_tier({}) is None
    assert runconf.get_fallback_model({"model": {"fallback": " m "}}) == "m"
    for odd in ({"fallback": "  "}, {"fallback": 3}, {"fallback": None}, {}, "text", ["fallback"], None):
        assert runconf.get_fallback_model({"model": odd}) is None


def test_mapping_getters():
    for key, get in (("reasoning", runconf.get_reasoning_config),
                     ("request_overrides", runconf.get_request_overrides)):
        assert get({}) is None
        assert get({key: {}}) is None
        assert get({key: ["a"]}) is None
        assert get({key: "text"}) is None
        assert get({key: None}) is None
        value = {"a": 1}
        assert get({key: value}) is value


@pytest.mark.parametrize("env, turns, expected", [
    ("120", 50, 120),
    (" -5 ", 50, -5),
    ("+7", 50, 7),
    ("0", 50, 0),
    ("abc", 50, 50),
    ("12.5", 50, 50),
    ("", 50, 50),
    (None, "oops", 90),
    (None, 12.9, 12),
    (None, -12.9, -12),
    (None, True, 1),
    (None, False, 0),
    (None, " 33 ", 33),
    (None, [1], 90),
    (None, {"a": 1}, 90),
    (None, None, 90),
    (None, 0, 0),
    (None, -4, -4),
    (None, math.inf, 90),
    (None, -math.inf, 90),
    (None, math.nan, 90),
])
def test_max_iterations_precedence(monkeypatch, env, turns, expected):
    if env is not None:
        monkeypatch.setenv("KORVEL_MAX_ITERATIONS", env)
    got = runconf.get_max_iterations({"agent": {"max_turns": turns}})
    assert got == expected and type(got) is int


def test_max_iterations_odd_agent_sections(monkeypatch):
    assert runconf.get_max_iterations({"agent": "x"}) == 90
    assert runconf.get_max_iterations({"agent": None}) == 90
    assert runconf.get_max_iterations({"agent": {}}) == 90
    monkeypatch.setenv("KORVEL_MAX_ITERATIONS", "3")
    assert runconf.get_max_iterations({}) == 3
    monkeypatch.setenv("KORVEL_MAX_ITERATIONS", "4")
    assert runconf.get_max_iterations({}) == 4


def test_yaml_infinities_give_the_default(home):
    for text in (".inf", "-.inf", ".nan", ".Inf"):
        out = runconf.build_agent_kwargs(home(f"agent: {{max_turns: {text}}}\n"))
        assert out == {"max_iterations": 90}


@pytest.mark.parametrize("text", ["", "~\n", "null\n", "false\n", "0\n", "[]\n", "{}\n", "# only a comment\n"])
def test_empty_documents_without_warning(home, logs, text):
    assert runconf.build_agent_kwargs(home(text)) == {"max_iterations": 90}
    assert logs(LOG) == []


@pytest.mark.parametrize("text", ["- a\n- b\n", "just text\n", "42\n", "a: [unclosed\n", "!!python/object:os.system {}\n"])
def test_bad_documents_warn_once_per_call(home, logs, text):
    path = home(text)
    assert runconf._load_profile_config(path) == {}
    assert runconf.build_agent_kwargs(path) == {"max_iterations": 90}
    got = logs(LOG)
    assert len(got) == 2
    for level, msg, args in got:
        assert level == "WARNING" and msg == "Failed to load config.yaml: %s"
        assert len(args) == 1 and str(args[0])


def test_engine_expansion_at_call_time(home, engine_module, logs):
    path = home("service_tier: $TIER\n")
    assert runconf.get_service_tier(runconf._load_profile_config(path)) == "$TIER"
    seen = []

    def expand(cfg):
        seen.append(cfg)
        return {"service_tier": "expanded"}

    engine_module("korvel_cli.config", _expand_env_vars=expand)
    assert runconf.build_agent_kwargs(path)["service_tier"] == "expanded"
    assert seen == [{"service_tier": "$TIER"}]

    engine_module("korvel_cli.config", _expand_env_vars=lambda cfg: ["not", "a", "mapping"])
    assert runconf.build_agent_kwargs(path) == {"max_iterations": 90}

    def broken(cfg):
        raise RuntimeError("expansion broke")

    engine_module("korvel_cli.config", _expand_env_vars=broken)
    assert runconf._load_profile_config(path) == {}
    warnings = [r for r in logs(LOG) if r[0] == "WARNING"]
    assert len(warnings) == 2
    assert "expansion broke" in str(warnings[-1][2][0])


def test_empty_document_still_goes_through_expansion(home, engine_module):
    seen = []
    engine_module("korvel_cli.config", _expand_env_vars=lambda cfg: seen.append(cfg) or {"agent": {"max_turns": 5}})
    assert runconf.build_agent_kwargs(home("")) == {"max_iterations": 5}
    assert seen == [{}]


def test_operations_reach_each_other_through_the_module(monkeypatch, tmp_path):
    monkeypatch.setattr(runconf, "_load_profile_config", lambda home: {"service_tier": "t"})
    assert runconf.build_agent_kwargs(tmp_path)["service_tier"] == "t"
    monkeypatch.setattr(runconf, "get_max_iterations", lambda cfg: 1234)
    monkeypatch.setattr(runconf, "get_provider_routing", lambda cfg: {"providers_order": ["z"]})
    monkeypatch.setattr(runconf, "get_fallback_model", lambda cfg: "")
    assert runconf.build_agent_kwargs(tmp_path) == {
        "providers_order": ["z"], "service_tier": "t", "max_iterations": 1234}


def test_file_read_afresh(home):
    path = home("agent: {max_turns: 3}\n")
    assert runconf.build_agent_kwargs(path) == {"max_iterations": 3}
    home("agent: {max_turns: 4}\n")
    assert runconf.build_agent_kwargs(path) == {"max_iterations": 4}


def test_unusable_home_raises(tmp_path):
    with pytest.raises(TypeError):
        runconf.build_agent_kwargs(None)


def test_parser_reached_at_call_time(home, monkeypatch):
    import yaml
    path = home("service_tier: plain\n")
    monkeypatch.setattr(yaml, "safe_load", lambda stream: {"service_tier": "patched"})
    assert runconf.build_agent_kwargs(path)["service_tier"] == "patched"


def test_base_exceptions_are_not_turned_into_warnings(home, engine_module, logs):
    path = home("a: 1\n")

    def interrupted(cfg):
        raise KeyboardInterrupt

    engine_module("korvel_cli.config", _expand_env_vars=interrupted)
    with pytest.raises(KeyboardInterrupt):
        runconf.build_agent_kwargs(path)
    assert logs(LOG) == []


def test_unreadable_file_warns(tmp_path, logs):
    (tmp_path / "config.yaml").mkdir()
    assert runconf.build_agent_kwargs(tmp_path) == {"max_iterations": 90}
    assert [g[:2] for g in logs(LOG)] == [("WARNING", "Failed to load config.yaml: %s")]
