"""Applies the engine's model settings from ~/.korvel/config.yaml to the
process environment, where the engine reads them.

``model`` may be a model name, or a mapping with ``default`` (the model name),
``provider`` and ``base_url``. A variable that is already set is never
overridden; a missing or malformed file changes nothing.
"""
import os
import pathlib

import yaml

__all__ = ["setup_agent_environment"]

# Environment variable <- key of the ``model`` mapping.
_MODEL_KEYS = (
    ("ZALIX_MODEL", "default"),
    ("ZALIX_PROVIDER", "provider"),
    ("ZALIX_BASE_URL", "base_url"),
)


def _config_path():
    return pathlib.Path(os.path.expanduser("~")) / ".korvel" / "config.yaml"


def _read_model():
    try:
        with open(_config_path(), encoding="utf-8") as f:
            config = yaml.safe_load(f)
    except (OSError, ValueError, RecursionError, yaml.YAMLError):
        # ValueError covers undecodable text and scalars such as an impossible
        # date; RecursionError a nesting too deep for the loader.
        return None
    if not isinstance(config, dict):
        return None
    return config.get("model")


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
