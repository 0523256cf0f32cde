"""The setup modules and bootstrap reach the standard library through their
own bindings (as `import subprocess` would make one): replacing the module
attribute replaces what the operation uses."""
import importlib.metadata
import io
import json
import subprocess
import sys
import types

import pytest

from bridge import bootstrap
from bridge.setup import detect, install, path


def ns(**kw):
    return types.SimpleNamespace(**kw)


def test_detect(monkeypatch):
    monkeypatch.setenv("PATH", "/nonexistent")
    monkeypatch.setattr(detect, "shutil", ns(which=lambda name, *a, **k: "/opt/korvel"))
    assert detect.is_installed() is True
    runs = []

    def run(argv, **kw):
        runs.append(list(argv))
        return ns(returncode=0, stdout=" 3.1 \n", stderr="")

    monkeypatch.setattr(detect, "subprocess", ns(run=run, TimeoutExpired=TimeoutError))
    assert detect.get_version() == "3.1" and runs == [["korvel", "version"]]
    monkeypatch.setattr(detect, "os", ns(environ={"OPENROUTER_API_KEY": "k"}))
    assert detect.has_api_key() is True


def test_path(monkeypatch, home):
    agent = home / ".korvel" / "korvel-agent"
    agent.mkdir(parents=True)
    own = ["/a"]
    monkeypatch.setattr(path, "sys", ns(path=own))
    before = list(sys.path)
    path.inject()
    assert own == [str(agent), "/a"] and sys.path == before


def test_install(monkeypatch):
    # Nothing may start for real, whichever binding the module uses.
    monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: pytest.fail("started"))
    monkeypatch.setattr(install, "sys", ns(platform="win32"))
    with pytest.raises(RuntimeError, match="^Native Windows is not supported"):
        install.install_korvel()
    monkeypatch.setattr(install, "sys", sys)
    made = []

    class P:
        def __init__(self, argv, **kw):
            made.append(list(argv))
            self.stdout = io.StringIO("hello\n")
            self.returncode = 0

        def wait(self, timeout=None):
            return 0

    monkeypatch.setattr(install, "subprocess", ns(Popen=P, PIPE=-1, STDOUT=-2))
    got = []
    install.install_korvel(got.append)
    assert got == ["hello"] and made[0][:2] == ["bash", "-c"]


def test_bootstrap_update_flow(monkeypatch, logs):
    events = []

    class Resp:
        def __enter__(self):
            return self

        def __exit__(self, *e):
            return False

        def read(self):
            return json.dumps({"info": {"version": "9.9"}}).encode()

    def urlopen(url, timeout=None):
        events.append(("get", url, timeout))
        return Resp()

    def run(argv, **kw):
        events.append(("run", list(argv)))
        return subprocess.CompletedProcess(argv, 0)

    def popen(argv, **kw):
        events.append(("popen", list(argv)))

    def exit_(code=None):
        events.append(("exit", code))
        raise SystemExit(code)

    monkeypatch.setattr(bootstrap, "urllib", ns(request=ns(urlopen=urlopen)))
    monkeypatch.setattr(bootstrap, "importlib", ns(
        metadata=ns(version=lambda name: "1.0", PackageNotFoundError=LookupError),
        import_module=importlib.import_module))
    monkeypatch.setattr(bootstrap, "subprocess", ns(
        run=run, Popen=popen, DEVNULL=-3, CalledProcessError=subprocess.CalledProcessError,
        TimeoutExpired=subprocess.TimeoutExpired))
    monkeypatch.setattr(bootstrap, "sys", ns(platform="linux", executable="/py", exit=exit_))
    monkeypatch.setattr(bootstrap, "os", ns(environ={"BRIDGE_PYPI_BASE_URL": "http://idx"},
                                            getuid=lambda: 7))
    with pytest.raises(SystemExit):
        bootstrap._auto_update()
    assert events == [
        ("get", "http://idx/pypi/korvel-dashboard/json", 10),
        ("run", ["/py", "-m", "pip", "install", "--upgrade", "--quiet",
                 "korvel-dashboard==9.9"]),
        ("popen", ["systemctl", "--user", "restart", "korvel-dashboard"]),
        ("exit", 0)]


def test_bootstrap_pauses_through_own_time(monkeypatch):
    pauses = []
    monkeypatch.setattr(bootstrap, "time", ns(sleep=pauses.append))

    def version(name):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "version", version)
    bootstrap._auto_update()
    assert pauses == [5, 5]


@pytest.mark.parametrize("fn, params", [
    ("bridge.supervisor.pid:write_pid", []),
    ("bridge.supervisor.pid:read_pid", []),
    ("bridge.supervisor.pid:cleanup_pid", []),
    ("bridge.supervisor.pid:is_pid_alive", [("pid", None)]),
    ("bridge.supervisor.pid:kill_stale_bridge", []),
    ("bridge.supervisor.port:is_port_in_use", [("port", None), ("host", "127.0.0.1")]),
    ("bridge.supervisor.port:find_port_owner", [("port", None)]),
    ("bridge.supervisor.port:_find_port_owner_windows", [("port", None)]),
    ("bridge.supervisor.port:free_port", [("port", None)]),
    ("bridge.supervisor.port:ensure_port_free", [("port", None)]),
    ("bridge.supervisor.lifecycle:register_shutdown_callback", [("fn", None)]),
    ("bridge.supervisor.lifecycle:graceful_shutdown", [("signum", "N"), ("frame", "N")]),
    ("bridge.supervisor.lifecycle:setup_signal_handlers", []),
    ("bridge.setup.path:inject", []),
    ("bridge.setup.detect:is_installed", []),
    ("bridge.setup.detect:get_version", []),
    ("bridge.setup.detect:has_api_key", []),
    ("bridge.setup.install:install_korvel", [("on_output", "N")]),
    ("bridge.bootstrap:bootstrap", []),
    ("bridge.bootstrap:_auto_update", []),
    ("bridge.bootstrap:_setup_env", []),
])
def test_signatures(fn, params):
    import inspect
    mod, name = fn.split(":")
    sig = inspect.signature(getattr(importlib.import_module(mod), name))
    got = []
    for p in sig.parameters.values():
        assert p.kind is p.POSITIONAL_OR_KEYWORD
        default = None if p.default is p.empty else ("N" if p.default is None else p.default)
        got.append((p.name, default))
    assert got == params
