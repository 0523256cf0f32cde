import pathlib
import os
import sys

import pytest

import bridge.setup.path as path


@pytest.fixture
def agent(home, restore_sys_path):
    """The engine's installation directory (created) and its venv."""
    agent_dir = home / ".korvel" / "korvel-agent"
    agent_dir.mkdir(parents=True)
    return agent_dir


def site(agent_dir, pyver):
    d = agent_dir / "venv" / "lib" / pyver / "site-packages"
    d.mkdir(parents=True)
    return str(d)


def test_constants_are_paths_under_home(home):
    assert path.KORVEL_HOME == home / ".korvel"
    assert path.AGENT_DIR == home / ".korvel" / "korvel-agent"
    assert path.VENV_DIR == home / ".korvel" / "korvel-agent" / "venv"
    assert isinstance(path.AGENT_DIR, pathlib.Path)


def test_engine_missing_leaves_search_path_alone(restore_sys_path):
    before = list(sys.path)
    assert path.inject() is None
    assert sys.path == before


def test_one_interpreter_directory_then_idempotent(agent):
    before = list(sys.path)
    pkgs = site(agent, "python3.11")
    path.inject()
    assert sys.path == [str(agent)] + before + [pkgs]
    path.inject()
    assert sys.path == [str(agent)] + before + [pkgs]


def test_engine_modules_become_importable(agent):
    (agent / "run_agent_probe.py").write_text("WHERE = 'agent'\n")
    pkgs = site(agent, "python3.11")
    os.makedirs(os.path.join(pkgs, "probe_dep"))
    with open(os.path.join(pkgs, "probe_dep", "__init__.py"), "w") as f:
        f.write("WHERE = 'venv'\n")
    path.inject()
    try:
        import probe_dep
        import run_agent_probe
        assert (run_agent_probe.WHERE, probe_dep.WHERE) == ("agent", "venv")
    finally:
        sys.modules.pop("run_agent_probe", None)
        sys.modules.pop("probe_dep", None)


def test_agent_dir_already_on_path_is_not_moved(agent):
    sys.path.append(str(agent))
    sys.path.append("/elsewhere")
    before = list(sys.path)
    path.inject()
    assert sys.path == before
    assert sys.path.count(str(agent)) == 1


def test_agent_dir_that_is_a_file_still_counts(home, restore_sys_path):
    (home / ".korvel").mkdir()
    (home / ".korvel" / "korvel-agent").write_text("")
    path.inject()
    assert sys.path[0] == str(home / ".korvel" / "korvel-agent")


def test_descending_text_order_one_per_call(agent):
    p11 = site(agent, "python3.11")
    p12 = site(agent, "python3.12")
    before = list(sys.path)
    path.inject()
    assert sys.path[-1] == p12
    assert p11 not in sys.path
    path.inject()
    assert sys.path[-2:] == [p12, p11]
    path.inject()
    assert sys.path == [str(agent)] + before + [p12, p11]


def test_order_is_textual_not_by_version(agent):
    p9 = site(agent, "python3.9")
    p12 = site(agent, "python3.12")
    path.inject()
    assert sys.path[-1] == p9
    path.inject()
    assert sys.path[-1] == p12


def test_any_entry_of_lib_is_considered(agent):
    # No name filter: a directory called "zzz" sorts first and is taken.
    odd = site(agent, "zzz")
    site(agent, "python3.11")
    (agent / "venv" / "lib" / "README").write_text("not a directory")
    path.inject()
    assert sys.path[-1] == odd


def test_lib_without_site_packages_falls_back_to_windows_layout(agent):
    (agent / "venv" / "lib" / "python3.11").mkdir(parents=True)
    win = agent / "venv" / "Lib" / "site-packages"
    win.mkdir(parents=True)
    path.inject()
    assert sys.path[-1] == str(win)
    n = len(sys.path)
    path.inject()
    assert len(sys.path) == n


def test_windows_layout_alone(agent):
    win = agent / "venv" / "Lib" / "site-packages"
    win.mkdir(parents=True)
    path.inject()
    assert sys.path[0] == str(agent)
    assert sys.path[-1] == str(win)


def test_posix_hit_skips_windows_layout(agent):
    pkgs = site(agent, "python3.11")
    (agent / "venv" / "Lib" / "site-packages").mkdir(parents=True)
    path.inject()
    assert sys.path[-1] == pkgs
    assert str(agent / "venv" / "Lib" / "site-packages") not in sys.path


def test_all_posix_dirs_present_then_windows_layout(agent):
    pkgs = site(agent, "python3.11")
    win = agent / "venv" / "Lib" / "site-packages"
    win.mkdir(parents=True)
    path.inject()
    path.inject()
    assert sys.path[-2:] == [pkgs, str(win)]


def test_venv_without_agent_dir_in_path(home, restore_sys_path, monkeypatch):
    # The constants are read at call time: a replaced VENV_DIR is honoured.
    venv = home / "elsewhere" / "venv"
    (venv / "lib" / "python3.10" / "site-packages").mkdir(parents=True)
    monkeypatch.setattr(path, "VENV_DIR", venv)
    before = list(sys.path)
    path.inject()
    assert sys.path == before + [str(venv / "lib" / "python3.10" / "site-packages")]


def test_listing_error_reaches_caller(agent):
    (agent / "venv").mkdir()
    (agent / "venv" / "lib").write_text("a file where a directory belongs")
    with pytest.raises(NotADirectoryError):
        path.inject()
