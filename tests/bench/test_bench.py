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
    # The run replaces its own interpreter's section and keeps the rest.
    mine = f"## CPython {sys.version_info[0]}.{sys.version_info[1]}"
    out = tmp_path / "RESULTS.md"
    out.write_text(f"# Results\n\nIntro.\n\n## CPython 2.7\n\nkept\n\n{mine}\n\nstale row\n\n"
                   "## Over HTTP\n\nhttp figures\n", encoding="utf-8")
    r = _run("bench/run.py", "--smoke", "--output", str(out), timeout=110)
    assert r.returncode == 0, r.stdout + r.stderr
    text = out.read_text(encoding="utf-8")
    assert "stale row" not in text and text.count(mine) == 1
    assert text.startswith("# Results\n\nIntro.\n\n## CPython 2.7\n\nkept\n\n" + mine)
    assert text.index(mine) < text.index("## Over HTTP\n\nhttp figures\n")
    for row in ("push_stream_delta, 16 subscribers", "push_stream_event, 0 subscribers",
                "tool_progress_callback (tool.completed)", "background_review_callback",
                "get_agent, warm session", "10,000-record buffer", "estimate_token_count",
                "maybe_compress_session", "enqueue_message + dequeue_message",
                "register + is_agent_running + unregister", "pop_pending_model_note",
                "| throughput |", "| paced p99 latency |",
                f"- Python: CPython {platform.python_version()}"):
        assert row in text, row
    assert "error:" not in text


def test_tool_round_trips_replace_only_their_section(tmp_path):
    out = tmp_path / "RESULTS.md"
    out.write_text("# Results\n\n## Over HTTP\n\nhttp\n\n## Tool round trips\n\nstale\n\n## Page\n\npage\n",
                   encoding="utf-8")
    r = _run("bench/tool_roundtrip.py", "--quick", "--write", "--output", str(out), timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    text = out.read_text(encoding="utf-8")
    assert text.startswith("# Results\n\n## Over HTTP\n\nhttp\n\n## Tool round trips\n")
    assert "stale" not in text and text.endswith("## Page\n\npage\n")
    for row in ("| read_file (a 2 KB file) |", "| terminal (`true`"):
        assert row in text, row
