"""Start-up and shutdown of the host process, and the setup screen's endpoints."""
import json
import os
import subprocess
import sys
import socket

from host_wire import fake_installer, free_port, replies, run_turn, start_server, wait_for


def port_open(port: int) -> bool:
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def test_pid_file_and_a_clean_stop_on_sigterm():
    server = start_server("--engine", "standin")
    pid_file = server.home / ".korvel" / ".bridge.pid"
    assert pid_file.read_text() == str(server.proc.pid)
    assert server.stop() == 0
    assert not pid_file.exists()
    out = server.output()
    assert "Shutting down bridge (signal: SIGTERM)" in out
    assert "Bridge stopped cleanly" in out


def test_our_own_stale_host_is_replaced_on_its_port():
    first = start_server("--engine", "standin")
    try:
        second = start_server("--engine", "standin", home=first.home, port=first.port)
        try:
            assert first.proc.wait(timeout=10) == 0
            assert second.client.get("/health").json()["pid"] == second.proc.pid
            assert (first.home / ".korvel" / ".bridge.pid").read_text() == str(second.proc.pid)
        finally:
            assert second.stop() == 0
    finally:
        first.stop()


def test_other_programs_are_never_signalled(tmp_path):
    # A PID file naming a process that is not a dashboard host is a leftover
    # whose id was reused: replaced, the process left alone.
    (tmp_path / ".korvel").mkdir()
    sleeper = subprocess.Popen(["sleep", "300"])
    (tmp_path / ".korvel" / ".bridge.pid").write_text(str(sleeper.pid))
    port = free_port()
    web = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=str(tmp_path))
    try:
        wait_for(lambda: port_open(port))
        server = start_server("--engine", "standin", home=tmp_path)
        try:
            assert sleeper.poll() is None
            assert (tmp_path / ".korvel" / ".bridge.pid").read_text() == str(server.proc.pid)
            assert f"PID file names PID {sleeper.pid}, which is not a dashboard host" in server.output()

            # A port held by another program ends the start with status 1
            # and one line that says what holds it and what to do.
            env = {k: v for k, v in os.environ.items() if k != "KORVEL_DASHBOARD_PORT"}
            env["HOME"] = str(tmp_path / "other")
            res = subprocess.run([sys.executable, "-m", "dashboard", "--engine", "standin", "--port", str(port)],
                                 env=env, capture_output=True, text=True, timeout=60)
            assert res.returncode == 1, res.stderr
            line = [ln for ln in res.stderr.splitlines() if "ERROR" in ln]
            assert len(line) == 1, res.stderr
            assert f"Port {port} is in use by PID {web.pid}" in line[0]
            assert "http.server" in line[0] and "--port" in line[0] and "KORVEL_DASHBOARD_PORT" in line[0]
            assert "killing" not in res.stderr
            assert web.poll() is None and sleeper.poll() is None
            assert not (tmp_path / "other" / ".korvel" / ".bridge.pid").exists()
        finally:
            assert server.stop() == 0
        assert sleeper.poll() is None
    finally:
        for proc in (sleeper, web):
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
        # (409: let through to the route, where no such approval waits)
        body = {"session_id": "s1", "choice": "deny", "approval_id": "x-1"}
        for origin, status in (("app://shell", 409), ("http://x.test", 409), ("http://y.test", 403)):
            res = server.client.post("/chat/approve", json=body, headers={"Origin": origin})
            assert res.status_code == status, origin
    finally:
        server.stop()
