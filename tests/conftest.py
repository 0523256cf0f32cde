"""Suite-wide set-up: every test run gets a private home directory.

Modules resolve ~ when they are loaded (PID_FILE, upload directory, profile
homes), so HOME is pointed at a fresh directory before any test module
imports the bridge.
"""
import os
import pathlib
import sys
import tempfile

import pytest

_HOME = pathlib.Path(tempfile.mkdtemp(prefix="bridge-home-"))
os.environ["HOME"] = str(_HOME)
os.environ.pop("KORVEL_HOME", None)

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture
def home():
    """The suite's home directory (shared by all tests; clean up after use)."""
    return _HOME


@pytest.fixture
def python_exe():
    return sys.executable


@pytest.fixture
def standin(monkeypatch):
    """The stand-in engine, importable for one test."""
    from standin_support import STANDIN, purge_engine_modules

    purge_engine_modules()
    monkeypatch.syspath_prepend(str(STANDIN))
    monkeypatch.delenv("KORVEL_HOME", raising=False)
    yield STANDIN
    purge_engine_modules()
