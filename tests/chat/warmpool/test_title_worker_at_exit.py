"""A title worker still inside the engine when the interpreter exits must
not crash the process: the interpreter ends such a daemon thread while it
waits for the GIL, and that must pass through the bridge's frames."""
import pathlib
import subprocess
import sys
import textwrap

STANDIN = pathlib.Path(__file__).resolve().parents[3] / "src" / "dashboard" / "standin"

SCRIPT = textwrap.dedent("""
    import builtins, os, sys, tempfile, time, types
    os.environ["HOME"] = tempfile.mkdtemp()
    sys.path.insert(0, sys.argv[1])
    import bridge.Chat.warmpool as wp

    gen = types.ModuleType("agent.title_generator")
    def generate_title(message, response):
        time.sleep(0.3)  # wakes while the interpreter is finalizing
        return "late"
    gen.generate_title = generate_title
    sys.modules["agent.title_generator"] = gen

    class SlowFinalizer:  # keeps finalization busy past the worker's wake-up
        def __del__(self, _sleep=time.sleep):
            _sleep(1.0)
    builtins.slow = SlowFinalizer()

    wp.trigger_auto_title("s1", "hello", "hi", [])
    time.sleep(0.1)
""")


def test_interpreter_exit_with_a_title_worker_inside_the_engine(tmp_path):
    for _ in range(2):
        done = subprocess.run([sys.executable, "-c", SCRIPT, str(STANDIN)],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
