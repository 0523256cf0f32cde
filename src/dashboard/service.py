"""``korvel-dashboard service install | uninstall | status``: the per-user
service that runs the host, under the names the self-update restarts
(systemd user unit ``korvel-dashboard`` on Linux, launchd agent
``com.korvel.dashboard`` on macOS)."""
from __future__ import annotations

import json
import os
import pathlib
import plistlib
import subprocess
import sys
import sysconfig
import urllib.error
import urllib.request
from typing import Dict, List, Optional

UNIT = "korvel-dashboard"
LABEL = "com.korvel.dashboard"
COMMAND = "korvel-dashboard"
HEALTH_TIMEOUT = 3.0
TOOL_TIMEOUT = 60.0


class ServiceError(Exception):
    """A step of the service command failed; the text says which and why."""


def executable() -> pathlib.Path:
    """This environment's ``korvel-dashboard`` command, as an absolute path:
    the one running now, else the one in the environment's scripts
    directory (a virtual environment's bin/, or ~/.local/bin for a user
    install)."""
    scripts = pathlib.Path(sysconfig.get_path("scripts"))
    candidates = [pathlib.Path(sys.argv[0])] if os.path.basename(sys.argv[0]) == COMMAND else []
    candidates += [scripts / COMMAND, pathlib.Path(sys.executable).parent / COMMAND,
                   pathlib.Path(sysconfig.get_path("scripts", f"{os.name}_user")) / COMMAND]
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate.absolute()
    raise ServiceError(f"{COMMAND} is not installed in this environment ({scripts}); "
                       f"install the package into it first")


def service_args(port: int, log_level: str) -> List[str]:
    return [str(executable()), "--service", "--port", str(port), "--log-level", log_level]


def run_tool(argv: List[str], check: bool = True) -> subprocess.CompletedProcess:
    """Runs systemctl or launchctl; a missing tool or (with check) a failing
    one is a ServiceError that quotes its message."""
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=TOOL_TIMEOUT)
    except FileNotFoundError:
        raise ServiceError(f"{argv[0]} not found: this command needs {argv[0]} on PATH") from None
    except subprocess.TimeoutExpired:
        raise ServiceError(f"{' '.join(argv)} did not finish within {TOOL_TIMEOUT:.0f} s") from None
    if check and done.returncode != 0:
        why = (done.stderr or done.stdout).strip() or f"exit status {done.returncode}"
        raise ServiceError(f"{' '.join(argv)} failed: {why}")
    return done


def write_atomically(path: pathlib.Path, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        tmp.write_bytes(data)
        tmp.chmod(0o644)
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)


def health(port: int) -> Optional[Dict]:
    """The host's /health document on ``port``, or None when nothing answers."""
    url = f"http://127.0.0.1:{port}/health"
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # never via a proxy
    try:
        with opener.open(url, timeout=HEALTH_TIMEOUT) as response:
            document = json.loads(response.read())
    except (OSError, ValueError):
        return None
    return document if isinstance(document, dict) else None


# ---- systemd (Linux) ---------------------------------------------------------


def _systemd_quote(arg: str) -> str:
    # systemd expands % specifiers and $ variables in ExecStart and splits
    # on spaces; double quotes keep one argument whole.
    arg = arg.replace("%", "%%").replace("$", "$$")
    if any(c in arg for c in " \t\"'\\"):
        arg = '"' + arg.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return arg


class Systemd:
    name = f"systemd user unit {UNIT}"

    def __init__(self) -> None:
        self.path = pathlib.Path.home() / ".config" / "systemd" / "user" / f"{UNIT}.service"

    def unit_text(self, port: int, log_level: str) -> str:
        exec_start = " ".join(_systemd_quote(a) for a in service_args(port, log_level))
        return (
            "[Unit]\n"
            f"Description=Korvel dashboard (chat on http://127.0.0.1:{port})\n"
            "\n"
            "[Service]\n"
            f"ExecStart={exec_start}\n"
            "Restart=on-failure\n"
            "RestartSec=2\n"
            "Environment=PYTHONUNBUFFERED=1\n"
            "\n"
            "[Install]\n"
            "WantedBy=default.target\n")

    def install(self, port: int, log_level: str) -> List[str]:
        running = self.path.exists() and self.active()
        write_atomically(self.path, self.unit_text(port, log_level).encode())
        run_tool(["systemctl", "--user", "daemon-reload"])
        run_tool(["systemctl", "--user", "enable", "--now", UNIT])
        if running:  # installed again: the running host takes the new settings
            run_tool(["systemctl", "--user", "restart", UNIT])
        return [f"Wrote {self.path}", f"Enabled and started {UNIT} (systemctl --user)"]

    def uninstall(self) -> List[str]:
        if not self.path.exists():
            return [f"{self.name} is not installed"]
        # A unit that was never loaded cannot be disabled; removing it is enough.
        run_tool(["systemctl", "--user", "disable", "--now", UNIT], check=False)
        self.path.unlink()
        run_tool(["systemctl", "--user", "daemon-reload"])
        return [f"Stopped and disabled {UNIT}", f"Removed {self.path}"]

    def installed_port(self) -> Optional[int]:
        try:
            text = self.path.read_text()
        except OSError:
            return None
        for line in text.splitlines():
            if line.startswith("ExecStart="):
                return _port_of(line.split())
        return None

    def enabled(self) -> bool:
        done = run_tool(["systemctl", "--user", "is-enabled", UNIT], check=False)
        return done.returncode == 0 and done.stdout.strip() == "enabled"

    def active(self) -> bool:
        done = run_tool(["systemctl", "--user", "is-active", UNIT], check=False)
        return done.returncode == 0


# ---- launchd (macOS) ---------------------------------------------------------


class Launchd:
    name = f"launchd agent {LABEL}"

    def __init__(self) -> None:
        self.path = pathlib.Path.home() / "Library" / "LaunchAgents" / f"{LABEL}.plist"
        self.domain = f"gui/{os.getuid()}"
        self.target = f"{self.domain}/{LABEL}"

    def plist(self, port: int, log_level: str) -> bytes:
        logs = pathlib.Path.home() / "Library" / "Logs" / "korvel-dashboard.log"
        return plistlib.dumps({
            "Label": LABEL,
            "ProgramArguments": service_args(port, log_level),
            "RunAtLoad": True,
            # Started again after a failure, not after a clean exit.
            "KeepAlive": {"SuccessfulExit": False},
            "EnvironmentVariables": {"PYTHONUNBUFFERED": "1"},
            "StandardOutPath": str(logs),
            "StandardErrorPath": str(logs),
        })

    def install(self, port: int, log_level: str) -> List[str]:
        write_atomically(self.path, self.plist(port, log_level))
        # A job loaded from an earlier install is replaced by the new definition.
        run_tool(["launchctl", "bootout", self.target], check=False)
        run_tool(["launchctl", "enable", self.target])
        run_tool(["launchctl", "bootstrap", self.domain, str(self.path)])
        return [f"Wrote {self.path}", f"Loaded {LABEL} into {self.domain} (launchctl)"]

    def uninstall(self) -> List[str]:
        if not self.path.exists():
            return [f"{self.name} is not installed"]
        run_tool(["launchctl", "bootout", self.target], check=False)
        self.path.unlink()
        return [f"Unloaded {LABEL}", f"Removed {self.path}"]

    def installed_port(self) -> Optional[int]:
        try:
            args = plistlib.loads(self.path.read_bytes()).get("ProgramArguments", [])
        except (OSError, ValueError, AttributeError):
            return None
        return _port_of([str(a) for a in args]) if isinstance(args, list) else None

    def enabled(self) -> bool:
        return run_tool(["launchctl", "print", self.target], check=False).returncode == 0

    def active(self) -> bool:
        return self.enabled()


def _port_of(args: List[str]) -> Optional[int]:
    for i, arg in enumerate(args[:-1]):
        if arg.strip('"') == "--port":
            try:
                return int(args[i + 1].strip('"'))
            except ValueError:
                return None
    return None


def manager():
    if sys.platform.startswith("linux"):
        return Systemd()
    if sys.platform == "darwin":
        return Launchd()
    raise ServiceError("service management is available on Linux (systemd) and macOS (launchd) only")


# ---- the command ---------------------------------------------------------------


def status_report(mgr, port: int) -> Dict:
    installed = mgr.path.exists()
    port = (mgr.installed_port() if installed else None) or port
    enabled = installed and mgr.enabled()
    document = health(port)
    return {
        "installed": installed,
        "file": str(mgr.path),
        "enabled": enabled,
        "running": installed and mgr.active(),
        "port": port,
        "answering": document is not None,
        "version": document.get("version") if document else None,
    }


def run(action: str, port: int, log_level: str) -> int:
    """Carries out one service action and prints what it did; the exit status."""
    try:
        mgr = manager()
        if action == "install":
            lines = mgr.install(port, log_level)
            lines.append(f"The dashboard runs on http://127.0.0.1:{port}")
        elif action == "uninstall":
            lines = mgr.uninstall()
        else:
            report = status_report(mgr, port)
            yes = {True: "yes", False: "no"}
            lines = [
                f"{mgr.name}",
                f"installed: {yes[report['installed']]} ({report['file']})",
                f"enabled: {yes[report['enabled']]}",
                f"running: {yes[report['running']]}",
                f"answering: {yes[report['answering']]} (http://127.0.0.1:{report['port']}/health"
                + (f", version {report['version']})" if report["answering"] else ")"),
            ]
            print("\n".join(lines))
            ok = report["installed"] and report["enabled"] and report["answering"]
            return 0 if ok else 3
    except ServiceError as exc:
        print(f"korvel-dashboard service {action}: {exc}", file=sys.stderr)
        return 1
    print("\n".join(lines))
    return 0
