"""Fixtures of the host tests: a real host process on a free port."""
import pytest

from host_wire import start_server


@pytest.fixture(scope="module")
def server():
    srv = start_server("--engine", "standin")
    yield srv
    srv.stop()
