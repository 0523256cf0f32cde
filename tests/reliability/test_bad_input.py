"""Bad input across the whole public surface.

Every argument declared text, integer, list, mapping or byte string gets a
value of every other kind, by position and by keyword: the call raises
TypeError, nothing in the module's registries, the environment or sys.path
changes, and no thread is started. Values of the right kind that are easy to
mishandle (subclasses, empty and very long texts, NUL, lone surrogates, huge
integers, mappings that are not dicts) are accepted and kept as they are.
"""
from __future__ import annotations

import importlib
import os
import sys
import threading
from typing import Any

import pytest

import surface
from surface import ANY, OPS, Op


@pytest.fixture
def safe(pool, quiet_logs, monkeypatch, tmp_path):
    """Makes every operation harmless to call for real: no process exit, no
    real engine approval state, a private home for files."""
    import bridge.supervisor.lifecycle as lifecycle

    monkeypatch.setattr(lifecycle, "_is_shutting_down", True)
    monkeypatch.setenv("HOME", str(tmp_path))
    import types

    approval = types.ModuleType("tools.approval")
    approval.resolve_gateway_approval = lambda sid, choice: False
    approval.set_current_session_key = lambda sid: "token"
    approval.reset_current_session_key = lambda token: None
    approval.register_gateway_notify = lambda sid, fn: None
    approval.unregister_gateway_notify = lambda sid: None
    monkeypatch.setitem(sys.modules, "tools.approval", approval)
    vision = types.ModuleType("tools.vision_tools")

    async def vision_analyze_tool(image_url, user_prompt):
        return '{"success": true, "analysis": "a picture"}'

    vision.vision_analyze_tool = vision_analyze_tool
    monkeypatch.setitem(sys.modules, "tools.vision_tools", vision)
    yield


def snapshot() -> dict[str, Any]:
    """The registries of every loaded module, one level deep, plus the
    process-wide things a call could touch."""
    out: dict[str, Any] = {}
    for module, names in surface.REGISTRIES.items():
        mod = sys.modules.get(module)
        if mod is None:
            continue
        for name in names:
            value = getattr(mod, name)
            if isinstance(value, dict):
                value = {k: (id(v), _shallow(v)) for k, v in value.items()}
            elif isinstance(value, list):
                value = [id(v) for v in value]
            out[f"{module}.{name}"] = value
    out["environ"] = dict(os.environ)
    out["sys.path"] = list(sys.path)
    out["threads"] = threading.active_count()
    return out


def _shallow(v: Any) -> Any:
    if isinstance(v, (list, tuple)) or type(v).__name__ == "deque":
        return [id(x) for x in v]
    return None


def call(op: Op, fn, kwargs: dict[str, Any], by_keyword: bool):
    if by_keyword and all(a.keyword for a in op.args):
        return fn(**kwargs)
    return fn(*[kwargs[a.name] for a in op.args])


def typed(op: Op):
    return [a for a in op.args if a.kind != ANY]


@pytest.mark.parametrize("op", [op for op in OPS if typed(op)], ids=lambda op: op.id)
def test_wrong_kind_is_refused_before_any_effect(op: Op, safe):
    fn = op.function()
    failures = []
    for arg in typed(op):
        for label, value in surface.bad_values(arg.kind):
            for by_keyword in (False, True):
                kwargs = op.valid_kwargs()
                kwargs[arg.name] = value
                before = snapshot()
                try:
                    call(op, fn, kwargs, by_keyword)
                except TypeError:
                    pass
                except Exception as e:  # noqa: BLE001 - reported below
                    failures.append(f"{arg.name}={label}: {type(e).__name__}: {e}")
                    continue
                else:
                    failures.append(f"{arg.name}={label}: accepted")
                    continue
                if snapshot() != before:
                    failures.append(f"{arg.name}={label}: state changed by a refused call")
    assert not failures, "\n".join(failures)


# Errors a call may raise for an unusual value of the right kind, where the
# operation lets the error of the facility it uses reach the caller (paths
# with NUL or surrogates, ports and process ids out of range, names too long
# for the file system).
PASSED_ON = (ValueError, UnicodeError, OverflowError, OSError)
STRICT = {"str subclass", "empty", "emoji", "int subclass", "list subclass",
          "dict subclass", "plain mapping", "mappingproxy", "bytes subclass"}
# Operations that start outside tools or signal processes for real: only
# their argument checks are swept with unusual values, not the call.
NOT_CALLED = {"find_port_owner", "_find_port_owner_windows", "free_port", "ensure_port_free"}


@pytest.mark.parametrize("op", [op for op in OPS if typed(op) and op.name not in NOT_CALLED],
                         ids=lambda op: op.id)
def test_unusual_values_of_the_right_kind_are_accepted(op: Op, safe):
    fn = op.function()
    failures = []
    for arg in typed(op):
        for label, value in surface.odd_values(arg.kind):
            kwargs = op.valid_kwargs()
            kwargs[arg.name] = value
            try:
                call(op, fn, kwargs, by_keyword=False)
            except arg.passes_on:
                pass
            except TypeError as e:
                failures.append(f"{arg.name}={label}: TypeError: {e}")
            except PASSED_ON as e:
                if label in STRICT:
                    failures.append(f"{arg.name}={label}: {type(e).__name__}: {e}")
    assert not failures, "\n".join(failures)


ODD_TEXTS = [surface.TextSub("sub"), "", "a\x00b", "a\ud800b", "\udcff", surface.LONG_TEXT]


@pytest.mark.parametrize("text", ODD_TEXTS, ids=["subclass", "empty", "nul", "surrogate",
                                                 "low-surrogate", "long"])
def test_texts_are_kept_as_the_same_objects(text, pool, quiet_logs):
    """Texts go in and come out as the very objects given: nothing is
    converted to UTF-8 and back (which NUL-free, surrogate-free text would
    survive, but these would not)."""
    from bridge.Chat import holdqueue, interrupt

    import fakes

    assert holdqueue.enqueue_message(text, text) == 1
    assert holdqueue.dequeue_message(text) is text
    assert holdqueue.has_pending(text) is False

    agent = fakes.Agent()
    interrupt.register_running_agent(text, agent)
    assert interrupt.interrupt_agent(text, text) is True
    assert agent.interrupts[-1] is text
    interrupt.unregister_running_agent(text)
    assert interrupt.is_agent_running(text) is False

    q = fakes.Queue()
    pool.subscribe_to_stream(text, q, fakes.Loop())
    pool.push_stream_delta(text, text)
    pool._make_status_callback(text)(text, text)
    assert q.items[0]["data"] is text
    assert q.items[1]["data"]["event"] is text
    assert q.items[1]["data"]["message"] is text
    pool.unsubscribe_from_stream(text, (q, q))  # not registered: no change
    assert text in pool._stream_buffers
    assert pool.get_session_lock(text) is pool.get_session_lock(text)


def test_modules_import_cleanly_and_expose_their_surface():
    """Every operation in the table exists with the argument names it is
    called by (a renamed parameter would make every keyword call fail)."""
    import inspect

    for op in OPS:
        if op.make is not None:
            continue
        fn = getattr(importlib.import_module(op.module), op.name)
        try:
            params = list(inspect.signature(fn).parameters)
        except (TypeError, ValueError):
            continue
        names = [a.name for a in op.args]
        assert params[: len(names)] == names, op.id
