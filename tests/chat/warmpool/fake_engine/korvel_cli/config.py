def _expand_env_vars(cfg):
    return cfg
