import bridge.supervisor.pid as pid


def test_module_is_compiled_and_points_at_home(home):
    assert pid.__file__.endswith(".so")
    assert pid.PID_FILE == home / ".korvel" / ".bridge.pid"
