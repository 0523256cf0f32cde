"""The tools the agent offers a model, and how one call of them runs.

Each call gets its arguments as the JSON text the model wrote. A call that
cannot run (an unknown tool, arguments that are not a JSON object, a
missing argument) is answered with an error the model can act on; it never
ends the turn. Commands and writes outside the working folder go through
the approval module first.
"""
import json

from tools import approval, file_tools, terminal_tool

_STR = {"type": "string"}
_INT = {"type": "integer"}


def _fn(name, description, properties, required):
    return {"type": "function", "function": {
        "name": name, "description": description,
        "parameters": {"type": "object", "properties": properties, "required": required}}}


SPECS = [
    _fn("terminal",
        "Run a shell command in the user's working folder and get its output and exit status. "
        "Commands that are not plainly read-only wait for the user's approval. No input is "
        "available: run commands non-interactively.",
        {"command": {**_STR, "description": "the command line, run with the user's shell"},
         "timeout": {**_INT, "description": "seconds before the command is ended "
                                            f"(default {terminal_tool.DEFAULT_TIMEOUT:g}, "
                                            f"at most {terminal_tool.MAX_TIMEOUT:g})"}},
        ["command"]),
    _fn("read_file", "Read a text file (relative paths start from the working folder).",
        {"path": _STR, "start_line": {**_INT, "description": "first line to read, from 1"},
         "end_line": {**_INT, "description": "last line to read"}},
        ["path"]),
    _fn("write_file", "Create or replace a text file with the given content. Writing outside "
        "the working folder waits for the user's approval.",
        {"path": _STR, "content": _STR}, ["path", "content"]),
    _fn("list_dir", "List a folder's entries with their sizes.", {"path": _STR}, ["path"]),
    _fn("search_files", "Find the lines matching a regular expression in the text files under "
        "a folder (or in one file).",
        {"pattern": {**_STR, "description": "a Python regular expression"}, "path": _STR},
        ["pattern"]),
]
NAMES = tuple(spec["function"]["name"] for spec in SPECS)


def context_note():
    """What the model is told about where its tools work."""
    import os
    import platform

    shell = os.environ.get("SHELL") or "/bin/sh"
    return (f"You can use tools on the user's computer ({platform.system()}). Commands run with "
            f"{shell} in the working folder {terminal_tool.working_folder()}, which is also where "
            "relative paths start. Commands that are not plainly read-only, and writing outside "
            "the working folder, wait for the user's approval; when the user denies one, do not "
            "try to reach the same end another way: ask what they want instead.")


class Outcome:
    """What one call gave: the text for the model, whether it failed, and
    what the page and the session store show of it."""

    __slots__ = ("content", "is_error", "status", "summary", "exit_code")

    def __init__(self, content, is_error=False, status="ok", summary="", exit_code=None):
        self.content = content
        self.is_error = is_error
        self.status = status        # ok, error, denied, stopped, timeout
        self.summary = summary      # a few words for the step's line
        self.exit_code = exit_code


def parse_arguments(name, raw):
    """(arguments mapping, None) or (None, Outcome with the error)."""
    if name not in NAMES:
        return None, Outcome(f"error: there is no tool named {name!r}; the tools are "
                             f"{', '.join(NAMES)}", True, "error", "unknown tool")
    try:
        args = json.loads(raw) if raw and raw.strip() else {}
    except ValueError as exc:
        return None, Outcome(f"error: the arguments are not valid JSON ({exc}); send a JSON "
                             "object with the tool's parameters", True, "error", "bad arguments")
    if not isinstance(args, dict):
        return None, Outcome("error: the arguments must be a JSON object", True, "error",
                             "bad arguments")
    spec = next(s["function"] for s in SPECS if s["function"]["name"] == name)
    missing = [p for p in spec["parameters"]["required"] if not isinstance(args.get(p), str)]
    if missing:
        return None, Outcome(f"error: {name} needs the text argument(s) {', '.join(missing)}",
                             True, "error", "bad arguments")
    return args, None


def preview_of(name, args):
    """The one line the page shows for a call: the command or the path."""
    if args is None:
        return name
    if name == "terminal":
        return args.get("command", "")
    if name == "search_files":
        return f"{args.get('pattern', '')} in {args.get('path') or '.'}"
    if name == "read_file" and (args.get("start_line") or args.get("end_line")):
        return f"{args.get('path', '')} (lines {args.get('start_line') or 1}-{args.get('end_line') or ''})"
    return args.get("path", "") or "."


def shown_args(name, args):
    """The call's arguments as the page gets them (a file's content is not
    repeated, only its size)."""
    if args is None:
        return None
    if name == "write_file":
        content = args.get("content")
        return {"path": args.get("path"),
                "bytes": len(content.encode("utf-8")) if isinstance(content, str) else 0}
    return {k: v for k, v in args.items() if isinstance(v, (str, int, float, bool))}


def _int_or_none(value):
    if value is None:
        return None
    try:
        return int(value)
    except (TypeError, ValueError):
        raise file_tools.ToolError(f"{value!r} is not a line number") from None


def run(name, args, stop, on_output):
    """Run one call whose arguments were parsed; an Outcome."""
    cwd = terminal_tool.working_folder()
    if not cwd.is_dir():
        return Outcome(f"error: the working folder {cwd} does not exist (terminal.cwd in "
                       "config.yaml)", True, "error", "no working folder")
    try:
        if name == "terminal":
            return _terminal(args, cwd, stop, on_output)
        if name == "read_file":
            text = file_tools.read_file(args["path"], cwd, _int_or_none(args.get("start_line")),
                                        _int_or_none(args.get("end_line")))
            ranged = args.get("start_line") is not None or args.get("end_line") is not None
            summary = (text.split("\n", 1)[0].rsplit("(", 1)[-1].rstrip(")") if ranged
                       else f"{len(text.splitlines())} lines")
            return Outcome(text, summary=summary)
        if name == "write_file":
            path = file_tools.resolve(args["path"], cwd)
            if not file_tools.is_inside(path, cwd):
                verdict = approval.check_agent_write(str(path), cancel=stop)
                if not verdict["approved"]:
                    return _refused(verdict, f"the file {path} was not written")
            text = file_tools.write_file(args["path"], args["content"], cwd)
            return Outcome(text, summary=text.split(" ", 1)[0])
        if name == "list_dir":
            text = file_tools.list_dir(args.get("path") or ".", cwd)
            return Outcome(text, summary=text.split("\n", 1)[0].rsplit("(", 1)[-1].rstrip(")"))
        if name == "search_files":
            text = file_tools.search_files(args["pattern"], args.get("path") or ".", cwd)
            return Outcome(text, summary=text.split(" in ", 1)[0])
    except file_tools.ToolError as exc:
        return Outcome(f"error: {exc}", True, "error", str(exc)[:120])
    return Outcome(f"error: there is no tool named {name!r}", True, "error", "unknown tool")


def _refused(verdict, what):
    if verdict["choice"] == "deny":
        return Outcome(f"The user denied this, so {what}. Do not try to get around the denial "
                       "in another way; ask the user what to do instead.",
                       True, "denied", "denied by the user")
    if verdict["message"] == "interrupted":
        return Outcome(f"The turn was stopped while waiting for approval, so {what}.",
                       True, "stopped", "stopped")
    return Outcome(f"This needs the user's approval, which was not given "
                   f"({verdict['message']}), so {what}.", True, "denied",
                   f"not approved: {verdict['message']}")


def _terminal(args, cwd, stop, on_output):
    command = args["command"]
    if not command.strip():
        return Outcome("error: the command is empty", True, "error", "empty command")
    timeout = args.get("timeout")
    try:
        timeout = float(timeout) if timeout is not None else terminal_tool.default_timeout()
    except (TypeError, ValueError):
        timeout = terminal_tool.default_timeout()
    timeout = min(terminal_tool.MAX_TIMEOUT, max(1.0, timeout))
    verdict = approval.check_agent_command(command, cancel=stop, cwd=str(cwd))
    if not verdict["approved"]:
        return _refused(verdict, "the command did not run")
    earlier = {"session": " (allowed earlier in this session)",
               "always": " (always allowed)"}.get(verdict["choice"] or "", "") \
        if verdict["message"] == "approved earlier" else ""
    if stop.is_set():
        return Outcome("The turn was stopped, so the command did not run.", True, "stopped", "stopped")
    try:
        ran = terminal_tool.run_command(command, cwd, timeout, stop, on_output)
    except OSError as exc:
        return Outcome(f"error: the command could not be started: {exc.strerror or exc}",
                       True, "error", "could not start")
    output = ran["output"] or "(no output)"
    if ran["outcome"] == "stopped":
        return Outcome(f"The user stopped the command after {ran['duration']:.1f} s.\n{output}",
                       True, "stopped", "stopped")
    if ran["outcome"] == "timeout":
        return Outcome(f"The command was ended after its time limit of {timeout:g} s.\n{output}",
                       True, "timeout", f"ended after {timeout:g} s")
    code = ran["exit_code"]
    return Outcome(f"exit status {code}\n{output}", code != 0, "ok" if code == 0 else "error",
                   f"exit status {code}{earlier}", exit_code=code)

