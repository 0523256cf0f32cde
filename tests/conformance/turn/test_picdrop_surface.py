"""Image attachments and their descriptions, checked from outside."""
import asyncio
import base64
import json
import logging
import os
import pathlib
import re
import threading

import pytest

import bridge.Chat.picdrop as pd

LOG = "bridge.picdrop"
PROMPT = ("Describe everything visible in this image in thorough detail. Include any text, "
          "code, data, objects, people, layout, colors, and any other notable visual information.")
NAME = re.compile(r"upload_[0-9a-f]{10}(\..*)?$", re.S)


def success(analysis, path):
    return ("[The user sent an image~ Here's what I can see:\n" + analysis
            + "]\n[If you need a closer look, use vision_analyze with image_url: " + path + " ~]")


def no_success(path):
    return ("[The user sent an image but I couldn't quite see it this time (>_<) You can try "
            "looking at it yourself with vision_analyze using image_url: " + path + "]")


def error_text(path):
    return ("[The user sent an image but something went wrong when I tried to look at it~ You "
            "can try examining it yourself with vision_analyze using image_url: " + path + "]")


@pytest.fixture
def uploads(tmp_path, monkeypatch):
    where = tmp_path / "up" / "loads"
    monkeypatch.setattr(pd, "_UPLOAD_DIR", where)
    return where


def test_upload_dir_from_home_at_load():
    assert isinstance(pd._UPLOAD_DIR, pathlib.Path)
    assert pd._UPLOAD_DIR == pathlib.Path(os.path.expanduser("~")) / ".korvel" / "uploads"
    assert pd.logger is logging.getLogger(LOG)


def test_ensure_upload_dir_reads_the_module_constant(uploads):
    assert pd.get_upload_dir() == uploads and not uploads.exists()
    got = pd._ensure_upload_dir()
    assert got == uploads and isinstance(got, pathlib.Path) and uploads.is_dir()
    assert pd._ensure_upload_dir() == uploads
    with pytest.raises(TypeError):
        pd.get_upload_dir(1)


@pytest.mark.parametrize("filename, ext", [
    ("photo.JPG", ".JPG"), ("a/b/c.gif", ".gif"), ("archive.tar.gz", ".gz"),
    ("noext", ".png"), (".hidden", ".png"), ("trailing.", ".png"), ("", ".png"),
    ("..", ".png"), ("..b", ".b"), ("dir.d/plain", ".png"), ("../../etc/x.webp", ".webp"),
])
def test_uploaded_suffix(uploads, filename, ext):
    path = pd.save_uploaded_image(b"data", filename)
    assert isinstance(path, pathlib.Path) and path.is_absolute()
    assert path.parent == uploads
    assert path.name.startswith("upload_") and path.name.endswith(ext)
    assert re.fullmatch(r"upload_[0-9a-f]{10}", path.name[: -len(ext)])
    assert path.read_bytes() == b"data"


def test_uploaded_keywords_log_and_content(uploads, logs):
    blob = bytes(range(256)) * 3
    path = pd.save_uploaded_image(file_bytes=blob, filename="x.png")
    assert path.read_bytes() == blob
    got = logs(LOG)
    assert len(got) == 1
    level, msg, args = got[0]
    assert (level, msg) == ("INFO", "Saved uploaded image: %s (%d bytes)")
    assert str(args[0]) == str(path) and args[1] == 768
    assert sorted(os.listdir(uploads)) == [path.name]


def test_uploaded_reaches_helpers_through_the_module(tmp_path, monkeypatch):
    target = tmp_path / "elsewhere"
    target.mkdir()
    monkeypatch.setattr(pd, "_ensure_upload_dir", lambda: target)
    path = pd.save_uploaded_image(b"x", "y.gif")
    assert path.parent == target


@pytest.mark.parametrize("args", [(None, "a.png"), ("text", "a.png"), (b"x", None), (b"x", 5),
                                  (b"x", b"a.png")])
def test_uploaded_type_checks(uploads, args):
    with pytest.raises(TypeError):
        pd.save_uploaded_image(*args)
    assert not uploads.exists()


def test_uploaded_write_failure_raises_and_leaves_nothing(uploads, monkeypatch, logs):
    real = pathlib.Path.write_bytes

    def half_then_fail(self, data):
        real(self, data[: len(data) // 2])
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pathlib.Path, "write_bytes", half_then_fail)
    with pytest.raises(OSError, match="No space left"):
        pd.save_uploaded_image(b"abcdef", "a.png")
    assert os.listdir(uploads) == []
    assert logs(LOG) == []


def test_uploaded_unusable_name_raises_and_leaves_nothing(uploads):
    with pytest.raises((ValueError, OSError)):
        pd.save_uploaded_image(b"abc", "a.p\x00g")
    assert not uploads.exists() or os.listdir(uploads) == []


@pytest.mark.parametrize("url, ext", [
    ("data:image/png;base64,", ".png"), ("data:image/jpeg;base64,", ".jpg"),
    ("data:image/jpg;base64,", ".jpg"), ("data:image/gif;base64,", ".gif"),
    ("data:image/webp;base64,", ".webp"), ("data:image/svg+xml;base64,", ".png"),
    ("data:text/plain;base64,", ".png"), ("data:IMAGE/PNG;base64,", ".png"),
    ("data: image/gif ;base64,", ".gif"), ("data:image/webp,", ".webp"),
    ("image/gif;base64,", ".png"), (" data:image/gif;base64,", ".png"),
    ("DATA:image/gif;base64,", ".png"), ("data:image/gif", ".gif"),
])
def test_base64_extension(uploads, url, ext):
    path = pd.save_base64_image(url)
    assert path.suffix == ext and NAME.match(path.name)
    assert path.read_bytes() == b""


def test_base64_payload_decoding(uploads, logs):
    payload = base64.b64encode(b"\x89PNG hello \x00\xff").decode()
    path = pd.save_base64_image(data_url="data:image/png;base64," + payload)
    assert path.read_bytes() == b"\x89PNG hello \x00\xff"
    # characters outside the alphabet are skipped, later commas included
    noisy = "data:image/png;base64," + payload[:4] + "\n ,*" + payload[4:]
    assert pd.save_base64_image(noisy).read_bytes() == b"\x89PNG hello \x00\xff"
    got = logs(LOG)
    assert [(g[0], g[1], g[2][1]) for g in got] == [
        ("INFO", "Saved uploaded image: %s (%d bytes)", 13)] * 2


def test_base64_without_comma_is_empty(uploads, logs):
    path = pd.save_base64_image("data:image/gif;base64")
    assert path.suffix == ".gif" and path.read_bytes() == b""
    assert logs(LOG)[0][2][1] == 0


def test_base64_bad_padding_raises_and_writes_nothing(uploads):
    import binascii
    with pytest.raises(binascii.Error):
        pd.save_base64_image("data:image/png;base64,aGVsbG8")
    assert not uploads.exists() or os.listdir(uploads) == []


def test_base64_goes_through_save_uploaded(monkeypatch):
    calls = []
    monkeypatch.setattr(pd, "save_uploaded_image", lambda data, name: calls.append((data, name)) or "p")
    assert pd.save_base64_image("data:image/jpeg;base64,aGk=") == "p"
    assert calls == [(b"hi", "image.jpg")]


@pytest.mark.parametrize("bad", [None, b"data:image/png;base64,", 5])
def test_base64_type_checks(uploads, bad):
    with pytest.raises(TypeError):
        pd.save_base64_image(bad)
    assert not uploads.exists()


class Tool:
    """An engine vision tool whose answers are scripted per image path."""

    def __init__(self, answers):
        self.answers = answers
        self.calls = []

    async def __call__(self, **kwargs):
        loop = asyncio.get_running_loop()
        self.calls.append((kwargs, threading.get_ident(), loop))
        answer = self.answers[kwargs["image_url"]]
        if isinstance(answer, BaseException):
            raise answer
        return answer


@pytest.fixture
def tool(engine_module):
    def install(answers):
        t = Tool(answers)
        engine_module("tools.vision_tools", vision_analyze_tool=t)
        return t
    return install


def test_enrich_calls_and_texts(tool, logs):
    t = tool({"/a.png": json.dumps({"success": True, "analysis": "A cat."}),
              "/b.png": json.dumps({"success": False}),
              "/c.png": RuntimeError("model down")})
    paths = [pathlib.Path("/a.png"), "/b.png", pathlib.PurePosixPath("/c.png")]
    out = pd.enrich_message_with_images(user_text="hello", image_paths=paths)
    assert out == "\n\n".join([success("A cat.", "/a.png"), no_success("/b.png"),
                               error_text("/c.png"), "hello"])
    assert [c[0] for c in t.calls] == [{"image_url": p, "user_prompt": PROMPT}
                                       for p in ("/a.png", "/b.png", "/c.png")]
    assert all(type(c[0]["image_url"]) is str for c in t.calls)
    assert all(c[1] == threading.get_ident() for c in t.calls)
    loops = [c[2] for c in t.calls]
    assert len({id(loop) for loop in loops}) == 3 and all(loop.is_closed() for loop in loops)
    got = logs(LOG)
    assert [g[:2] for g in got] == [
        ("DEBUG", "Auto-analyzing user image: %s"), ("DEBUG", "Auto-analyzing user image: %s"),
        ("DEBUG", "Auto-analyzing user image: %s"), ("ERROR", "Vision auto-analysis error: %s")]
    assert [g[2][0] for g in got[:3]] == ["/a.png", "/b.png", "/c.png"]
    assert str(got[3][2][0]) == "model down"


@pytest.mark.parametrize("answer, kind", [
    (json.dumps({"success": True}), "empty"),
    (json.dumps({"success": 1, "analysis": 42}), "42"),
    (json.dumps({"success": "yes", "analysis": "ok"}), "ok"),
    (json.dumps({"analysis": "hidden"}), "no"),
    (json.dumps({"success": None, "analysis": "x"}), "no"),
    ({"success": True, "analysis": "not text"}, "no"),
    (None, "no"),
    (b'{"success": true}', "no"),
    ("not json", "error"),
    (json.dumps([1, 2]), "error"),
    (json.dumps(None), "error"),
    (json.dumps("text"), "error"),
])
def test_enrich_result_kinds(tool, answer, kind, logs):
    tool({"/p": answer})
    out = pd.enrich_message_with_images("", ["/p"])
    expected = {"empty": success("", "/p"), "42": success("42", "/p"), "ok": success("ok", "/p"),
                "no": no_success("/p"), "error": error_text("/p")}[kind]
    assert out == expected
    errors = [g for g in logs(LOG) if g[0] == "ERROR"]
    assert len(errors) == (1 if kind == "error" else 0)


def test_enrich_keeps_odd_text(tool):
    odd = "line\x00 \ud800 \U0001F600"
    tool({"/p\udcff": json.dumps({"success": True, "analysis": odd})})
    user = "user \udc80 text"
    out = pd.enrich_message_with_images(user, ["/p\udcff"])
    assert out == success(odd, "/p\udcff") + "\n\n" + user


def test_enrich_without_images_returns_the_text_itself(tool):
    tool({})
    text = "unchanged"
    assert pd.enrich_message_with_images(text, []) is text
    assert pd.enrich_message_with_images("", []) == ""


def test_enrich_engine_missing_raises_before_any_image(engine_module, logs):
    engine_module("tools.vision_tools", _missing=True)
    with pytest.raises(ImportError):
        pd.enrich_message_with_images("t", ["/a"])
    with pytest.raises(ImportError):
        pd.enrich_message_with_images("t", [])
    assert logs(LOG) == []
    engine_module("tools.vision_tools")
    with pytest.raises(ImportError):
        pd.enrich_message_with_images("t", ["/a"])


@pytest.mark.parametrize("args", [(None, []), (b"t", []), ("t", None), ("t", ("/a",)), ("t", "/a")])
def test_enrich_type_checks(tool, args):
    t = tool({"/a": "{}"})
    with pytest.raises(TypeError):
        pd.enrich_message_with_images(*args)
    assert t.calls == []


def test_enrich_base_exceptions_pass(tool):
    tool({"/a": KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        pd.enrich_message_with_images("t", ["/a"])


def test_enrich_inside_a_running_loop(tool, logs):
    t = tool({"/a": json.dumps({"success": True}), "/b": json.dumps({"success": True})})

    async def main():
        return pd.enrich_message_with_images("u", ["/a", "/b"])

    out = asyncio.run(main())
    assert out == "\n\n".join([error_text("/a"), error_text("/b"), "u"])
    assert len([g for g in logs(LOG) if g[0] == "ERROR"]) == 2
    assert t.calls == []


def test_enrich_leaves_the_threads_event_loop_alone(tool):
    tool({"/a": json.dumps({"success": True, "analysis": "x"})})
    result = {}

    def worker():
        mine = asyncio.new_event_loop()
        asyncio.set_event_loop(mine)
        try:
            result["text"] = pd.enrich_message_with_images("u", ["/a"])
            result["same"] = asyncio.get_event_loop() is mine
        finally:
            asyncio.set_event_loop(None)
            mine.close()

    t = threading.Thread(target=worker)
    t.start()
    t.join(60)
    assert result == {"text": success("x", "/a") + "\n\nu", "same": True}


def test_enrich_finishes_what_the_tool_left_running(engine_module):
    left = []

    async def tool(image_url, user_prompt):
        left.append(asyncio.get_running_loop().create_task(asyncio.sleep(3600)))
        return json.dumps({"success": True, "analysis": "ok"})

    engine_module("tools.vision_tools", vision_analyze_tool=tool)
    assert pd.enrich_message_with_images("", ["/a"]) == success("ok", "/a")
    assert left[0].cancelled()
