"""Start-up and self-update. The package index is a local HTTP server, the
installed distribution a dist-info directory on the path, pip a fake package
on PYTHONPATH, and the service managers fake programs on PATH. Runs that end
the process happen in child interpreters."""
import importlib.metadata
import logging
import os
import shutil
import subprocess
import sys
import time
import urllib.request

import pytest

import bridge
import bridge.bootstrap as bootstrap
import bridge.setup.detect as detect
import bridge.setup.path as setup_path
from setup_support import child_distribution, make_distribution, run_child, wait_for_file

UP_TO_DATE = "korvel-dashboard %s is up to date"
UPDATING = "Updating %s: %s → %s"
COMPLETE = "Update complete — restarting service to use %s"
FAILED = "Auto-update attempt %d/3 failed: %s"
ENV_FAILED = "Env setup failed (non-fatal): %s"
SUMMARY = "Bootstrap: korvel=%s, api_key=%s"


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="bridge.bootstrap")

    def get():
        return [(r.levelname, r.msg, r.args) for r in caplog.records
                if r.name == "bridge.bootstrap"]

    return get


@pytest.fixture
def installed(tmp_path, monkeypatch):
    """Makes korvel-dashboard appear installed at the given version."""
    def install(version):
        monkeypatch.syspath_prepend(str(make_distribution(tmp_path / f"d-{version}", version)))
        assert importlib.metadata.version("korvel-dashboard") == version
    return install


@pytest.fixture
def sleeps(monkeypatch):
    """Records the retry pauses instead of taking them; the short waits of
    subprocess's own polling still happen."""
    pauses = []
    real = time.sleep

    def sleep(seconds):
        if seconds >= 1:
            pauses.append(seconds)
        else:
            real(seconds)

    monkeypatch.setattr(time, "sleep", sleep)
    return pauses


@pytest.fixture
def pip_on_path(fake_pip, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", str(fake_pip.path))
    return fake_pip


def test_module_surface():
    assert bootstrap.PACKAGE_NAME == "korvel-dashboard"
    assert bootstrap.logger is logging.getLogger("bridge.bootstrap")
    assert bootstrap.path is setup_path and bootstrap.detect is detect
    assert bootstrap.inject is setup_path.inject
    assert bootstrap.is_installed is detect.is_installed
    assert bootstrap.has_api_key is detect.has_api_key
    for name in ("os", "sys", "json", "subprocess", "time", "urllib"):
        assert getattr(bootstrap, name) is sys.modules[name]


# ---- _auto_update without an update --------------------------------------------


class TestNoUpdate:
    def test_same_version_is_up_to_date(self, installed, pypi, pip_on_path, records, sleeps):
        installed("1.2.0")
        pypi.version("1.2.0")
        assert bootstrap._auto_update() is None
        assert records() == [("INFO", UP_TO_DATE, ("1.2.0",))]
        assert pypi.requests == ["/pypi/korvel-dashboard/json"]
        assert pip_on_path.calls() == [] and sleeps == []

    @pytest.mark.parametrize("document", [
        {"releases": {}},
        {"info": {"name": "korvel-dashboard"}},
        {"info": {"version": None}},
    ])
    def test_document_without_version_counts_as_up_to_date(
            self, installed, pypi, pip_on_path, records, document):
        installed("0.9.1")
        pypi.serve(document)
        bootstrap._auto_update()
        assert records() == [("INFO", UP_TO_DATE, ("0.9.1",))]
        assert pip_on_path.calls() == []

    @pytest.mark.parametrize("current, latest", [
        ("1.3.0", "1.2.9"),       # older on the index: never downgrade
        ("1.10.0", "1.9.0"),      # ordered by number, not text
        ("2.0.0", "2.0.0rc1"),    # pre-release of the installed version
        ("1.2", "1.2.0"),         # equal releases written differently
    ])
    def test_older_or_equal_index_version_is_up_to_date(
            self, installed, pypi, pip_on_path, records, current, latest):
        installed(current)
        pypi.version(latest)
        bootstrap._auto_update()
        assert records() == [("INFO", UP_TO_DATE, (current,))]
        assert pip_on_path.calls() == []

    def test_base_address_read_at_use_with_trailing_slash(
            self, installed, pypi, monkeypatch, records):
        installed("1.0.0")
        pypi.version("1.0.0")
        monkeypatch.setenv("BRIDGE_PYPI_BASE_URL", pypi.base + "/")
        bootstrap._auto_update()
        assert pypi.requests == ["/pypi/korvel-dashboard/json"]

    def test_request_time_limit(self, installed, pypi, monkeypatch, records):
        installed("1.0.0")
        pypi.version("1.0.0")
        seen = []
        real = urllib.request.urlopen

        def urlopen(url, *a, **kw):
            seen.append((url, kw))
            return real(url, *a, **kw)

        monkeypatch.setattr(urllib.request, "urlopen", urlopen)
        bootstrap._auto_update()
        assert seen == [(pypi.base + "/pypi/korvel-dashboard/json", {"timeout": 10})]


# ---- _auto_update failures -------------------------------------------------------


def failures(recs):
    return [(lvl, msg, args[0]) for lvl, msg, args in recs if msg == FAILED]


class TestFailedAttempts:
    def test_unreachable_index_three_numbered_warnings(
            self, installed, records, sleeps, pip_on_path):
        installed("1.0.0")  # the index is a closed local port
        assert bootstrap._auto_update() is None
        assert failures(records()) == [("WARNING", FAILED, n) for n in (1, 2, 3)]
        assert all("Connection refused" in str(args[1]) for _, _, args in records())
        assert sleeps == [5, 5]
        assert pip_on_path.calls() == []

    @pytest.mark.parametrize("serve, text", [
        (dict(status=503, raw=b"{}"), "HTTP Error 503"),
        (dict(raw=b"<html>not json</html>"), "Expecting value"),
        (dict(raw=b'["a", "list"]'), "not an object"),
        (dict(raw=b'{"info": "text"}'), "not an object"),
        (dict(raw=b'{"info": {"version": 2}}'), "not text"),
    ])
    def test_bad_answers_fail_each_attempt(
            self, installed, pypi, records, sleeps, pip_on_path, serve, text):
        installed("1.0.0")
        pypi.serve(**serve)
        bootstrap._auto_update()
        recs = records()
        assert [args[0] for _, msg, args in recs] == [1, 2, 3]
        assert all(text in args[1] for _, _, args in recs)
        assert len(pypi.requests) == 3
        assert pip_on_path.calls() == []

    def test_not_installed_as_distribution(self, monkeypatch, records, sleeps):
        def version(name):
            raise importlib.metadata.PackageNotFoundError(name)

        monkeypatch.setattr(importlib.metadata, "version", version)
        bootstrap._auto_update()
        assert records() == [
            ("WARNING", FAILED, (n, "No package metadata was found for korvel-dashboard"))
            for n in (1, 2, 3)]
        assert sleeps == [5, 5]

    def test_distribution_without_version(self, tmp_path, monkeypatch, pypi, records,
                                          sleeps, pip_on_path):
        root = make_distribution(tmp_path / "noversion", "0")
        meta = next(root.glob("*.dist-info")) / "METADATA"
        meta.write_text("Metadata-Version: 2.1\nName: korvel-dashboard\n")
        monkeypatch.syspath_prepend(str(root))
        pypi.version("1.0.0")
        bootstrap._auto_update()
        assert [args[0] for _, msg, args in records() if msg == FAILED] == [1, 2, 3]
        assert pip_on_path.calls() == []

    def test_failed_install_repeats_the_whole_flow(
            self, installed, pypi, pip_on_path, records, sleeps, monkeypatch):
        installed("1.0.0")
        pypi.version("1.1.0")
        monkeypatch.setenv("FAKE_PIP_STATUS", "1")
        bootstrap._auto_update()
        recs = records()
        assert [m for _, m, _ in recs] == [UPDATING, FAILED] * 3
        assert recs[0] == ("INFO", UPDATING, ("korvel-dashboard", "1.0.0", "1.1.0"))
        assert [r[2][0] for r in recs if r[1] == FAILED] == [1, 2, 3]
        assert "exit status 1" in recs[1][2][1]
        assert len(pypi.requests) == 3
        calls = pip_on_path.calls()
        assert [c["args"] for c in calls] == [
            ["install", "--upgrade", "--quiet", "korvel-dashboard==1.1.0"]] * 3
        assert all(c["exe"] == sys.executable for c in calls)
        assert sleeps == [5, 5]

    def test_installer_time_limit(self, installed, pypi, pip_on_path, records, sleeps,
                                  monkeypatch):
        installed("1.0.0")
        pypi.version("1.1.0")
        monkeypatch.setenv("FAKE_PIP_SLEEP", "30")
        limits = []
        real = subprocess.run

        def run(argv, **kw):
            limits.append(kw.get("timeout"))
            kw["timeout"] = 0.5  # the real limit's path, sooner
            return real(argv, **kw)

        monkeypatch.setattr(subprocess, "run", run)
        bootstrap._auto_update()
        assert limits == [120, 120, 120]
        assert [r[2][0] for r in records() if r[1] == FAILED] == [1, 2, 3]
        assert all("timed out" in r[2][1] for r in records() if r[1] == FAILED)

    def test_recovers_on_a_later_attempt(self, installed, pypi, records, sleeps, monkeypatch):
        installed("1.0.0")
        pypi.version("1.0.0")
        real = urllib.request.urlopen
        calls = []

        def flaky(url, *a, **kw):
            calls.append(url)
            if len(calls) == 1:
                raise OSError("network is down")
            return real(url, *a, **kw)

        monkeypatch.setattr(urllib.request, "urlopen", flaky)
        bootstrap._auto_update()
        assert records() == [("WARNING", FAILED, (1, "network is down")),
                             ("INFO", UP_TO_DATE, ("1.0.0",))]
        assert sleeps == [5]

    def test_interrupt_is_not_retried(self, installed, monkeypatch, sleeps):
        installed("1.0.0")

        def urlopen(*a, **kw):
            raise KeyboardInterrupt

        monkeypatch.setattr(urllib.request, "urlopen", urlopen)
        with pytest.raises(KeyboardInterrupt):
            bootstrap._auto_update()
        assert sleeps == []


class TestVersionOrdering:
    """Versions are ordered as packaging orders them: only a newer release is
    installed, never a pre-release of the installed one or an older one."""

    @pytest.mark.parametrize("current, latest, updates", [
        ("0.1.0", "0.1.0rc1", False),
        ("1.10.0", "1.9.9", False),
        ("1.2", "1.2.0", False),
        ("1.2.0", "1.2.0.1", True),
        ("0.9", "0.10", True),
        ("1.0.0", "1.0.0.post1", True),
        ("1.0.0", "0.9b1", False),
        ("0.1.0rc1", "0.1.0", True),
    ])
    def test_ordering(self, installed, pypi, records, sleeps, pip_on_path, monkeypatch,
                      current, latest, updates):
        installed(current)
        pypi.version(latest)
        monkeypatch.setenv("FAKE_PIP_STATUS", "1")  # stop after the install step
        bootstrap._auto_update()
        if updates:
            assert records()[0] == ("INFO", UPDATING, ("korvel-dashboard", current, latest))
        else:
            assert records() == [("INFO", UP_TO_DATE, (current,))]

    def test_unparsable_version_fails_the_attempts(self, installed, pypi, records, sleeps,
                                                   pip_on_path):
        installed("1.0.0")
        pypi.version("not-a-version")
        bootstrap._auto_update()
        assert [r[0] for r in records()] == ["WARNING"] * 3
        assert "Invalid version" in str(records()[0][2])


# ---- _setup_env ---------------------------------------------------------------------


class TestSetupEnv:
    def test_calls_setup_agent_environment(self, home, monkeypatch, records):
        monkeypatch.delenv("ZALIX_MODEL", raising=False)
        (home / ".korvel").mkdir()
        (home / ".korvel" / "config.yaml").write_text("model: org/model-a\n")
        assert bootstrap._setup_env() is None
        assert os.environ["ZALIX_MODEL"] == "org/model-a"
        assert records() == []

    def test_missing_module_is_a_warning(self, monkeypatch, records):
        monkeypatch.setitem(sys.modules, "bridge.env_setup", None)
        bootstrap._setup_env()
        (lvl, msg, args), = records()
        assert (lvl, msg) == ("WARNING", ENV_FAILED)
        assert "bridge.env_setup" in args[0]

    def test_failing_setup_is_a_warning(self, monkeypatch, records):
        import bridge.env_setup as env_setup

        def broken():
            raise ValueError("bad config")

        monkeypatch.setattr(env_setup, "setup_agent_environment", broken)
        bootstrap._setup_env()
        assert records() == [("WARNING", ENV_FAILED, ("bad config",))]


# ---- bootstrap --------------------------------------------------------------------


@pytest.fixture
def calls(monkeypatch):
    """Records the steps bootstrap takes through its module's namespace."""
    log = []
    for name in ("_auto_update", "inject", "_setup_env"):
        monkeypatch.setattr(bootstrap, name, lambda name=name: log.append(name))
    real_installed, real_key = detect.is_installed, detect.has_api_key

    def is_installed():
        log.append("is_installed")
        return real_installed()

    def has_api_key():
        log.append("has_api_key")
        return real_key()

    monkeypatch.setattr(bootstrap, "is_installed", is_installed)
    monkeypatch.setattr(bootstrap, "has_api_key", has_api_key)
    return log


class TestBootstrap:
    def test_engine_missing(self, fake_bin, calls, records):
        assert bootstrap.bootstrap() is None
        assert calls == ["_auto_update", "inject", "is_installed", "is_installed",
                         "has_api_key"]
        assert records() == [("INFO", SUMMARY, ("missing", "missing"))]

    def test_engine_installed_key_in_secrets_file(self, fake_bin, home, calls, records):
        fake_bin.add("korvel", "exit 0\n")
        (home / ".korvel").mkdir()
        (home / ".korvel" / ".env").write_text("OPENROUTER_API_KEY=sk-or-v1-abcdef\n")
        bootstrap.bootstrap()
        assert calls == ["_auto_update", "inject", "is_installed", "_setup_env",
                         "is_installed", "has_api_key"]
        assert records() == [("INFO", SUMMARY, ("installed", "set"))]

    def test_key_in_environment_engine_missing(self, fake_bin, calls, records, monkeypatch):
        monkeypatch.setenv("OPENROUTER_API_KEY", "k")
        bootstrap.bootstrap()
        assert records() == [("INFO", SUMMARY, ("missing", "set"))]

    def test_replacing_the_sibling_operation_is_honoured(self, fake_bin, monkeypatch,
                                                         records):
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: None)
        monkeypatch.setattr(bootstrap, "_setup_env", lambda: None)
        monkeypatch.setattr(setup_path, "inject", lambda: None)
        monkeypatch.setattr(detect, "is_installed", lambda: True)
        monkeypatch.setattr(detect, "has_api_key", lambda: False)
        bootstrap.bootstrap()
        assert records() == [("INFO", SUMMARY, ("installed", "missing"))]

    def test_replacing_the_sibling_module_is_honoured(self, monkeypatch, records):
        import types
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: None)
        monkeypatch.setattr(bootstrap, "path", types.SimpleNamespace(inject=lambda: None))
        monkeypatch.setattr(bootstrap, "detect", types.SimpleNamespace(
            is_installed=lambda: False, has_api_key=lambda: 1))
        bootstrap.bootstrap()
        assert records() == [("INFO", SUMMARY, ("missing", "set"))]

    def test_engine_made_loadable(self, fake_bin, home, monkeypatch, restore_sys_path,
                                  records):
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: None)
        agent = home / ".korvel" / "korvel-agent"
        (agent / "venv" / "lib" / "python3.11" / "site-packages").mkdir(parents=True)
        (agent / "venv" / "bin").mkdir()
        (agent / "venv" / "bin" / "korvel").write_text("")
        bootstrap.bootstrap()
        assert sys.path[0] == str(agent)
        assert sys.path[-1] == str(agent / "venv" / "lib" / "python3.11" / "site-packages")
        assert records()[-1] == ("INFO", SUMMARY, ("installed", "missing"))

    def test_detection_errors_reach_the_host(self, fake_bin, home, monkeypatch, records):
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: None)
        (home / ".korvel" / ".env").mkdir(parents=True)  # unreadable secrets file
        with pytest.raises(IsADirectoryError):
            bootstrap.bootstrap()
        assert records() == []

    def test_env_setup_failure_does_not_stop_start_up(self, fake_bin, monkeypatch,
                                                      records):
        fake_bin.add("korvel", "exit 0\n")
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: None)
        monkeypatch.setitem(sys.modules, "bridge.env_setup", None)
        bootstrap.bootstrap()
        assert [m for _, m, _ in records()] == [ENV_FAILED, SUMMARY]


# ---- self-update in child interpreters ------------------------------------------

CHILD_BOOTSTRAP = """
import sys
import bridge.bootstrap as b
sys.platform = {platform!r}
b.inject = lambda: print("INJECT", flush=True)
b.bootstrap()
print("RETURNED", flush=True)
"""


@pytest.fixture
def update_env(child_env, tmp_path, pypi, fake_bin):
    """A child that finds 1.0.0 installed and 1.1.0 on the index; the fake
    service managers record their arguments."""
    child_distribution(child_env, tmp_path, "1.0.0")
    pypi.version("1.1.0")
    child_env["BRIDGE_PYPI_BASE_URL"] = pypi.base
    for tool in ("systemctl", "launchctl"):
        fake_bin.add(tool, f'echo "$@" > {tmp_path / tool}.args\n'
                           f'echo "{tool} noise"; echo "{tool} trouble" >&2; exit 1\n')
    return child_env


def assert_updated(result, fake_pip):
    assert result.returncode == 0, result.stderr
    assert "INJECT" not in result.stdout and "RETURNED" not in result.stdout
    assert result.messages() == [
        ("INFO", UPDATING, ["korvel-dashboard", "1.0.0", "1.1.0"]),
        ("INFO", COMPLETE, ["1.1.0"]),
    ]
    call, = fake_pip.calls()
    assert call["args"] == ["install", "--upgrade", "--quiet", "korvel-dashboard==1.1.0"]
    assert call["exe"] == sys.executable
    # The restart command's own output is discarded.
    assert "noise" not in result.stdout and "trouble" not in result.stderr


class TestSelfUpdate:
    def test_linux_restarts_the_systemd_unit(self, update_env, fake_pip, tmp_path):
        result = run_child(CHILD_BOOTSTRAP.format(platform=sys.platform), env=update_env)
        assert_updated(result, fake_pip)
        assert wait_for_file(tmp_path / "systemctl.args") == "--user restart korvel-dashboard\n"
        assert not (tmp_path / "launchctl.args").exists()

    def test_macos_kickstarts_the_launchd_agent(self, update_env, fake_pip, tmp_path):
        result = run_child(CHILD_BOOTSTRAP.format(platform="darwin"),
                           env=update_env)
        assert_updated(result, fake_pip)
        assert (wait_for_file(tmp_path / "launchctl.args")
                == f"kickstart -k gui/{os.getuid()}/com.korvel.dashboard\n")
        assert not (tmp_path / "systemctl.args").exists()

    def test_other_platform_exits_without_restart(self, update_env, fake_pip, tmp_path):
        result = run_child(CHILD_BOOTSTRAP.format(platform="freebsd14"),
                           env=update_env)
        assert_updated(result, fake_pip)
        assert not (tmp_path / "systemctl.args").exists()
        assert not (tmp_path / "launchctl.args").exists()

    def test_missing_restart_command_still_exits(self, update_env, fake_pip, fake_bin):
        (fake_bin.dir / "systemctl").unlink()
        update_env["PATH"] = str(fake_bin.dir)  # no system systemctl either
        result = run_child(CHILD_BOOTSTRAP.format(platform=sys.platform), env=update_env)
        assert_updated(result, fake_pip)

    def test_exit_passes_through_auto_update(self, update_env, fake_pip):
        result = run_child("""
            import bridge.bootstrap as b
            try:
                b._auto_update()
            except SystemExit as e:
                print("EXIT", e.code, flush=True)
                raise
            """, env=update_env)
        assert result.returncode == 0
        assert "EXIT 0" in result.stdout

    def test_next_start_finds_the_new_version(self, child_env, tmp_path, pypi, fake_pip):
        child_distribution(child_env, tmp_path, "1.1.0")
        pypi.version("1.1.0")
        child_env["BRIDGE_PYPI_BASE_URL"] = pypi.base
        result = run_child(CHILD_BOOTSTRAP.format(platform=sys.platform), env=child_env)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["INJECT", "RETURNED"]
        assert result.messages() == [("INFO", UP_TO_DATE, ["1.1.0"]),
                                     ("INFO", SUMMARY, ["missing", "missing"])]
        assert fake_pip.calls() == []


def test_source_checkout_without_network_starts(child_env, tmp_path, closed_port):
    """No installed distribution and no index: three numbered warnings with
    their real pauses, then the summary, and bootstrap returns."""
    checkout = tmp_path / "checkout"
    shutil.copytree(os.path.dirname(bridge.__file__), checkout / "bridge")
    child_env["PYTHONPATH"] = str(checkout)
    child_env["BRIDGE_PYPI_BASE_URL"] = f"http://127.0.0.1:{closed_port}"
    result = run_child("""
        import bridge.bootstrap as b
        b.bootstrap()
        print("RETURNED", flush=True)
        """, env=child_env, args=["-S"])  # -S: no site-packages, so no metadata
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["RETURNED"]
    assert result.messages() == [
        ("WARNING", FAILED, [1, "No package metadata was found for korvel-dashboard"]),
        ("WARNING", FAILED, [2, "No package metadata was found for korvel-dashboard"]),
        ("WARNING", FAILED, [3, "No package metadata was found for korvel-dashboard"]),
        ("INFO", SUMMARY, ["missing", "missing"]),
    ]
