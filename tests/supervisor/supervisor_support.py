"""Child processes for the supervisor tests: sleepers and port holders."""
import subprocess
import sys
import textwrap
import threading


class Child:
    """A child Python process, reaped by a thread so it never lingers as a zombie."""

    def __init__(self, code, **kw):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(code)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            **kw,
        )
        self.pid = self.proc.pid
        self._reaper = threading.Thread(target=self.proc.wait, daemon=True)
        self._reaper.start()

    def ready(self):
        """Wait for the child's first output line (its 'ready' signal)."""
        line = self.proc.stdout.readline()
        assert line, self.proc.stderr.read()
        return line.strip()

    def alive(self):
        self._reaper.join(0.01)
        return self.proc.returncode is None

    def wait_gone(self, timeout=10):
        self._reaper.join(timeout)
        return self.proc.returncode

    def kill(self):
        if self.alive():
            self.proc.kill()
        self._reaper.join(5)


SLEEPER = """
import signal, sys, time
{setup}
print("ready", flush=True)
time.sleep(60)
"""


def sleeper(ignore_term=False):
    setup = "signal.signal(signal.SIGTERM, signal.SIG_IGN)" if ignore_term else ""
    return SLEEPER.format(setup=setup)


def listener(ignore_term=False):
    """A child holding a listening port, which it prints when ready."""
    setup = textwrap.dedent(
        f"""
        import socket
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", 0))
        s.listen(16)
        def serve():
            while True:
                s.accept()[0].close()
        import threading
        threading.Thread(target=serve, daemon=True).start()
        """
    )
    if ignore_term:
        setup += "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
    return SLEEPER.format(setup=setup).replace('print("ready"', 'print(s.getsockname()[1]')
