"""Engine path injection, detection and installation through the modules'
public surface."""
import io
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from bridge.setup import detect, install, path

SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"


@pytest.fixture
def sys_path(monkeypatch):
    monkeypatch.setattr(sys, "path", ["/x/first", "/x/second"])
    return sys.path


class TestInject:
    def test_constants(self, home):
        assert isinstance(path.KORVEL_HOME, pathlib.Path)
        assert path.KORVEL_HOME == home / ".korvel"
        assert path.AGENT_DIR == home / ".korvel" / "korvel-agent"
        assert path.VENV_DIR == home / ".korvel" / "korvel-agent" / "venv"
        assert isinstance(path.AGENT_DIR, pathlib.Path) and isinstance(path.VENV_DIR, pathlib.Path)

    def test_no_arguments(self):
        with pytest.raises(TypeError):
            path.inject(1)

    def test_late_bound_dirs_and_search_path(self, tmp_path, monkeypatch, sys_path):
        agent = tmp_path / "agent"
        venv = tmp_path / "env"
        for v in ("python3.9", "python3.12", "zz-file"):
            (venv / "lib" / v / "site-packages").mkdir(parents=True) if v != "zz-file" else None
        (venv / "lib" / "zz-file").write_text("")
        agent.mkdir()
        monkeypatch.setattr(path, "AGENT_DIR", agent)
        monkeypatch.setattr(path, "VENV_DIR", venv)
        assert path.inject() is None
        sp9 = str(venv / "lib" / "python3.9" / "site-packages")
        sp12 = str(venv / "lib" / "python3.12" / "site-packages")
        assert sys.path == [str(agent), "/x/first", "/x/second", sp9]
        assert all(type(p) is str for p in sys.path)
        path.inject()
        assert sys.path == [str(agent), "/x/first", "/x/second", sp9, sp12]
        path.inject()  # posix all present: Windows layout absent: nothing
        assert sys.path == [str(agent), "/x/first", "/x/second", sp9, sp12]
        (venv / "Lib" / "site-packages").mkdir(parents=True)
        path.inject()
        assert sys.path[-1] == str(venv / "Lib" / "site-packages") and len(sys.path) == 6

    def test_nothing_installed(self, sys_path):
        path.inject()
        assert sys.path == ["/x/first", "/x/second"]

    def test_only_venv(self, home, sys_path):
        sp = home / ".korvel" / "korvel-agent" / "venv" / "lib" / "python3.11" / "site-packages"
        sp.mkdir(parents=True)
        path.inject()  # AGENT_DIR exists now too (it holds venv)
        assert sys.path == [str(path.AGENT_DIR), "/x/first", "/x/second", str(sp)]


class TestDetect:
    @pytest.fixture
    def bin_dir(self, tmp_path, monkeypatch):
        d = tmp_path / "bin"
        d.mkdir()
        monkeypatch.setenv("PATH", f"{d}:{SYSTEM_PATH}")
        return d

    def add(self, d, body):
        p = d / "korvel"
        p.write_text("#!/bin/sh\n" + body)
        p.chmod(0o755)
        return p

    def test_constants(self, home):
        assert detect.KORVEL_HOME == home / ".korvel" and isinstance(detect.KORVEL_HOME, pathlib.Path)
        assert detect.AGENT_DIR == home / ".korvel" / "korvel-agent"

    def test_no_arguments(self):
        for f in (detect.is_installed, detect.get_version, detect.has_api_key):
            with pytest.raises(TypeError):
                f(1)

    def test_is_installed_places(self, bin_dir, home, monkeypatch):
        assert detect.is_installed() is False
        local = home / ".local" / "bin"
        local.mkdir(parents=True)
        (local / "korvel").symlink_to(home / "nowhere")  # dangling: absent
        assert detect.is_installed() is False
        (local / "korvel").unlink()
        (local / "korvel").write_text("")  # not executable: existence is enough
        assert detect.is_installed() is True
        (local / "korvel").unlink()
        venv_bin = home / ".korvel" / "korvel-agent" / "venv" / "bin"
        venv_bin.mkdir(parents=True)
        (venv_bin / "korvel").write_text("")
        assert detect.is_installed() is True

    def test_program_on_path_through_which(self, bin_dir, monkeypatch):
        self.add(bin_dir, "exit 0\n")
        assert detect.is_installed() is True
        (bin_dir / "korvel").unlink()
        monkeypatch.setattr(shutil, "which", lambda name, *a, **k: "/opt/x/korvel")
        assert detect.is_installed() is True

    def test_get_version_via_run(self, monkeypatch):
        calls = []

        def run(args, **kw):
            calls.append((list(args), kw))
            return subprocess.CompletedProcess(args, 0, "  v1.2\nbuild 7 \n", "warn")

        monkeypatch.setattr(subprocess, "run", run)
        assert detect.get_version() == "v1.2\nbuild 7"
        [(args, kw)] = calls
        assert args == ["korvel", "version"] and kw.get("timeout") == 5
        assert kw.get("text") is True or kw.get("universal_newlines") is True

    @pytest.mark.parametrize("outcome", [
        subprocess.CompletedProcess(["korvel"], 3, "1.0", ""),
        FileNotFoundError(2, "no"), subprocess.TimeoutExpired("korvel", 5),
        PermissionError(13, "no"), ValueError("odd")])
    def test_get_version_unknown(self, monkeypatch, outcome):
        def run(args, **kw):
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome

        monkeypatch.setattr(subprocess, "run", run)
        assert detect.get_version() == "unknown"

    def test_get_version_real_program(self, bin_dir):
        self.add(bin_dir, 'echo "korvel 0.9.1"\n')
        assert detect.get_version() == "korvel 0.9.1"
        self.add(bin_dir, "exit 0\n")
        assert detect.get_version() == ""

    @pytest.mark.parametrize("text, expected", [
        ("OPENROUTER_API_KEY=12345\n", False),
        ("OPENROUTER_API_KEY=123456\n", True),
        ("   OPENROUTER_API_KEY=123456   \r\n", True),
        ("A=1\rOPENROUTER_API_KEY=abcdef\r", True),
        ("OPENROUTER_API_KEY =123456\n", True),
        ("export OPENROUTER_API_KEY=123456\n", True),
        ("#OPENROUTER_API_KEY=123456\n", False),
        ('OPENROUTER_API_KEY="1234"\n', False),
        ("", False),
    ])
    def test_has_api_key_file(self, home, text, expected):
        (home / ".korvel").mkdir()
        (home / ".korvel" / ".env").write_text(text, newline="")
        assert detect.has_api_key() is expected

    def test_has_api_key_environment(self, monkeypatch, home):
        monkeypatch.setenv("OPENROUTER_API_KEY", "x")
        assert detect.has_api_key() is True
        monkeypatch.setenv("OPENROUTER_API_KEY", "")
        assert detect.has_api_key() is False


@pytest.fixture
def fake_curl(tmp_path, monkeypatch):
    """curl stand-in printing the script kept in SCRIPT (or failing)."""
    d = tmp_path / "cbin"
    d.mkdir()
    script = tmp_path / "script.sh"
    curl = d / "curl"
    curl.write_text(f'#!/bin/sh\necho "$@" > {tmp_path}/curl_args\n'
                    f'[ -f {tmp_path}/fail ] && {{ echo "curl: (22) 404" >&2; exit 22; }}\n'
                    f'cat {script}\n')
    curl.chmod(0o755)
    monkeypatch.setenv("PATH", f"{d}:{SYSTEM_PATH}")
    return script


class TestInstall:
    def test_constant(self):
        assert isinstance(install.INSTALL_SCRIPT_URL, str)
        assert install.INSTALL_SCRIPT_URL.startswith("https://")

    def test_lines_and_result(self, fake_curl):
        fake_curl.write_text('printf "one  \\r\\n"\necho "   "\necho err >&2\necho two\t\nprintf "last"\n')
        got = []
        assert install.install_korvel(got.append) is None
        assert got == ["one", "", "err", "two", "last"]

    def test_without_callback(self, fake_curl, tmp_path):
        fake_curl.write_text(f"seq 1 20000\ntouch {tmp_path}/done\n")
        install.install_korvel()
        install.install_korvel(on_output=None)
        assert (tmp_path / "done").exists()

    def test_exit_status(self, fake_curl):
        fake_curl.write_text("echo x\nexit 2\n")
        got = []
        with pytest.raises(RuntimeError) as ei:
            install.install_korvel(on_output=got.append)
        assert str(ei.value) == "Installation failed (exit code 2)" and got == ["x"]
        assert type(ei.value) is RuntimeError

    def test_failed_download(self, fake_curl, tmp_path):
        (tmp_path / "fail").write_text("")
        got = []
        with pytest.raises(RuntimeError) as ei:
            install.install_korvel(got.append)
        assert str(ei.value) == "Installation failed (exit code 22)"
        assert "curl: (22) 404" in got
        assert (tmp_path / "curl_args").read_text().split() == ["-fsSL", install.INSTALL_SCRIPT_URL]

    def test_killed_by_signal(self, fake_curl):
        fake_curl.write_text("kill -9 $PPID\n")  # the outer shell itself
        with pytest.raises(RuntimeError, match=r"^Installation failed \(exit code -9\)$"):
            install.install_korvel()

    def test_popen_command(self, monkeypatch):
        seen = {}

        class P:
            def __init__(self, args, **kw):
                seen["args"], seen["kw"] = list(args), kw
                self.stdout = io.StringIO("a\n")
                self.returncode = 0

            def wait(self, *a, **k):
                return 0

            def poll(self):
                return 0

            def __enter__(self):
                return self

            def __exit__(self, *e):
                return False

        monkeypatch.setattr(subprocess, "Popen", P)
        install.install_korvel()
        assert seen["args"] == ["bash", "-c",
                                f"set -o pipefail; curl -fsSL {install.INSTALL_SCRIPT_URL} | bash"]
        assert seen["kw"].get("stdout") == subprocess.PIPE
        assert seen["kw"].get("stderr") == subprocess.STDOUT

    def test_windows_refused(self, monkeypatch):
        monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: pytest.fail("started"))
        monkeypatch.setattr(sys, "platform", "win32")
        with pytest.raises(RuntimeError) as ei:
            install.install_korvel(lambda line: None)
        msg = str(ei.value)
        assert msg.startswith("Native Windows is not supported. Please use WSL2: ")
        assert msg.split(": ", 1)[1].startswith("http")

    @pytest.mark.parametrize("bad", [1, "x"])
    def test_callback_type(self, monkeypatch, bad):
        monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: pytest.fail("started"))
        with pytest.raises(TypeError):
            install.install_korvel(bad)


class PlainProc:
    """A Popen stand-in as simple as a hand-written one gets: its output a
    list of lines, wait() giving nothing, the status in returncode."""
    made = []

    def __init__(self, args, **kw):
        self.args = args
        self.stdout = ["one \n", "two\r\n"]
        self.returncode = PlainProc.status
        PlainProc.made.append(self)

    def wait(self, timeout=None):
        pass


@pytest.mark.parametrize("status", [0, 3])
def test_install_with_a_plain_popen_stand_in(monkeypatch, status):
    PlainProc.status = status
    monkeypatch.setattr(subprocess, "Popen", PlainProc)
    got = []
    if status:
        with pytest.raises(RuntimeError, match=r"^Installation failed \(exit code 3\)$"):
            install.install_korvel(got.append)
    else:
        install.install_korvel(got.append)
    assert got == ["one", "two"]
