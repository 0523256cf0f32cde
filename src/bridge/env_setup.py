"""Applies the engine's model settings from ~/.korvel/config.yaml to the
process environment, where the engine reads them.

``model`` may be a model name, or a mapping with ``default`` (the model name),
``provider`` and ``base_url``. A variable that is already set is never
overridden; a missing or malformed file changes nothing. The file is read by
the bridge's one reader of ``config.yaml`` (``bridge.Chat.runconf``), which
logs a warning for a malformed one.
"""
import os
import pathlib

from bridge.Chat import runconf

__all__ = ["setup_agent_environment"]

# Environment variable <- key of the ``model`` mapping.
_MODEL_KEYS = (
    ("ZALIX_MODEL", "default"),
    ("ZALIX_PROVIDER", "provider"),
    ("ZALIX_BASE_URL", "base_url"),
)


def _profile_home():
    return pathlib.Path(os.path.expanduser("~")) / ".korvel"


def _read_model():
    return runconf._load_profile_config(_profile_home()).get("model")


def setup_agent_environment():
    """Set ZALIX_MODEL, ZALIX_PROVIDER and ZALIX_BASE_URL from the configured
    model where they are unset; returns a dict of the variables set."""
    model = _read_model()
    if isinstance(model, str):
        model = {"default": model}
    if not isinstance(model, dict):
        return {}
    applied = {}
    for var, key in _MODEL_KEYS:
        value = model.get(key)
        if not isinstance(value, str) or not value or var in os.environ:
            continue
        try:
            os.environ[var] = value
        except ValueError:  # NUL or other text the environment cannot hold
            continue
        applied[var] = value
    return applied
