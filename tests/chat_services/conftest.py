"""Shared helpers for the turn-service tests."""
import logging

import pytest


@pytest.fixture
def records(caplog):
    """Records of one bridge logger, as (level name, format, args) triples."""
    caplog.set_level(logging.DEBUG)

    def of(name):
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == name]

    return of
