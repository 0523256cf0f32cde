import pathlib

KORVEL_HOME: pathlib.Path
AGENT_DIR: pathlib.Path
VENV_DIR: pathlib.Path

def inject() -> None: ...
