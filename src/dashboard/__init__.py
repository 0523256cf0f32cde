"""The reference host of the bridge: a local chat dashboard (FastAPI + uvicorn)."""
from __future__ import annotations

DISTRIBUTION = "korvel-dashboard"


def version() -> str:
    """The installed distribution's version: the one release, shown by
    ``korvel-dashboard --version`` and ``/health``, that the self-update
    compares with the package index."""
    from importlib.metadata import PackageNotFoundError, version as dist_version
    try:
        return dist_version(DISTRIBUTION)
    except PackageNotFoundError:  # a source tree that was never installed
        return "unknown"
