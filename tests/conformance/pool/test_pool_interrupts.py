"""Handled failures are ordinary errors only: an interrupt raised inside a
guarded step still reaches the caller, and every lock is free afterwards."""
import types

import pytest

from pool_fakes import ALL_LOCKS, Queue, locks_free


class Stop(KeyboardInterrupt):
    pass


def stop(*a, **k):
    raise Stop()


def test_history(pool, monkeypatch):
    monkeypatch.setattr(pool, "get_session_db",
                        lambda profile=None: types.SimpleNamespace(
                            get_messages_as_conversation=stop))
    with pytest.raises(Stop):
        pool.get_conversation_history("s")


def test_config_model(pool, root, monkeypatch):
    monkeypatch.setattr(pool, "get_profile_home", stop)
    with pytest.raises(Stop):
        pool._get_config_model()


def test_scheduling(pool):
    with pytest.raises(Stop):
        pool._threadsafe_put(Queue(), types.SimpleNamespace(call_soon_threadsafe=stop), 1)


def test_switch_pass(pool, root):
    a, _ = pool.get_agent("a")
    a.switch_model = stop
    pool.bump_model_generation()
    with pytest.raises(Stop):
        pool.get_agent("a")
    assert locks_free(*ALL_LOCKS)


def test_cleanup_releases_lock(pool, monkeypatch):
    class Rec(dict):
        def __getitem__(self, k):
            raise Stop()

    pool.running_tasks["x"] = Rec(status="done")
    with pytest.raises(Stop):
        pool.cleanup_old_tasks()
    assert locks_free(*ALL_LOCKS)
