import math
import pathlib
import sys
import types

import pytest

import bridge.Chat.runconf as runconf

LOG = "bridge.runconf"
GETTERS = ["get_provider_routing", "get_reasoning_config", "get_service_tier",
           "get_fallback_model", "get_max_iterations", "get_request_overrides"]


@pytest.fixture(autouse=True)
def no_env(monkeypatch):
    monkeypatch.delenv("KORVEL_MAX_ITERATIONS", raising=False)
    # No engine configuration module unless a test supplies one.
    monkeypatch.setitem(sys.modules, "korvel_cli.config", None)


@pytest.fixture
def profile(tmp_path):
    def write(text):
        (tmp_path / "config.yaml").write_text(text, encoding="utf-8")
        return tmp_path
    return write


def test_module_surface():
    assert runconf.logger.name == LOG
    assert runconf.Path is pathlib.Path


@pytest.mark.parametrize("name", GETTERS)
@pytest.mark.parametrize("bad", [None, [], "providers: {}", 3])
def test_getters_refuse_non_mappings(name, bad):
    with pytest.raises(TypeError):
        getattr(runconf, name)(bad)


def test_getters_accept_mapping_types_and_keywords():
    from types import MappingProxyType

    class D(dict):
        pass

    cfg = MappingProxyType({"service_tier": " flex "})
    assert runconf.get_service_tier(cfg=cfg) == "flex"
    assert runconf.get_max_iterations(D()) == 90


def test_missing_file_gives_only_iterations(tmp_path, records):
    assert runconf._load_profile_config(tmp_path) == {}
    assert runconf.build_agent_kwargs(profile_home=tmp_path) == {"max_iterations": 90}
    assert runconf.build_agent_kwargs(str(tmp_path / "nowhere")) == {"max_iterations": 90}
    assert records(LOG) == []


def test_unusable_profile_home_raises():
    with pytest.raises(TypeError):
        runconf.build_agent_kwargs(None)


@pytest.mark.parametrize("text", ["", "# nothing\n", "null\n", "false\n", "0\n", "{}\n", "[]\n"])
def test_empty_documents_are_empty_config(profile, text, records):
    assert runconf._load_profile_config(profile(text)) == {}
    assert records(LOG) == []


@pytest.mark.parametrize("text", ["- a\n- b\n", "just text\n", "42\n", "key: [unclosed\n",
                                  "!!python/object:os.system {}\n"])
def test_bad_documents_warn_once(profile, text, records):
    home = profile(text)
    assert runconf.build_agent_kwargs(home) == {"max_iterations": 90}
    (level, fmt, args), = records(LOG)
    assert (level, fmt) == ("WARNING", "Failed to load config.yaml: %s")
    assert isinstance(args[0], str) and args[0]


def test_undecodable_file_warns(tmp_path, records):
    (tmp_path / "config.yaml").write_bytes(b"model: \xff\xfe\n")
    assert runconf._load_profile_config(tmp_path) == {}
    assert records(LOG)[0][1] == "Failed to load config.yaml: %s"


def test_yaml_1_1_scalars(profile):
    cfg = runconf._load_profile_config(profile("a: yes\nb: off\nc: 0x1F\nd: 1_000\n"))
    assert cfg == {"a": True, "b": False, "c": 31, "d": 1000}


def test_engine_expansion_replaces_config(profile, monkeypatch, records):
    seen = []
    mod = types.ModuleType("korvel_cli.config")
    mod._expand_env_vars = lambda cfg: seen.append(cfg) or {"service_tier": "expanded"}
    monkeypatch.setitem(sys.modules, "korvel_cli.config", mod)
    home = profile("service_tier: raw\n")
    assert runconf.build_agent_kwargs(home) == {"service_tier": "expanded", "max_iterations": 90}
    assert seen == [{"service_tier": "raw"}]
    # Given an empty document, the expander sees an empty mapping.
    profile("")
    runconf._load_profile_config(home)
    assert seen[-1] == {}

    mod._expand_env_vars = lambda cfg: ["not", "a", "mapping"]
    assert runconf._load_profile_config(home) == {}

    def broken(cfg):
        raise KeyError("VAR")

    mod._expand_env_vars = broken
    assert runconf._load_profile_config(home) == {}
    assert [r[0] for r in records(LOG)] == ["WARNING", "WARNING"]


def test_engine_module_without_expander_is_skipped(profile, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "korvel_cli.config", types.ModuleType("korvel_cli.config"))
    assert runconf._load_profile_config(profile("service_tier: x\n")) == {"service_tier": "x"}
    assert records(LOG) == []


def test_with_stand_in_expander(standin, profile, monkeypatch):
    monkeypatch.delitem(sys.modules, "korvel_cli.config", raising=False)
    monkeypatch.setenv("TIER_FROM_ENV", "priority")
    cfg = runconf._load_profile_config(profile("service_tier: ${TIER_FROM_ENV}\n"
                                               "model: {fallback: '${UNSET_VAR_X}'}\n"))
    assert cfg["service_tier"] == "priority"
    assert cfg["model"]["fallback"] == "${UNSET_VAR_X}"


def test_full_config_in_order(profile):
    home = profile("""
providers:
  only: [a, b]
  ignore: [c]
  order: [b, a]
  sort: price
  require_parameters: 1
  data_collection: deny
reasoning: {effort: high}
service_tier: "  flex  "
model: {default: m, fallback: "  other/model "}
agent: {max_turns: 12}
request_overrides: {temperature: 0.2}
""")
    kwargs = runconf.build_agent_kwargs(home)
    assert list(kwargs.items()) == [
        ("providers_allowed", ["a", "b"]), ("providers_ignored", ["c"]),
        ("providers_order", ["b", "a"]), ("provider_sort", "price"),
        ("provider_require_parameters", True), ("provider_data_collection", "deny"),
        ("reasoning_config", {"effort": "high"}), ("service_tier", "flex"),
        ("fallback_model", "other/model"), ("max_iterations", 12),
        ("request_overrides", {"temperature": 0.2}),
    ]


def test_values_are_passed_by_reference():
    only, reasoning = ["x"], {"effort": "low"}
    cfg = {"providers": {"only": only}, "reasoning": reasoning}
    assert runconf.get_provider_routing(cfg)["providers_allowed"] is only
    assert runconf.get_reasoning_config(cfg) is reasoning


def test_provider_routing_conditions():
    r = runconf.get_provider_routing
    assert r({}) == {}
    assert r({"providers": None}) == {}
    assert r({"providers": ["only"]}) == {}
    assert r({"providers": {"only": [], "ignore": "", "order": None, "sort": 0}}) == {}
    assert r({"providers": {"require_parameters": False}}) == {"provider_require_parameters": False}
    assert r({"providers": {"require_parameters": "yes"}}) == {"provider_require_parameters": True}
    assert r({"providers": {"require_parameters": None, "data_collection": None}}) == {}
    assert r({"providers": {"data_collection": False}}) == {"provider_data_collection": False}


def test_mapping_getters():
    for getter, key in [(runconf.get_reasoning_config, "reasoning"),
                        (runconf.get_request_overrides, "request_overrides")]:
        assert getter({}) is None
        assert getter({key: {}}) is None
        assert getter({key: ["a"]}) is None
        assert getter({key: "text"}) is None
        assert getter({key: {"a": 1}}) == {"a": 1}


@pytest.mark.parametrize("value, expected", [
    (" flex ", "flex"), ("   ", None), ("", None), (5, None), (None, None), (["x"], None),
    ("\tpriority\n", "priority")])
def test_service_tier(value, expected):
    assert runconf.get_service_tier({"service_tier": value}) == expected


@pytest.mark.parametrize("model, expected", [
    ({"fallback": " a/b "}, "a/b"), ({"fallback": "  "}, None), ({"fallback": 3}, None),
    ({}, None), ("a/b", None), (None, None), ({"fallback": None}, None)])
def test_fallback_model(model, expected):
    assert runconf.get_fallback_model({"model": model}) == expected
    assert runconf.get_fallback_model({}) is None


@pytest.mark.parametrize("env, turns, expected", [
    (None, None, 90), ("120", 50, 120), ("abc", 50, 50), ("", 50, 50), (None, "abc", 90),
    (None, 12.9, 12), (None, -3.7, -3), (None, True, 1), (None, False, 0), (None, " 33 ", 33),
    (None, "+7", 7), (None, [5], 90), (None, {"n": 1}, 90), ("  -4 ", 50, -4), ("0", 50, 0),
    ("1.5", 50, 50), (None, "12.5", 90), (None, math.inf, 90), (None, -math.inf, 90),
    (None, math.nan, 90), ("7", "junk", 7)])
def test_max_iterations(monkeypatch, env, turns, expected):
    if env is not None:
        monkeypatch.setenv("KORVEL_MAX_ITERATIONS", env)
    cfg = {} if turns is None else {"agent": {"max_turns": turns}}
    got = runconf.get_max_iterations(cfg)
    assert got == expected and type(got) is int


def test_max_iterations_odd_agent_sections():
    assert runconf.get_max_iterations({"agent": "fast"}) == 90
    assert runconf.get_max_iterations({"agent": {"max_turns": None}}) == 90
    assert runconf.get_max_iterations({"agent": None}) == 90


def test_infinite_turns_from_yaml(profile):
    assert runconf.build_agent_kwargs(profile("agent: {max_turns: .inf}\n")) == \
        {"max_iterations": 90}
    assert runconf.build_agent_kwargs(profile("agent: {max_turns: .nan}\n")) == \
        {"max_iterations": 90}


def test_env_read_at_call_time(monkeypatch, tmp_path):
    assert runconf.build_agent_kwargs(tmp_path)["max_iterations"] == 90
    monkeypatch.setenv("KORVEL_MAX_ITERATIONS", "5")
    assert runconf.build_agent_kwargs(tmp_path)["max_iterations"] == 5


def test_file_reread_on_every_call(profile):
    home = profile("service_tier: a\n")
    assert runconf.build_agent_kwargs(home)["service_tier"] == "a"
    profile("service_tier: b\n")
    assert runconf.build_agent_kwargs(home)["service_tier"] == "b"


def test_build_goes_through_the_namespace(monkeypatch, tmp_path):
    monkeypatch.setattr(runconf, "_load_profile_config", lambda home: {"marker": home})
    monkeypatch.setattr(runconf, "get_service_tier", lambda cfg: f"tier-{cfg['marker']}")
    monkeypatch.setattr(runconf, "get_provider_routing", lambda cfg: {"provider_sort": "x"})
    monkeypatch.setattr(runconf, "get_max_iterations", lambda cfg: 1)
    assert runconf.build_agent_kwargs("h") == {
        "provider_sort": "x", "service_tier": "tier-h", "max_iterations": 1}


def test_falsy_getter_results_are_skipped(monkeypatch, tmp_path):
    monkeypatch.setattr(runconf, "get_reasoning_config", lambda cfg: {})
    monkeypatch.setattr(runconf, "get_fallback_model", lambda cfg: "")
    assert runconf.build_agent_kwargs(tmp_path) == {"max_iterations": 90}


def test_missing_yaml_support_is_a_warning(profile, monkeypatch, records):
    monkeypatch.delattr(runconf, "yaml")
    monkeypatch.setitem(sys.modules, "yaml", None)
    assert runconf.build_agent_kwargs(profile("service_tier: x\n")) == {"max_iterations": 90}
    assert records(LOG)[0][:2] == ("WARNING", "Failed to load config.yaml: %s")


def test_yaml_support_is_the_module_binding(profile, monkeypatch):
    class Loader:
        @staticmethod
        def safe_load(text):
            return {"service_tier": "from-replacement"}

    monkeypatch.setattr(runconf, "yaml", Loader)
    got = runconf.build_agent_kwargs(profile("service_tier: x\n"))
    assert got["service_tier"] == "from-replacement"


def test_read_profile_config_gives_the_error_to_its_caller(profile, tmp_path, records):
    """The host's reader: the same reading, but a failure is the caller's to
    report (nothing logged here)."""
    import yaml
    assert runconf.read_profile_config(tmp_path / "none") == {}
    assert runconf.read_profile_config(profile("service_tier: x\n")) == {"service_tier": "x"}
    with pytest.raises(yaml.YAMLError):
        runconf.read_profile_config(profile("model: [unclosed\n"))
    with pytest.raises(TypeError):
        runconf.read_profile_config(profile("- a list\n"))
    assert records(LOG) == []
