"""Start-up of the host process: supervision first, then the engine."""
from __future__ import annotations

import logging
import os
import pathlib
import shlex
import subprocess
from typing import List, Optional

from .engine import Engine, choose

logger = logging.getLogger("dashboard")

#: Set to 1 (or pass --service) when the host runs as the installed per-user
#: service; only then does start-up look for a newer release and update.
SERVICE_ENV = "KORVEL_DASHBOARD_SERVICE"


def running_as_service(flag: bool) -> bool:
    return flag or os.environ.get(SERVICE_ENV, "").strip().lower() in ("1", "true", "yes", "on")


def command_line(pid: int) -> Optional[List[str]]:
    """The arguments process ``pid`` was started with; None when they cannot
    be read (the process is gone, or its details are hidden from us)."""
    try:
        raw = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
    except FileNotFoundError:
        if pathlib.Path("/proc/self").exists():
            return None  # /proc works: the process is gone
    except OSError:
        return None
    else:
        args = raw.decode("utf-8", "replace").split("\0")
        if args and args[-1] == "":
            args.pop()
        return args or None
    try:  # no /proc (macOS): ask ps
        res = subprocess.run(["ps", "-ww", "-o", "args=", "-p", str(pid)],
                             capture_output=True, text=True, timeout=5)
    except (OSError, subprocess.SubprocessError):
        return None
    text = res.stdout.strip()
    if res.returncode != 0 or not text:
        return None
    try:
        return shlex.split(text)
    except ValueError:
        return text.split()


#: Ways this program is started: its command, or the package run as a module.
_ENTRY_COMMANDS = ("korvel-dashboard", "korvel-dashboard.exe")
_ENTRY_MODULES = ("dashboard", "dashboard.cli", "dashboard.__main__")


def is_dashboard_host(args: Optional[List[str]]) -> bool:
    """Whether a command line runs this program (a dashboard host)."""
    if not args:
        return False
    for i, arg in enumerate(args[:4]):
        if os.path.basename(arg) in _ENTRY_COMMANDS:
            return True
        if arg == "-m" and i + 1 < len(args) and args[i + 1] in _ENTRY_MODULES:
            return True
        if arg.startswith("-m") and arg[2:] in _ENTRY_MODULES:
            return True
        parts = pathlib.PurePath(arg).parts
        if parts[-2:] in (("dashboard", "__main__.py"), ("dashboard", "cli.py")):
            return True
    return False


def describe(args: Optional[List[str]]) -> str:
    if not args:
        return "(command line not readable)"
    text = " ".join(shlex.quote(a) for a in args)
    return text if len(text) <= 300 else text[:297] + "..."


class PortTaken(Exception):
    """The port is held by a process that is not a dashboard host."""


def check_pid_file() -> None:
    """A PID file naming a live process that is not a dashboard host is a
    leftover whose id has been reused: replace it, leave the process alone."""
    from bridge.supervisor import pid
    old = pid.read_pid()
    if isinstance(old, int) and old != os.getpid() and pid.is_pid_alive(old):
        args = command_line(old)
        if not is_dashboard_host(args):
            logger.info("PID file names PID %d, which is not a dashboard host (%s): "
                        "leaving it alone and replacing the file", old, describe(args))
            pid.write_pid()


def check_port_owner(port: int) -> None:
    """PortTaken when the process the port guard would stop is not a dashboard host."""
    from bridge.supervisor import port as port_guard
    if not port_guard.is_port_in_use(port):
        return
    owner = port_guard.find_port_owner(port)
    if owner is None or owner == os.getpid():
        return
    args = command_line(owner)
    if not is_dashboard_host(args):
        raise PortTaken(
            f"Port {port} is in use by PID {owner} ({describe(args)}), which is not a "
            f"dashboard host; not stopping it. Choose another port with --port N "
            f"or KORVEL_DASHBOARD_PORT=N.")


def supervise(port: int) -> bool:
    """Remove a stale bridge, record our PID, free the port, install the
    signal handlers. Only a dashboard host is ever stopped: False when the
    port could not be freed, PortTaken when another program holds it."""
    from bridge.supervisor import lifecycle, pid, port as port_guard
    check_pid_file()
    pid.kill_stale_bridge()
    pid.write_pid()
    check_port_owner(port)
    free = bool(port_guard.ensure_port_free(port))
    lifecycle.setup_signal_handlers()
    return free


def prepare_engine(service: bool) -> None:
    """Make the installed engine loadable and apply its configuration.

    As a service the full bootstrap runs (self-update included, which may end
    the process). Otherwise only its local steps run, so that start-up never
    waits for the network.
    """
    from bridge import bootstrap
    if service:
        bootstrap.bootstrap()
        return
    from bridge.setup import detect, path
    path.inject()
    installed = bool(detect.is_installed())
    if installed:
        bootstrap.setup_env()
    logger.info("Engine check: korvel=%s, api_key=%s (self-update skipped outside the service)",
                "installed" if installed else "missing", "set" if detect.has_api_key() else "missing")


def load_engine(engine: Engine, mode: str) -> bool:
    from bridge.setup import detect
    installed = bool(detect.is_installed()) if mode != "standin" else False
    kind = choose(mode, installed)
    if kind is None:
        logger.warning("No agent engine installed: serving the setup screen only")
    return engine.activate(kind)


def load_installed_engine(engine: Engine) -> bool:
    """After an installation from the setup screen: load the new engine."""
    from bridge import bootstrap
    from bridge.setup import path
    path.inject()
    bootstrap.setup_env()
    return engine.activate("installed")
