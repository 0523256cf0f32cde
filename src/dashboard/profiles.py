"""Profile directories and the model choice written to a profile's config.yaml."""
from __future__ import annotations

import os
import pathlib
import re
import stat
import tempfile
from typing import List, Optional

import yaml

#: What a profile name may look like: one plain path component.
PROFILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")

#: Model used by the pool when the profile names none.
DEFAULT_MODEL = "google/gemini-2.5-flash:free"

#: Offered by the model picker besides the configured model.
SUGGESTED_MODELS = [
    DEFAULT_MODEL,
    "anthropic/claude-sonnet-4",
    "openai/gpt-4o-mini",
    "meta-llama/llama-3.3-70b-instruct",
    "deepseek/deepseek-chat",
]


def valid_profile_name(name: str) -> bool:
    return isinstance(name, str) and bool(PROFILE_NAME.fullmatch(name)) and ".." not in name


def korvel_root() -> pathlib.Path:
    return pathlib.Path(os.path.expanduser("~")) / ".korvel"


def list_profiles() -> List[str]:
    """"default" followed by the named profiles found on disk, sorted."""
    names = []
    base = korvel_root() / "profiles"
    try:
        for entry in base.iterdir():
            if entry.is_dir() and valid_profile_name(entry.name) and entry.name != "default":
                names.append(entry.name)
    except OSError:
        pass
    return ["default"] + sorted(names)


def read_config(path: pathlib.Path) -> dict:
    """The parsed config.yaml at ``path`` as it stands in the file, for
    rewriting it; an empty mapping when absent or empty.

    This is not how the bridge reads a profile's configuration (it expands
    ``${VAR}`` references, and writing that back would put secrets into the
    file); what the bridge makes of the file is ``config_problem``'s business.
    A file that does not hold a mapping raises ValueError: writing our model
    choice over it would destroy whatever it holds.
    """
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return {}
    data = yaml.safe_load(text)
    if not data:
        return {}
    if not isinstance(data, dict):
        raise ValueError(f"{path} does not hold a mapping")
    return data


def config_problem(home: pathlib.Path) -> Optional[str]:
    """Why ``home``/config.yaml cannot be used, or None when it can (or is absent)."""
    from bridge.Chat import runconf  # the bridge's own reading of the file
    try:
        runconf.read_profile_config(home)
    except UnicodeDecodeError:
        return "config.yaml is not UTF-8 text, the default model applies"
    except (ValueError, TypeError, yaml.YAMLError) as exc:
        return f"config.yaml is not usable, the default model applies: {str(exc).splitlines()[0][:200]}"
    except OSError as exc:
        return f"config.yaml cannot be read: {exc.strerror or exc}"
    return None


def _umask() -> int:
    # Read, not set and reset: os.umask would change it for every thread.
    try:
        for line in pathlib.Path("/proc/self/status").read_text().splitlines():
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


def write_model(home: pathlib.Path, model: str) -> pathlib.Path:
    """Record ``model`` as the profile's model in ``home``/config.yaml.

    A ``model`` mapping keeps its other entries (provider, base URL, fallback)
    and gets the choice as its ``default``; otherwise ``model`` becomes the
    plain text. The file is replaced atomically; a config.yaml that is a
    symbolic link keeps pointing where it did (its target is replaced), and
    the file keeps its permissions.
    """
    path = home / "config.yaml"
    cfg = read_config(path)
    current = cfg.get("model")
    if isinstance(current, dict):
        current["default"] = model
    else:
        cfg["model"] = model
    home.mkdir(parents=True, exist_ok=True)
    target = pathlib.Path(os.path.realpath(path))
    try:
        mode: Optional[int] = stat.S_IMODE(target.stat().st_mode)
    except FileNotFoundError:
        mode = None
    fd, tmp = tempfile.mkstemp(prefix=".config.", suffix=".yaml", dir=str(target.parent))
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            yaml.safe_dump(cfg, fh, sort_keys=False, allow_unicode=True)
        if mode is None:  # a new file gets the mode any new file would get
            mode = 0o666 & ~_umask()
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return path
