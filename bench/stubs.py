"""Stand-ins for the host's queue and event loop.

A stub loop's call_soon_threadsafe is a bound dict.get: a C-level callable
taking two arguments that does almost nothing, so the benchmarks that use it
show the bridge's own cost of a push. (A bound dict.__setitem__ would do as
well, but it is a slot wrapper that builds an argument tuple on every call
and costs about twice as much, hiding more of the bridge's own cost.)
Objects compare by identity, as real queues and loops do.
"""


class StubQueue:
    __slots__ = ("put_nowait", "__weakref__")

    def __init__(self):
        # Only used as a key by the stub loop; never called.
        self.put_nowait = object()


class StubLoop:
    __slots__ = ("call_soon_threadsafe", "sink", "__weakref__")

    def __init__(self):
        self.sink = {}
        self.call_soon_threadsafe = self.sink.get


def stub_handle():
    return StubQueue(), StubLoop()
