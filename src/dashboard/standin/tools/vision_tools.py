"""Vision tool of the stand-in engine: describes an image file it can read.

With a model endpoint configured, and a chat model that does not take images
itself (one that does gets the image as an image part of the message), the
image is described by a model: KORVEL_VISION_MODEL when set, else the chat
model. Otherwise, or when that fails, the description states what the file
itself tells (format from its magic bytes, size, pixel dimensions).
"""
import asyncio
import json
import os
import struct
from pathlib import Path
from urllib.parse import unquote, urlparse

_MAGIC = [
    (b"\x89PNG\r\n\x1a\n", "PNG"),
    (b"\xff\xd8\xff", "JPEG"),
    (b"GIF87a", "GIF"),
    (b"GIF89a", "GIF"),
    (b"BM", "BMP"),
]


def detect_format(head):
    for magic, name in _MAGIC:
        if head.startswith(magic):
            return name
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "WEBP"
    return None


def _png_size(data):
    if len(data) >= 24 and data[12:16] == b"IHDR":
        return struct.unpack(">II", data[16:24])
    return None


def _gif_size(data):
    if len(data) >= 10:
        return struct.unpack("<HH", data[6:10])
    return None


_SOF = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}


def _jpeg_size(data):
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        if marker == 0xFF:  # fill byte
            i += 1
            continue
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            i += 2
            continue
        length = struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker in _SOF:
            if i + 9 > len(data):
                return None
            height, width = struct.unpack(">HH", data[i + 5:i + 9])
            return width, height
        if length < 2:
            return None
        i += 2 + length
    return None


_SIZERS = {"PNG": _png_size, "GIF": _gif_size, "JPEG": _jpeg_size}


def _local_path(image_url):
    parsed = urlparse(image_url)
    if parsed.scheme == "file":
        return Path(unquote(parsed.path))
    if parsed.scheme in ("http", "https", "data"):
        return None
    return Path(image_url).expanduser()


def describe_file(path):
    """The result mapping for one local image file."""
    data = path.read_bytes()
    fmt = detect_format(data[:16])
    if fmt is None:
        return {"success": False, "error": f"{path.name} is not a recognised image format",
                "size_bytes": len(data)}
    size = _SIZERS.get(fmt, lambda _: None)(data)
    result = {"success": True, "format": fmt, "size_bytes": len(data)}
    dims = ""
    if size:
        result["width"], result["height"] = size
        dims = f", {size[0]}x{size[1]} pixels"
    result["analysis"] = (f"A {fmt} image ({len(data)} bytes{dims}) stored at {path}. "
                          "The stand-in engine has no vision model, so its content "
                          "cannot be described further.")
    return result


async def vision_analyze_tool(image_url, user_prompt="", model=None):
    """Analyse the image at `image_url` (a path or file:// URL); JSON text."""
    path = _local_path(str(image_url))
    if path is None:
        return json.dumps({"success": False,
                           "error": "only local image files can be analysed"})
    try:
        result = describe_file(path)
        await asyncio.sleep(0)
    except OSError as exc:
        result = {"success": False, "error": f"cannot read {path}: {exc.strerror or exc}"}
    if result.get("success"):
        seen = await asyncio.get_running_loop().run_in_executor(
            None, _model_description, path, user_prompt, model)
        if seen is not None:
            result["analysis"], result["described_by"] = seen
    result["prompt"] = user_prompt
    return json.dumps(result)


def _model_description(path, prompt, model=None):
    """(description, model) from a model, or None when none is to be asked
    or it gave none."""
    from agent import model_client

    endpoint = model_client.last_endpoint()
    if endpoint is None or not model_client.is_configured(endpoint[0], endpoint[1]):
        return None
    api_key, base_url, chat_model = endpoint
    vision_model = model or os.environ.get("KORVEL_VISION_MODEL") or chat_model
    if vision_model == chat_model and model_client.model_takes_images(api_key, base_url, chat_model):
        return None  # the chat model sees the image itself
    data_url = model_client.image_data_url(path)
    if data_url is None:
        return None
    text = model_client.describe_image(api_key, base_url, vision_model, data_url, prompt)
    return (text, vision_model) if text else None
