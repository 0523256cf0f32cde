"""bench/RESULTS.md is one file of sections ("## CPython 3.10", "## Over HTTP",
"## Page", ...) under a hand-written introduction. Each benchmark replaces
only its own section, so running one leaves the others' figures alone."""
import pathlib

RESULTS = pathlib.Path(__file__).resolve().parent / "RESULTS.md"


def write_section(heading: str, text: str, path: pathlib.Path = RESULTS, before: str | None = None) -> None:
    """Put `text` (which starts with `heading`) in place of the section of
    that heading, up to the next "## " heading. A file without that section
    gets it ahead of the first heading that starts with `before`, or at the
    end."""
    current = path.read_text(encoding="utf-8") if path.exists() else ""
    text = text.rstrip("\n") + "\n"
    start = _find(current, heading + "\n")
    if start >= 0:
        nxt = current.find("\n## ", start + len(heading))
        rest = current[nxt + 1:] if nxt >= 0 else ""
        path.write_text(current[:start] + text + ("\n" + rest if rest else ""), encoding="utf-8")
        return
    at = _find(current, before) if before else -1
    if at >= 0:
        path.write_text(current[:at] + text + "\n" + current[at:], encoding="utf-8")
        return
    head = current.rstrip("\n")
    path.write_text((head + "\n\n" if head else "") + text, encoding="utf-8")


def _find(text: str, heading: str) -> int:
    """Where a line starting with `heading` begins, or -1."""
    if text.startswith(heading):
        return 0
    at = text.find("\n" + heading)
    return at + 1 if at >= 0 else -1
