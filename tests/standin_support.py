"""The stand-in engine shipped in the package, for tests that load it."""
import importlib.util
import pathlib
import sys

_DASHBOARD = importlib.util.find_spec("dashboard")
assert _DASHBOARD is not None and _DASHBOARD.submodule_search_locations
STANDIN = pathlib.Path(list(_DASHBOARD.submodule_search_locations)[0]) / "standin"

# Top-level names of the engine's modules.
ENGINE_TOPS = ("run_agent", "korvel_state", "tools", "agent", "cron", "korvel_cli")


def purge_engine_modules():
    """Forget every loaded engine module, so the next import loads afresh."""
    for name in list(sys.modules):
        if name.split(".")[0] in ENGINE_TOPS:
            del sys.modules[name]
