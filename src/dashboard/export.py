"""A chat as a Markdown document: its title, then each message with who
wrote it and when, the agent's steps folded into lists."""
from __future__ import annotations

import datetime
import json
import re
import unicodedata
import urllib.parse
from typing import List, Optional


def _when(ts) -> str:
    if not isinstance(ts, (int, float)):
        return ""
    moment = datetime.datetime.fromtimestamp(float(ts), tz=datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M UTC")


def _text(content) -> str:
    if isinstance(content, str):
        return content
    if content is None:
        return ""
    return json.dumps(content, ensure_ascii=False)


def _inline(text: str, limit: int = 200) -> str:
    """One line of code text: no line breaks, no backtick that ends it early."""
    text = " ".join(str(text).split())
    if len(text) > limit:
        text = text[:limit] + "…"
    fence = "``" if "`" in text else "`"
    return f"{fence} {text} {fence}" if fence == "``" else f"`{text}`"


def _call_line(call: dict) -> str:
    function = call.get("function") if isinstance(call, dict) else None
    name = (function or {}).get("name") or "tool"
    arguments = (function or {}).get("arguments")
    try:
        parsed = json.loads(arguments) if isinstance(arguments, str) else arguments
    except ValueError:
        parsed = arguments
    target = None
    if isinstance(parsed, dict):
        target = parsed.get("command") or parsed.get("path") or parsed.get("pattern")
    return f"- {name}" + (f": {_inline(target)}" if target else "")


STATUS_WORDS = {"stopped": "stopped", "interrupted": "interrupted", "error": "failed"}


def markdown(title: str, messages: List[dict]) -> str:
    out = [f"# {title or 'New chat'}", ""]
    steps: List[str] = []

    def flush_steps() -> None:
        if steps:
            out.extend(["Steps:", "", *steps, ""])
            steps.clear()

    for message in messages:
        role = message.get("role")
        if role == "tool":
            meta = message.get("meta")
            if not isinstance(meta, dict):
                meta = {}
            summary = meta.get("summary") or meta.get("status") or "done"
            steps.append(f"  - result: {' '.join(str(summary).split())}")
            continue
        if role == "assistant" and message.get("tool_calls"):
            steps.extend(_call_line(call) for call in message["tool_calls"])
            if not _text(message.get("content")).strip():
                continue
        if role not in ("user", "assistant"):
            continue
        if role == "user":
            flush_steps()
        who = "You" if role == "user" else "Assistant"
        if role == "assistant" and message.get("model"):
            who += f" ({message['model']})"
        when = _when(message.get("ts"))
        out.append(f"## {who}" + (f" · {when}" if when else ""))
        out.append("")
        if role == "assistant":
            flush_steps()
        text = _text(message.get("content")).strip()
        images = message.get("images") or []
        if images:
            out.append("Images: " + ", ".join(_inline(i) for i in images))
            out.append("")
        if text:
            out.extend([text, ""])
        status = STATUS_WORDS.get(message.get("status") or "")
        if status:
            error = message.get("error") if isinstance(message.get("error"), dict) else None
            detail = f": {error['message']}" if error and error.get("message") else ""
            out.extend([f"*({status}{detail})*", ""])
    flush_steps()
    return "\n".join(out).rstrip("\n") + "\n"


def filename_header(title: Optional[str]) -> str:
    """Content-Disposition for the download: the title as the file's name
    (ASCII in ``filename``, the title itself in ``filename*``)."""
    name = (title or "").strip() or "chat"
    name = re.sub(r'[\\/:*?"<>|\x00-\x1f\x7f]+', "_", name)[:120]
    plain = unicodedata.normalize("NFKD", name).encode("ascii", "ignore").decode("ascii").strip() or "chat"
    return (f'attachment; filename="{plain}.md"; '
            f"filename*=UTF-8''{urllib.parse.quote(name + '.md', safe='')}")
