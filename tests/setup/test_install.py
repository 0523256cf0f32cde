"""The installer runs for real: `bash -c` starts a fake `curl` (on PATH) that
prints a shell script, and a second real `bash` runs it."""
import subprocess
import sys
import threading

import pytest

import bridge.setup.install as install


@pytest.fixture
def installer(fake_bin, tmp_path):
    """fake curl: records its arguments, prints the script given by the test,
    exits with the given status. Returns a function setting both."""
    script = tmp_path / "installer.sh"
    args = tmp_path / "curl-args"
    status = tmp_path / "curl-status"
    script.write_text("")
    status.write_text("0")
    fake_bin.add("curl", f"""\
        printf '%s\\n' "$@" > {args}
        cat {script}
        exit $(cat {status})
        """)

    def set_up(text, curl_status=0):
        script.write_text(text)
        status.write_text(str(curl_status))

    set_up.args = lambda: args.read_text().splitlines() if args.exists() else None
    return set_up


def collect():
    lines = []
    return lines, lines.append


def test_command_line_and_download_arguments(installer, monkeypatch):
    seen = []
    real = subprocess.Popen

    def popen(argv, **kw):
        seen.append((argv, kw))
        return real(argv, **kw)

    monkeypatch.setattr(subprocess, "Popen", popen)
    installer("echo done\n")
    install.install_korvel()
    (argv, kw), = seen
    url = install.INSTALL_SCRIPT_URL
    assert argv == ["bash", "-c", f"set -o pipefail; curl -fsSL {url} | bash"]
    assert kw["stdout"] == subprocess.PIPE and kw["stderr"] == subprocess.STDOUT
    assert installer.args() == ["-fsSL", url]


def test_lines_reach_callback_in_order_without_trailing_whitespace(installer):
    installer("""\
        echo "Installing korvel-agent..."
        echo "spaces after   "
        printf 'tabs after\\t\\t\\n'
        printf 'windows line\\r\\n'
        echo "     "
        echo ""
        printf '  leading kept\\n'
        printf 'no final newline'
        """)
    lines, cb = collect()
    assert install.install_korvel(cb) is None
    assert lines == ["Installing korvel-agent...", "spaces after", "tabs after",
                     "windows line", "", "", "  leading kept", "no final newline"]


def test_stdout_and_stderr_arrive_interleaved(installer):
    installer("""\
        echo out-1
        echo err-1 >&2
        echo out-2
        echo err-2 >&2
        echo out-3
        """)
    lines, cb = collect()
    install.install_korvel(on_output=cb)
    assert lines == ["out-1", "err-1", "out-2", "err-2", "out-3"]


def test_callback_runs_on_calling_thread_while_installer_runs(installer, tmp_path):
    gate = tmp_path / "gate"
    # The installer waits until the callback has seen the first line.
    installer(f"""\
        echo first
        i=0; while [ ! -e {gate} ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done
        echo second
        """)
    seen = []

    def cb(line):
        seen.append((line, threading.get_ident()))
        gate.touch()

    install.install_korvel(cb)
    assert seen == [("first", threading.get_ident()), ("second", threading.get_ident())]


def test_without_callback_output_is_drained_to_the_end(installer, tmp_path):
    marker = tmp_path / "finished"
    installer(f"""\
        i=0; while [ $i -lt 2000 ]; do echo "line $i of output that fills the pipe"; i=$((i+1)); done
        touch {marker}
        """)
    install.install_korvel()
    assert marker.exists()


def test_non_zero_exit_after_all_output(installer):
    installer("echo step one\necho broken >&2\nexit 2\n")
    lines, cb = collect()
    with pytest.raises(RuntimeError) as err:
        install.install_korvel(cb)
    assert str(err.value) == "Installation failed (exit code 2)"
    assert lines == ["step one", "broken"]


def test_failed_download_is_a_failure(installer):
    # curl -f on an HTTP error prints its complaint and exits 22, sending no
    # script; the pipeline's failure is the command's failure.
    installer("", curl_status=22)
    lines, cb = collect()
    with pytest.raises(RuntimeError, match=r"^Installation failed \(exit code 22\)$"):
        install.install_korvel(cb)


def test_download_error_text_reaches_callback(fake_bin):
    fake_bin.add("curl", "echo 'curl: (6) Could not resolve host' >&2; exit 6\n")
    lines, cb = collect()
    with pytest.raises(RuntimeError, match=r"\(exit code 6\)"):
        install.install_korvel(cb)
    assert lines == ["curl: (6) Could not resolve host"]


def test_installer_killed_by_signal_gives_negative_status(installer):
    # The script's parent is the outer shell: killing it ends the command
    # by a signal.
    installer("echo about to die\nkill -9 $PPID\n")
    with pytest.raises(RuntimeError, match=r"^Installation failed \(exit code -9\)$"):
        install.install_korvel()


def test_script_address_is_read_at_call_time_and_quoted(installer, monkeypatch, tmp_path):
    pwned = tmp_path / "pwned"
    url = f"https://example.invalid/install.sh?a=1&b=2;touch {pwned}"
    monkeypatch.setattr(install, "INSTALL_SCRIPT_URL", url)
    installer("echo ok\n")
    install.install_korvel()
    assert installer.args() == ["-fsSL", url]
    assert not pwned.exists()


def test_undecodable_output_does_not_end_reading(installer):
    installer("printf 'bad \\377 byte\\n'\necho after\n")
    lines, cb = collect()
    install.install_korvel(cb)
    assert lines[1] == "after"
    assert lines[0].startswith("bad ")


def test_callback_error_ends_the_operation(installer, tmp_path):
    gate = tmp_path / "gate"
    installer(f"""\
        echo first
        i=0; while [ ! -e {gate} ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done
        echo second
        """)
    calls = []

    def cb(line):
        calls.append(line)
        raise ValueError("interface went away")

    try:
        with pytest.raises(ValueError, match="interface went away"):
            install.install_korvel(cb)
        assert calls == ["first"]
    finally:
        gate.touch()  # lets the abandoned script run out


def test_windows_is_refused_before_anything_runs(installer, monkeypatch):
    monkeypatch.setattr(sys, "platform", "win32")

    def popen(*a, **kw):
        raise AssertionError("nothing may start")

    monkeypatch.setattr(subprocess, "Popen", popen)
    with pytest.raises(RuntimeError) as err:
        install.install_korvel(print)
    assert str(err.value) == ("Native Windows is not supported. Please use WSL2: "
                              + install.WSL_GUIDE_URL)
    assert installer.args() is None


def test_bash_missing_error_passes_unchanged(tmp_path, monkeypatch):
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    with pytest.raises(FileNotFoundError):
        install.install_korvel()


@pytest.mark.parametrize("bad", [5, "print", object()])
def test_callback_type_checked_before_anything_runs(installer, bad):
    with pytest.raises(TypeError, match="on_output"):
        install.install_korvel(bad)
    assert installer.args() is None
