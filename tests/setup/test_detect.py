import os
import subprocess

import pytest

import bridge.setup.detect as detect


def test_constants_are_paths_under_home(home):
    assert detect.KORVEL_HOME == home / ".korvel"
    assert detect.AGENT_DIR == home / ".korvel" / "korvel-agent"


# ---- is_installed ---------------------------------------------------------------


class TestIsInstalled:
    def test_nothing_anywhere(self, fake_bin):
        assert detect.is_installed() is False

    def test_program_on_path(self, fake_bin):
        fake_bin.add("korvel", "exit 0\n")
        assert detect.is_installed() is True

    def test_non_executable_file_on_path_is_no_program(self, fake_bin):
        fake_bin.add("korvel", "exit 0\n", mode=0o644)
        assert detect.is_installed() is False

    def test_installer_link_outside_path(self, fake_bin, home):
        link = home / ".local" / "bin" / "korvel"
        link.parent.mkdir(parents=True)
        link.write_text("")  # existence only: not even executable
        assert str(link.parent) not in os.environ["PATH"].split(os.pathsep)
        assert detect.is_installed() is True
        # ...but the version is looked up on PATH only.
        assert detect.get_version() == "unknown"

    def test_program_inside_engine_venv(self, fake_bin, home):
        prog = home / ".korvel" / "korvel-agent" / "venv" / "bin" / "korvel"
        prog.parent.mkdir(parents=True)
        prog.write_text("")
        assert detect.is_installed() is True

    def test_dangling_links_count_as_absent(self, fake_bin, home):
        for link in (home / ".local" / "bin" / "korvel",
                     home / ".korvel" / "korvel-agent" / "venv" / "bin" / "korvel"):
            link.parent.mkdir(parents=True)
            link.symlink_to(home / "no-such-target")
        assert detect.is_installed() is False

    def test_agent_dir_is_read_at_call_time(self, fake_bin, tmp_path, monkeypatch):
        prog = tmp_path / "agent" / "venv" / "bin" / "korvel"
        prog.parent.mkdir(parents=True)
        prog.write_text("")
        monkeypatch.setattr(detect, "AGENT_DIR", tmp_path / "agent")
        assert detect.is_installed() is True


# ---- get_version ---------------------------------------------------------------


class TestGetVersion:
    def test_output_stripped(self, fake_bin):
        fake_bin.add("korvel", 'printf "  korvel %s 1.4.2 \\n\\n" "$1"\n')
        assert detect.get_version() == "korvel version 1.4.2"

    def test_several_lines_returned_whole(self, fake_bin):
        fake_bin.add("korvel", 'echo "korvel 2.0"; echo "build abc"\n')
        assert detect.get_version() == "korvel 2.0\nbuild abc"

    def test_empty_output_on_success(self, fake_bin):
        fake_bin.add("korvel", "exit 0\n")
        assert detect.get_version() == ""

    def test_failure_status_is_unknown(self, fake_bin):
        fake_bin.add("korvel", 'echo "1.0"; echo boom >&2; exit 3\n')
        assert detect.get_version() == "unknown"

    def test_program_missing_is_unknown(self, fake_bin):
        assert detect.get_version() == "unknown"

    def test_stderr_is_not_the_version(self, fake_bin):
        fake_bin.add("korvel", 'echo "warning: old config" >&2; echo 3.1\n')
        assert detect.get_version() == "3.1"

    def test_time_limit_kills_and_gives_unknown(self, fake_bin, tmp_path, monkeypatch):
        marker = tmp_path / "finished"
        fake_bin.add("korvel", f"sleep 30; touch {marker}\n")
        seen = {}
        real_run = subprocess.run

        def run(argv, **kw):
            seen.update(kw, argv=argv)
            kw["timeout"] = 0.3  # same path as the real 5 s limit, sooner
            return real_run(argv, **kw)

        monkeypatch.setattr(subprocess, "run", run)
        assert detect.get_version() == "unknown"
        assert seen["argv"] == ["korvel", "version"]
        assert seen["timeout"] == 5
        assert not marker.exists()

    def test_any_error_is_unknown(self, monkeypatch):
        def run(*a, **kw):
            raise RuntimeError("unexpected")

        monkeypatch.setattr(subprocess, "run", run)
        assert detect.get_version() == "unknown"


# ---- has_api_key ---------------------------------------------------------------


@pytest.fixture
def env_file(home):
    f = home / ".korvel" / ".env"
    f.parent.mkdir(parents=True, exist_ok=True)

    def write(text):
        f.write_bytes(text.encode("utf-8"))
        return f

    return write


class TestHasApiKey:
    def test_environment_value_wins_without_reading_file(self, home, monkeypatch):
        # An unreadable secrets file would raise; it is never opened.
        (home / ".korvel" / ".env").mkdir(parents=True)
        monkeypatch.setenv("OPENROUTER_API_KEY", "x")
        assert detect.has_api_key() is True

    def test_empty_environment_value_falls_back_to_file(self, env_file, monkeypatch):
        monkeypatch.setenv("OPENROUTER_API_KEY", "")
        assert detect.has_api_key() is False  # no file
        env_file("OPENROUTER_API_KEY=sk-or-123456\n")
        assert detect.has_api_key() is True

    def test_no_file(self):
        assert detect.has_api_key() is False

    @pytest.mark.parametrize("text, expected", [
        ("OPENROUTER_API_KEY=12345\n", False),
        ("OPENROUTER_API_KEY=123456\n", True),
        ("OPENROUTER_API_KEY=\n", False),
        ("OTHER=1\nOPENROUTER_API_KEY=abcdefgh", True),
        ("   OPENROUTER_API_KEY=abcdefgh   \n", True),
        ("\tOPENROUTER_API_KEY=abcdefgh\r\n", True),
        ("A=1\r\nOPENROUTER_API_KEY=abcdefgh\r\nB=2\r\n", True),
        ("A=1\rOPENROUTER_API_KEY=abcdefgh\rB=2", True),
        # Read as python-dotenv reads it: quotes removed, spaces around "="
        # and an "export" prefix allowed.
        ('OPENROUTER_API_KEY="abcdef"\n', True),
        ('OPENROUTER_API_KEY="abcd"\n', False),
        ("OPENROUTER_API_KEY =abcdefgh\n", True),
        ("OPENROUTER_API_KEY = abcdefgh\n", True),
        ("export OPENROUTER_API_KEY=abcdefgh\n", True),
        ("export OPENROUTER_API_KEY=abc # comment\n", False),
        ("#OPENROUTER_API_KEY=abcdefgh\n", False),
        ("# OPENROUTER_API_KEY=abcdefgh\n", False),
        ("openrouter_api_key=abcdefgh\n", False),
        ("OPENROUTER_API_KEY_2=abcdefgh\n", False),
        ("OPENROUTER_API_KEY=     \n", False),  # stripped before measuring
        # Only \n, \r and \r\n break lines: a vertical tab does not.
        ("X=1\x0bOPENROUTER_API_KEY=abcdefgh\n", False),
        ("OPENROUTER_API_KEY=abcdéf\n", True),  # characters, not bytes
        ("OPENROUTER_API_KEY=abcdé\n", False),
    ])
    def test_key_lines(self, env_file, text, expected):
        env_file(text)
        assert detect.has_api_key() is expected

    def test_unreadable_file_error_reaches_caller(self, home):
        (home / ".korvel" / ".env").mkdir(parents=True)
        with pytest.raises(IsADirectoryError):
            detect.has_api_key()

    def test_named_profile_secrets_are_never_consulted(self, home, monkeypatch):
        profile = home / ".korvel" / "profiles" / "work"
        profile.mkdir(parents=True)
        (profile / ".env").write_text("OPENROUTER_API_KEY=abcdefghijkl\n")
        monkeypatch.setenv("KORVEL_HOME", str(profile))
        assert detect.has_api_key() is False

    def test_korvel_home_is_read_at_call_time(self, tmp_path, monkeypatch):
        (tmp_path / ".env").write_text("OPENROUTER_API_KEY=abcdefghijkl\n")
        monkeypatch.setattr(detect, "KORVEL_HOME", tmp_path)
        assert detect.has_api_key() is True
