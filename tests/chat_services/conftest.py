"""Shared helpers for the turn-service tests."""
import logging
import pathlib
import sys

import pytest


@pytest.fixture
def records(caplog):
    """Records of one bridge logger, as (level name, format, args) triples."""
    caplog.set_level(logging.DEBUG)

    def of(name):
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == name]

    return of


_ENGINE_TOPS = ("run_agent", "korvel_state", "tools", "agent", "cron", "korvel_cli")


def _purge_engine_modules():
    for name in list(sys.modules):
        if name.split(".")[0] in _ENGINE_TOPS:
            del sys.modules[name]


@pytest.fixture
def standin(monkeypatch):
    """The stand-in engine shipped with the package, importable for one test."""
    import dashboard

    root = pathlib.Path(dashboard.__file__).resolve().parent / "standin"
    _purge_engine_modules()
    monkeypatch.syspath_prepend(str(root))
    yield root
    _purge_engine_modules()
