"""Start-up and shutdown of the host process, and the setup screen's endpoints."""
import json
import os
import subprocess
import sys
import textwrap

from host_wire import fake_installer, free_port, replies, run_turn, start_server

def test_pid_file_and_a_clean_stop_on_sigterm():
    server = start_server("--engine", "standin")
    pid_file = server.home / ".korvel" / ".bridge.pid"
    assert pid_file.read_text() == str(server.proc.pid)
    assert server.stop() == 0
    assert not pid_file.exists()
    out = server.output()
    assert "Shutting down bridge (signal: SIGTERM)" in out
    assert "Bridge stopped cleanly" in out


def test_a_stale_bridge_and_a_squatter_on_the_port_are_removed(tmp_path):
    home = tmp_path
    (home / ".korvel").mkdir()
    stale = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
    (home / ".korvel" / ".bridge.pid").write_text(str(stale.pid))
    port = free_port()
    squatter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import socket, time
        s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", {port})); s.listen(); print("ready", flush=True); time.sleep(120)
        """)], stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline().strip() == "ready"
        server = start_server("--engine", "standin", home=home, port=port)
        try:
            assert stale.wait(timeout=10) is not None
            assert squatter.wait(timeout=10) is not None
            assert server.client.get("/health").json()["pid"] == server.proc.pid
        finally:
            assert server.stop() == 0
    finally:
        for proc in (stale, squatter):
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def test_start_up_needs_no_network_and_skips_the_self_update():
    # An unreachable package index would cost three failed attempts.
    server = start_server("--engine", "standin", env={"BRIDGE_PYPI_BASE_URL": "http://127.0.0.1:9"})
    try:
        out = server.output()
        assert "Auto-update" not in out
        assert "self-update skipped" in out
    finally:
        server.stop()


def test_without_an_engine_the_setup_screen_installs_one(tmp_path):
    home = tmp_path
    fake_installer(home / "fakebin")
    path = f"{home / 'fakebin'}{os.pathsep}{os.environ.get('PATH', '')}"
    server = start_server("--engine", "installed", home=home, env={"PATH": path})
    try:
        assert server.client.get("/health").json()["engine"] is None
        assert server.client.post("/chat/send", json={"message": "hi"}).status_code == 503
        status = server.client.get("/setup/status").json()
        assert status["installed"] is False and status["api_key"] is False
        assert 'id="install-screen"' in server.client.get("/").text

        lines, done = [], None
        with server.client.stream("POST", "/setup/install") as res:
            assert res.status_code == 200
            event = None
            for line in res.iter_lines():
                if line.startswith("event:"):
                    event = line[6:].strip()
                elif line.startswith("data:"):
                    data = json.loads(line[5:])
                    if event == "line":
                        lines.append(data["line"])
                    elif event == "done":
                        done = data
        assert "Installing korvel-agent" in lines and "Done" in lines
        assert "warning: this goes to stderr" in lines
        assert done["ok"] is True and done["engine"] == "installed", done
        assert server.client.get("/health").json()["engine"] == "installed"
        assert server.client.get("/setup/status").json()["installed"] is True
        events = run_turn(server, "hello engine", "after-install")
        assert replies(events).startswith("You said: hello engine")
    finally:
        server.stop()


def test_a_failing_installer_is_reported(tmp_path):
    home = tmp_path
    bin_dir = home / "fakebin"
    bin_dir.mkdir()
    (bin_dir / "curl").write_text("#!/bin/sh\necho 'curl: (6) Could not resolve host' >&2\nexit 6\n")
    (bin_dir / "curl").chmod(0o755)
    server = start_server("--engine", "installed", home=home,
                          env={"PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"})
    try:
        body = server.client.post("/setup/install").text
        assert "Could not resolve host" in body
        assert '"ok": false' in body
        assert server.client.get("/health").json()["engine"] is None
    finally:
        server.stop()


def test_as_a_service_start_up_checks_for_a_newer_release():
    import http.server
    import importlib.metadata
    import threading

    installed = importlib.metadata.version("korvel-dashboard")
    asked = []

    class Index(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            asked.append(self.path)
            body = json.dumps({"info": {"version": installed}}).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    index = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Index)
    threading.Thread(target=index.serve_forever, daemon=True).start()
    try:
        server = start_server("--engine", "standin", env={
            "BRIDGE_PYPI_BASE_URL": f"http://127.0.0.1:{index.server_address[1]}",
            "KORVEL_DASHBOARD_SERVICE": "1"})
        try:
            assert asked == ["/pypi/korvel-dashboard/json"]
            out = server.output()
            assert f"korvel-dashboard {installed} is up to date" in out
            assert "Bootstrap: korvel=missing, api_key=missing" in out
            assert server.client.get("/health").json()["engine"] == "standin"
        finally:
            server.stop()
    finally:
        index.shutdown()


def test_sigterm_while_turns_run_still_exits_cleanly():
    # Turns and their title workers run bridge code on daemon threads; the
    # host lets them end before the interpreter is torn down under them.
    from host_wire import send
    for attempt in range(5):
        server = start_server("--engine", "standin")
        send(server, "run: rm -rf /x", "blocked")
        send(server, "hello " * 40, "streaming")
        send(server, "wait: 60", "sleeping")
        assert server.stop() == 0, server.output()
        assert "Bridge stopped cleanly" in server.output()


def test_extra_origins_can_be_allowed():
    server = start_server("--engine", "standin", env={"KORVEL_DASHBOARD_ORIGINS": "app://shell, http://x.test"})
    try:
        body = {"session_id": "s1", "choice": "deny"}
        for origin, status in (("app://shell", 200), ("http://x.test", 200), ("http://y.test", 403)):
            res = server.client.post("/chat/approve", json=body, headers={"Origin": origin})
            assert res.status_code == status, origin
    finally:
        server.stop()
