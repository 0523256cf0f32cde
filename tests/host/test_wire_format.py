"""The server-sent-event encoding of stream records."""
import asyncio
import json

from dashboard import sse


def decode(text):
    lines = text.split("\n")
    assert text.endswith("\n\n") and len(lines) == 4, text
    assert lines[0].startswith("event: ") and lines[1].startswith("data: ")
    return lines[0][7:], json.loads(lines[1][6:])


def test_records_become_one_event_and_one_data_line():
    assert decode(sse.format_record({"type": "delta", "data": "two\nlines\r\n"})) == ("delta", "two\nlines\r\n")
    assert decode(sse.format_record({"type": "status", "data": {"message": "a\n\nb"}})) == (
        "status", {"message": "a\n\nb"})
    assert decode(sse.format_record(None)) == ("done", {})


def test_texts_that_utf8_cannot_hold_survive():
    text = "nul\x00 and a lone \ud800 surrogate"
    assert decode(sse.format_record({"type": "delta", "data": text})) == ("delta", text)


def test_odd_records_are_still_delivered():
    assert decode(sse.format_record({"type": "bad\nname", "data": 1})) == ("badname", 1)
    assert decode(sse.format_record(["not", "a", "mapping"])) == ("message", ["not", "a", "mapping"])
    event, data = decode(sse.format_record({"type": "x", "data": {"obj": object()}}))
    assert event == "x" and data["obj"].startswith("<object")


def test_next_item_leaves_records_queued_when_closing_and_times_out_quietly():
    async def scenario():
        queue, closing = asyncio.Queue(), asyncio.Event()
        queue.put_nowait({"type": "delta", "data": "x"})
        closing.set()
        first = await sse.next_item(queue, closing, 1.0)
        assert first == (None, None)  # closing is checked first when set before the call
        closing.clear()
        got = await sse.next_item(queue, closing, 1.0)
        assert got == (True, {"type": "delta", "data": "x"})
        assert await sse.next_item(queue, closing, 0.01) == (False, None)
    asyncio.run(scenario())


class FakePool:
    def __init__(self):
        self.calls = []

    def subscribe_to_stream(self, session_id, q, loop):
        self.calls.append("subscribe")
        for item in ({"type": "delta", "data": "hi"}, None, {"type": "delta", "data": "late"}):
            loop.call_soon_threadsafe(q.put_nowait, item)
        return (q, loop)

    def unsubscribe_from_stream(self, session_id, sub):
        self.calls.append("unsubscribe")


def test_the_stream_ends_at_the_sentinel_and_unsubscribes():
    async def scenario():
        pool, seen = FakePool(), []
        gen = sse.record_stream(pool, "s1", asyncio.Event(), on_open=lambda: seen.append("open"),
                                on_close=lambda: seen.append("close"))
        chunks = [chunk async for chunk in gen]
        assert chunks[0].startswith(":")
        assert [decode(c) for c in chunks[1:]] == [("delta", "hi"), ("done", {})]
        assert pool.calls == ["subscribe", "unsubscribe"] and seen == ["open", "close"]
    asyncio.run(scenario())
