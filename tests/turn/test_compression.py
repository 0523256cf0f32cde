import collections
import logging

import pytest

import bridge.Chat.compression as compression

TRIGGER = "Session %s at %d chars (~%d tokens) \u2014 triggering pre-turn compression"


class Agent:
    def __init__(self, session_id="s1", fail=None):
        if session_id is not None:
            self.session_id = session_id
        self.calls, self.fail = [], fail

    def _compress_context(self, history):
        self.calls.append(("_compress_context", history))
        if self.fail:
            raise self.fail


class Both(Agent):
    def compress_context(self, history):
        self.calls.append(("compress_context", history))


class PublicOnly:
    def __init__(self):
        self.calls = []

    def compress_context(self, history):
        self.calls.append(history)


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger="bridge.compression")
    return lambda: [(r.levelno, r.msg, r.args) for r in caplog.records
                    if r.name == "bridge.compression"]


def text(n):
    return [{"role": "user", "content": "x" * n}]


class Str(str):
    pass


@pytest.mark.parametrize("history,tokens", [
    ([{"content": "12345678"}], 2),
    ([{"content": "abc"}], 0),
    ([{"content": [{"text": "abcd"}, {"type": "image"}, "abc"]}], 1),
    ([{"content": None}, {"content": []}, {"role": "tool"}, {"content": 42},
      {"content": {"text": "x" * 40}}, {"content": "é\x00\ud800€😀" * 2}], 2),
    ([collections.OrderedDict(content=[collections.OrderedDict(text="ab"), {"text": Str("cd")}]),
      {"content": Str("efgh")}], 2),
])
def test_estimate(history, tokens):
    assert compression.estimate_token_count(history) == tokens


def test_estimate_errors_reach_the_caller():
    with pytest.raises(AttributeError):
        compression.estimate_token_count(["not a mapping"])
    with pytest.raises(TypeError):
        compression.estimate_token_count([{"content": [{"text": None}]}])
    for bad in (None, ({"content": "x"},), "text"):
        with pytest.raises(TypeError):
            compression.estimate_token_count(bad)


def test_history_changed_by_foreign_code_mid_walk():
    history = []

    class Shrinking(dict):
        def get(self, key, default=None):
            history.clear()
            return "x" * 8

    history.extend([Shrinking(), {"content": "y" * 100}])
    assert compression.estimate_token_count(history) == 2


def test_mixed_history_same_count_in_both_operations():
    history, expected = [], 0
    for i in range(1000):
        kind = i % 3
        if kind == 0:
            history.append({"role": "user", "content": "a" * (i % 97)})
            expected += i % 97
        elif kind == 1:
            history.append({"content": [{"text": "b" * (i % 13)}, {"type": "x"}, "zz"]})
            expected += i % 13
        else:
            history.append({"role": "assistant", "content": None})
    assert compression.estimate_token_count(history) == expected // 4
    assert compression.maybe_compress_session(Agent(), history, expected + 1) is False
    assert compression.maybe_compress_session(Agent(), history, expected) is True


class TestThreshold:
    def test_default_boundary(self, logs):
        assert compression.DEFAULT_COMPRESSION_THRESHOLD_CHARS == 300000
        agent = Agent()
        assert compression.maybe_compress_session(agent, text(299_999)) is False
        assert agent.calls == [] and logs() == []
        history = text(300_000)
        assert compression.maybe_compress_session(agent, history) is True
        assert agent.calls == [("_compress_context", history)] and agent.calls[0][1] is history

    def test_zero_bool_huge_and_keywords(self):
        agent = Agent()
        assert compression.maybe_compress_session(agent, [], threshold_chars=0) is True
        assert compression.maybe_compress_session(agent, text(1), True) is True
        assert compression.maybe_compress_session(
            history=text(10), agent=agent, threshold_chars=10**30) is False
        assert len(agent.calls) == 2

    @pytest.mark.parametrize("history,threshold", [
        (text(10), None), (text(10), 1.0), (text(10), "10"), (None, 0), ((), 0)])
    def test_type_checks_before_any_effect(self, history, threshold):
        agent = Agent()
        with pytest.raises(TypeError):
            compression.maybe_compress_session(agent, history, threshold)
        assert agent.calls == []


class TestMeasurement:
    def test_other_content_is_iterated_as_parts(self):
        history = [{"content": ({"text": "abcd"}, "xx")}, {"content": {"text": "ignored"}},
                   {"content": 0}, {"content": [{"text": "y"}, "zz"]}]
        assert compression.maybe_compress_session(Agent(), history, 6) is False
        assert compression.maybe_compress_session(Agent(), history, 5) is True

    @pytest.mark.parametrize("history,error", [
        ([{"content": 7}], TypeError), ([None], AttributeError),
        ([{"content": [{"text": 3}]}], TypeError)])
    def test_measuring_errors_raise_before_compressing(self, history, error, logs):
        agent = Agent()
        with pytest.raises(error):
            compression.maybe_compress_session(agent, history, 0)
        assert agent.calls == [] and logs() == []


class TestCompressionCall:
    def test_log_line_and_preferred_method_only(self, logs):
        agent = Both("abc")
        assert compression.maybe_compress_session(agent, text(20), 8) is True
        assert [c[0] for c in agent.calls] == ["_compress_context"]
        assert logs() == [(logging.INFO, TRIGGER, ("abc", 20, 5))]

    def test_public_method_when_private_missing(self):
        agent, history = PublicOnly(), text(3)
        assert compression.maybe_compress_session(agent, history, 3) is True
        assert agent.calls == [history]

    def test_no_method(self, caplog, logs):
        assert compression.maybe_compress_session(object(), text(4), 1) is False
        assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
            (logging.INFO, "Session ? at 4 chars (~1 tokens) \u2014 triggering pre-turn compression"),
            (logging.WARNING, "Agent has no compression method available")]

    def test_failure_is_logged_not_raised(self, caplog, logs):
        agent = Agent(session_id=None, fail=RuntimeError("context window on fire"))
        assert compression.maybe_compress_session(agent, text(4), 1) is False
        assert [r.levelno for r in caplog.records] == [logging.INFO, logging.ERROR]
        assert caplog.records[0].args[0] == "?"
        assert caplog.records[1].msg == "Pre-turn compression failed: %s"
        assert caplog.records[1].getMessage() == "Pre-turn compression failed: context window on fire"

    def test_failing_attribute_test_is_handled(self, caplog, logs):
        class Broken:
            session_id = "b"

            def __getattr__(self, name):
                raise ValueError("no introspection")

        assert compression.maybe_compress_session(Broken(), text(4), 1) is False
        assert caplog.records[-1].getMessage() == "Pre-turn compression failed: no introspection"

    def test_keyboard_interrupt_passes(self):
        with pytest.raises(KeyboardInterrupt):
            compression.maybe_compress_session(Agent(fail=KeyboardInterrupt()), text(4), 1)
