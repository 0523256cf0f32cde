"""Bootstrap and self-update against a local stand-in of the package index;
the installer is a fake interpreter and the restart commands fake programs."""
import http.server
import importlib
import importlib.metadata
import json
import logging
import os
import stat
import subprocess
import sys
import threading
import time
import types

import pytest

from bridge import bootstrap
import bridge.env_setup as env_setup
from bridge.setup import detect, path

LOG = "bridge.bootstrap"


class Index:
    def __init__(self):
        self.body = b"{}"
        self.status = 200
        self.paths = []
        idx = self

        class H(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                idx.paths.append(self.path)
                self.send_response(idx.status)
                self.send_header("Content-Type", "application/json")
                self.end_headers()
                self.wfile.write(idx.body)

            def log_message(self, *a):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def answer(self, doc):
        self.body = json.dumps(doc).encode()


@pytest.fixture
def index(monkeypatch):
    i = Index()
    monkeypatch.setenv("BRIDGE_PYPI_BASE_URL", i.base)
    yield i
    i.server.shutdown()
    i.server.server_close()


@pytest.fixture
def installed(monkeypatch):
    """The installed bridge distribution reports version 1.4.0."""
    real = importlib.metadata.version

    def version(name):
        return "1.4.0" if name == "korvel-dashboard" else real(name)

    monkeypatch.setattr(importlib.metadata, "version", version)


@pytest.fixture
def sleeps(monkeypatch):
    s = []
    monkeypatch.setattr(time, "sleep", s.append)
    return s


@pytest.fixture
def fake_tools(tmp_path, monkeypatch):
    """sys.executable, systemctl and launchctl record their arguments."""
    out = tmp_path / "calls"
    out.mkdir()
    d = tmp_path / "tbin"
    d.mkdir()
    for name in ("python-fake", "systemctl", "launchctl"):
        p = d / name
        p.write_text(f'#!/bin/sh\necho "$@" > {out}/{name}.tmp; mv {out}/{name}.tmp {out}/{name}\n'
                     f'exit ${{FAKE_STATUS:-0}}\n')
        p.chmod(0o755)
    monkeypatch.setattr(sys, "executable", str(d / "python-fake"))
    monkeypatch.setenv("PATH", f"{d}:/usr/bin:/bin")
    return out


def wait_file(p):
    for _ in range(400):
        if p.exists():
            return p.read_text().strip()
        _real_sleep(0.025)
    return None


_real_sleep = time.sleep


def test_surface():
    assert bootstrap.PACKAGE_NAME == "korvel-dashboard"
    assert bootstrap.logger.name == LOG and isinstance(bootstrap.logger, logging.Logger)
    for f in (bootstrap.bootstrap, bootstrap._auto_update, bootstrap._setup_env, bootstrap.setup_env):
        with pytest.raises(TypeError):
            f(1)


def test_setup_env_is_the_namespaces_of_the_moment(monkeypatch):
    calls = []
    monkeypatch.setattr(bootstrap, "_setup_env", lambda: calls.append("setup"))
    assert bootstrap.setup_env() is None and calls == ["setup"]


class TestAutoUpdate:
    @pytest.mark.parametrize("latest", ["1.4.0", "1.3.9", "0.9", "1.4"])
    def test_up_to_date_or_older(self, index, installed, sleeps, fake_tools, logs, latest):
        index.answer({"info": {"version": latest}})
        assert bootstrap._auto_update() is None
        assert index.paths == ["/pypi/korvel-dashboard/json"]
        assert logs(LOG) == [("INFO", "korvel-dashboard %s is up to date", ("1.4.0",))]
        assert not (fake_tools / "python-fake").exists() and sleeps == []

    @pytest.mark.parametrize("doc", [{}, {"info": {}}, {"info": {"name": "x"}}])
    def test_missing_fields(self, index, installed, logs, doc):
        index.answer(doc)
        bootstrap._auto_update()
        assert logs(LOG) == [("INFO", "korvel-dashboard %s is up to date", ("1.4.0",))]

    @pytest.mark.parametrize("platform, tool, args", [
        ("linux", "systemctl", "--user restart korvel-dashboard"),
        ("darwin", "launchctl", f"kickstart -k gui/{os.getuid()}/com.korvel.dashboard"),
        ("sunos5", None, None)])
    def test_newer_version_updates_and_exits(self, index, installed, sleeps, fake_tools,
                                             logs, monkeypatch, platform, tool, args):
        index.answer({"info": {"version": "1.10.0"}})
        monkeypatch.setattr(sys, "platform", platform)
        with pytest.raises(SystemExit) as ei:
            bootstrap._auto_update()
        monkeypatch.setattr(sys, "platform", "linux")
        assert ei.value.code in (0, None)
        assert (fake_tools / "python-fake").read_text().strip() == \
            "-m pip install --upgrade --quiet korvel-dashboard==1.10.0"
        assert logs(LOG) == [
            ("INFO", "Updating %s: %s → %s", ("korvel-dashboard", "1.4.0", "1.10.0")),
            ("INFO", "Update complete — restarting service to use %s", ("1.10.0",)),
        ]
        if tool:
            assert wait_file(fake_tools / tool) == args
        else:
            assert not (fake_tools / "systemctl").exists()

    def test_update_passes_through_bootstrap(self, index, installed, fake_tools, monkeypatch):
        index.answer({"info": {"version": "2.0"}})
        monkeypatch.setattr(sys, "platform", "sunos5")
        monkeypatch.setattr(path, "inject", lambda: pytest.fail("inject ran"))
        with pytest.raises(SystemExit):
            bootstrap.bootstrap()

    def test_three_failures(self, index, installed, sleeps, logs):
        index.status = 500
        assert bootstrap._auto_update() is None
        assert sleeps == [5, 5]
        recs = logs(LOG)
        assert [(l, m, a[0]) for l, m, a in recs] == [
            ("WARNING", "Auto-update attempt %d/3 failed: %s", 1),
            ("WARNING", "Auto-update attempt %d/3 failed: %s", 2),
            ("WARNING", "Auto-update attempt %d/3 failed: %s", 3)]
        assert all(len(a) == 2 and str(a[1]) for _, _, a in recs)
        assert len(index.paths) == 3

    def test_not_json(self, index, installed, sleeps, logs):
        index.body = b"<html>"
        bootstrap._auto_update()
        assert len(logs(LOG)) == 3 and sleeps == [5, 5]

    def test_failed_installer_retries_with_new_query(self, index, installed, sleeps,
                                                     fake_tools, logs, monkeypatch):
        monkeypatch.setenv("FAKE_STATUS", "1")
        index.answer({"info": {"version": "9.0"}})
        assert bootstrap._auto_update() is None
        assert len(index.paths) == 3
        msgs = [m for _, m, _ in logs(LOG)]
        assert msgs == ["Updating %s: %s → %s", "Auto-update attempt %d/3 failed: %s"] * 3

    def test_not_a_distribution(self, index, sleeps, logs, monkeypatch):
        def version(name):
            raise importlib.metadata.PackageNotFoundError(name)

        monkeypatch.setattr(importlib.metadata, "version", version)
        bootstrap._auto_update()
        assert [a[0] for _, _, a in logs(LOG)] == [1, 2, 3]
        assert index.paths == []

    def test_keyboard_interrupt_is_not_swallowed(self, installed, sleeps, monkeypatch):
        def version(name):
            raise KeyboardInterrupt

        monkeypatch.setattr(importlib.metadata, "version", version)
        with pytest.raises(KeyboardInterrupt):
            bootstrap._auto_update()


class TestSetupEnv:
    def test_calls_operation(self, monkeypatch, logs):
        calls = []
        monkeypatch.setattr(env_setup, "setup_agent_environment",
                            lambda: calls.append(1) or {"X": "y"})
        assert bootstrap._setup_env() is None
        assert calls == [1] and logs(LOG) == []

    def test_failure_is_a_warning(self, monkeypatch, logs):
        def boom():
            raise ValueError("bad config")

        monkeypatch.setattr(env_setup, "setup_agent_environment", boom)
        assert bootstrap._setup_env() is None
        assert logs(LOG) == [("WARNING", "Env setup failed (non-fatal): %s", ("bad config",))] or \
            [(l, m, str(a[0])) for l, m, a in logs(LOG)] == [
                ("WARNING", "Env setup failed (non-fatal): %s", "bad config")]

    def test_missing_module(self, monkeypatch, logs):
        monkeypatch.setitem(sys.modules, "bridge.env_setup", None)
        bootstrap._setup_env()
        [(lvl, msg, args)] = logs(LOG)
        assert (lvl, msg) == ("WARNING", "Env setup failed (non-fatal): %s")

    def test_interrupt_reaches_caller(self, monkeypatch):
        def stop():
            raise KeyboardInterrupt

        monkeypatch.setattr(env_setup, "setup_agent_environment", stop)
        with pytest.raises(KeyboardInterrupt):
            bootstrap._setup_env()


def patch_everywhere(monkeypatch, module, name, fn):
    monkeypatch.setattr(module, name, fn)
    if hasattr(bootstrap, name):
        monkeypatch.setattr(bootstrap, name, fn)


class TestBootstrap:
    @pytest.mark.parametrize("installed_, key, summary", [
        (False, False, ("missing", "missing")), (True, True, ("installed", "set")),
        (True, False, ("installed", "missing")), (False, True, ("missing", "set"))])
    def test_order_and_summary(self, monkeypatch, logs, installed_, key, summary):
        order = []
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: order.append("update"))
        monkeypatch.setattr(bootstrap, "_setup_env", lambda: order.append("env"))
        patch_everywhere(monkeypatch, path, "inject", lambda: order.append("inject"))
        patch_everywhere(monkeypatch, detect, "is_installed",
                         lambda: order.append("installed?") or installed_)
        patch_everywhere(monkeypatch, detect, "has_api_key", lambda: order.append("key?") or key)
        assert bootstrap.bootstrap() is None
        expected = ["update", "inject", "installed?"] + (["env"] if installed_ else [])
        assert order == expected + ["installed?", "key?"]
        assert logs(LOG) == [("INFO", "Bootstrap: korvel=%s, api_key=%s", summary)]

    def test_detection_error_reaches_host(self, monkeypatch):
        monkeypatch.setattr(bootstrap, "_auto_update", lambda: None)

        def bad():
            raise PermissionError(13, "denied")

        patch_everywhere(monkeypatch, path, "inject", bad)
        with pytest.raises(PermissionError):
            bootstrap.bootstrap()

    def test_source_checkout_offline(self, run_py, tmp_path, home):
        # Run from the source tree only: no distribution record, index closed.
        r = run_py('''
            import importlib.metadata, time
            def v(name):
                raise importlib.metadata.PackageNotFoundError(name)
            importlib.metadata.version = v
            time.sleep = lambda s: None
            from bridge import bootstrap
            bootstrap.bootstrap()
            print("STARTED", flush=True)
        ''', env={"PATH": "/usr/bin:/bin"})
        assert r.returncode == 0 and "STARTED" in r.stdout, r.stderr
        recs = r.of(LOG)
        assert [a[0] for _, _, a in recs[:3]] == [1, 2, 3]
        assert recs[3] == ["INFO", "Bootstrap: korvel=%s, api_key=%s", ["missing", "missing"]]


class TestEnvSetup:
    def write(self, home, text):
        (home / ".korvel").mkdir(exist_ok=True)
        (home / ".korvel" / "config.yaml").write_text(text)

    def test_mapping(self, home, monkeypatch):
        self.write(home, "model:\n  default: m/one\n  provider: p1\n  base_url: http://b\n")
        got = env_setup.setup_agent_environment()
        assert got == {"ZALIX_MODEL": "m/one", "ZALIX_PROVIDER": "p1", "ZALIX_BASE_URL": "http://b"}
        assert os.environ["ZALIX_MODEL"] == "m/one" and os.environ["ZALIX_BASE_URL"] == "http://b"

    def test_text_model_and_no_override(self, home, monkeypatch):
        monkeypatch.setenv("ZALIX_MODEL", "kept")
        self.write(home, "model: other\n")
        assert env_setup.setup_agent_environment() == {}
        assert os.environ["ZALIX_MODEL"] == "kept"
        monkeypatch.delenv("ZALIX_MODEL")
        assert env_setup.setup_agent_environment() == {"ZALIX_MODEL": "other"}

    def test_partial_mapping(self, home):
        self.write(home, "model:\n  provider: p2\n")
        assert env_setup.setup_agent_environment() == {"ZALIX_PROVIDER": "p2"}
        assert "ZALIX_MODEL" not in os.environ

    @pytest.mark.parametrize("text", [None, "", "model: [unclosed", "- a\n- b\n", "other: 1\n",
                                      "model: 2026-13-45\n", "[" * 5000 + "]" * 5000,
                                      "model:\n  ? [a]\n  : 1\n"])
    def test_nothing_set(self, home, text):
        if text is not None:
            self.write(home, text)
        assert env_setup.setup_agent_environment() == {}
        assert "ZALIX_MODEL" not in os.environ


class Response:
    """A urlopen stand-in used as a context manager, without close()."""

    def __init__(self, doc):
        self.body = json.dumps(doc).encode()
        self.entered = self.exited = False

    def read(self):
        return self.body

    def __enter__(self):
        self.entered = True
        return self

    def __exit__(self, *exc):
        self.exited = True
        return False


def test_index_answer_through_replaced_urlopen(monkeypatch, installed, sleeps, logs):
    import urllib.request
    seen = []

    def urlopen(url, timeout=None):
        seen.append((url, timeout))
        r = Response({"info": {"version": "1.4.0"}})
        seen.append(r)
        return r

    monkeypatch.setenv("BRIDGE_PYPI_BASE_URL", "http://index.invalid/")
    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    bootstrap._auto_update()
    assert seen[0] == ("http://index.invalid/pypi/korvel-dashboard/json", 10)
    assert seen[1].exited
    assert logs(LOG) == [("INFO", "korvel-dashboard %s is up to date", ("1.4.0",))]


@pytest.mark.parametrize("result", ["status", "none"])
def test_installer_status_through_replaced_run(monkeypatch, installed, index, sleeps, logs,
                                               result):
    index.answer({"info": {"version": "2.0"}})
    calls = []

    def run(args, **kw):
        calls.append((list(args), kw.get("timeout")))
        if result == "status":
            return subprocess.CompletedProcess(args, 1)
        return None

    monkeypatch.setattr(subprocess, "run", run)
    monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: None)
    if result == "status":
        bootstrap._auto_update()  # a failing installer fails each attempt
        assert len(calls) == 3 and sleeps == [5, 5]
        assert [m for _, m, _ in logs(LOG)].count("Auto-update attempt %d/3 failed: %s") == 3
    else:
        with pytest.raises(SystemExit):
            bootstrap._auto_update()
    assert calls[0] == ([sys.executable, "-m", "pip", "install", "--upgrade", "--quiet",
                         "korvel-dashboard==2.0"], 120)
