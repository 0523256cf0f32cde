"""Handing freed heap memory back to the system.

The long texts of a turn or of a refused request body leave large free areas
in the C heap once released; glibc keeps them unless asked with malloc_trim.
Elsewhere (no glibc) this does nothing.
"""
from __future__ import annotations

from typing import Callable


def _load_trim() -> Callable[[], None]:
    try:
        import ctypes
        import ctypes.util
        fn = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").malloc_trim
    except (OSError, AttributeError, ImportError):  # not glibc
        return lambda: None
    fn.argtypes = [ctypes.c_size_t]
    fn.restype = ctypes.c_int
    return lambda: fn(0)


#: Gives the C allocator's free memory back to the system.
trim: Callable[[], None] = _load_trim()
