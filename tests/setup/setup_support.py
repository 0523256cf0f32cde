"""Helpers of the setup tests: fake distributions and child interpreters."""
import json
import subprocess
import sys
import textwrap
import time

SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"


def make_distribution(root, version):
    """A directory holding an installed-distribution record of
    korvel-dashboard at `version`, for sys.path / PYTHONPATH."""
    info = root / f"korvel_dashboard-{version}.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: korvel-dashboard\nVersion: {version}\n")
    return root


# ---- child interpreters --------------------------------------------------------

# Logging records of the child reach its stderr as JSON lines, with the format
# string and its arguments kept apart.
CHILD_PRELUDE = '''\
import json, logging, sys
class _Records(logging.Handler):
    def emit(self, r):
        args = [a if isinstance(a, (int, float, str)) else repr(a) for a in (r.args or ())]
        sys.stderr.write("RECORD " + json.dumps([r.name, r.levelname, r.msg, args]) + "\\n")
        sys.stderr.flush()
logging.getLogger().addHandler(_Records())
logging.getLogger().setLevel(logging.DEBUG)
'''


class ChildResult:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.records = [
            tuple(json.loads(line[len("RECORD "):]))
            for line in proc.stderr.splitlines() if line.startswith("RECORD ")
        ]

    def messages(self, logger="bridge.bootstrap"):
        """(level, format, args) of the records of `logger`."""
        return [(lvl, msg, args) for name, lvl, msg, args in self.records if name == logger]


def run_child(code, *, env, args=(), timeout=90):
    proc = subprocess.run(
        [sys.executable, *args, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
        env=env, capture_output=True, text=True, timeout=timeout)
    return ChildResult(proc)


def child_distribution(env, tmp_path, version):
    """Puts a fake korvel-dashboard `version` in front of the child's path."""
    root = make_distribution(tmp_path / f"dist-{version}", version)
    env["PYTHONPATH"] = f"{root}:{env['PYTHONPATH']}"
    return root


def wait_for_file(p, attempts=200):
    """Polls for a file a detached child writes (bounded, no timing claim)."""
    for _ in range(attempts):
        if p.exists() and p.read_text():
            return p.read_text()
        time.sleep(0.05)
    return None

