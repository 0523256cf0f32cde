"""Images attached to messages: checked, saved, served and swept.

An image's type comes from its first bytes (PNG, JPEG, GIF or WebP), never
from the name or media type the client gave; the saved file's extension is
that type's. Nothing of the client's file name is kept.
"""
from __future__ import annotations

import base64
import binascii
import errno
import logging
import os
import pathlib
import re
import shutil
import threading
import time
from typing import List, NoReturn, Optional, Tuple, Union

from fastapi import HTTPException

from .access import private_dir, tighten

logger = logging.getLogger("dashboard")

#: Names of saved uploads: the upload id.
UPLOAD_ID = re.compile(r"upload_[0-9a-f]{10}(\.[A-Za-z0-9]{1,8})?")

#: (content type, extension) by the signature at the start of the file.
_TYPES = {"png": ("image/png", ".png"), "jpeg": ("image/jpeg", ".jpg"),
          "gif": ("image/gif", ".gif"), "webp": ("image/webp", ".webp")}

KINDS = "PNG, JPEG, GIF or WebP"


def image_kind(head: bytes) -> Optional[str]:
    """"png", "jpeg", "gif" or "webp" for an image's first 12 bytes; else None."""
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if head.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if head[:6] in (b"GIF87a", b"GIF89a"):
        return "gif"
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "webp"
    return None


def content_type(kind: str) -> str:
    return _TYPES[kind][0]


def _refuse(detail: str, status: int = 400) -> NoReturn:
    raise HTTPException(status_code=status, detail=detail)


def _mb(n: int) -> str:
    return f"{n / (1024 * 1024):g} MB"


def check_image(data: bytes, limit: int) -> str:
    """The kind of ``data``, or an HTTP error saying why it is refused."""
    if len(data) > limit:
        _refuse(f"image is larger than {_mb(limit)}", 413)
    if not data:
        _refuse("image is empty")
    kind = image_kind(data[:12])
    if kind is None:
        _refuse(f"not an image: only {KINDS} files are accepted", 415)
    return kind


def decode_data_url(data_url: str, limit: int) -> bytes:
    """The bytes of a base64 data URL, refused when malformed or too big
    (judged from the encoded length before anything is decoded)."""
    if not data_url.startswith("data:"):
        _refuse("image must be a data URL (data:image/...;base64,...) or an upload id")
    header, comma, payload = data_url.partition(",")
    if not comma:
        _refuse("data URL has no ',' before its payload")
    if not header.lower().endswith(";base64"):
        _refuse("data URL must be base64-encoded (data:image/...;base64,...)")
    if len(payload) > (limit + 2) // 3 * 4 + 4096:  # room for line breaks
        _refuse(f"image is larger than {_mb(limit)}", 413)
    if any(ws in payload for ws in (" ", "\n", "\r", "\t")):
        payload = "".join(payload.split())
    if not payload:
        _refuse("data URL has an empty payload")
    try:
        data = base64.b64decode(payload, validate=True)
    except (binascii.Error, ValueError) as exc:
        _refuse(f"data URL payload is not valid base64: {exc}")
    return data


def upload_dir(engine) -> pathlib.Path:
    if engine is not None and getattr(engine, "picdrop", None) is not None:
        return pathlib.Path(engine.picdrop.get_upload_dir())
    return pathlib.Path(os.path.expanduser("~")) / ".korvel" / "uploads"


def _ensure_room(directory: pathlib.Path, size: int, min_free: int) -> None:
    probe = directory
    while not probe.exists() and probe != probe.parent:
        probe = probe.parent
    try:
        free = shutil.disk_usage(probe).free
    except OSError:
        return
    if free - size < min_free:
        _refuse(f"not enough disk space to save the image ({_mb(free)} free, "
                f"{_mb(min_free)} kept in reserve)", 507)


def save(engine, data: bytes, limits) -> pathlib.Path:
    """Check ``data`` and save it; the saved file's path."""
    kind = check_image(data, limits.max_image_bytes)
    directory = upload_dir(engine)
    _ensure_room(directory, len(data), limits.min_free_bytes)
    try:
        # The folder keeps its files from other users, whatever mode they get.
        private_dir(directory)
        path = engine.picdrop.save_uploaded_image(data, "image" + _TYPES[kind][1])
        tighten(pathlib.Path(path), 0o600)
    except OSError as exc:
        if exc.errno in (errno.ENOSPC, errno.EDQUOT):
            _refuse("the disk is full: the image was not saved", 507)
        _refuse(f"cannot save the image in {upload_dir(engine)}: {exc.strerror or exc}", 503)
    return pathlib.Path(path)


# A refused image must not stay in memory: an error's traceback keeps the
# variables of every frame it passed through for as long as the error lives.
# The functions below take the image text out of the request body, and raise
# a fresh error that holds none of the image data.

def take_data_url(engine, body, limits) -> pathlib.Path:
    """Save the data URL in ``body.data_url`` (emptied)."""
    url, body.data_url = body.data_url, ""
    problem = None
    try:
        return save(engine, decode_data_url(url, limits.max_image_bytes), limits)
    except HTTPException as exc:
        problem = HTTPException(exc.status_code, exc.detail)
    url = ""
    raise problem


def save_file(engine, fh, limits) -> pathlib.Path:
    """Save the uploaded file ``fh`` (read up to the image limit)."""
    problem = None
    try:
        return save(engine, fh.read(limits.max_image_bytes + 1), limits)
    except HTTPException as exc:
        problem = HTTPException(exc.status_code, exc.detail)
    raise problem


def saved(engine, ref: str, limits) -> Tuple[pathlib.Path, str]:
    """The saved upload ``ref`` names and its kind; 400/404/415 otherwise."""
    if not isinstance(ref, str) or not UPLOAD_ID.fullmatch(ref):
        _refuse(f"unknown image {ref[:80]!r}: send a data URL or an id returned by /chat/upload")
    path = upload_dir(engine) / ref
    try:
        if path.is_symlink() or not path.is_file():
            _refuse(f"unknown image {ref!r}", 404)
        if path.stat().st_size > limits.max_image_bytes:
            _refuse(f"image {ref!r} is larger than {_mb(limits.max_image_bytes)}", 413)
        with open(path, "rb") as fh:
            kind = image_kind(fh.read(12))
    except OSError as exc:
        _refuse(f"cannot read image {ref!r}: {exc.strerror or exc}", 404)
    if kind is None:
        _refuse(f"{ref!r} is not an image", 415)
    return path, kind


def attach(engine, refs: list, limits) -> List[pathlib.Path]:
    """The files for a message's images (data URLs or upload ids). Every
    image is checked before the first one is saved; the data URLs in
    ``refs`` are replaced by a placeholder once taken."""
    checked: List[Union[bytes, pathlib.Path]] = []
    problem = None
    try:
        for i, ref in enumerate(refs):
            if ref.startswith("data:"):
                refs[i] = "data:"
                data = decode_data_url(ref, limits.max_image_bytes)
                ref = ""
                check_image(data, limits.max_image_bytes)
                checked.append(data)
                data = b""
            else:
                checked.append(saved(engine, ref, limits)[0])
        return [item if isinstance(item, pathlib.Path) else save(engine, item, limits) for item in checked]
    except HTTPException as exc:
        problem = HTTPException(exc.status_code, exc.detail)
    checked.clear()
    ref, data = "", b""
    raise problem


def info(path: pathlib.Path) -> dict:
    return {"id": path.name, "path": str(path), "bytes": path.stat().st_size}


# -- removal of old uploads ---------------------------------------------------------

def sweep(directory: pathlib.Path, max_age: float, now: Optional[float] = None) -> int:
    """Remove saved uploads older than ``max_age`` seconds; how many went.
    Only files named like uploads are touched."""
    now = time.time() if now is None else now
    removed = 0
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return 0
    for entry in entries:
        if not UPLOAD_ID.fullmatch(entry.name):
            continue
        try:
            if not entry.is_file(follow_symlinks=False) and not entry.is_symlink():
                continue
            if now - entry.stat(follow_symlinks=False).st_mtime > max_age:
                os.unlink(entry.path)
                removed += 1
        except OSError:
            continue
    if removed:
        logger.info("Removed %d uploaded image(s) older than %g days from %s",
                    removed, max_age / 86400, directory)
    return removed


def start_sweeper(engine, limits) -> threading.Event:
    """Sweep now and then periodically on a daemon thread; set the returned
    event to stop it."""
    stop = threading.Event()

    def run():
        while True:
            try:
                sweep(upload_dir(engine), limits.upload_max_age_seconds)
            except Exception:
                logger.exception("Removing old uploads failed")
            if stop.wait(limits.upload_sweep_seconds):
                return

    threading.Thread(target=run, name="upload-sweeper", daemon=True).start()
    return stop
