"""Profiles: homes as paths, the switch with its log line, environment and
engine job paths, names refused, the configured model."""
import logging
import os
import pathlib
import sys
import types

import pytest

from pool_fakes import ALL_LOCKS, locks_free


@pytest.fixture
def jobs(monkeypatch):
    mod = types.ModuleType("cron.jobs")
    pkg = types.ModuleType("cron")
    pkg.__path__ = []
    pkg.jobs = mod
    monkeypatch.setitem(sys.modules, "cron", pkg)
    monkeypatch.setitem(sys.modules, "cron.jobs", mod)
    return mod


def test_homes_are_paths(pool, root):
    for arg in [None, "", "default"]:
        h = pool.get_profile_home(arg)
        assert isinstance(h, pathlib.Path) and h == root
    assert pool.get_profile_home("work") == root / "profiles" / "work"
    pool._active_profile = "work"
    assert pool.get_profile_home() == root / "profiles" / "work"
    assert pool.get_profile_home("default") == root


def test_store_path_and_once(pool, root):
    a = pool.get_session_db()
    assert a.db_path == root / "state.db" and isinstance(a.db_path, pathlib.Path)
    assert pool.get_session_db("") is a and pool.get_session_db("default") is a
    b = pool.get_session_db("w")
    assert b.db_path == root / "profiles" / "w" / "state.db"
    assert pool._profile_dbs == {"default": a, "w": b}


def test_store_opened_under_its_lock_only(pool, root, monkeypatch):
    seen = []

    class S:
        def __init__(self, *, db_path):
            seen.append((pool._profile_dbs_lock.locked(),
                         locks_free(*[n for n in ALL_LOCKS if n != "_profile_dbs_lock"])))

    monkeypatch.setattr(pool, "SessionDB", S)
    pool.get_session_db("x")
    assert seen == [(True, True)]


def test_switch(pool, root, jobs, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="bridge.pool")
    home = root / "profiles" / "work"
    home.mkdir(parents=True)
    (home / ".env").write_text("CONF_POOL_A=from-file\n")
    monkeypatch.setenv("CONF_POOL_A", "before")
    pool.agent_cache["x"] = object()
    pool.set_active_profile("work")
    assert pool._active_profile == "work" and pool.get_active_profile() == "work"
    assert os.environ["KORVEL_HOME"] == str(home)
    assert os.environ["CONF_POOL_A"] == "from-file"
    real = home.resolve()
    assert jobs.KORVEL_DIR == real and isinstance(jobs.KORVEL_DIR, pathlib.Path)
    assert jobs.CRON_DIR == real / "cron"
    assert jobs.JOBS_FILE == real / "cron" / "jobs.json"
    assert jobs.OUTPUT_DIR == real / "cron" / "output"
    assert not (home / "cron").exists()
    assert pool.agent_cache == {}
    recs = [r for r in caplog.records if r.name == "bridge.pool"]
    assert [(r.levelno, r.msg, r.args) for r in recs] == [
        (logging.INFO, "Profile switched: %s → %s", ("default", "work"))]
    monkeypatch.delenv("CONF_POOL_A")


def test_job_paths_resolve_links(pool, root, jobs, tmp_path):
    target = tmp_path / "real"
    target.mkdir()
    (root / "profiles").mkdir()
    (root / "profiles" / "ln").symlink_to(target)
    pool.set_active_profile("ln")
    assert jobs.KORVEL_DIR == target.resolve()


def test_same_profile_no_clear_no_log(pool, root, jobs, caplog):
    caplog.set_level(logging.DEBUG, logger="bridge.pool")
    agent = object()
    pool.agent_cache["x"] = agent
    pool.set_active_profile("default")
    assert pool.agent_cache == {"x": agent}
    assert os.environ["KORVEL_HOME"] == str(root)
    assert jobs.KORVEL_DIR == root.resolve()
    assert [r for r in caplog.records if r.name == "bridge.pool"] == []


def test_cache_cleared_under_its_lock(pool, root, jobs, monkeypatch):
    seen = []

    class Cache(dict):
        def clear(self):
            seen.append(pool.agent_cache_lock.locked())
            super().clear()

        def popitem(self):
            seen.append(pool.agent_cache_lock.locked())
            return super().popitem()

        def __delitem__(self, k):
            seen.append(pool.agent_cache_lock.locked())
            super().__delitem__(k)

    monkeypatch.setattr(pool, "agent_cache", Cache(a=1, b=2))
    pool.set_active_profile("other")
    assert len(pool.agent_cache) == 0 and seen and all(seen)


@pytest.mark.parametrize("name", ["", "a/b", "a\\b", ".", "..", "/abs", "../x", "x/"])
def test_unsafe_names_refused_before_anything(pool, root, jobs, caplog, monkeypatch, name):
    pool.agent_cache["x"] = 1
    monkeypatch.delenv("KORVEL_HOME", raising=False)
    with pytest.raises(ValueError):
        pool.set_active_profile(name)
    assert pool._active_profile == "default"
    assert "KORVEL_HOME" not in os.environ
    assert not hasattr(jobs, "KORVEL_DIR")
    assert pool.agent_cache == {"x": 1}


@pytest.mark.parametrize("name", ["a.b", "...", "-x", "with space", "é"])
def test_plain_names_accepted(pool, root, jobs, name):
    pool.set_active_profile(name)
    assert pool._active_profile == name


def test_switch_errors_keep_new_name(pool, root, jobs, monkeypatch):
    class Jobs(types.ModuleType):
        def __setattr__(self, k, v):
            raise RuntimeError("read-only")

    monkeypatch.setitem(sys.modules, "cron.jobs", Jobs("cron.jobs"))
    sys.modules["cron"].jobs = sys.modules["cron.jobs"]
    with pytest.raises(RuntimeError):
        pool.set_active_profile("p2")
    assert pool._active_profile == "p2"


def test_missing_jobs_module_skipped(pool, root, monkeypatch):
    monkeypatch.setitem(sys.modules, "cron.jobs", None)
    pool.set_active_profile("p3")
    assert os.environ["KORVEL_HOME"] == str(root / "profiles" / "p3")


def test_home_resolved_at_call_time(pool, monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    assert pool.get_profile_home() == tmp_path / ".korvel"
    assert pool.get_profile_home("q") == tmp_path / ".korvel" / "profiles" / "q"


class TestConfigModel:
    @pytest.mark.parametrize("text,want", [
        ("model: plain/model\n", "plain/model"),
        ("model: ''\n", ""),
        ("model:\n  default: d\n  model: m\n", "d"),
        ("model:\n  default: ''\n  model: m\n", "m"),
        ("model:\n  provider: x\n", ""),
        ("other: 1\n", ""),
        ("", ""),
        ("false\n", ""),
    ])
    def test_config(self, pool, root, monkeypatch, text, want):
        monkeypatch.setenv("ZALIX_MODEL", "env-model")
        (root / "config.yaml").write_text(text)
        got = pool._get_config_model()
        assert got == want and type(got) is str

    @pytest.mark.parametrize("text", [
        "model:\n", "model: [a]\n", "model: 3\n", "model:\n  default: 5\n",
        "[1, 2]\n", "model: [\n", "model:\n  default: [x]\n",
    ])
    def test_unexpected_shapes_use_environment(self, pool, root, monkeypatch, text):
        (root / "config.yaml").write_text(text)
        monkeypatch.setenv("ZALIX_MODEL", "env-model")
        assert pool._get_config_model() == "env-model"
        monkeypatch.delenv("ZALIX_MODEL")
        assert pool._get_config_model() == ""

    def test_no_file(self, pool, root, monkeypatch):
        monkeypatch.setenv("ZALIX_MODEL", "env-model")
        assert pool._get_config_model() == "env-model"
        # The public spelling answers alike, through the namespace.
        assert pool.get_config_model() == "env-model"
        monkeypatch.setattr(pool, "_get_config_model", lambda: "replaced")
        assert pool.get_config_model() == "replaced"

    def test_no_yaml_support(self, pool, root, monkeypatch):
        (root / "config.yaml").write_text("model: m\n")
        monkeypatch.setenv("ZALIX_MODEL", "env-model")
        monkeypatch.setitem(sys.modules, "yaml", None)
        assert pool._get_config_model() == "env-model"

    def test_active_profile_of_the_moment(self, pool, root):
        d = root / "profiles" / "w"
        d.mkdir(parents=True)
        (d / "config.yaml").write_text("model: wm\n")
        monkeypatch_profile = pool._active_profile
        pool._active_profile = "w"
        assert pool._get_config_model() == "wm"
        pool._active_profile = monkeypatch_profile

    def test_replaced_profile_home_used(self, pool, root, monkeypatch, tmp_path):
        (tmp_path / "config.yaml").write_text("model: elsewhere\n")
        monkeypatch.setattr(pool, "get_profile_home", lambda profile=None: tmp_path)
        assert pool._get_config_model() == "elsewhere"
