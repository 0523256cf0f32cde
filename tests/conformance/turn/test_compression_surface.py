"""Pre-turn compression, checked from outside."""
import logging

import pytest

import bridge.Chat.compression as comp

LOG = "bridge.compression"
INFO = "Session %s at %d chars (~%d tokens) \u2014 triggering pre-turn compression"


class Agent:
    def __init__(self, **attrs):
        self.calls = []
        self.__dict__.update(attrs)


def compressing(name, result=None, error=None):
    agent = Agent()

    def method(*args, **kwargs):
        agent.calls.append((name, args, kwargs))
        if error is not None:
            raise error
        return result

    setattr(agent, name, method)
    return agent


def test_constant_and_logger():
    assert comp.DEFAULT_COMPRESSION_THRESHOLD_CHARS == 300000
    assert type(comp.DEFAULT_COMPRESSION_THRESHOLD_CHARS) is int
    assert comp.logger is logging.getLogger(LOG)


def test_estimate_counts():
    est = comp.estimate_token_count
    assert est([]) == 0
    assert est([{"content": "x" * 8}]) == 2
    assert est([{"content": "abc"}]) == 0
    assert est([{"content": [{"text": "abcd"}, {"type": "image"}, "xyz"]}]) == 1
    assert est([{"content": None}, {"content": []}, {}, {"role": "user"}]) == 0
    # content that is neither text nor a list adds nothing here
    assert est([{"content": ({"text": "x" * 40},)}, {"content": 12}, {"content": {"text": "x" * 40}}]) == 0
    # characters, not bytes
    assert est(history=[{"content": "\u00e9" * 8}, {"content": [{"text": "\U0001F600" * 4}]}]) == 3
    got = est([{"content": "x" * 7}, {"content": "x"}])
    assert got == 2 and type(got) is int


def test_estimate_errors_and_types():
    for bad in (None, (), {"content": "x"}, "text"):
        with pytest.raises(TypeError):
            comp.estimate_token_count(bad)
    with pytest.raises(TypeError):
        comp.estimate_token_count([{"content": [{"text": None}]}])


def test_boundary_and_result_type(logs):
    agent = compressing("_compress_context", result=False)
    below = [{"content": "x" * 299999}]
    assert comp.maybe_compress_session(agent, below) is False
    assert agent.calls == [] and logs(LOG) == []
    at = [{"content": "x" * 150000}, {"content": [{"text": "y" * 150000}]}]
    assert comp.maybe_compress_session(agent, at) is True
    assert agent.calls == [("_compress_context", (at,), {})]
    assert agent.calls[0][1][0] is at


def test_keywords_and_threshold(logs):
    agent = compressing("compress_context")
    hist = [{"content": "abcdefgh"}]
    assert comp.maybe_compress_session(agent=agent, history=hist, threshold_chars=9) is False
    assert comp.maybe_compress_session(agent=agent, history=hist, threshold_chars=8) is True
    assert comp.maybe_compress_session(agent, [], 0) is True
    assert comp.maybe_compress_session(agent, [], -1) is True
    assert len(agent.calls) == 3


def test_info_line_arguments(logs):
    agent = compressing("_compress_context")
    agent.session_id = "sess-1"
    comp.maybe_compress_session(agent, [{"content": "x" * 41}], threshold_chars=10)
    assert logs(LOG) == [("INFO", INFO, ("sess-1", 41, 10))]


def test_session_id_missing_is_question_mark(logs):
    agent = compressing("_compress_context")
    comp.maybe_compress_session(agent, [{"content": "abcd"}], 1)
    assert logs(LOG) == [("INFO", INFO, ("?", 4, 1))]


def test_private_method_preferred_once():
    agent = compressing("_compress_context")
    agent.compress_context = lambda h: agent.calls.append("public")
    assert comp.maybe_compress_session(agent, [{"content": "ab"}], 1) is True
    assert [c[0] for c in agent.calls] == ["_compress_context"]


def test_no_method(logs):
    assert comp.maybe_compress_session(Agent(session_id="s"), [{"content": "ab"}], 2) is False
    assert logs(LOG) == [("INFO", INFO, ("s", 2, 0)),
                         ("WARNING", "Agent has no compression method available", ())]


@pytest.mark.parametrize("name", ["_compress_context", "compress_context"])
def test_method_failure_is_logged(logs, name):
    agent = compressing(name, error=ValueError("context too odd"))
    assert comp.maybe_compress_session(agent, [{"content": "abc"}], 3) is False
    got = logs(LOG)
    assert [g[0] for g in got] == ["INFO", "ERROR"]
    assert got[1][1] == "Pre-turn compression failed: %s"
    assert len(got[1][2]) == 1 and str(got[1][2][0]) == "context too odd"


def test_not_callable_method_is_a_handled_failure(logs):
    agent = Agent(_compress_context=5)
    assert comp.maybe_compress_session(agent, [{"content": "abc"}], 3) is False
    assert logs(LOG)[-1][0:2] == ("ERROR", "Pre-turn compression failed: %s")


def test_type_checks_before_any_effect(logs):
    agent = compressing("_compress_context")
    for args in (([], None), ((), 0), ({"content": "x"}, 0), ([], 1.0), ([], "5")):
        with pytest.raises(TypeError):
            comp.maybe_compress_session(agent, *args)
    with pytest.raises(TypeError):
        comp.maybe_compress_session(agent, [], threshold_chars=None)
    assert agent.calls == [] and logs(LOG) == []


def test_other_content_is_iterated_here():
    agent = compressing("_compress_context")
    tup = [{"content": ({"text": "x" * 10}, "ignored")}]
    assert comp.maybe_compress_session(agent, tup, 10) is True
    assert comp.maybe_compress_session(agent, tup, 11) is False
    with pytest.raises(TypeError):
        comp.maybe_compress_session(agent, [{"content": 12}], 0)
    with pytest.raises((TypeError, AttributeError)):
        comp.maybe_compress_session(agent, ["not a mapping"], 0)
    assert len(agent.calls) == 1


def test_base_exceptions_are_not_swallowed():
    agent = compressing("_compress_context", error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        comp.maybe_compress_session(agent, [], 0)


class CollidingKey:
    """A key that shares the hash of a real key and fails when compared."""

    def __init__(self, like):
        self.like = like

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        raise ValueError("no comparing")


def test_lookup_errors_reach_the_caller_as_they_are():
    agent = compressing("_compress_context")
    for history in ([{"content": [{CollidingKey("text"): 1}]}], [{CollidingKey("content"): 1}]):
        with pytest.raises(ValueError, match="no comparing"):
            comp.estimate_token_count(history)
        with pytest.raises(ValueError, match="no comparing"):
            comp.maybe_compress_session(agent, history, 0)
    assert agent.calls == []
