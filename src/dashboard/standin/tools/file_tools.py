"""File tools: read, write, list and search text files.

Relative paths start from the working folder (see terminal_tool). Only text
is read or searched: a file that holds NUL bytes or is not UTF-8 is refused,
and so is one larger than MAX_READ_BYTES (a line range of it can be read).
Every failure is a ToolError whose text is meant for the model.
"""
import os
import re
from pathlib import Path

MAX_READ_BYTES = 256 * 1024          # a whole file read at once
MAX_RANGE_SCAN_BYTES = 64 * 1024 * 1024  # a line range is looked for in files up to this size
MAX_RESULT_CHARS = 64 * 1024         # text handed back in one result
MAX_WRITE_BYTES = 4 * 1024 * 1024
MAX_LIST_ENTRIES = 500
MAX_SEARCH_FILES = 5000
MAX_SEARCH_HITS = 200
MAX_SEARCH_FILE_BYTES = 2 * 1024 * 1024
SKIPPED_DIRS = {".git", "node_modules", "__pycache__", ".venv", "venv", ".mypy_cache", ".tox"}


class ToolError(Exception):
    """A tool failed for a reason the model should be told."""


def resolve(path, cwd):
    if not isinstance(path, str) or not path.strip():
        raise ToolError("path must be a non-empty text")
    p = Path(os.path.expanduser(path.strip()))
    if not p.is_absolute():
        p = Path(cwd) / p
    return Path(os.path.normpath(str(p)))


def is_inside(path, folder):
    """Whether ``path`` (after symbolic links) lies inside ``folder``."""
    try:
        real = Path(os.path.realpath(path))
        base = Path(os.path.realpath(folder))
    except OSError:
        return False
    return real == base or base in real.parents


def _looks_binary(data):
    return b"\x00" in data[:8192]


def _decode(data, path):
    if _looks_binary(data):
        raise ToolError(f"{path} is a binary file, not text")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise ToolError(f"{path} is not UTF-8 text") from None


def _cap(text):
    if len(text) <= MAX_RESULT_CHARS:
        return text
    return text[:MAX_RESULT_CHARS] + f"\n[… {len(text) - MAX_RESULT_CHARS} more characters not shown …]"


def read_file(path, cwd, start_line=None, end_line=None):
    p = resolve(path, cwd)
    if not p.exists():
        raise ToolError(f"{p} does not exist")
    if p.is_dir():
        raise ToolError(f"{p} is a folder; use list_dir")
    try:
        size = p.stat().st_size
        ranged = start_line is not None or end_line is not None
        if size > (MAX_RANGE_SCAN_BYTES if ranged else MAX_READ_BYTES):
            hint = " (read a range of lines with start_line and end_line)" if not ranged else ""
            raise ToolError(f"{p} is too large to read ({size} bytes, the limit is "
                            f"{MAX_RANGE_SCAN_BYTES if ranged else MAX_READ_BYTES}){hint}")
        data = p.read_bytes()
    except PermissionError:
        raise ToolError(f"no permission to read {p}") from None
    except OSError as exc:
        raise ToolError(f"cannot read {p}: {exc.strerror or exc}") from None
    text = _decode(data, p)
    lines = text.splitlines(keepends=True)
    first = max(1, int(start_line or 1))
    last = min(len(lines), int(end_line)) if end_line is not None else len(lines)
    if ranged and first > max(1, len(lines)):
        raise ToolError(f"{p} has {len(lines)} lines; line {first} does not exist")
    chosen = "".join(lines[first - 1:last])
    head = f"{p} (lines {first}-{last} of {len(lines)})\n" if ranged else ""
    return head + _cap(chosen)


def write_file(path, content, cwd):
    if not isinstance(content, str):
        raise ToolError("content must be text")
    data = content.encode("utf-8")
    if len(data) > MAX_WRITE_BYTES:
        raise ToolError(f"content too large ({len(data)} bytes, the limit is {MAX_WRITE_BYTES})")
    p = resolve(path, cwd)
    if p.is_dir():
        raise ToolError(f"{p} is a folder")
    existed = p.exists()
    try:
        p.parent.mkdir(parents=True, exist_ok=True)
        tmp = p.with_name(f".{p.name}.korvel-tmp")
        tmp.write_bytes(data)
        os.replace(tmp, p)
    except PermissionError:
        raise ToolError(f"no permission to write {p}") from None
    except OSError as exc:
        raise ToolError(f"cannot write {p}: {exc.strerror or exc}") from None
    verb = "replaced" if existed else "created"
    return f"{verb} {p} ({len(data)} bytes, {len(content.splitlines())} lines)"


def list_dir(path, cwd):
    p = resolve(path or ".", cwd)
    if not p.exists():
        raise ToolError(f"{p} does not exist")
    if not p.is_dir():
        raise ToolError(f"{p} is not a folder")
    try:
        entries = sorted(os.scandir(p), key=lambda e: e.name)
    except PermissionError:
        raise ToolError(f"no permission to list {p}") from None
    except OSError as exc:
        raise ToolError(f"cannot list {p}: {exc.strerror or exc}") from None
    out = [f"{p} ({len(entries)} entries)"]
    for entry in entries[:MAX_LIST_ENTRIES]:
        try:
            if entry.is_dir():
                out.append(f"{entry.name}/")
            elif entry.is_symlink() and not os.path.exists(entry.path):
                out.append(f"{entry.name} -> (broken link)")
            else:
                out.append(f"{entry.name}  {entry.stat().st_size} bytes")
        except OSError:
            out.append(f"{entry.name}  (unreadable)")
    if len(entries) > MAX_LIST_ENTRIES:
        out.append(f"[… {len(entries) - MAX_LIST_ENTRIES} more entries not shown …]")
    return "\n".join(out)


def search_files(pattern, path, cwd):
    """Lines matching the regular expression ``pattern`` in the text files
    under ``path`` (a file or a folder), as path:line: text."""
    if not isinstance(pattern, str) or not pattern:
        raise ToolError("pattern must be a non-empty text")
    try:
        rx = re.compile(pattern)
    except re.error as exc:
        raise ToolError(f"pattern is not a valid regular expression: {exc}") from None
    root = resolve(path or ".", cwd)
    if not root.exists():
        raise ToolError(f"{root} does not exist")
    files = [root] if root.is_file() else None
    hits, scanned, skipped = [], 0, 0
    truncated = False

    def candidates():
        if files is not None:
            yield from files
            return
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = sorted(d for d in dirnames if d not in SKIPPED_DIRS)
            for name in sorted(filenames):
                yield Path(dirpath) / name

    for f in candidates():
        if scanned >= MAX_SEARCH_FILES or len(hits) >= MAX_SEARCH_HITS:
            truncated = True
            break
        scanned += 1
        try:
            if f.stat().st_size > MAX_SEARCH_FILE_BYTES:
                skipped += 1
                continue
            data = f.read_bytes()
        except OSError:
            skipped += 1
            continue
        if _looks_binary(data):
            continue
        text = data.decode("utf-8", "replace")
        for n, line in enumerate(text.splitlines(), 1):
            if rx.search(line):
                shown = line if len(line) <= 300 else line[:300] + "…"
                rel = f.relative_to(root) if files is None else f
                hits.append(f"{rel}:{n}: {shown}")
                if len(hits) >= MAX_SEARCH_HITS:
                    break
    head = f"{len(hits)} matching line(s) in {scanned} file(s) under {root}"
    if skipped:
        head += f" ({skipped} file(s) too large or unreadable were skipped)"
    if truncated:
        head += " [the search stopped early: narrow the path or the pattern]"
    return _cap("\n".join([head] + hits))
