"""Bench engine: configuration expansion, identity."""


def _expand_env_vars(config):
    return config
