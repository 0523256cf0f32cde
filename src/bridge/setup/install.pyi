from typing import Callable, Optional

INSTALL_SCRIPT_URL: str
WSL_GUIDE_URL: str

def install_korvel(on_output: Optional[Callable[[str], object]] = None) -> None: ...
