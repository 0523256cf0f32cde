import errno
import os
import socket
import sys

import pytest

import bridge.supervisor.port as port
from supervisor_support import listener


@pytest.fixture
def own_listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(4)
    yield s.getsockname()[1]
    s.close()


def free_port_number():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    n = s.getsockname()[1]
    s.close()
    return n


def test_is_port_in_use(own_listener):
    assert port.is_port_in_use(own_listener) is True
    assert port.is_port_in_use(own_listener, "127.0.0.1") is True
    assert port.is_port_in_use(port=free_port_number()) is False
    with pytest.raises(socket.gaierror):
        port.is_port_in_use(own_listener, host="no-such-host.invalid")
    for bad in (("8420",), (None,), (8420.0,), (8420, None), (8420, b"127.0.0.1")):
        with pytest.raises(TypeError):
            port.is_port_in_use(*bad)


def test_server_bound_elsewhere_is_not_seen(records):
    addrs = [a[4][0] for a in socket.getaddrinfo(socket.gethostname(), None, socket.AF_INET)]
    others = [a for a in addrs if not a.startswith("127.")]
    if not others:
        pytest.skip("no non-loopback IPv4 address")
    s = socket.socket()
    s.bind((others[0], 0))
    s.listen(1)
    try:
        assert port.ensure_port_free(s.getsockname()[1]) is True
        assert records() == []
    finally:
        s.close()


def test_free_port_is_reported_at_once(records):
    assert port.ensure_port_free(free_port_number()) is True
    assert port.free_port(free_port_number()) is True
    assert records() == []


class TestFindPortOwner:
    def test_lsof_first_line_wins(self, tool_dir):
        args = tool_dir("ss", "exit 1").parent / "lsof.args"
        tool_dir("lsof", f'echo "$@" > {args}; printf " 111\\n222\\n"')
        assert port.find_port_owner(8420) == 111
        assert args.read_text() == "-ti :8420\n"

    def test_ss_fallback(self, tool_dir):
        args = tool_dir("lsof.txt", "").parent / "ss.args"
        tool_dir("ss", f'''echo "$@" > {args}
            echo 'LISTEN 0 128 127.0.0.1:8420 0.0.0.0:* users:(("python",pid=4242,fd=3),("x",pid=77,fd=4))'
            ''')
        assert port.find_port_owner(8420) == 4242  # no lsof at all
        assert args.read_text() == "-tlnp sport = :8420\n"

    @pytest.mark.parametrize("lsof", ["echo garbage", "exit 1", "true", "echo 5; exit 1"])
    def test_unusable_lsof_falls_back_to_ss(self, tool_dir, lsof):
        tool_dir("lsof", lsof)
        tool_dir("ss", "echo 'users:((\"a\",pid=31,fd=1))'")
        assert port.find_port_owner(8420) == 31

    def test_no_tools_or_no_answer(self, tool_dir):
        assert port.find_port_owner(8420) is None
        tool_dir("ss", "echo 'State Recv-Q'")
        assert port.find_port_owner(8420) is None
        tool_dir("ss", "echo 'pid=9'; exit 2")
        assert port.find_port_owner(8420) is None

    def test_hanging_tool_is_given_up_after_its_limit(self, tool_dir):
        tool_dir("lsof", "exec /bin/sleep 30")
        tool_dir("ss", "echo 'pid=12'")
        assert port.find_port_owner(8420) == 12

    def test_windows_uses_netstat_only(self, tool_dir, monkeypatch):
        tool_dir("lsof", "echo 1")
        tool_dir("netstat", '''
            echo "  Proto  Local Address          Foreign Address        State           PID"
            echo "  TCP    0.0.0.0:135            0.0.0.0:0              LISTENING       900"
            echo "  TCP    127.0.0.1:8420         127.0.0.1:50000        ESTABLISHED     333"
            echo "  TCP    127.0.0.1:84201        0.0.0.0:0              LISTENING       555  "
            echo "  TCP    127.0.0.1:8420         0.0.0.0:0              LISTENING       444"
            ''')
        monkeypatch.setattr(sys, "platform", "win32")
        # plain substring match: ":84201" contains ":8420" and comes first
        assert port.find_port_owner(8420) == 555
        assert port._find_port_owner_windows(135) == 900
        assert port._find_port_owner_windows(9999) is None

    def test_windows_bad_last_field(self, tool_dir):
        tool_dir("netstat", "echo 'TCP 0.0.0.0:8420 0.0.0.0:0 LISTENING x'")
        assert port._find_port_owner_windows(8420) is None
        assert port._find_port_owner_windows(port=1) is None


class TestFreePort:
    def test_owner_that_exits_on_sigterm(self, tool_dir, child, records):
        c = child(listener())
        n = int(c.ready())
        tool_dir("lsof", f"echo {c.pid}")
        assert port.ensure_port_free(n) is True
        assert c.wait_gone() == -15
        assert [r for r in records() if r[0] != "DEBUG"] == [
            ("INFO", "🔍 Port %d is occupied, attempting cleanup...", (n,)),
            ("INFO", "🔓 Port %d held by PID %d, killing...", (n, c.pid)),
            ("INFO", "   ✅ Port %d freed", (n,)),
        ]

    def test_owner_that_ignores_sigterm(self, tool_dir, child, records):
        c = child(listener(ignore_term=True))
        n = int(c.ready())
        tool_dir("lsof", f"echo {c.pid}")
        assert port.free_port(n) is True
        assert c.wait_gone() == -9
        assert [r[1] for r in records()] == ["🔓 Port %d held by PID %d, killing..."]

    def test_we_own_the_port(self, tool_dir, own_listener, records):
        tool_dir("lsof", f"echo {os.getpid()}")
        assert port.ensure_port_free(own_listener) is True
        assert records()[-1] == ("DEBUG", "We own port %d ourselves", (own_listener,))

    def test_no_owner_found(self, tool_dir, own_listener, records):
        assert port.ensure_port_free(own_listener) is False
        assert records() == [
            ("INFO", "🔍 Port %d is occupied, attempting cleanup...", (own_listener,)),
            ("WARNING", "Port %d is in use but can't find owner", (own_listener,)),
            ("INFO", "   ⏳ Waiting 2s for port %d to become free...", (own_listener,)),
            ("ERROR", "   ❌ Could not free port %d", (own_listener,)),
        ]

    def test_owner_of_another_user(self, tool_dir, own_listener, monkeypatch, records):
        tool_dir("lsof", "echo 1")

        def kill(p, s):
            raise PermissionError(errno.EPERM, "Operation not permitted")

        monkeypatch.setattr(os, "kill", kill)
        assert port.free_port(own_listener) is False
        level, msg, args = records()[-1]
        assert (level, msg, args[0]) == ("WARNING", "   ⚠️ Could not kill PID %d: %s", 1)
        assert "Operation not permitted" in args[1]

    def test_other_kill_errors_reach_the_caller(self, tool_dir, own_listener, monkeypatch):
        tool_dir("lsof", "echo 1")

        def kill(p, s):
            raise OSError(errno.EINVAL, "Invalid argument")

        monkeypatch.setattr(os, "kill", kill)
        with pytest.raises(OSError):
            port.free_port(own_listener)

    def test_late_binding(self, own_listener, monkeypatch):
        monkeypatch.setattr(port, "find_port_owner", lambda p: os.getpid())
        assert port.free_port(own_listener) is True
        monkeypatch.setattr(port, "is_port_in_use", lambda p, host="127.0.0.1": False)
        assert port.ensure_port_free(1) is True


def test_type_checks_come_first(tool_dir):
    for fn in (port.find_port_owner, port._find_port_owner_windows, port.free_port,
               port.ensure_port_free):
        for bad in ("8420", None, 1.5, [8420]):
            with pytest.raises(TypeError):
                fn(bad)


def test_module_bindings_of_the_standard_library_are_late_bound(own_listener, monkeypatch):
    import types
    calls = []

    def run(argv, **kw):
        calls.append(argv)
        return types.SimpleNamespace(returncode=0, stdout=f"{os.getpid()}\n", stderr="")

    monkeypatch.setattr(port, "subprocess", types.SimpleNamespace(
        run=run, TimeoutExpired=TimeoutError))
    assert port.find_port_owner(own_listener) == os.getpid()
    assert calls == [["lsof", "-ti", f":{own_listener}"]]
    monkeypatch.setattr(port, "sys", types.SimpleNamespace(platform="win32"))
    monkeypatch.setattr(port, "_find_port_owner_windows", lambda p: 4242)
    assert port.find_port_owner(own_listener) == 4242
