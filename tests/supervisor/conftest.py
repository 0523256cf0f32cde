import logging
import stat
import textwrap

import pytest

from supervisor_support import Child


@pytest.fixture
def records(caplog):
    """Log records of the supervisor loggers, as (level, message, args) tuples."""
    caplog.set_level(logging.DEBUG, logger="bridge.supervisor")

    def get(name=None):
        return [
            (r.levelname, r.msg, r.args)
            for r in caplog.records
            if name is None or r.name == name
        ]

    return get


@pytest.fixture
def tool_dir(tmp_path, monkeypatch):
    """A directory of fake command-line tools that is the whole of PATH."""
    d = tmp_path / "bin"
    d.mkdir()
    monkeypatch.setenv("PATH", str(d))

    def make(name, script):
        p = d / name
        p.write_text("#!/bin/sh\n" + textwrap.dedent(script))
        p.chmod(p.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        return p

    return make


@pytest.fixture
def child():
    made = []

    def spawn(code, **kw):
        c = Child(code, **kw)
        made.append(c)
        return c

    yield spawn
    for c in made:
        c.kill()
