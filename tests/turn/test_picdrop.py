import asyncio
import base64
import binascii
import json
import logging
import pathlib
import random
import re
import struct
import sys
import threading
import warnings
import zlib

import pytest

import bridge.Chat.picdrop as picdrop

PROMPT = ("Describe everything visible in this image in thorough detail. Include any text, "
          "code, data, objects, people, layout, colors, and any other notable visual "
          "information.")


def png(width=3, height=2):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

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
    caplog.set_level(logging.DEBUG, logger="bridge.picdrop")
    return lambda level: [(r.msg, r.args) for r in caplog.records
                          if r.name == "bridge.picdrop" and r.levelno == level]


@pytest.fixture
def tool(vision, monkeypatch):
    """Replaces the vision tool by one answering `result` (or raising it)."""
    def install(result):
        async def fake(image_url, user_prompt):
            if isinstance(result, Exception):
                raise result
            return result(image_url) if callable(result) else result
        monkeypatch.setattr(vision, "vision_analyze_tool", fake)
    return install


def test_upload_dir(home, tmp_path, monkeypatch):
    assert picdrop._UPLOAD_DIR == home / ".korvel" / "uploads"
    assert picdrop._ensure_upload_dir() == picdrop._UPLOAD_DIR and picdrop._UPLOAD_DIR.is_dir()
    assert picdrop._ensure_upload_dir() == picdrop._UPLOAD_DIR
    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", tmp_path / "a" / "b")
    assert picdrop.save_uploaded_image(b"x", "f.gif").parent == tmp_path / "a" / "b"


@pytest.mark.parametrize("filename,ext", [
    ("photo.JPG", ".JPG"), ("archive.tar.gz", ".gz"), ("noext", ".png"), (".hidden", ".png"),
    ("ends.", ".png"), ("", ".png"), ("a/b/c.gif", ".gif"), ("../../etc/passwd", ".png"),
    ("dir.d/file", ".png"), ("x.\u00e9", ".\u00e9"),
])
def test_save_uploaded_suffix_and_content(filename, ext):
    data = bytes(range(256))
    path = picdrop.save_uploaded_image(data, filename)
    assert path.parent == picdrop._UPLOAD_DIR and path.is_absolute()
    assert re.fullmatch(r"upload_[0-9a-f]{10}" + re.escape(ext), path.name)
    assert path.read_bytes() == data


def test_save_uploaded_logs_and_uses_uuid4(monkeypatch, logs):
    class Fixed:
        hex = "0123456789abcdef0123456789abcdef"

    monkeypatch.setattr(picdrop.uuid, "uuid4", lambda: Fixed())
    a = picdrop.save_uploaded_image(b"abc", "a.png")
    b = picdrop.save_uploaded_image(b"", "b.png")  # same name: replaced
    assert a == b == picdrop._UPLOAD_DIR / "upload_0123456789.png" and b.read_bytes() == b""
    assert logs(logging.INFO) == [("Saved uploaded image: %s (%d bytes)", (a, 3)),
                                  ("Saved uploaded image: %s (%d bytes)", (b, 0))]


@pytest.mark.parametrize("args", [(bytearray(b"x"), "a.png"), ("text", "a.png"),
                                  (None, "a.png"), (b"x", None), (b"x", pathlib.Path("a"))])
def test_save_uploaded_type_checks_before_any_effect(args, monkeypatch):
    monkeypatch.setattr(picdrop, "_ensure_upload_dir", lambda: pytest.fail("touched"))
    with pytest.raises(TypeError):
        picdrop.save_uploaded_image(*args)


def test_failed_write_leaves_no_file_and_raises(tmp_path, monkeypatch, logs):
    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", tmp_path)

    def failing_replace(src, dst):
        assert pathlib.Path(src).read_bytes() == b"data"  # fully written first
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(picdrop.os, "replace", failing_replace)
    with pytest.raises(OSError, match="No space left"):
        picdrop.save_uploaded_image(b"data", "a.png")
    assert list(tmp_path.iterdir()) == [] and logs(logging.INFO) == []
    (tmp_path / "file").write_text("not a directory")
    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", tmp_path / "file" / "uploads")
    with pytest.raises(OSError):
        picdrop.save_uploaded_image(b"x", "a.png")


@pytest.mark.parametrize("header,ext", [
    ("data:image/png;base64", ".png"), ("data:image/jpeg;base64", ".jpg"),
    ("data:image/jpg;base64", ".jpg"), ("data:image/gif;base64", ".gif"),
    ("data:image/webp;base64", ".webp"), ("data:image/svg+xml;base64", ".png"),
    ("data:text/plain;base64", ".png"), ("data:IMAGE/PNG;base64", ".png"),
    ("image/jpeg;base64", ".png"), ("data: image/webp ;base64", ".webp"),
    ("data:image/gif", ".gif"),
])
def test_base64_extension_table(header, ext):
    path = picdrop.save_base64_image(header + "," + base64.b64encode(b"img").decode())
    assert re.fullmatch(r"upload_[0-9a-f]{10}" + re.escape(ext), path.name)
    assert path.read_bytes() == b"img"


def test_base64_without_comma_writes_empty_file(logs):
    path = picdrop.save_base64_image("data:image/gif;base64")
    assert path.suffix == ".gif" and path.read_bytes() == b""
    assert logs(logging.INFO) == [("Saved uploaded image: %s (%d bytes)", (path, 0))]


@pytest.mark.parametrize("payload,expected", [
    ("QUJD", b"ABC"), ("QUI=", b"AB"), ("QQ==", b"A"), ("", b""), ("QU\nJD\r\n", b"ABC"),
    ("QU*J@D", b"ABC"), ("QQ==QUJD", b"A"), ("QUJD,REVG", b"ABCDEF"),
])
def test_base64_lenient_decoding(payload, expected):
    assert picdrop.save_base64_image("data:image/png;base64," + payload).read_bytes() == expected


def test_base64_with_non_ascii_text_is_refused(tmp_path, monkeypatch):
    """As base64.b64decode refuses it: nothing is written."""
    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", tmp_path / "up")
    with pytest.raises(ValueError):
        picdrop.save_base64_image("data:image/png;base64,QUJ\u00e9D")
    assert not (tmp_path / "up").exists() or list((tmp_path / "up").iterdir()) == []


@pytest.mark.parametrize("payload", ["QUJDR", "QQ", "QUI", "QQ=", "Q"])
def test_base64_wrong_padding_raises_and_writes_nothing(payload, tmp_path, monkeypatch):
    monkeypatch.setattr(picdrop, "_UPLOAD_DIR", tmp_path / "up")
    with pytest.raises(binascii.Error):
        picdrop.save_base64_image("data:image/png;base64," + payload)
    assert not (tmp_path / "up").exists()


def test_base64_agrees_with_stdlib_on_ascii(monkeypatch):
    rng, seen = random.Random(7), []
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
    with pytest.raises(TypeError):
        picdrop.save_base64_image(b"data:image/png;base64,QUJD")


class TestEnrich:
    def test_real_image_through_vision_tool(self, vision, logs):
        paths = [picdrop.save_uploaded_image(png(3, 2), "shot.png"),
                 picdrop.save_uploaded_image(png(5, 1), "b.png")]
        out = picdrop.enrich_message_with_images("what is this?", paths)
        sizes = [p.stat().st_size for p in paths]
        assert out == "\n\n".join([success(f"A PNG image, 3x2 pixels, {sizes[0]} bytes.", paths[0]),
                                   success(f"A PNG image, 5x1 pixels, {sizes[1]} bytes.", paths[1]),
                                   "what is this?"])
        assert [(c["image_url"], c["user_prompt"]) for c in vision.calls] == [
            (str(p), PROMPT) for p in paths]
        loops = [c["loop"] for c in vision.calls]
        assert loops[0] is not loops[1] and all(lp.is_closed() for lp in loops)
        assert all(c["thread"] == threading.get_ident() for c in vision.calls)
        assert logs(logging.DEBUG) == [("Auto-analyzing user image: %s", (str(p),)) for p in paths]

    def test_success_then_error(self, vision, monkeypatch, logs):
        good = picdrop.save_uploaded_image(png(), "a.png")
        missing = picdrop._UPLOAD_DIR / "missing.png"
        out = picdrop.enrich_message_with_images("hi", [good, missing])
        parts = out.split("\n\n")
        assert parts[0].startswith("[The user sent an image~ Here's what I can see:\nA PNG")
        assert parts[1:] == [error_text(missing), "hi"]
        (error,) = logs(logging.ERROR)
        assert error[0] == "Vision auto-analysis error: %s" and "missing.png" in error[1][0]

    @pytest.mark.parametrize("result", [
        json.dumps({"success": False, "analysis": "hidden"}), json.dumps({"analysis": "x"}),
        None, 42, {"success": True}, json.dumps({"success": 0})])
    def test_no_success(self, tool, result, logs):
        tool(result)
        assert picdrop.enrich_message_with_images("", ["/tmp/p.png"]) == no_success("/tmp/p.png")
        assert logs(logging.ERROR) == []

    @pytest.mark.parametrize("result,analysis", [
        ({"success": True}, ""), ({"success": True, "analysis": 12}, "12"),
        ({"success": 1, "analysis": None}, "None")])
    def test_success_texts(self, tool, result, analysis):
        tool(json.dumps(result))
        assert picdrop.enrich_message_with_images("", ["p"]) == success(analysis, "p")

    @pytest.mark.parametrize("result", ["not json", "[1, 2]", '"text"', "null", ValueError("x")])
    def test_failures_give_error_text(self, tool, result, logs):
        tool(result)
        assert picdrop.enrich_message_with_images("u", ["p"]) == error_text("p") + "\n\nu"
        assert len(logs(logging.ERROR)) == 1

    def test_paths_rendered_as_given_and_empty_cases(self, tool):
        tool(lambda url: json.dumps({"success": True, "analysis": url}))
        paths = [pathlib.Path("rel/x.png"), "/abs/y.gif", "we ird\u00e9.png"]
        out = picdrop.enrich_message_with_images("", paths)
        assert out == "\n\n".join(success(str(p), str(p)) for p in paths)
        assert picdrop.enrich_message_with_images("", []) == ""
        text = "keep \x00 me \ud800"
        assert picdrop.enrich_message_with_images(text, []) is text

    def test_engine_missing_raises_before_any_image(self, vision, monkeypatch, logs):
        monkeypatch.delattr(vision, "vision_analyze_tool")
        with pytest.raises(ImportError):
            picdrop.enrich_message_with_images("x", ["a.png"])
        monkeypatch.setitem(sys.modules, "tools.vision_tools", None)
        with pytest.raises(ImportError):
            picdrop.enrich_message_with_images("x", [])
        assert logs(logging.DEBUG) == []

    def test_inside_running_loop_every_image_gets_error_text(self, vision, logs):
        async def host():
            return picdrop.enrich_message_with_images("msg", ["a.png", "b.png"])

        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)  # no never-awaited coroutine
            out = asyncio.run(host())
        assert out == "\n\n".join([error_text("a.png"), error_text("b.png"), "msg"])
        assert vision.calls == [] and len(logs(logging.ERROR)) == 2

    @pytest.mark.parametrize("args", [(None, []), ("x", None), ("x", ("a.png",)), (b"x", [])])
    def test_type_checks(self, args, vision):
        with pytest.raises(TypeError):
            picdrop.enrich_message_with_images(*args)


class TestSplit:
    """split_enriched_message takes back what enrich_message_with_images put in front."""
    NOTE = ("[Note: model was just switched from a to b. You are now b. "
            "Adjust your self-identification accordingly.]")
    # An analysis holding brackets, line feeds and the path marker itself,
    # on lines that do not close the image's text.
    TRICKY = ("a [box] ]\n]\n[If you need a closer look, use vision_analyze with image_url: "
              "x ~] and on\n]\n[If you need a closer look, use vision_analyze with image_url: "
              "y ~]\nstill the analysis")

    def test_round_trips(self, tool):
        answers = {"seen": json.dumps({"success": True, "analysis": self.TRICKY}),
                   "plain": json.dumps({"success": True, "analysis": ""}),
                   "unseen": json.dumps({"success": False}), "broken": "not json"}
        tool(lambda url: answers[url.split("/")[2]])
        paths = ["/u/seen/a].png", "/u/unseen/b ~].png", "/u/broken/c].png", "/u/plain/d.png",
                 "/u/seen/\u00e9 e.png"]
        for text in ["what is this?", "", "\n\nspaced\n\n", f"{self.NOTE}\n\nand the words",
                     no_success("p") + " said the user", error_text("p") + "\nx"]:
            out = picdrop.enrich_message_with_images(text, paths)
            assert picdrop.split_enriched_message(out) == (text, paths)
            assert picdrop.split_enriched_message(text=out)[1] == paths
            one = picdrop.enrich_message_with_images(text, paths[:1])
            assert picdrop.split_enriched_message(one) == (text, paths[:1])

    @pytest.mark.parametrize("text", [
        "", "plain words", " " + no_success("p"), no_success("p") + " tail",
        no_success("p") + "\nsingle line feed", error_text("p")[:-1], success("a", "p")[:-1],
        success("a", "p\nq"), success("a", "p") + "\n",
        "[The user sent an image but no: image_url: p]",
        "[The user sent an image~ Here's what I can see:\nno marker]"])
    def test_lookalikes_are_left_alone(self, text):
        got = picdrop.split_enriched_message(text)
        assert got == (text, []) and got[0] is text

    def test_stops_at_the_first_lookalike(self):
        text = error_text("p") + "\n\n" + no_success("q") + " tail"
        assert picdrop.split_enriched_message(text) == (no_success("q") + " tail", ["p"])

    @pytest.mark.parametrize("bad", [None, b"x", 5, ["x"]])
    def test_type_checks(self, bad):
        with pytest.raises(TypeError):
            picdrop.split_enriched_message(bad)


def test_enrichment_through_standin_engine(monkeypatch):
    standin = pathlib.Path(__file__).resolve().parents[2] / "src" / "dashboard" / "standin"
    for name in ("tools", "tools.vision_tools"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.syspath_prepend(str(standin))
    try:
        gif = b"GIF89a" + struct.pack("<HH", 7, 5) + b"\x00" * 20
        saved = [picdrop.save_uploaded_image(png(4, 3), "a.png"),
                 picdrop.save_base64_image("data:image/gif;base64," + base64.b64encode(gif).decode()),
                 picdrop.save_uploaded_image(b"plain text", "notes.png")]
        parts = picdrop.enrich_message_with_images("look", saved).split("\n\n")
        assert len(parts) == 4 and parts[3] == "look"
        assert parts[0].startswith("[The user sent an image~ Here's what I can see:\nA PNG image")
        assert "4x3 pixels" in parts[0] and parts[0].endswith(f"image_url: {saved[0]} ~]")
        assert "A GIF image" in parts[1] and "7x5 pixels" in parts[1]
        assert parts[2] == no_success(saved[2])
    finally:
        for name in ("tools", "tools.vision_tools"):
            sys.modules.pop(name, None)
