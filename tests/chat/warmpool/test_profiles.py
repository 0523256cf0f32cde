"""Profiles: homes, session stores, switching and the configured model."""
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest

from pool_fakes import FAKE_ENGINE, Store


@pytest.fixture
def jobs(monkeypatch):
    mod = types.ModuleType("cron.jobs")
    pkg = types.ModuleType("cron")
    pkg.jobs = mod
    monkeypatch.setitem(sys.modules, "cron", pkg)
    monkeypatch.setitem(sys.modules, "cron.jobs", mod)
    return mod


class TestHomes:
    def test_homes(self, wp, home):
        root = home / ".korvel"
        assert wp.get_profile_home() == root
        assert isinstance(wp.get_profile_home(), pathlib.Path)
        assert wp.get_profile_home("") == root
        assert wp.get_profile_home("default") == root
        assert wp.get_profile_home("work") == root / "profiles" / "work"
        wp._active_profile = "work"
        assert wp.get_profile_home() == wp.get_profile_home("") == wp.get_profile_home("work")
        assert wp.get_profile_home(profile="default") == root
        assert wp.get_active_profile() == "work"

    def test_home_follows_HOME_at_call_time(self, wp, monkeypatch, tmp_path):
        monkeypatch.setenv("HOME", str(tmp_path))
        assert wp.get_profile_home() == tmp_path / ".korvel"

    @pytest.mark.parametrize("fn", ["get_profile_home", "get_session_db"])
    def test_profile_type(self, wp, fn):
        with pytest.raises(TypeError):
            getattr(wp, fn)(3)
        assert Store.opened == []


class TestSessionStores:
    def test_opened_once_per_profile(self, wp, home):
        a = wp.get_session_db("work")
        assert wp.get_session_db("work") is a
        assert a.db_path == home / ".korvel" / "profiles" / "work" / "state.db"
        d = wp.get_session_db()
        assert d.db_path == home / ".korvel" / "state.db"
        assert wp._profile_dbs == {"work": a, "default": d}

    def test_after_switch_the_same_store(self, wp, korvel):
        a = wp.get_session_db("work")
        wp.set_active_profile("work")
        assert wp.get_session_db() is a
        assert wp.get_session_db("default") is not a

    def test_constructor_error_stores_nothing(self, wp, monkeypatch):
        calls = []

        class Flaky(Store):
            def __init__(self, *, db_path):
                calls.append(db_path)
                if len(calls) == 1:
                    raise OSError("locked")
                super().__init__(db_path=db_path)

        monkeypatch.setattr(wp, "SessionDB", Flaky)
        with pytest.raises(OSError):
            wp.get_session_db()
        assert wp._profile_dbs == {} and not wp._profile_dbs_lock.locked()
        assert isinstance(wp.get_session_db(), Flaky)


class TestSwitching:
    def test_switch_points_everything_at_new_profile(self, wp, korvel, jobs, monkeypatch, caplog):
        home = korvel / "profiles" / "work"
        home.mkdir(parents=True)
        (home / ".env").write_text("WP_T_VAR=from-work\n")
        monkeypatch.setenv("WP_T_VAR", "before")
        wp.agent_cache["x"] = object()
        with caplog.at_level(logging.INFO, logger="bridge.pool"):
            assert wp.set_active_profile("work") is None
        assert wp._active_profile == "work"
        assert os.environ["KORVEL_HOME"] == str(home)
        assert os.environ["WP_T_VAR"] == "from-work"  # loaded with override
        assert jobs.KORVEL_DIR == home.resolve()
        assert jobs.CRON_DIR == home.resolve() / "cron"
        assert jobs.JOBS_FILE == home.resolve() / "cron" / "jobs.json"
        assert jobs.OUTPUT_DIR == home.resolve() / "cron" / "output"
        assert not (home / "cron").exists()
        assert wp.agent_cache == {}
        (rec,) = [r for r in caplog.records if r.name == "bridge.pool"]
        assert rec.levelno == logging.INFO
        assert rec.msg == "Profile switched: %s → %s" and rec.args == ("default", "work")

    def test_same_profile_keeps_environment_and_agents(self, wp, korvel, jobs, monkeypatch,
                                                       caplog):
        (korvel / ".env").write_text("WP_T_VAR=root\n")
        monkeypatch.setenv("WP_T_VAR", "changed")
        agent = object()
        wp.agent_cache["x"] = agent
        with caplog.at_level(logging.DEBUG, logger="bridge.pool"):
            wp.set_active_profile("default")
        assert os.environ["WP_T_VAR"] == "changed"
        assert jobs.KORVEL_DIR == korvel.resolve()
        assert os.environ["KORVEL_HOME"] == str(korvel)
        assert wp.agent_cache == {"x": agent}
        assert [r for r in caplog.records if r.name == "bridge.pool"] == []

    def test_secrets_stay_in_their_profile(self, wp, korvel, monkeypatch):
        """What a profile's .env set is put back when another profile is
        chosen: to the value before that load, or unset."""
        monkeypatch.delenv("OPENROUTER_API_KEY", raising=False)
        monkeypatch.delenv("ZALIX_BASE_URL", raising=False)
        monkeypatch.setenv("WP_T_BASE", "process")
        for name, text in (("a", "OPENROUTER_API_KEY=sk-a\nWP_T_BASE=from-a\n"),
                           ("b", "ZALIX_BASE_URL=https://b.example/v1\n")):
            (korvel / "profiles" / name).mkdir(parents=True)
            (korvel / "profiles" / name / ".env").write_text(text)
        wp.set_active_profile("a")
        assert os.environ["OPENROUTER_API_KEY"] == "sk-a"
        assert os.environ["WP_T_BASE"] == "from-a"
        wp.set_active_profile("b")
        assert "OPENROUTER_API_KEY" not in os.environ
        assert os.environ["WP_T_BASE"] == "process"
        assert os.environ["ZALIX_BASE_URL"] == "https://b.example/v1"
        agent, _ = wp.get_agent("s")
        assert agent.kwargs["api_key"] == "" and agent.kwargs["base_url"] == "https://b.example/v1"
        wp.set_active_profile("a")
        assert "ZALIX_BASE_URL" not in os.environ
        assert os.environ["OPENROUTER_API_KEY"] == "sk-a"
        wp.set_active_profile("default")
        assert "OPENROUTER_API_KEY" not in os.environ and os.environ["WP_T_BASE"] == "process"
        assert wp._profile_env_changes == {}

    def test_missing_jobs_module_ignored(self, wp, korvel, monkeypatch):
        monkeypatch.setitem(sys.modules, "cron.jobs", None)
        wp.set_active_profile("solo")
        assert wp.get_active_profile() == "solo"

    @pytest.mark.parametrize("name", ["", ".", "..", "a/b", "/abs", "a\\b", "nul\x00"])
    def test_bad_names_refused_before_anything(self, wp, korvel, jobs, name):
        wp.agent_cache["x"] = 1
        with pytest.raises(ValueError):
            wp.set_active_profile(name)
        assert wp._active_profile == "default" and wp.agent_cache == {"x": 1}
        assert "KORVEL_HOME" not in os.environ and not hasattr(jobs, "KORVEL_DIR")

    def test_name_type(self, wp):
        for bad in (None, 1, b"x"):
            with pytest.raises(TypeError):
                wp.set_active_profile(bad)
        assert wp._active_profile == "default"

    def test_errors_after_first_step_keep_the_new_name(self, wp, korvel, monkeypatch):
        home = korvel / "profiles" / "broken"
        home.mkdir(parents=True)
        (home / ".env").write_text("X=1\n")

        def boom(*a, **k):
            raise OSError("unreadable")

        monkeypatch.setattr(wp, "load_dotenv", boom)
        with pytest.raises(OSError):
            wp.set_active_profile("broken")
        assert wp._active_profile == "broken"
        assert not wp.agent_cache_lock.locked()


class TestConfiguredModel:
    @pytest.mark.parametrize("text, expected", [
        ("model: plain/model\n", "plain/model"),
        ("model: ''\n", ""),
        ("model:\n  default: a/b\n  model: c/d\n", "a/b"),
        ("model:\n  default: ''\n  model: c/d\n", "c/d"),
        ("model:\n  provider: x\n", ""),
        ("agent: {}\n", ""),
        ("", ""),
    ])
    def test_from_config(self, wp, korvel, monkeypatch, text, expected):
        monkeypatch.setenv("ZALIX_MODEL", "env/model")
        (korvel / "config.yaml").write_text(text)
        assert wp._get_config_model() == expected

    @pytest.mark.parametrize("text", [
        "model: [a, b]\n", "model: 3\n", "model:\n  default: 5\n", "- a list\n",
        "model: {unclosed\n", "model:\n",
    ])
    def test_odd_shapes_fall_back_to_environment(self, wp, korvel, monkeypatch, text):
        monkeypatch.setenv("ZALIX_MODEL", "env/model")
        (korvel / "config.yaml").write_text(text)
        assert wp._get_config_model() == "env/model"

    def test_missing_file(self, wp, korvel, monkeypatch):
        assert wp._get_config_model() == ""
        monkeypatch.setenv("ZALIX_MODEL", "env/model")
        assert wp._get_config_model() == "env/model"

    def test_active_profile_is_read(self, wp, korvel):
        (korvel / "profiles" / "p").mkdir(parents=True)
        (korvel / "profiles" / "p" / "config.yaml").write_text("model: p/model\n")
        wp._active_profile = "p"
        assert wp._get_config_model() == "p/model"


def test_loading_reads_root_env_before_the_engine(tmp_path):
    """The root .env is loaded without override before the engine loads."""
    (tmp_path / ".korvel").mkdir()
    (tmp_path / ".korvel" / ".env").write_text("WP_SEEN=from-file\nWP_KEEP=from-file\n")
    engine = tmp_path / "engine"
    engine.mkdir()
    (engine / "run_agent.py").write_text(textwrap.dedent("""
        import os
        SEEN_AT_LOAD = os.environ.get("WP_SEEN")
        class AIAgent:
            pass
    """))
    code = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {str(engine)!r})
        sys.path.append({str(FAKE_ENGINE)!r})
        import bridge.Chat.warmpool as wp
        import run_agent
        print(run_agent.SEEN_AT_LOAD, os.environ["WP_KEEP"], wp.AIAgent is run_agent.AIAgent)
    """)
    env = dict(os.environ, HOME=str(tmp_path), WP_KEEP="from-env")
    env.pop("WP_SEEN", None)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["from-file", "from-env", "True"]


def test_sibling_modules_bound_at_load():
    import bridge.Chat.consentgate as consentgate
    import bridge.Chat.interrupt as interrupt
    import bridge.Chat.runconf as runconf
    import bridge.Chat.warmpool as module

    assert module.__file__.endswith(".so")
    assert module.register_running_agent is interrupt.register_running_agent
    assert module.unregister_running_agent is interrupt.unregister_running_agent
    assert module.build_agent_kwargs is runconf.build_agent_kwargs
    assert module.wire_approval_for_session is consentgate.wire_approval_for_session
