"""Configuration helpers of the stand-in engine."""
import os
import re

_REF = re.compile(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}")


def _expand_text(text):
    # An unset variable keeps its reference, so the gap stays visible.
    return _REF.sub(lambda m: os.environ.get(m.group(1), m.group(0)), text)


def _expand_env_vars(config):
    """A copy of `config` with ${VAR} references in every text expanded."""
    if isinstance(config, dict):
        return {key: _expand_env_vars(value) for key, value in config.items()}
    if isinstance(config, list):
        return [_expand_env_vars(value) for value in config]
    if isinstance(config, str):
        return _expand_text(config)
    return config
