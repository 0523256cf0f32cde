import collections
import logging

import pytest

import bridge.Chat.compression as compression

LOGGER = "bridge.compression"
TRIGGER = "Session %s at %d chars (~%d tokens) \u2014 triggering pre-turn compression"


class Agent:
    def __init__(self, session_id="s1", fail=None):
        if session_id is not None:
            self.session_id = session_id
        self.calls = []
        self.fail = fail

    def _compress_context(self, history):
        self.calls.append(("_compress_context", history))
        if self.fail:
            raise self.fail


class PublicOnly:
    session_id = "pub"

    def __init__(self):
        self.calls = []

    def compress_context(self, history):
        self.calls.append(history)
        return "ignored"


class Both(Agent):
    def compress_context(self, history):
        self.calls.append(("compress_context", history))


def text(n):
    return [{"role": "user", "content": "x" * n}]


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def records(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


class TestEstimate:
    def test_text_content_integer_division(self):
        assert compression.estimate_token_count([{"content": "12345678"}]) == 2
        assert compression.estimate_token_count([{"content": "abc"}]) == 0
        assert compression.estimate_token_count([]) == 0

    def test_list_content_counts_only_text_of_mapping_parts(self):
        msg = {"content": [{"type": "text", "text": "abcd"}, {"type": "image"}, "abc"]}
        assert compression.estimate_token_count([msg]) == 1

    def test_empty_kinds_add_nothing(self):
        history = [{"content": None}, {"content": []}, {"role": "tool"}, {"content": 42},
                   {"content": {"text": "x" * 40}}, {"content": "x" * 8}]
        assert compression.estimate_token_count(history) == 2

    def test_counts_characters_not_bytes(self):
        # Non-ASCII, NUL and a lone surrogate are one character each.
        assert compression.estimate_token_count([{"content": "é\x00\ud800€"}]) == 1
        assert compression.estimate_token_count([{"content": "😀" * 8}]) == 2

    def test_other_mappings_and_subclasses(self):
        class Text(str):
            pass

        parts = [collections.OrderedDict(text="abcd"), {"text": Text("efgh")}]
        history = [collections.OrderedDict(content=parts), {"content": Text("ijkl")}]
        assert compression.estimate_token_count(history) == 3

    def test_errors_reach_the_caller(self):
        with pytest.raises(AttributeError):
            compression.estimate_token_count(["not a mapping"])
        with pytest.raises(TypeError):
            compression.estimate_token_count([{"content": [{"text": None}]}])

    @pytest.mark.parametrize("bad", [None, ({"content": "x"},), {"content": "x"}, "text"])
    def test_history_must_be_a_list(self, bad):
        with pytest.raises(TypeError):
            compression.estimate_token_count(bad)

    def test_large_mixed_history_matches_straightforward_count(self):
        history = []
        expected = 0
        for i in range(1000):
            if i % 3 == 0:
                history.append({"role": "user", "content": "a" * (i % 97)})
                expected += i % 97
            elif i % 3 == 1:
                history.append({"content": [{"text": "b" * (i % 13)}, {"type": "x"}, "zz"]})
                expected += i % 13
            else:
                history.append({"role": "assistant", "content": None})
        assert compression.estimate_token_count(history) == expected // 4
        assert compression.maybe_compress_session(Agent(), history, expected + 1) is False
        assert compression.maybe_compress_session(Agent(), history, expected) is True


class TestThreshold:
    def test_default_threshold_boundary(self, logs):
        assert compression.DEFAULT_COMPRESSION_THRESHOLD_CHARS == 300000
        agent = Agent()
        assert compression.maybe_compress_session(agent, text(299_999)) is False
        assert agent.calls == [] and records(logs) == []

        history = text(300_000)
        assert compression.maybe_compress_session(agent, history) is True
        assert agent.calls == [("_compress_context", history)]
        assert agent.calls[0][1] is history

    def test_zero_threshold_compresses_empty_history(self):
        agent = Agent()
        assert compression.maybe_compress_session(agent, [], threshold_chars=0) is True
        assert len(agent.calls) == 1

    def test_keyword_arguments_and_huge_threshold(self):
        agent = Agent()
        assert compression.maybe_compress_session(
            history=text(10), agent=agent, threshold_chars=10**30) is False
        assert compression.maybe_compress_session(agent, text(10), True) is True

    @pytest.mark.parametrize("bad", [None, 1.0, "10"])
    def test_threshold_must_be_an_integer(self, bad):
        agent = Agent()
        with pytest.raises(TypeError):
            compression.maybe_compress_session(agent, text(10), bad)
        assert agent.calls == []

    def test_history_must_be_a_list(self):
        with pytest.raises(TypeError):
            compression.maybe_compress_session(Agent(), None, 0)


class TestMeasurement:
    def test_same_count_as_estimate_for_text_and_lists(self):
        history = [{"content": "x" * 5}, {"content": [{"text": "y" * 6}, "zz", {}]},
                   {"content": None}, {}, {"content": []}]
        assert compression.maybe_compress_session(Agent(), history, 12) is False
        assert compression.maybe_compress_session(Agent(), history, 11) is True

    def test_other_content_is_iterated_as_parts(self):
        history = [{"content": ({"text": "abcd"}, "xx")}, {"content": {"text": "ignored"}},
                   {"content": 0}]
        assert compression.maybe_compress_session(Agent(), history, 5) is False
        assert compression.maybe_compress_session(Agent(), history, 4) is True

    def test_uniterable_content_raises_before_compressing(self, logs):
        agent = Agent()
        with pytest.raises(TypeError):
            compression.maybe_compress_session(agent, [{"content": 7}], 0)
        assert agent.calls == [] and records(logs) == []

    def test_message_that_is_not_a_mapping_raises(self):
        with pytest.raises(AttributeError):
            compression.maybe_compress_session(Agent(), [None], 0)


class TestCompressionCall:
    def test_log_line_and_preferred_method(self, logs):
        agent = Both("abc")
        assert compression.maybe_compress_session(agent, text(20), 8) is True
        assert [c[0] for c in agent.calls] == ["_compress_context"]
        (rec,) = records(logs)
        assert rec.levelno == logging.INFO
        assert rec.msg == TRIGGER
        assert rec.args == ("abc", 20, 5)

    def test_public_method_used_when_private_missing(self):
        agent = PublicOnly()
        history = text(3)
        assert compression.maybe_compress_session(agent, history, 3) is True
        assert agent.calls == [history]

    def test_agent_without_method(self, logs):
        assert compression.maybe_compress_session(object(), text(4), 1) is False
        recs = records(logs)
        assert [(r.levelno, r.getMessage()) for r in recs] == [
            (logging.INFO, "Session ? at 4 chars (~1 tokens) \u2014 triggering pre-turn compression"),
            (logging.WARNING, "Agent has no compression method available"),
        ]

    def test_failing_method_is_logged_not_raised(self, logs):
        agent = Agent(session_id=None, fail=RuntimeError("context window on fire"))
        assert compression.maybe_compress_session(agent, text(4), 1) is False
        recs = records(logs)
        assert [r.levelno for r in recs] == [logging.INFO, logging.ERROR]
        assert recs[0].args[0] == "?"
        assert recs[1].msg == "Pre-turn compression failed: %s"
        assert recs[1].getMessage() == "Pre-turn compression failed: context window on fire"

    def test_failing_attribute_test_is_handled(self, logs):
        class Broken:
            session_id = "b"

            def __getattr__(self, name):
                raise ValueError("no introspection")

        assert compression.maybe_compress_session(Broken(), text(4), 1) is False
        assert records(logs)[-1].getMessage() == "Pre-turn compression failed: no introspection"

    def test_keyboard_interrupt_is_not_swallowed(self):
        agent = Agent(fail=KeyboardInterrupt())
        with pytest.raises(KeyboardInterrupt):
            compression.maybe_compress_session(agent, text(4), 1)

    def test_late_bound_logger(self, monkeypatch):
        seen = []

        class Fake:
            def info(self, *a):
                seen.append(("info",) + a)

            def warning(self, *a):
                seen.append(("warning",) + a)

        monkeypatch.setattr(compression, "logger", Fake())
        compression.maybe_compress_session(object(), [], 0)
        assert seen == [("info", TRIGGER, "?", 0, 0),
                        ("warning", "Agent has no compression method available")]
