"""`korvel-dashboard service install | uninstall | status` against recording
`systemctl`/`launchctl` programs on PATH and a home directory of its own,
and the one version the command line and /health report."""
import importlib.metadata
import os
import pathlib
import plistlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from dashboard import service

SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"
VERSION = importlib.metadata.version("korvel-dashboard")
COMMAND = str(pathlib.Path(sysconfig.get_path("scripts")) / "korvel-dashboard")

# Records each call; keeps enable/active state in files beside the log, as
# far as the service command asks about it.
FAKE_SYSTEMCTL = """\
#!/bin/sh
echo "$*" >> "$FAKE_TOOL_LOG"
state="$FAKE_TOOL_LOG.state"
if [ -n "$FAKE_SYSTEMCTL_FAIL" ]; then echo "$FAKE_SYSTEMCTL_FAIL" >&2; exit 1; fi
case "$*" in
  "--user enable --now korvel-dashboard") touch "$state.enabled" "$state.active";;
  "--user disable --now korvel-dashboard") rm -f "$state.enabled" "$state.active";;
  "--user is-enabled korvel-dashboard")
    if [ -e "$state.enabled" ]; then echo enabled; else echo disabled; exit 1; fi;;
  "--user is-active korvel-dashboard")
    if [ -e "$state.active" ]; then echo active; else echo inactive; exit 3; fi;;
esac
"""


@pytest.fixture
def box(tmp_path):
    """A home directory and a PATH whose systemctl and launchctl record calls."""
    home = tmp_path / "home"
    bin_dir = tmp_path / "bin"
    home.mkdir()
    bin_dir.mkdir()
    for name in ("systemctl", "launchctl"):
        tool = bin_dir / name
        tool.write_text(FAKE_SYSTEMCTL)
        tool.chmod(0o755)
    log = tmp_path / "calls.log"
    env = dict(os.environ, HOME=str(home), PATH=f"{bin_dir}:{SYSTEM_PATH}",
               FAKE_TOOL_LOG=str(log), NO_PROXY="127.0.0.1")
    env.pop("KORVEL_DASHBOARD_PORT", None)
    env.pop("KORVEL_DASHBOARD_LOG_LEVEL", None)

    class Box:
        pass

    b = Box()
    b.home, b.bin, b.env, b.log = home, bin_dir, env, log
    b.unit = home / ".config" / "systemd" / "user" / "korvel-dashboard.service"
    b.calls = lambda: log.read_text().splitlines() if log.exists() else []

    def cli(*args, **extra):
        return subprocess.run([sys.executable, "-m", "dashboard", *args],
                              env=dict(env, **extra), capture_output=True, text=True, timeout=60)
    b.cli = cli
    return b


def test_install_writes_the_unit_and_starts_it_then_uninstall_removes_it(box):
    r = box.cli("service", "install", "--port", "8533", "--log-level", "debug")
    assert r.returncode == 0, r.stderr
    assert box.calls() == ["--user daemon-reload", "--user enable --now korvel-dashboard"]
    unit = box.unit.read_text()
    assert f"ExecStart={COMMAND} --service --port 8533 --log-level debug\n" in unit
    assert "Restart=on-failure\n" in unit and "WantedBy=default.target\n" in unit
    assert "http://127.0.0.1:8533" in r.stdout

    # Installed again with another port: the running service is restarted.
    r = box.cli("service", "install", "--port", "8534")
    assert r.returncode == 0, r.stderr
    assert box.calls()[-3:] == ["--user daemon-reload", "--user enable --now korvel-dashboard",
                                "--user restart korvel-dashboard"]
    assert "--port 8534 --log-level info" in box.unit.read_text()

    r = box.cli("service", "uninstall")
    assert r.returncode == 0, r.stderr
    assert box.calls()[-2:] == ["--user disable --now korvel-dashboard", "--user daemon-reload"]
    assert not box.unit.exists()
    r = box.cli("service", "uninstall")
    assert r.returncode == 0 and "not installed" in r.stdout


def test_port_and_log_level_come_from_the_environment_by_default(box):
    r = box.cli("service", "install", KORVEL_DASHBOARD_PORT="8601",
                KORVEL_DASHBOARD_LOG_LEVEL="warning")
    assert r.returncode == 0, r.stderr
    assert "--port 8601 --log-level warning" in box.unit.read_text()


def test_status_reports_installed_enabled_and_answering(box, server):
    r = box.cli("service", "status")
    assert r.returncode == 3
    assert "installed: no" in r.stdout and "enabled: no" in r.stdout

    # The unit names the port of a running host: status reads it from there.
    assert box.cli("service", "install", "--port", str(server.port)).returncode == 0
    r = box.cli("service", "status", "--port", "1")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "installed: yes" in r.stdout and "enabled: yes" in r.stdout
    assert f"answering: yes (http://127.0.0.1:{server.port}/health, version {VERSION})" in r.stdout

    (pathlib.Path(box.log.as_posix() + ".state.enabled")).unlink()
    r = box.cli("service", "status")
    assert r.returncode == 3 and "enabled: no" in r.stdout


def test_failures_are_reported_with_their_cause(box, tmp_path):
    r = box.cli("service", "install", FAKE_SYSTEMCTL_FAIL="Failed to connect to bus: No medium found")
    assert r.returncode == 1
    assert "systemctl --user daemon-reload failed: Failed to connect to bus" in r.stderr
    (box.bin / "systemctl").unlink()
    r = box.cli("service", "install", PATH=str(box.bin))  # no systemctl anywhere
    assert r.returncode == 1 and "systemctl not found" in r.stderr
    r = box.cli("service", "restart")
    assert r.returncode == 2 and "invalid choice" in r.stderr


def test_launchd_agent_is_loaded_and_unloaded(box, monkeypatch, capsys):
    for name, value in box.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(service, "manager", service.Launchd)
    assert service.run("install", 8535, "info") == 0
    plist = box.home / "Library" / "LaunchAgents" / "com.korvel.dashboard.plist"
    job = plistlib.loads(plist.read_bytes())
    assert job["Label"] == "com.korvel.dashboard"
    assert job["ProgramArguments"] == [COMMAND, "--service", "--port", "8535", "--log-level", "info"]
    assert job["KeepAlive"] == {"SuccessfulExit": False} and job["RunAtLoad"] is True
    target = f"gui/{os.getuid()}/com.korvel.dashboard"
    assert box.calls() == [f"bootout {target}", f"enable {target}",
                           f"bootstrap gui/{os.getuid()} {plist}"]
    assert service.run("status", 1, "info") == 3  # nothing answers on 8535
    out = capsys.readouterr().out
    assert "installed: yes" in out and "answering: no (http://127.0.0.1:8535/health)" in out
    assert service.run("uninstall", 8535, "info") == 0
    assert box.calls()[-1] == f"bootout {target}" and not plist.exists()


def test_the_running_command_is_the_one_the_service_runs(tmp_path, monkeypatch):
    mine = tmp_path / "korvel-dashboard"
    mine.write_text("#!/bin/sh\n")
    mine.chmod(0o755)
    monkeypatch.setattr(sys, "argv", [str(mine), "service", "install"])
    assert service.executable() == mine
    mine.chmod(0o644)  # not runnable: the environment's own command
    assert str(service.executable()) == COMMAND


def test_exec_start_quotes_what_systemd_would_split_or_expand(monkeypatch):
    monkeypatch.setattr(service, "executable", lambda: pathlib.Path("/opt/my apps/100%/$bin/korvel-dashboard"))
    text = service.Systemd().unit_text(8420, "info")
    assert 'ExecStart="/opt/my apps/100%%/$$bin/korvel-dashboard" --service --port 8420' in text


def test_one_version_for_the_command_line_and_health(box, server):
    r = box.cli("--version")
    assert r.returncode == 0 and r.stdout.strip() == f"korvel-dashboard {VERSION}"
    assert server.client.get("/health").json()["version"] == VERSION
