"""Who may use the host: the access token, and the files only its user reads.

The host serves on 127.0.0.1, which every local process and every user of
the machine can reach. What keeps them out is the access token: a random
value kept in ``~/.korvel/dashboard/access-token`` (mode 600, in a folder of
mode 700), or given by ``KORVEL_DASHBOARD_TOKEN``. Every request but the
page's own files and the liveness check must carry it, as
``Authorization: Bearer <token>`` or as the cookie that opening
``/?token=<token>`` sets.

Everything the host keeps under ``~/.korvel`` is private to its user,
whatever the umask: folders 700, files 600, tightened at every start.
"""
from __future__ import annotations

import contextlib
import hmac
import logging
import os
import pathlib
import secrets
import stat
from typing import Iterator, List, Optional, Tuple
from urllib.parse import parse_qsl, urlencode

from starlette.requests import cookie_parser
from starlette.responses import JSONResponse

logger = logging.getLogger("dashboard")

TOKEN_ENV = "KORVEL_DASHBOARD_TOKEN"
TOKEN_FILE = pathlib.Path("dashboard") / "access-token"
#: Bytes of randomness in a new token (256 bits).
TOKEN_BYTES = 32
#: The shortest token taken from the environment without a warning.
SHORT_TOKEN = 16
#: How long the browser keeps the cookie (seconds): a bookmark opens the page
#: without the token for this long.
COOKIE_MAX_AGE = 30 * 86400

#: Set in the request's scope by the middleware: whether it carried the token.
AUTHORIZED = "dashboard.authorized"


# -- private files ------------------------------------------------------------------

def private_dir(path: pathlib.Path) -> pathlib.Path:
    """``path`` as a folder only its owner can enter (created, with its
    missing parents, as 700)."""
    missing = []
    probe = path
    while not probe.exists() and probe != probe.parent:
        missing.append(probe)
        probe = probe.parent
    for folder in reversed(missing):
        with contextlib.suppress(FileExistsError):
            folder.mkdir(mode=0o700)
    tighten(path, 0o700)
    return path


def tighten(path: pathlib.Path, mode: int) -> bool:
    """Take group and other permissions away from ``path`` (never following
    a symbolic link); True when it changed."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return False
    if stat.S_ISLNK(st.st_mode) or st.st_uid != os.getuid():
        return False
    if stat.S_IMODE(st.st_mode) & 0o077 == 0:
        return False
    os.chmod(path, stat.S_IMODE(st.st_mode) & mode)
    return True


def private_file(path: pathlib.Path) -> pathlib.Path:
    """Create ``path`` empty as 600 when it is missing; tighten it when not."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600))
    except FileExistsError:
        tighten(path, 0o600)
    return path


@contextlib.contextmanager
def private_umask() -> Iterator[None]:
    """Files and folders created meanwhile (by any code of the process) get
    no group or other permissions. Only around start-up: the agent's own
    commands keep the user's umask."""
    old = os.umask(0o077)
    try:
        yield
    finally:
        os.umask(old)


def our_files(root: pathlib.Path) -> List[Tuple[pathlib.Path, int]]:
    """The host's files and folders under ``root`` (``~/.korvel``), with the
    mode each one should have at most."""
    out: List[Tuple[pathlib.Path, int]] = [(root, 0o700), (root / "dashboard", 0o700),
                                           (root / TOKEN_FILE, 0o600), (root / ".bridge.pid", 0o600),
                                           (root / "uploads", 0o700)]
    with contextlib.suppress(OSError):
        out += [(p, 0o600) for p in (root / "uploads").iterdir() if p.name.startswith("upload_")]
    homes = [root]
    with contextlib.suppress(OSError):
        homes += [p for p in (root / "profiles").iterdir() if p.is_dir() and not p.is_symlink()]
    for home in homes:
        journal = home / "dashboard"
        out.append((journal, 0o700))
        out += [(journal / f"turns.sqlite{suffix}", 0o600) for suffix in ("", "-wal", "-shm", "-journal")]
    return out


def tighten_all(root: pathlib.Path) -> int:
    """Tighten what the host keeps under ``root``; how many were changed."""
    changed = 0
    for path, mode in our_files(root):
        try:
            changed += tighten(path, mode)
        except OSError as exc:
            logger.warning("Cannot make %s private: %s", path, exc.strerror or exc)
    if changed:
        logger.info("Took group and other permissions away from %d file(s) and folder(s) under %s",
                    changed, root)
    return changed


# -- the token ----------------------------------------------------------------------

def _usable(token: str) -> bool:
    return bool(token) and token.isascii() and token.isprintable() and " " not in token


def load_token(root: pathlib.Path) -> Tuple[str, str]:
    """(token, where it comes from): ``$KORVEL_DASHBOARD_TOKEN``, else the
    token file under ``root``, created with a new random token when missing
    or unusable."""
    given = os.environ.get(TOKEN_ENV, "").strip()
    if given:
        if not _usable(given):
            raise SystemExit(f"{TOKEN_ENV} must be printable ASCII without spaces")
        if len(given) < SHORT_TOKEN:
            logger.warning("%s is shorter than %d characters: anyone on this machine may guess it",
                           TOKEN_ENV, SHORT_TOKEN)
        return given, TOKEN_ENV
    path = root / TOKEN_FILE
    try:
        tighten(path, 0o600)
        token = path.read_text(encoding="ascii").strip()
        if _usable(token) and len(token) >= SHORT_TOKEN:
            return token, str(path)
        logger.warning("The access token in %s is not usable; writing a new one", path)
    except FileNotFoundError:
        pass
    except (OSError, UnicodeError) as exc:
        logger.warning("Cannot read the access token in %s (%s); writing a new one", path, exc)
    token = secrets.token_urlsafe(TOKEN_BYTES)
    try:
        private_dir(path.parent)
        temp = path.with_name(f".{path.name}.{os.getpid()}")
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0), 0o600)
        try:
            os.fchmod(fd, 0o600)
            os.write(fd, (token + "\n").encode("ascii"))
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp, path)
    except OSError as exc:
        # Still served with a token, one that lasts until the host stops.
        logger.warning("Cannot keep the access token in %s (%s): using one for this run only",
                       path, exc.strerror or exc)
        return token, f"this run's output only ({path} cannot be written)"
    return token, str(path)


def cookie_name(port: int) -> str:
    # Browsers send a host's cookies to every port of it: one name per port,
    # so hosts on other ports neither replace nor receive each other's.
    return f"korvel_dashboard_{port}"


def page_url(port: int, token: str) -> str:
    return f"http://127.0.0.1:{port}/?token={token}"


# -- the middleware -----------------------------------------------------------------

#: Reached without the token: the page itself (it holds no data and shows
#: how to open it) and its static files, and the liveness check.
PUBLIC_PATHS = ("/", "/health", "/favicon.ico")
PUBLIC_PREFIX = "/static/"
READ_METHODS = ("GET", "HEAD")


class AccessToken:
    """Refuses every request without the token (401, JSON ``detail``)
    before any route runs; ``/?token=<token>`` sets the cookie and sends the
    browser on to the same address without the token."""

    def __init__(self, app, token: str, port: int, token_file: str) -> None:
        self.app = app
        self._token = token.encode("ascii")
        self.cookie = cookie_name(port)
        self.port = port
        self.token_file = token_file

    def matches(self, given: Optional[str]) -> bool:
        if not given:
            return False
        try:
            raw = given.encode("ascii")
        except UnicodeError:
            return False
        return hmac.compare_digest(raw, self._token)

    def authorized(self, headers: dict) -> bool:
        auth = headers.get(b"authorization", b"").decode("latin-1")
        scheme, _, value = auth.partition(" ")
        if scheme.lower() == "bearer" and self.matches(value.strip()):
            return True
        cookie = headers.get(b"cookie")
        if cookie:
            return self.matches(cookie_parser(cookie.decode("latin-1")).get(self.cookie))
        return False

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers: dict = {}
        for key, value in scope.get("headers", ()):
            headers.setdefault(key.lower(), value)
        path = scope.get("path", "")
        method = scope.get("method", "GET")
        ok = self.authorized(headers)
        scope[AUTHORIZED] = ok
        if path == "/" and method in READ_METHODS:
            query = parse_qsl(scope.get("query_string", b"").decode("latin-1"), keep_blank_values=True)
            given = [value for key, value in query if key == "token"]
            if given:
                await self._enter(scope, receive, send, given[-1],
                                  [(k, v) for k, v in query if k != "token"])
                return
        if ok or (method in READ_METHODS and (path in PUBLIC_PATHS or path.startswith(PUBLIC_PREFIX)
                                              or path == PUBLIC_PREFIX.rstrip("/"))):
            await self.app(scope, receive, send)
            return
        detail = (f"this needs the dashboard's access token: open the address the dashboard printed "
                  f"at start (http://127.0.0.1:{self.port}/?token=...), or send "
                  f"'Authorization: Bearer <token>'; the token is in {self.token_file}")
        # The connection is closed after the answer: a client without the
        # token holds no connection open.
        await JSONResponse(status_code=401, content={"detail": detail},
                           headers={"WWW-Authenticate": "Bearer", "Connection": "close"})(scope, receive, send)

    async def _enter(self, scope, receive, send, given: str, rest: list) -> None:
        """The page opened from the printed address: the cookie, and on to
        the same address without the token."""
        location = "/" + ("?" + urlencode(rest) if rest else "")
        headers = [(b"location", location.encode("latin-1")), (b"cache-control", b"no-store"),
                   (b"content-length", b"0")]
        if self.matches(given):
            headers.append((b"set-cookie", (f"{self.cookie}={self._token.decode('ascii')}; "
                                            f"Max-Age={COOKIE_MAX_AGE}; Path=/; HttpOnly; "
                                            f"SameSite=Strict").encode("latin-1")))
        else:
            logger.warning("The page was opened with a wrong access token")
        await send({"type": "http.response.start", "status": 303, "headers": headers})
        await send({"type": "http.response.body", "body": b""})
