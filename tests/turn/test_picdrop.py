import asyncio
import base64
import binascii
import json
import logging
import os
import pathlib
import re
import struct
import threading
import zlib

import pytest

import bridge.Chat.picdrop as picdrop

LOGGER = "bridge.picdrop"
NAME = re.compile(r"upload_[0-9a-f]{10}(\..*)?$")
PROMPT = ("Describe everything visible in this image in thorough detail. Include any text, "
          "code, data, objects, people, layout, colors, and any other notable visual "
          "information.")


def png(width=3, height=2):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    rows = b"".join(b"\x00" + b"\xff\x00\x00" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def success(analysis, path):
    return (f"[The user sent an image~ Here's what I can see:\n{analysis}]\n"
            f"[If you need a closer look, use vision_analyze with image_url: {path} ~]")


def no_success(path):
    return ("[The user sent an image but I couldn't quite see it this time (>_<) You can try "
            f"looking at it yourself with vision_analyze using image_url: {path}]")


def error_text(path):
    return ("[The user sent an image but something went wrong when I tried to look at it~ "
            f"You can try examining it yourself with vision_analyze using image_url: {path}]")


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def records(caplog, level=None):
    return [r for r in caplog.records
            if r.name == LOGGER and (level is None or r.levelno == level)]


def test_upload_dir_from_home(home):
    assert picdrop._UPLOAD_DIR == home / ".korvel" / "uploads"
    assert isinstance(picdrop._UPLOAD_DIR, pathlib.Path)
    assert picdrop._ensure_upload_dir() == picdrop._UPLOAD_DIR
    assert picdrop._UPLOAD_DIR.is_dir()
    assert picdrop._ensure_upload_dir() == picdrop._UPLOAD_DIR  # exists already


def test_upload_dir_created_with_parents(tmp_path, monkeypatch):
    target = tmp_path / "a" / "b" / "uploads"
    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", target)
    saved = picdrop.save_uploaded_image(b"x", "f.gif")
    assert saved.parent == target and saved.read_bytes() == b"x"


class TestSaveUploaded:
    @pytest.mark.parametrize("filename,ext", [
        ("photo.JPG", ".JPG"), ("pic.png", ".png"), ("archive.tar.gz", ".gz"),
        ("noext", ".png"), (".hidden", ".png"), ("ends.", ".png"), ("", ".png"),
        ("a/b/c.gif", ".gif"), ("../../etc/passwd", ".png"), ("../../x.webp", ".webp"),
        ("dir.d/file", ".png"), ("we\u0301ird.\u00e9", ".\u00e9"),
    ])
    def test_suffix_rules(self, filename, ext):
        data = bytes(range(256))
        path = picdrop.save_uploaded_image(data, filename)
        assert path.parent == picdrop._UPLOAD_DIR and path.is_absolute()
        assert path.name == "upload_" + path.name[7:17] + ext
        assert re.fullmatch(r"[0-9a-f]{10}", path.name[7:17])
        assert path.read_bytes() == data

    def test_log_line_and_distinct_names(self, logs):
        a = picdrop.save_uploaded_image(b"abc", "a.png")
        b = picdrop.save_uploaded_image(b"", "a.png")
        assert a != b and b.read_bytes() == b""
        recs = records(logs)
        assert [(r.levelno, r.msg, r.args) for r in recs] == [
            (logging.INFO, "Saved uploaded image: %s (%d bytes)", (a, 3)),
            (logging.INFO, "Saved uploaded image: %s (%d bytes)", (b, 0)),
        ]

    def test_name_from_uuid4(self, monkeypatch):
        class Fixed:
            hex = "0123456789abcdef0123456789abcdef"

        monkeypatch.setattr(picdrop.uuid, "uuid4", lambda: Fixed())
        path = picdrop.save_uploaded_image(b"one", "x.png")
        assert path.name == "upload_0123456789.png"
        # Same name again: replaced, not refused.
        path = picdrop.save_uploaded_image(b"two", "y.png")
        assert path.read_bytes() == b"two"

    @pytest.mark.parametrize("args", [
        (bytearray(b"x"), "a.png"), ("text", "a.png"), (None, "a.png"), (b"x", None),
        (b"x", pathlib.Path("a.png")),
    ])
    def test_type_checks_before_any_effect(self, args, monkeypatch):
        monkeypatch.setattr(picdrop, "_ensure_upload_dir",
                            lambda: pytest.fail("directory touched"))
        with pytest.raises(TypeError):
            picdrop.save_uploaded_image(*args)

    def test_failed_write_leaves_no_file_and_raises(self, tmp_path, monkeypatch, logs):
        target = tmp_path / "uploads"
        target.mkdir()
        monkeypatch.setattr(picdrop, "_UPLOAD_DIR", target)

        def failing_replace(src, dst):
            assert pathlib.Path(src).read_bytes() == b"data"
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(picdrop.os, "replace", failing_replace)
        with pytest.raises(OSError, match="No space left"):
            picdrop.save_uploaded_image(b"data", "a.png")
        assert list(target.iterdir()) == []
        assert records(logs) == []

    def test_unwritable_directory_raises(self, tmp_path, monkeypatch):
        blocker = tmp_path / "file"
        blocker.write_text("not a directory")
        monkeypatch.setattr(picdrop, "_UPLOAD_DIR", blocker / "uploads")
        with pytest.raises(OSError):
            picdrop.save_uploaded_image(b"x", "a.png")


class TestSaveBase64:
    @pytest.mark.parametrize("header,ext", [
        ("data:image/png;base64", ".png"), ("data:image/jpeg;base64", ".jpg"),
        ("data:image/jpg;base64", ".jpg"), ("data:image/gif;base64", ".gif"),
        ("data:image/webp;base64", ".webp"), ("data:image/svg+xml;base64", ".png"),
        ("data:text/plain;base64", ".png"), ("data:IMAGE/PNG;base64", ".png"),
        ("image/jpeg;base64", ".png"), ("data: image/webp ;base64", ".webp"),
        ("data:image/gif", ".gif"), ("data:image/jpeg;charset=x;base64", ".jpg"),
    ])
    def test_extension_table(self, header, ext):
        path = picdrop.save_base64_image(header + "," + base64.b64encode(b"img").decode())
        assert path.suffix == ext and NAME.match(path.name)
        assert path.read_bytes() == b"img"

    def test_without_comma_writes_empty_file(self, logs):
        path = picdrop.save_base64_image("data:image/gif;base64")
        assert path.suffix == ".gif" and path.read_bytes() == b""
        (rec,) = records(logs)
        assert rec.args == (path, 0)

    def test_splits_at_first_comma(self):
        # A later comma is outside the alphabet and skipped.
        path = picdrop.save_base64_image("data:image/png;base64,QUJD,REVG")
        assert path.read_bytes() == b"ABCDEF"

    @pytest.mark.parametrize("payload,expected", [
        ("QUJD", b"ABC"), ("QUI=", b"AB"), ("QQ==", b"A"), ("", b""),
        ("QU\nJD\r\n", b"ABC"), ("Q U J D", b"ABC"), ("QU*J@D", b"ABC"),
        ("QUJ\u00e9D", b"ABC"), ("QQ==QUJD", b"A"), ("====", b""),
        ("_-_-", b""), ("+/+/", base64.b64decode("+/+/")),
    ])
    def test_lenient_decoding(self, payload, expected):
        assert picdrop.save_base64_image("data:image/png;base64," + payload).read_bytes() == expected

    @pytest.mark.parametrize("payload", ["QUJDR", "QQ", "QUI", "QQ=", "Q"])
    def test_wrong_padding_raises_and_writes_nothing(self, payload, tmp_path, monkeypatch):
        monkeypatch.setattr(picdrop, "_UPLOAD_DIR", tmp_path / "up")
        with pytest.raises(binascii.Error):
            picdrop.save_base64_image("data:image/png;base64," + payload)
        assert not (tmp_path / "up").exists() or list((tmp_path / "up").iterdir()) == []

    def test_decoding_agrees_with_stdlib_on_ascii(self, monkeypatch):
        import random
        rng = random.Random(7)
        seen = []
        monkeypatch.setattr(picdrop, "save_uploaded_image", lambda b, n: seen.append((b, n)))
        for _ in range(3000):
            s = "".join(rng.choice("QUJDRA=x=!\n +/") for _ in range(rng.randint(0, 14)))
            try:
                want = base64.b64decode(s)
            except binascii.Error:
                with pytest.raises(binascii.Error):
                    picdrop.save_base64_image("," + s)
                continue
            picdrop.save_base64_image("," + s)
            assert seen[-1] == (want, "image.png"), s

    def test_goes_through_save_uploaded_image(self, monkeypatch):
        calls = []
        monkeypatch.setattr(picdrop, "save_uploaded_image",
                            lambda b, n: calls.append((b, n)) or "saved")
        assert picdrop.save_base64_image("data:image/webp;base64,QUJD") == "saved"
        assert calls == [(b"ABC", "image.webp")]

    @pytest.mark.parametrize("bad", [None, b"data:image/png;base64,QUJD", 5])
    def test_type_check(self, bad):
        with pytest.raises(TypeError):
            picdrop.save_base64_image(bad)


class TestEnrich:
    def test_real_image_through_vision_tool(self, vision, logs):
        path = picdrop.save_uploaded_image(png(3, 2), "shot.png")
        out = picdrop.enrich_message_with_images("what is this?", [path])
        analysis = f"A PNG image, 3x2 pixels, {path.stat().st_size} bytes."
        assert out == success(analysis, str(path)) + "\n\nwhat is this?"
        (call,) = vision.calls
        assert call["image_url"] == str(path) and call["user_prompt"] == PROMPT
        assert call["thread"] == threading.get_ident()
        assert call["loop"].is_closed()
        debug = records(logs, logging.DEBUG)
        assert [(r.msg, r.args) for r in debug] == [("Auto-analyzing user image: %s", (str(path),))]

    def test_one_private_loop_per_image(self, vision):
        paths = [picdrop.save_uploaded_image(png(i + 1, 1), "a.png") for i in range(3)]
        picdrop.enrich_message_with_images("", paths)
        loops = [c["loop"] for c in vision.calls]
        assert len({id(lp) for lp in loops}) == 3 and all(lp.is_closed() for lp in loops)

    def test_success_then_error(self, vision, monkeypatch, logs):
        good = picdrop.save_uploaded_image(png(), "a.png")
        real = vision.vision_analyze_tool

        async def flaky(image_url, user_prompt):
            if image_url.endswith("missing.png"):
                raise FileNotFoundError("no such image")
            return await real(image_url=image_url, user_prompt=user_prompt)

        monkeypatch.setattr(vision, "vision_analyze_tool", flaky)
        missing = picdrop._UPLOAD_DIR / "missing.png"
        out = picdrop.enrich_message_with_images("hi", [good, missing])
        parts = out.split("\n\n")
        assert parts[0].startswith("[The user sent an image~ Here's what I can see:\nA PNG")
        assert parts[1:] == [error_text(str(missing)), "hi"]
        errors = records(logs, logging.ERROR)
        assert [(r.msg, r.getMessage()) for r in errors] == [
            ("Vision auto-analysis error: %s", "Vision auto-analysis error: no such image")]

    @pytest.mark.parametrize("result", [
        json.dumps({"success": False, "analysis": "hidden"}), json.dumps({"analysis": "x"}),
        None, 42, {"success": True, "analysis": "not text"}, json.dumps({"success": 0}),
    ])
    def test_no_success(self, vision, monkeypatch, result, logs):
        async def tool(image_url, user_prompt):
            return result

        monkeypatch.setattr(vision, "vision_analyze_tool", tool)
        out = picdrop.enrich_message_with_images("", ["/tmp/p.png"])
        assert out == no_success("/tmp/p.png")
        assert records(logs, logging.ERROR) == []

    @pytest.mark.parametrize("result,analysis", [
        ({"success": True}, ""), ({"success": True, "analysis": 12}, "12"),
        ({"success": 1, "analysis": None}, "None"), ({"success": True, "analysis": "é\n"}, "é\n"),
    ])
    def test_success_texts(self, vision, monkeypatch, result, analysis):
        async def tool(image_url, user_prompt):
            return json.dumps(result)

        monkeypatch.setattr(vision, "vision_analyze_tool", tool)
        assert picdrop.enrich_message_with_images("", ["p"]) == success(analysis, "p")

    @pytest.mark.parametrize("result", ["not json", "[1, 2]", '"text"', "null", "7"])
    def test_bad_results_give_error_text(self, vision, monkeypatch, result, logs):
        async def tool(image_url, user_prompt):
            return result

        monkeypatch.setattr(vision, "vision_analyze_tool", tool)
        assert picdrop.enrich_message_with_images("u", ["p"]) == error_text("p") + "\n\nu"
        assert len(records(logs, logging.ERROR)) == 1

    def test_paths_rendered_as_given(self, vision, monkeypatch):
        async def tool(image_url, user_prompt):
            return json.dumps({"success": True, "analysis": image_url})

        monkeypatch.setattr(vision, "vision_analyze_tool", tool)
        paths = [pathlib.Path("rel/x.png"), "/abs/y.gif", "we ird\u00e9.png"]
        out = picdrop.enrich_message_with_images("t", paths)
        assert out == "\n\n".join(success(str(p), str(p)) for p in paths) + "\n\nt"

    def test_no_images(self, vision):
        assert picdrop.enrich_message_with_images("", []) == ""
        text = "keep \x00 me \ud800"
        assert picdrop.enrich_message_with_images(text, []) is text
        assert vision.calls == []

    def test_engine_missing_raises_before_any_image(self, monkeypatch, logs):
        import sys
        monkeypatch.setitem(sys.modules, "tools", None)
        monkeypatch.setitem(sys.modules, "tools.vision_tools", None)
        with pytest.raises(ImportError):
            picdrop.enrich_message_with_images("x", ["a.png"])
        with pytest.raises(ImportError):
            picdrop.enrich_message_with_images("x", [])
        assert records(logs) == []

    def test_tool_missing_from_module(self, vision, monkeypatch):
        monkeypatch.delattr(vision, "vision_analyze_tool")
        with pytest.raises(ImportError):
            picdrop.enrich_message_with_images("x", ["a.png"])

    def test_inside_running_loop_every_image_gets_error_text(self, vision, logs):
        import warnings

        async def host():
            return picdrop.enrich_message_with_images("msg", ["a.png", "b.png"])

        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            out = asyncio.run(host())
        assert out == "\n\n".join([error_text("a.png"), error_text("b.png"), "msg"])
        assert vision.calls == []
        assert len(records(logs, logging.ERROR)) == 2

    @pytest.mark.parametrize("args", [(None, []), ("x", None), ("x", ("a.png",)), (b"x", [])])
    def test_type_checks(self, args, vision):
        with pytest.raises(TypeError):
            picdrop.enrich_message_with_images(*args)
        assert vision.calls == []
