"""Stand-ins for the host's queue and event loop.

A stub loop's call_soon_threadsafe is a bound dict.__setitem__ (a C-level
callable that does almost nothing), so the benchmarks that use it show the
bridge's own cost of a push. Objects compare by identity, as real queues and
loops do.
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
        self.call_soon_threadsafe = self.sink.__setitem__


def stub_handle():
    return StubQueue(), StubLoop()
