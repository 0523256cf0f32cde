"""The host's HTTP interface: JSON endpoints, the event stream and the page."""
from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import pathlib
import re
import threading
import time
from typing import Dict, List, NoReturn, Optional, cast

from fastapi import FastAPI, File, HTTPException, Query, Request, UploadFile
from fastapi.exceptions import RequestValidationError
from fastapi.responses import FileResponse, JSONResponse, Response, StreamingResponse
from fastapi.staticfiles import StaticFiles
import yaml
from pydantic import BaseModel, Field
from starlette.concurrency import run_in_threadpool

from . import (access, export, limits, paging, permissions, profiles, security, sessions_api, settings, sse,
               uploads, version)
from .engine import Engine, EngineDep, ModelCatalog, describe as describe_engine, endpoint_configured
from .turns import OtherProfile, TurnRunner
from .streams import SessionStream, SessionStreamResponse, StreamHub
from .events import EventsStream, HostEvents

logger = logging.getLogger("dashboard")

STATIC_DIR = pathlib.Path(__file__).resolve().parent / "static"

#: Session ids are keys of every registry and the engine's store: keep them
#: plain (matched whole: a trailing newline is not part of any id).
SESSION_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.:-]{0,127}")
APPROVAL_CHOICES = ("once", "session", "always", "deny")
MAX_MESSAGE_CHARS = int(settings.MAX_MESSAGE.value())
MAX_IMAGES = int(settings.MAX_IMAGES.value())
TASK_CLEANUP_SECONDS = 60.0

SSE_HEADERS = {"Cache-Control": "no-cache", "X-Accel-Buffering": "no"}


# -- request bodies ----------------------------------------------------------

class SendBody(BaseModel):
    session_id: Optional[str] = None
    message: str = Field("", max_length=MAX_MESSAGE_CHARS)
    images: List[str] = Field(default_factory=list, max_length=MAX_IMAGES)
    #: The sender's own name for the message, echoed on every record of its turn.
    client_id: Optional[str] = Field(None, pattern=r"^[A-Za-z0-9_-]{1,64}$")
    #: The profile the sender's view shows; a message for another one is refused.
    profile: Optional[str] = Field(None, max_length=200)


class CancelBody(BaseModel):
    session_id: str
    turn_id: str = Field(..., max_length=64)


class RevokeBody(BaseModel):
    scope: str
    key: str = Field(..., min_length=1, max_length=300)
    session_id: Optional[str] = None


class StopBody(BaseModel):
    session_id: str
    clear_queue: bool = False


class ApproveBody(BaseModel):
    session_id: str
    choice: str
    #: The SSE id of the approval_required event answered.
    approval_id: str = Field(..., max_length=200)


class DataUrlBody(BaseModel):
    data_url: str


class ProfileBody(BaseModel):
    name: str
    create: bool = False


class ModelBody(BaseModel):
    model: str = Field(..., max_length=200)


#: Names under which the page is reached; anything else in a Host header
#: means a foreign page resolved its own name to this machine.
LOCAL_HOSTS = ("127.0.0.1", "localhost", "[::1]")
SAFE_METHODS = (b"GET", b"HEAD", b"OPTIONS")


def _extra_origins() -> List[str]:
    """Origins besides the page's own that may change things, from
    $KORVEL_DASHBOARD_ORIGINS (comma-separated, e.g. an app shell's origin)."""
    return [o.strip() for o in os.environ.get("KORVEL_DASHBOARD_ORIGINS", "").split(",") if o.strip()]


class LocalOnly:
    """Serve only requests addressed to this machine, and changes only from
    our own page: a web site open in the user's browser must neither reach
    the host through its own domain name nor post to it (approve a command,
    start an installation)."""

    def __init__(self, app) -> None:
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http":
            problem = self._problem(scope)
            if problem:
                await JSONResponse(status_code=403, content={"detail": problem})(scope, receive, send)
                return
        await self.app(scope, receive, send)

    @staticmethod
    def _problem(scope) -> Optional[str]:
        headers: Dict[bytes, str] = {}
        for key, value in scope.get("headers", ()):
            headers.setdefault(key.lower(), value.decode("latin-1"))
        host = headers.get(b"host", "")
        name = host.rsplit(":", 1)[0] if host.count(":") == 1 or host.startswith("[") else host
        if name.lower() not in LOCAL_HOSTS:
            return f"requests must be addressed to 127.0.0.1, not {host[:100]!r}"
        method = scope.get("method", "GET").encode("latin-1")
        origin = headers.get(b"origin")
        if method not in SAFE_METHODS and origin is not None and origin != f"http://{host}" \
                and origin not in _extra_origins():
            return "changes are accepted only from the dashboard's own page"
        return None


def _bad(detail: str, status: int = 400) -> NoReturn:
    raise HTTPException(status_code=status, detail=detail)


def _session(session_id: Optional[str]) -> str:
    if not isinstance(session_id, str) or not SESSION_ID.fullmatch(session_id):
        _bad("session_id must be 1-128 letters, digits or _ . : - (starting with a letter or digit)")
    return session_id


def _new_session_id() -> str:
    return time.strftime("s%Y%m%d-%H%M%S-") + os.urandom(3).hex()


class Host:
    """State of one running host: the engine, the turns and the shutdown flag."""

    def __init__(self, engine: Engine, port: int, token: Optional[str] = None, token_source: str = "") -> None:
        self.engine = engine
        self.port = port
        if token is None:
            token, token_source = access.load_token(profiles.korvel_root())
        self.token = token
        self.token_source = token_source
        self.streams = StreamHub(lambda: engine.warmpool)
        self.turns = TurnRunner(engine, self.streams)
        self.events = HostEvents(self.streams.run, self._active_profile, self.session_state)
        self.turns.on_state = self.events.state_changed
        self.streams.watch = self._session_record
        self.started = time.time()
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.closing: Optional[asyncio.Event] = None
        self._install_lock = threading.Lock()
        self.installing = False
        self.limits = settings.load()
        self.problems = security.Problems()
        self.sweeper: Optional[threading.Event] = None
        self.models = ModelCatalog()
        self.stream_slots = limits.StreamSlots(int(settings.MAX_STREAMS.value()))

    def begin_shutdown(self) -> None:
        """Make open event streams end; safe to call from a signal handler."""
        if self.loop is not None and self.closing is not None:
            try:
                self.loop.call_soon_threadsafe(self.closing.set)
            except RuntimeError:  # the loop is already closed
                pass

    def _active_profile(self) -> Optional[str]:
        return self.engine.warmpool.get_active_profile() if self.engine.ready else None

    def session_state(self, session_id: str) -> str:
        """What the session is doing: "awaiting_approval", "working",
        "waiting" (for a free slot) or "idle" (loop thread)."""
        log = self.streams.logs.get(session_id)
        if log is not None and log.pending_approval_id is not None:
            return "awaiting_approval"
        return self.turns.activity(session_id)

    def _session_record(self, session_id: str, kind: str) -> None:
        if kind == "title_updated":
            self.sessions_changed(session_id, "titled")
        else:
            self.events.state_changed(session_id)

    def sessions_changed(self, session_id: str, reason: str) -> None:
        self.events.publish("sessions_changed", {"session_id": session_id, "reason": reason})

    def require_engine(self) -> Engine:
        if not self.engine.ready:
            _bad("No agent engine is loaded; install it from the setup screen.", 503)
        return self.engine


def create_app(host: Host) -> FastAPI:
    async def _cleanup_timer():
        while True:
            await asyncio.sleep(TASK_CLEANUP_SECONDS)
            if host.engine.ready:
                try:
                    await run_in_threadpool(host.engine.warmpool.cleanup_old_tasks)
                except Exception:
                    logger.exception("Task cleanup failed")

    @contextlib.asynccontextmanager
    async def lifespan(app):
        host.loop = asyncio.get_running_loop()
        host.closing = asyncio.Event()
        host.streams.bind(host.loop)
        host.events.bind(host.loop)
        if host.engine.ready:
            try:
                await run_in_threadpool(host.turns.recover)
            except Exception:
                logger.exception("Could not look at the turn journal")
        cleanup = asyncio.ensure_future(_cleanup_timer())
        try:
            yield
        finally:
            host.closing.set()
            cleanup.cancel()

    app = FastAPI(title="korvel dashboard", docs_url=None, redoc_url=None, openapi_url=None,
                  lifespan=lifespan)
    app.state.host = host
    app.router.route_class = security.offloop_route(host.limits.offloop_json_bytes)
    # Innermost of the three: nothing reaches a route without the token.
    app.add_middleware(access.AccessToken, token=host.token, port=host.port, token_file=host.token_source)
    app.add_middleware(LocalOnly)
    app.add_middleware(security.Guard, max_body=host.limits.max_body_bytes, problems=host.problems,
                       allowed_origins=_extra_origins)
    host.sweeper = uploads.start_sweeper(host.engine, host.limits)
    app.include_router(sessions_api.router)

    @app.exception_handler(RequestValidationError)
    async def _invalid(request: Request, exc: RequestValidationError):
        problems = []
        for err in exc.errors():
            where = ".".join(str(p) for p in err.get("loc", ()) if p != "body") or "body"
            problems.append(f"{where}: {err.get('msg', 'invalid')}")
        return JSONResponse(status_code=422, content={"detail": "; ".join(problems) or "invalid request"})

    # -- page and health ------------------------------------------------------

    @app.get("/", include_in_schema=False)
    async def page():
        return FileResponse(STATIC_DIR / "index.html", headers={"Cache-Control": "no-cache"})

    app.mount("/static", StaticFiles(directory=str(STATIC_DIR)), name="static")

    @app.get("/health")
    async def health(request: Request):
        engine = host.engine
        if not request.scope.get(access.AUTHORIZED):
            # Liveness only: nothing of the user's without the token.
            return {"status": "ok", "access": "token required", "engine": engine.kind, "version": version()}
        problems = await run_in_threadpool(security.storage_problems, engine, host.limits.min_free_bytes)
        model = None
        if engine.ready:
            try:
                model = engine.warmpool.get_config_model() or profiles.DEFAULT_MODEL
            except Exception:  # an unreadable config.yaml: the label just lacks the model
                logger.debug("No model for /health", exc_info=True)
        return {
            "status": "degraded" if problems else "ok",
            "problems": problems,
            "recent_errors": host.problems.recent(),
            "engine": engine.kind,
            **describe_engine(engine.kind, model),
            "engine_error": engine.error,
            "version": version(),
            "pid": os.getpid(),
            "port": host.port,
            "uptime": round(time.time() - host.started, 3),
        }

    # -- setup ---------------------------------------------------------------

    def _setup_status():
        from bridge.setup import detect
        installed = bool(detect.is_installed())
        return {
            "installed": installed,
            "version": detect.get_version() if installed else None,
            "api_key": bool(detect.has_api_key()),
            "engine": host.engine.kind,
            "installing": host.installing,
        }

    @app.get("/setup/status")
    def setup_status():
        return _setup_status()

    @app.post("/setup/install")
    async def setup_install():
        from bridge.setup import detect
        if host.engine.kind == "installed" or await run_in_threadpool(detect.is_installed):
            _bad("the engine is installed already; update it with its own command", 409)
        with host._install_lock:
            if host.installing:
                _bad("an installation is already running", 409)
            host.installing = True
        loop = asyncio.get_running_loop()
        lines: asyncio.Queue = asyncio.Queue()

        def put(item: tuple) -> None:
            loop.call_soon_threadsafe(lines.put_nowait, item)

        def work() -> None:
            outcome: Dict[str, object] = {"ok": False, "error": None}
            try:
                from bridge.setup import detect, install
                install.install_korvel(lambda line: put(("line", line)))
                installed = bool(detect.is_installed())
                outcome["installed"] = installed
                if not installed:
                    outcome["error"] = "the installer finished but the engine was not found"
                else:
                    outcome["ok"] = True
                    if not host.engine.ready:
                        from .startup import load_installed_engine
                        load_installed_engine(host.engine)
            except Exception as exc:
                outcome["error"] = str(exc) or type(exc).__name__
            finally:
                outcome["engine"] = host.engine.kind
                host.installing = False
                put(("done", outcome))

        threading.Thread(target=work, name="engine-install", daemon=True).start()

        async def stream():
            while True:
                kind, value = await lines.get()
                if kind == "line":
                    yield sse.format_event("line", {"line": value})
                else:
                    yield sse.format_event("done", value)
                    return

        return StreamingResponse(stream(), media_type="text/event-stream", headers=SSE_HEADERS)

    # -- chat ------------------------------------------------------------------

    @app.post("/chat/send")
    def chat_send(engine: EngineDep, body: SendBody):
        if host.turns.shutting_down:
            _bad("the host is shutting down", 503)
        if body.profile is not None and body.profile != engine.warmpool.get_active_profile():
            # (before any image is saved; submit checks again as it accepts)
            raise OtherProfile(body.profile, engine.warmpool.get_active_profile())
        session_id = _session(body.session_id) if body.session_id else _new_session_id()
        if not body.message.strip() and not body.images:
            _bad("message is empty")
        paths = uploads.attach(engine, body.images, host.limits)
        answer = host.turns.submit(session_id, body.message, paths, client_id=body.client_id,
                                   profile=body.profile)
        if not body.session_id:
            host.sessions_changed(session_id, "created")
        return answer

    @app.post("/chat/cancel")
    def chat_cancel(engine: EngineDep, body: CancelBody):
        return host.turns.cancel(_session(body.session_id), body.turn_id)

    def _within_stream_cap(request: Request, make_stream, what: str = "streams") -> SessionStreamResponse:
        """The stream ``make_stream()`` makes, for a client still under its cap
        of open streams (429 otherwise; nothing is made then)."""
        client = request.client.host if request.client else ""
        if not host.stream_slots.take(client):
            _bad(f"this client has {host.stream_slots.limit} {what} open already; "
                 "close some of the dashboard's tabs", 429)
        return SessionStreamResponse(make_stream(), on_close=lambda: host.stream_slots.give_back(client))

    @app.get("/events")
    async def host_events(request: Request, last_event_id: Optional[str] = None):
        resume = request.headers.get("last-event-id") or last_event_id
        closing = cast(asyncio.Event, host.closing)
        return _within_stream_cap(request, lambda: EventsStream(host.events, resume, closing,
                                                                stall=settings.STALL.value()))

    @app.get("/chat/stream/{session_id}")
    async def chat_stream(engine: EngineDep, session_id: str, request: Request,
                          last_event_id: Optional[str] = None):
        _session(session_id)
        resume = request.headers.get("last-event-id") or last_event_id
        # host.closing is set by the lifespan before any request is served.
        closing = cast(asyncio.Event, host.closing)
        return _within_stream_cap(request, lambda: SessionStream(host.streams, session_id, resume, closing),
                                  "session streams")

    @app.get("/chat/status/{session_id}")
    def chat_status(engine: EngineDep, session_id: str):
        return host.turns.status(_session(session_id))

    @app.post("/chat/approve")
    async def chat_approve(engine: EngineDep, body: ApproveBody):
        # On the loop's thread, where the session's log is kept: checking the
        # id and taking the approval are one step, so an answer never
        # reaches an approval other than the one it names.
        session_id = _session(body.session_id)
        if body.choice not in APPROVAL_CHOICES:
            _bad(f"choice must be one of {', '.join(APPROVAL_CHOICES)}")
        log = host.streams.logs.get(session_id)
        waiting = log.pending_approval_id if log is not None else None
        if waiting is None or waiting != body.approval_id:
            _bad(f"approval {body.approval_id[:80]!r} is not waiting in session {session_id} "
                 "(answered already, or out of date): nothing was changed", 409)
        assert log is not None
        log.take_approval(body.approval_id)
        turn = host.turns.status(session_id)["turn"]
        resolved = await run_in_threadpool(engine.consentgate.resolve_approval, session_id, body.choice)
        if not resolved:
            _bad(f"approval {body.approval_id!r} is no longer waiting: the turn went on without it", 409)
        # Names its turn: the turn may go on before this is on the stream.
        host.streams.post(session_id, {
            "type": "approval_resolved",
            "data": {"turn_id": turn, "choice": body.choice, "approval_id": body.approval_id, "ts": time.time()}})
        return {"session_id": session_id, "choice": body.choice, "approval_id": body.approval_id,
                "resolved": True}

    @app.post("/chat/stop")
    def chat_stop(engine: EngineDep, body: StopBody):
        return host.turns.stop(_session(body.session_id), body.clear_queue)

    @app.get("/chat/history/{session_id}")
    def chat_history(engine: EngineDep, session_id: str,
                     limit: Optional[int] = Query(None, ge=1, le=paging.MAX_HISTORY_PAGE),
                     before: Optional[str] = Query(None, max_length=32)):
        return paging.history_page(host.turns.history(_session(session_id)), limit, before)

    @app.get("/chat/export/{session_id}")
    def chat_export(engine: EngineDep, session_id: str):
        session_id = _session(session_id)
        title = engine.warmpool.get_session_db().get_session_title(session_id)
        title = sessions_api.tidy_title(title) if isinstance(title, str) else ""
        messages = host.turns.history(session_id)["messages"]
        if not messages and not title:
            _bad(f"no session {session_id!r}", 404)
        return Response(export.markdown(title, messages), media_type="text/markdown; charset=utf-8",
                        headers={"Content-Disposition": export.filename_header(title)})

    @app.post("/chat/upload")
    def chat_upload(engine: EngineDep, file: UploadFile = File(...)):
        return uploads.info(uploads.save_file(engine, file.file, host.limits))

    @app.post("/chat/upload-data-url")
    def chat_upload_data_url(engine: EngineDep, body: DataUrlBody):
        return uploads.info(uploads.take_data_url(engine, body, host.limits))

    @app.get("/chat/upload/{upload_id}")
    def chat_upload_get(engine: EngineDep, upload_id: str):
        path, kind = uploads.saved(engine, upload_id, host.limits)
        return FileResponse(path, media_type=uploads.content_type(kind),
                            headers={"Cache-Control": "private, max-age=3600",
                                     "Cross-Origin-Resource-Policy": "same-origin"})

    @app.get("/sessions")
    def sessions(engine: EngineDep,
                 limit: int = Query(paging.DEFAULT_SESSIONS_PAGE, ge=1, le=paging.MAX_SESSIONS_PAGE),
                 cursor: Optional[str] = Query(None, max_length=512)):
        page = paging.sessions_page(engine.warmpool.get_session_db(), limit, cursor)
        return {"profile": engine.warmpool.get_active_profile(), **page}

    @app.get("/sessions/{session_id}")
    def session_info(engine: EngineDep, session_id: str):
        session_id = _session(session_id)
        title = engine.warmpool.get_session_db().get_session_title(session_id)
        return {"session_id": session_id, "title": sessions_api.tidy_title(title) if isinstance(title, str) else "",
                **host.turns.status(session_id)}

    # -- standing approvals -----------------------------------------------------

    @app.get("/permissions")
    def get_permissions(engine: EngineDep):
        return permissions.listing()

    @app.delete("/permissions")
    def revoke_permission(engine: EngineDep, body: RevokeBody):
        if body.scope not in permissions.SCOPES:
            _bad("scope must be session or always")
        session_id = None
        if body.scope == "session":
            session_id = _session(body.session_id)
        revoked = permissions.revoke(body.scope, body.key, session_id)
        if revoked is None:
            _bad(permissions.listing().get("reason") or "the engine cannot revoke approvals", 501)
        if not revoked:
            where = f" in session {session_id}" if session_id else ""
            _bad(f"no standing {body.scope} approval {body.key!r}{where}", 404)
        return {"revoked": True}

    # -- profiles and models --------------------------------------------------

    @app.get("/profiles")
    def get_profiles(engine: EngineDep):
        active = engine.warmpool.get_active_profile()
        names = profiles.list_profiles()
        if active not in names:
            names.append(active)
        return {"active": active, "profiles": names}

    @app.post("/profiles/active")
    def set_profile(engine: EngineDep, body: ProfileBody):
        name = body.name
        if not profiles.valid_profile_name(name):
            _bad("profile name must be 1-64 letters, digits or _ . - (starting with a letter or digit)")
        if name != "default":
            home = pathlib.Path(engine.warmpool.get_profile_home(name))
            if not home.is_dir():
                if not body.create:
                    _bad(f"no profile named {name!r}", 404)
                home.mkdir(parents=True, exist_ok=True)
        before = engine.warmpool.get_active_profile()
        engine.warmpool.set_active_profile(name)
        if engine.warmpool.get_active_profile() != before:
            host.events.publish("profile_changed", {"profile": engine.warmpool.get_active_profile()})
        return {"active": engine.warmpool.get_active_profile(), "profiles": profiles.list_profiles()}

    @app.get("/model")
    def get_model(engine: EngineDep):
        configured = engine.warmpool.get_config_model()
        current = configured or profiles.DEFAULT_MODEL
        listed, problem = host.models.models() if endpoint_configured() else (None, None)
        choices = list(listed if listed is not None else
                       [] if problem else profiles.SUGGESTED_MODELS)
        if current not in choices:
            choices.insert(0, current)
        return {"model": current, "configured": configured, "profile": engine.warmpool.get_active_profile(),
                "choices": choices, "source": "endpoint" if listed is not None else "unavailable" if problem else "suggested",
                "models_error": problem, "generation": engine.warmpool.get_model_generation(),
                "config_error": profiles.config_problem(pathlib.Path(engine.warmpool.get_profile_home())),
                **({"standin": True} if engine.kind == "standin" and not endpoint_configured() else {})}

    @app.post("/model")
    def set_model(engine: EngineDep, body: ModelBody):
        model = body.model.strip()
        if not model or any(ch.isspace() or not ch.isprintable() for ch in model):
            _bad("model must be a non-empty name without spaces")
        home = pathlib.Path(engine.warmpool.get_profile_home())
        try:
            path = profiles.write_model(home, model)
        except (ValueError, yaml.YAMLError) as exc:
            _bad(f"cannot update the profile configuration: {exc}", 409)
        generation = engine.warmpool.bump_model_generation()
        logger.info("Model set to %s in %s (generation %d)", model, path, generation)
        return {"model": model, "profile": engine.warmpool.get_active_profile(), "generation": generation}

    return app
