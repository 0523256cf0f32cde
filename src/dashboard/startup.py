"""Start-up of the host process: supervision first, then the engine."""
from __future__ import annotations

import logging
import os

from .engine import Engine, choose

logger = logging.getLogger("dashboard")

#: Set to 1 (or pass --service) when the host runs as the installed per-user
#: service; only then does start-up look for a newer release and update.
SERVICE_ENV = "KORVEL_DASHBOARD_SERVICE"


def running_as_service(flag: bool) -> bool:
    return flag or os.environ.get(SERVICE_ENV, "").strip().lower() in ("1", "true", "yes", "on")


def supervise(port: int) -> bool:
    """Remove a stale bridge, record our PID, free the port, install the
    signal handlers. False when the port could not be freed."""
    from bridge.supervisor import lifecycle, pid, port as port_guard
    pid.kill_stale_bridge()
    pid.write_pid()
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
        bootstrap._setup_env()
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
    bootstrap._setup_env()
    return engine.activate("installed")
