"""Loading the pool in a fresh interpreter: the root environment file, the
engine items, and what loading leaves alone."""
import os
import subprocess
import sys
import textwrap

from pool_fakes import FAKE_ENGINE as ENGINE


def _load(home, code, extra_env=None):
    env = dict(os.environ, HOME=str(home))
    env.pop("KORVEL_HOME", None)
    env.update(extra_env or {})
    script = textwrap.dedent(f"""
        import os, sys
        sys.path.append({str(ENGINE)!r})
        import bridge.Chat.warmpool as wp
    """) + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=60)


def test_load_without_root_env(tmp_path):
    out = _load(tmp_path, """
        import run_agent, korvel_state
        print(wp.AIAgent is run_agent.AIAgent, wp.SessionDB is korvel_state.SessionDB,
              "KORVEL_HOME" in os.environ, wp._active_profile)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "True", "False", "default"]
    assert not (tmp_path / ".korvel").exists()


def test_root_env_does_not_override(tmp_path):
    (tmp_path / ".korvel").mkdir()
    (tmp_path / ".korvel" / ".env").write_text("CONF_LOAD_A=file\nCONF_LOAD_B=file\n")
    out = _load(tmp_path, 'print(os.environ["CONF_LOAD_A"], os.environ["CONF_LOAD_B"])',
                {"CONF_LOAD_A": "env"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["env", "file"]


def test_env_file_error_on_switch_propagates_after_name_changed(tmp_path):
    (tmp_path / ".korvel" / "profiles" / "p").mkdir(parents=True)
    (tmp_path / ".korvel" / "profiles" / "p" / ".env").write_bytes(b"A=\xff\xfe\n")
    out = _load(tmp_path, """
        sys.modules["cron.jobs"] = None
        try:
            wp.set_active_profile("p")
        except Exception as e:
            print("raised", type(e).__name__)
        print(wp._active_profile)
    """)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split("\n")
    assert lines[0].startswith("raised") and lines[1] == "p"
