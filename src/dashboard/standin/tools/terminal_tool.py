"""The terminal tool: one shell command in the profile's working folder.

The command runs with the user's shell (``$SHELL``, else /bin/sh) as
``<shell> -c <command>``, in a process group of its own, with no input. Its
output (standard output and error together) streams to ``on_output`` while
it runs and comes back capped: the first and the last part are kept and the
cut is said. It ends by itself, by its time limit, or when ``stop`` is set;
in the last two cases its whole process group gets SIGTERM, then SIGKILL
after a short grace. When the shell has ended, whatever it left running in
its group (a background job) is ended too, so no command outlives its step.
"""
import logging
import os
import shlex
import signal
import subprocess
import threading
import time
from pathlib import Path

logger = logging.getLogger("standin.terminal")

#: Seconds a command may run when the model names no limit, and at most.
DEFAULT_TIMEOUT = 180.0
MAX_TIMEOUT = 1800.0
#: Seconds between SIGTERM and SIGKILL when a command is ended.
KILL_GRACE = 0.5
#: Bytes of output kept for the model: this much of the start and of the end.
KEEP_HEAD = 16 * 1024
KEEP_TAIL = 16 * 1024
#: Live output sent to the page at most this often (seconds), and in all at
#: most this many characters per command (the rest is only in the result).
LIVE_INTERVAL = 0.1
LIVE_LIMIT = 256 * 1024


def _config():
    home = os.environ.get("KORVEL_HOME") or os.path.join(os.path.expanduser("~"), ".korvel")
    path = Path(home) / "config.yaml"
    try:
        import yaml

        with open(path, encoding="utf-8") as fh:
            cfg = yaml.safe_load(fh)
    except FileNotFoundError:
        return {}
    except Exception as exc:  # unreadable or broken: the defaults apply
        logger.warning("Cannot read %s (%s); the terminal's defaults apply", path, exc)
        return {}
    return cfg if isinstance(cfg, dict) else {}


def working_folder():
    """The folder commands and relative paths start from: ``terminal.cwd``
    of the profile's config.yaml (``~`` and ``${VAR}`` expanded), else the
    user's home. Read at every use, so a change applies to the next step."""
    section = _config().get("terminal")
    cwd = section.get("cwd") if isinstance(section, dict) else None
    if isinstance(cwd, str) and cwd.strip():
        from korvel_cli.config import _expand_text

        folder = Path(os.path.expanduser(_expand_text(cwd.strip())))
        return folder if folder.is_absolute() else Path(os.path.expanduser("~")) / folder
    return Path(os.path.expanduser("~"))


def default_timeout():
    section = _config().get("terminal")
    value = section.get("timeout") if isinstance(section, dict) else None
    try:
        value = float(value)
    except (TypeError, ValueError):
        return DEFAULT_TIMEOUT
    return min(MAX_TIMEOUT, value) if value > 0 else DEFAULT_TIMEOUT


# -- which commands are plainly read-only -----------------------------------------

#: Programs that only look: run as the first word of every part of a
#: command, with no redirection into a file, they change nothing.
READ_ONLY_PROGRAMS = frozenset("""
    ls ll dir pwd cat head tail wc grep egrep fgrep rg stat file du df which type whoami id
    date uname echo printf true false basename dirname realpath readlink
    diff cmp cut tr nl column uptime free ps nproc md5sum sha1sum sha256sum
    jq seq find sort
""".split())
#: git subcommands that only look.
READ_ONLY_GIT = frozenset("status log diff show blame ls-files rev-parse describe shortlog".split())
#: Options that make one of the programs above write, run something or
#: change the system (an option given as --name=value counts too).
_WRITING_OPTIONS = {"find": ("-exec", "-execdir", "-ok", "-okdir", "-delete", "-fprint", "-fprint0",
                             "-fprintf", "-fls"),
                    "sort": ("-o", "--output"),
                    "date": ("-s", "--set"),
                    "file": ("-C", "--compile"),
                    "rg": ("--pre",)}
_SEPARATORS = {"|", "||", "&&", ";", "&", "\n"}


def is_read_only(command):
    """True only for a command that plainly changes nothing: every part of
    it (split at | ; && ||) starts with a known looking program, and there
    is no output redirection, command substitution or variable assignment.
    Anything not understood counts as not read-only."""
    if "`" in command or "$(" in command or "<(" in command or ">(" in command:
        return False
    if _expands_variables(command):
        return False  # `echo $SOME_TOKEN` only looks, but at what?
    try:
        lexer = shlex.shlex(command, posix=True, punctuation_chars=";&|<>")
        lexer.whitespace_split = True
        tokens = list(lexer)
    except ValueError:
        return False
    if not tokens:
        return False
    parts, part = [], []
    for token in tokens:
        if token in _SEPARATORS:
            parts.append(part)
            part = []
        elif set(token) <= set(";&|<>"):
            if token != "<":  # reading a file is looking; anything else redirects
                return False
            part.append(token)
        else:
            part.append(token)
    parts.append(part)
    for words in parts:
        if not words:
            continue
        program = os.path.basename(words[0])
        if "=" in words[0]:
            return False
        if program == "git":
            sub = next((w for w in words[1:] if not w.startswith("-")), None)
            if sub not in READ_ONLY_GIT or any(w.startswith("--output") for w in words):
                return False
            continue
        if program not in READ_ONLY_PROGRAMS:
            return False
        if any(_has_option(words[1:], option) for option in _WRITING_OPTIONS.get(program, ())):
            return False
    return True


def _has_option(words, option):
    """Whether ``option`` is among ``words``: as a word of its own, as
    --name=value, or for a one-letter option also inside a group of them
    (-ro) or with its value attached (-ofile)."""
    for word in words:
        if word == option or word.split("=", 1)[0] == option:
            return True
        if len(option) == 2 and word.startswith("-") and not word.startswith("--") \
                and option[1] in word[1:]:
            return True
    return False


def _expands_variables(command):
    """Whether the shell would expand a variable in ``command`` ($NAME or
    ${...} outside single quotes)."""
    quoted = False
    for i, ch in enumerate(command):
        if ch == "'":
            quoted = not quoted
        elif ch == "$" and not quoted and i + 1 < len(command) \
                and (command[i + 1].isalpha() or command[i + 1] in "_{"):
            return True
    return False


def program_of(command):
    """The first program a command runs (for messages and session approvals)."""
    try:
        words = shlex.split(command)
    except ValueError:
        words = command.split()
    for word in words:
        if "=" in word and not word.startswith("="):
            continue  # VAR=value in front of the program
        return os.path.basename(word)[:60] or "?"
    return "?"


# -- running ------------------------------------------------------------------------

#: The engine's own secrets, which a command from a model never needs.
HIDDEN_VARIABLES = ("OPENROUTER_API_KEY",)


def command_env():
    """The environment of a command: the user's, without the engine's own
    keys, and with nothing that would wait for a person (a pager, a
    credential prompt)."""
    env = {k: v for k, v in os.environ.items() if k not in HIDDEN_VARIABLES}
    env.update({"PAGER": "cat", "GIT_PAGER": "cat", "GIT_TERMINAL_PROMPT": "0"})
    return env


class _Output:
    """Output kept as its first KEEP_HEAD and last KEEP_TAIL bytes."""

    def __init__(self):
        self.head = bytearray()
        self.tail = bytearray()
        self.total = 0

    def add(self, data):
        self.total += len(data)
        room = KEEP_HEAD - len(self.head)
        if room > 0:
            self.head += data[:room]
            data = data[room:]
        if data:
            self.tail += data
            if len(self.tail) > KEEP_TAIL:
                del self.tail[:len(self.tail) - KEEP_TAIL]

    def text(self):
        head = self.head.decode("utf-8", "replace")
        cut = self.total - len(self.head) - len(self.tail)
        if cut <= 0:
            return head + self.tail.decode("utf-8", "replace")
        tail = self.tail.decode("utf-8", "replace")
        return f"{head}\n[… {cut} bytes of output cut here; the first {len(self.head)} and the last " \
               f"{len(self.tail)} are shown …]\n{tail}"


def _end_group(proc, grace=KILL_GRACE):
    """SIGTERM to the command's process group, SIGKILL after ``grace``."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except (ProcessLookupError, PermissionError):
        return
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        pass
    _kill_group(proc)


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def run_command(command, cwd, timeout, stop, on_output=None):
    """Run ``command``; a mapping with "exit_code" (None when it was ended),
    "output" (capped text), "outcome" ("exited", "timeout", "stopped"),
    "duration" (seconds) and "output_bytes"."""
    shell = os.environ.get("SHELL") or "/bin/sh"
    if not os.path.isabs(shell) or not os.access(shell, os.X_OK):
        shell = "/bin/sh"
    started = time.monotonic()
    proc = subprocess.Popen([shell, "-c", command], cwd=str(cwd), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=command_env(),
                            start_new_session=True, close_fds=True)
    output = _Output()
    live = []  # pieces not yet sent to on_output
    live_sent = [0]
    lock = threading.Lock()

    def read():
        fd = proc.stdout.fileno()
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            if not data:
                break
            with lock:
                output.add(data)
                if on_output is not None and live_sent[0] < LIVE_LIMIT:
                    live.append(data)

    reader = threading.Thread(target=read, name="terminal-output", daemon=True)
    reader.start()
    decoder = _LiveDecoder()

    def flush(final=False):
        if on_output is None:
            return
        with lock:
            data = b"".join(live)
            live.clear()
        text = decoder.feed(data, final)
        if not text:
            return
        room = LIVE_LIMIT - live_sent[0]
        if room <= 0:
            return
        if len(text) > room:
            text = text[:room] + "\n[… live output ends here; the result keeps the rest …]\n"
        live_sent[0] += len(text)
        on_output(text)

    outcome = "exited"
    deadline = started + timeout
    try:
        while True:
            try:
                proc.wait(LIVE_INTERVAL)
                break
            except subprocess.TimeoutExpired:
                pass
            flush()
            if stop.is_set():
                outcome = "stopped"
                _end_group(proc)
                break
            if time.monotonic() >= deadline:
                outcome = "timeout"
                _end_group(proc)
                break
    finally:
        # The shell is gone; whatever it left in its group goes too (and
        # releases the pipe, so the reader sees its end).
        _kill_group(proc)
        proc.wait()
        reader.join(2.0)
        if not reader.is_alive():  # else a process that left the group still writes to it
            try:
                proc.stdout.close()
            except OSError:
                pass
    flush(final=True)
    code = proc.returncode if outcome == "exited" else None
    return {"exit_code": code, "output": output.text(), "outcome": outcome,
            "duration": time.monotonic() - started, "output_bytes": output.total}


class _LiveDecoder:
    """UTF-8 text of a byte stream cut at arbitrary places."""

    def __init__(self):
        import codecs

        self._dec = codecs.getincrementaldecoder("utf-8")("replace")

    def feed(self, data, final=False):
        return self._dec.decode(data, final)
