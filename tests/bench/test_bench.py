"""The benchmark suite itself: its renditions agree with the compiled
modules, and a short run of every case completes.

Both run in a child interpreter, because the suite puts its own bench engine
on the module search path and must not share imported modules with the
other tests.
"""
import platform
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _run(*args, timeout):
    return subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=timeout)


def test_renditions_do_what_the_compiled_modules_do():
    r = _run("bench/check.py", timeout=100)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "0 difference(s)" in r.stdout


def test_smoke_run_prints_every_case(tmp_path):
    out = tmp_path / "RESULTS.md"
    r = _run("bench/run.py", "--smoke", "--output", str(out), timeout=110)
    assert r.returncode == 0, r.stdout + r.stderr
    text = out.read_text(encoding="utf-8")
    for row in ("push_stream_delta, 16 subscribers", "push_stream_event, 0 subscribers",
                "tool_progress_callback (tool.completed)", "background_review_callback",
                "get_agent, warm session", "10,000-record buffer", "estimate_token_count",
                "maybe_compress_session", "enqueue_message + dequeue_message",
                "register + is_agent_running + unregister", "pop_pending_model_note",
                "| throughput |", "| paced p99 latency |",
                f"- Python: CPython {platform.python_version()}"):
        assert row in text, row
    assert "error:" not in text
