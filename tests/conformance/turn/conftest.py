"""Fixtures for the black-box checks of the turn services: captured log
records per logger, and engine modules put in place for one test."""
import logging
import sys
import types

import pytest


@pytest.fixture
def logs(caplog):
    """Records of one logger as (level name, format string, args)."""
    caplog.set_level(logging.DEBUG)

    def of(name):
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == name]

    return of


@pytest.fixture
def engine_module(monkeypatch):
    """Install a module (and its parent packages) under a dotted name for
    one test; attributes are given as keywords. None hides the module."""

    def install(dotted, **attrs):
        parts = dotted.split(".")
        for i in range(1, len(parts)):
            parent = ".".join(parts[:i])
            monkeypatch.setitem(sys.modules, parent, types.ModuleType(parent))
        if attrs.pop("_missing", False):
            monkeypatch.setitem(sys.modules, dotted, None)
            return None
        mod = types.ModuleType(dotted)
        for key, value in attrs.items():
            setattr(mod, key, value)
        monkeypatch.setitem(sys.modules, dotted, mod)
        if len(parts) > 1:
            setattr(sys.modules[".".join(parts[:-1])], parts[-1], mod)
        return mod

    return install
