"""``korvel-dashboard`` / ``python -m dashboard``: start the host."""
from __future__ import annotations

import argparse
import logging
import os
import sys
from typing import List, Optional

from . import version

DEFAULT_PORT = 8420
#: How long shutdown waits for interrupted turns to end (seconds).
SHUTDOWN_TURN_GRACE = 5.0
HOST = "127.0.0.1"

logger = logging.getLogger("dashboard")


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="korvel-dashboard",
                                     description="Serve the chat dashboard on http://127.0.0.1:<port>.")
    parser.add_argument("--port", type=int, default=None,
                        help=f"port to listen on (default: $KORVEL_DASHBOARD_PORT or {DEFAULT_PORT})")
    parser.add_argument("--engine", choices=("auto", "installed", "standin"), default="auto",
                        help="agent engine: the installed one, the bundled stand-in, or auto "
                             "(installed when present, else the stand-in)")
    parser.add_argument("--service", action="store_true",
                        help="run as the installed service: check for a newer release at start-up "
                             "(also $KORVEL_DASHBOARD_SERVICE=1)")
    parser.add_argument("--log-level", default=os.environ.get("KORVEL_DASHBOARD_LOG_LEVEL", "info"),
                        choices=("debug", "info", "warning", "error"))
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", metavar="service")
    service = commands.add_parser(
        "service", help="install, uninstall or check the per-user service that runs the dashboard",
        description="Manage the per-user service (systemd user unit korvel-dashboard on Linux, "
                    "launchd agent com.korvel.dashboard on macOS) that runs this environment's "
                    "korvel-dashboard --service.")
    service.add_argument("action", choices=("install", "uninstall", "status"))
    service.add_argument("--port", type=int, default=None,
                         help=f"port the service serves on (default: $KORVEL_DASHBOARD_PORT or {DEFAULT_PORT}); "
                              "status reads the installed service's port")
    service.add_argument("--log-level", default=os.environ.get("KORVEL_DASHBOARD_LOG_LEVEL", "info"),
                         choices=("debug", "info", "warning", "error"))
    args = parser.parse_args(argv)
    if args.port is None:
        env_port = os.environ.get("KORVEL_DASHBOARD_PORT", "").strip()
        try:
            args.port = int(env_port) if env_port else DEFAULT_PORT
        except ValueError:
            parser.error(f"KORVEL_DASHBOARD_PORT is not a number: {env_port!r}")
    if not 1 <= args.port <= 65535:
        parser.error(f"--port must be between 1 and 65535, not {args.port}")
    return args


def keep_private(folder) -> None:
    """Make ``folder`` private (700, created when missing); a home that
    cannot be written is reported by /health, not a reason not to start."""
    from .access import private_dir
    try:
        private_dir(folder)
    except OSError as exc:
        logger.warning("Cannot make %s private: %s", folder, exc.strerror or exc)


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    if args.command == "service":
        from . import service
        return service.run(args.action, args.port, args.log_level)
    from . import security
    from .security import escape_log_records, install_log_escaping
    install_log_escaping()
    logging.basicConfig(level=getattr(logging, args.log_level.upper()),
                        format="%(asctime)s %(levelname)-7s %(name)s: %(message)s",
                        stream=sys.stderr)
    escape_log_records()

    import uvicorn

    from bridge.supervisor import lifecycle

    from . import access, limits as bounds, settings, uploads
    from .app import Host, create_app
    from .engine import Engine
    from .profiles import korvel_root
    from .startup import PortTaken, load_engine, prepare_engine, running_as_service, supervise

    # What start-up creates under ~/.korvel (the PID file, folders, the
    # token) is its user's alone, whatever the umask; what was left by
    # earlier runs is tightened. (Not the engine's preparation: an update it
    # installs keeps the user's umask.)
    with access.private_umask():
        root = korvel_root()
        keep_private(root)
        access.tighten_all(root)
        try:
            free = supervise(args.port)
        except PortTaken as exc:
            logger.error("%s", exc)
            from bridge.supervisor import pid
            if pid.read_pid() == os.getpid():
                pid.cleanup_pid()
            return 1
        if not free:
            logger.error("Port %d is still taken; not starting", args.port)
            return 1
        token, token_source = access.load_token(root)
        # Not passed on to the commands the agent runs.
        os.environ.pop(access.TOKEN_ENV, None)
    prepare_engine(running_as_service(args.service))
    engine = Engine()
    load_engine(engine, args.engine)
    # Made by the chat modules on first use: private before anything is in it.
    keep_private(uploads.upload_dir(engine))

    host = Host(engine, args.port, token=token, token_source=token_source)
    app = create_app(host)

    def end_turns():
        # Turns run on daemon threads inside engine and bridge code: let them
        # end before the interpreter is torn down under them.
        host.turns.stop_all("Bridge shutting down")
        if not host.turns.wait_idle(SHUTDOWN_TURN_GRACE):
            logger.warning("Turns still running after %.0f s; exiting anyway", SHUTDOWN_TURN_GRACE)

    lifecycle.register_shutdown_callback(end_turns)

    class Server(uvicorn.Server):
        # uvicorn takes SIGTERM/SIGINT while it serves and raises them again
        # once it has stopped, which then runs the bridge's shutdown sequence.
        def handle_exit(self, sig, frame):
            host.begin_shutdown()
            host.turns.stop_all("Bridge shutting down")
            super().handle_exit(sig, frame)

    bounded = bounds.Limits()
    config = uvicorn.Config(app, host=HOST, port=args.port, log_level=args.log_level,
                            timeout_graceful_shutdown=3, access_log=False, http=bounded.protocol(),
                            limit_concurrency=bounded.max_connections + 1,
                            timeout_keep_alive=max(1, int(bounded.idle_seconds)))
    # uvicorn has set up its loggers by now: repeats are counted on all of them.
    security.limit_repeats(settings.LOG_REPEAT_SECONDS.value())
    logger.info("Serving on http://%s:%d (engine: %s)", HOST, args.port, engine.kind or "none")
    # Always shown, whatever the log level: the address to open, with the token.
    print(f"Open the dashboard at {access.page_url(args.port, token)}\n"
          f"(the access token is in {token_source})", file=sys.stderr, flush=True)
    Server(config).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
