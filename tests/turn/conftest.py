"""Fixtures for the turn services: a small vision tool standing in for the
engine's, importable as tools.vision_tools from a temporary directory."""
import sys
import textwrap

import pytest

VISION_TOOLS = textwrap.dedent('''
    """Describes an image file by its header: format, pixel size, byte size."""
    import asyncio
    import json
    import pathlib
    import struct
    import threading

    calls = []

    def _describe(data):
        if data[:8] == b"\\x89PNG\\r\\n\\x1a\\n":
            width, height = struct.unpack(">II", data[16:24])
            return "PNG", width, height
        if data[:6] in (b"GIF87a", b"GIF89a"):
            width, height = struct.unpack("<HH", data[6:10])
            return "GIF", width, height
        return None

    async def vision_analyze_tool(image_url, user_prompt):
        calls.append({"image_url": image_url, "user_prompt": user_prompt,
                      "thread": threading.get_ident(),
                      "loop": asyncio.get_running_loop()})
        await asyncio.sleep(0)
        data = pathlib.Path(image_url).read_bytes()
        found = _describe(data)
        if found is None:
            return json.dumps({"success": False, "error": "unknown format"})
        fmt, width, height = found
        return json.dumps({"success": True,
                           "analysis": f"A {fmt} image, {width}x{height} pixels, {len(data)} bytes."})
''')


@pytest.fixture
def vision(tmp_path, monkeypatch):
    """The fake vision module, freshly imported from its own directory."""
    pkg = tmp_path / "engine" / "tools"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("")
    (pkg / "vision_tools.py").write_text(VISION_TOOLS)
    for name in ("tools", "tools.vision_tools"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.syspath_prepend(str(tmp_path / "engine"))
    import tools.vision_tools as module
    yield module
    for name in ("tools", "tools.vision_tools"):
        sys.modules.pop(name, None)
