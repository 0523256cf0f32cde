"""Measures what repeated calls leave behind: Python objects tracked by the
collector, memory traced by tracemalloc, bytes held by the C allocator (which
also sees C++ allocations), and the reference counts of given objects and of
every type the bridge's modules define (a reference kept to a type leaks no
memory the other measures would see)."""
from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass
from typing import Any, Callable, Sequence


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _mallinfo2() -> Callable[[], int] | None:
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def allocated() -> int:
        info = fn()
        return int(info.uordblks + info.hblkhd)

    return allocated


malloc_in_use = _mallinfo2()


@dataclass
class Growth:
    """What two equal halves of the run each added. A leak grows in both
    halves; a one-off (a cache filled on first use, a dict of interned names
    resized once, an allocator arena) shows in one half only."""

    calls: int
    objects: tuple[int, int]
    traced: tuple[int, int]
    malloc: tuple[int, int] | None
    refs: list[int]
    type_refs: dict[str, int]

    def problems(self, object_slack: int = 25, byte_slack: int = 48 * 1024) -> list[str]:
        out = []
        if min(self.objects) > object_slack:
            out.append(f"objects grew by {self.objects} in two halves of {self.calls} calls")
        if min(self.traced) > byte_slack:
            out.append(f"traced bytes grew by {self.traced} in two halves of {self.calls} calls")
        if self.malloc is not None and min(self.malloc) > 4 * byte_slack + self.calls:
            out.append(f"allocated bytes grew by {self.malloc} in two halves of {self.calls} calls")
        for i, d in enumerate(self.refs):
            if d != 0:
                out.append(f"watched object {i}: reference count changed by {d}")
        for name, d in self.type_refs.items():
            if d != 0:
                out.append(f"type {name}: reference count changed by {d}")
        return out


def bridge_types() -> list[type]:
    """The types the bridge's extension modules made (closure types and
    nanobind's), found among the objects the collector tracks."""
    return [t for t in gc.get_objects()
            if isinstance(t, type) and str(getattr(t, "__module__", "")).startswith("bridge.")]


DEBUG = bool(os.environ.get("BRIDGE_LEAK_DEBUG"))


def _report(before: tracemalloc.Snapshot, after: tracemalloc.Snapshot) -> None:
    """With BRIDGE_LEAK_DEBUG set: where the traced memory grew."""
    for stat in after.compare_to(before, "traceback")[:5]:
        print(f"grew {stat.size_diff} bytes in {stat.count_diff} blocks at:", file=sys.stderr)
        for line in stat.traceback.format()[-8:]:
            print("   ", line, file=sys.stderr)


def _point() -> tuple[int, int, int | None]:
    gc.collect()
    return (len(gc.get_objects()), tracemalloc.get_traced_memory()[0],
            malloc_in_use() if malloc_in_use else None)


def measure(fn: Callable[[], Any], calls: int, watch: Sequence[Any] = ()) -> Growth:
    """Runs fn a few times to warm up, then `calls` times in two halves, and
    reports what each half added."""
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start(16 if DEBUG else 1)
    try:
        for _ in range(max(50, calls // 20)):
            fn()
        half = max(1, calls // 2)
        types = bridge_types()
        refs0 = [sys.getrefcount(w) for w in watch]
        trefs0 = [sys.getrefcount(t) for t in types]
        snap0 = tracemalloc.take_snapshot() if DEBUG else None
        p0 = _point()
        for _ in range(half):
            fn()
        p1 = _point()
        for _ in range(half):
            fn()
        p2 = _point()
        refs1 = [sys.getrefcount(w) for w in watch]
        trefs1 = [sys.getrefcount(t) for t in types]
        if snap0 is not None:
            _report(snap0, tracemalloc.take_snapshot())
        malloc = None
        if p0[2] is not None and p1[2] is not None and p2[2] is not None:
            malloc = (p1[2] - p0[2], p2[2] - p1[2])
        return Growth(
            calls=2 * half,
            objects=(p1[0] - p0[0], p2[0] - p1[0]),
            traced=(p1[1] - p0[1], p2[1] - p1[1]),
            malloc=malloc,
            refs=[b - a for a, b in zip(refs0, refs1)],
            type_refs={f"{t.__module__}.{t.__qualname__}": b - a
                       for t, a, b in zip(types, trefs0, trefs1) if b != a},
        )
    finally:
        if started:
            tracemalloc.stop()


def expect(exc: type[BaseException], fn: Callable[..., Any], *args: Any, **kw: Any) -> None:
    """Calls fn and requires it to raise exc (an error path under test)."""
    try:
        fn(*args, **kw)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")
