"""The self-update end to end: an environment with this package installed
from a wheel, a local package index (PEP 503 pages plus the JSON API that
BRIDGE_PYPI_BASE_URL names) offering a newer wheel, and the host started in
service mode with pip pointed at that index.

The wheel is the one scripts/wheels built when BRIDGE_WHEELHOUSE names its
dist/ (as CI does); otherwise it is built once from the source tree with the
running environment's build tools (incremental, in build/). The newer and
older releases are that wheel with its version changed.
"""
import functools
import hashlib
import http.server
import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import threading
import zipfile

import pytest
from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename

from host_wire import free_port, start_server

ROOT = pathlib.Path(__file__).resolve().parents[2]
SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"

pytestmark = pytest.mark.timeout(900)


def _compatible(wheel: pathlib.Path) -> bool:
    _, _, _, tags = parse_wheel_filename(wheel.name)
    supported = set(sys_tags())
    return any(t in supported for t in tags)


@pytest.fixture(scope="module")
def base_wheel(tmp_path_factory):
    house = os.environ.get("BRIDGE_WHEELHOUSE")
    if house:
        found = [w for w in sorted(pathlib.Path(house).glob("korvel_dashboard-*.whl")) if _compatible(w)]
        assert found, f"no wheel in {house} installs on this interpreter"
        return found[0]
    if importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("no wheel (BRIDGE_WHEELHOUSE) and no build tools here to make one")
    out = tmp_path_factory.mktemp("wheel")
    args = [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
            "--wheel-dir", str(out), str(ROOT)]
    if os.environ.get("BRIDGE_CMAKE_ARGS"):  # the same configuration as scripts/test's build
        args.append(f"--config-settings=cmake.args={os.environ['BRIDGE_CMAKE_ARGS']}")
    subprocess.run(args, check=True, timeout=900)
    return next(out.glob("*.whl"))


def rebrand(wheel: pathlib.Path, version: str, out: pathlib.Path) -> pathlib.Path:
    """`wheel` as release `version`: the same files under a new version,
    repacked (RECORD rewritten) with the wheel tool."""
    name, old, _, _ = parse_wheel_filename(wheel.name)
    work = out / f"unpacked-{version}"
    subprocess.run([sys.executable, "-m", "wheel", "unpack", "--dest", str(work), str(wheel)],
                   check=True, capture_output=True)
    (tree,) = work.iterdir()
    info = tree / f"korvel_dashboard-{old}.dist-info"
    metadata = info / "METADATA"
    metadata.write_text(metadata.read_text().replace(f"\nVersion: {old}\n", f"\nVersion: {version}\n", 1))
    info.rename(tree / f"korvel_dashboard-{version}.dist-info")
    subprocess.run([sys.executable, "-m", "wheel", "pack", "--dest-dir", str(out), str(tree)],
                   check=True, capture_output=True)
    shutil.rmtree(work)
    (made,) = [w for w in out.glob(f"korvel_dashboard-{version}-*.whl")]
    return made


class Index:
    """A package index on 127.0.0.1: /simple/korvel-dashboard/ (PEP 503),
    /packages/<wheel>, and /pypi/korvel-dashboard/json naming `latest`."""

    def __init__(self, root: pathlib.Path):
        self.root = root
        (root / "packages").mkdir(parents=True)
        handler = functools.partial(_QuietHandler, directory=str(root))
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True).start()

    def publish(self, wheels, latest: str) -> None:
        links = []
        for w in wheels:
            target = self.root / "packages" / w.name
            if not target.exists():
                shutil.copy(w, target)
            digest = hashlib.sha256(target.read_bytes()).hexdigest()
            links.append(f'<a href="../../packages/{w.name}#sha256={digest}">{w.name}</a><br>')
        page = self.root / "simple" / "korvel-dashboard"
        page.mkdir(parents=True, exist_ok=True)
        (page / "index.html").write_text(
            "<!DOCTYPE html><html><body>\n" + "\n".join(links) + "\n</body></html>\n")
        api = self.root / "pypi" / "korvel-dashboard"
        api.mkdir(parents=True, exist_ok=True)
        (api / "json").write_text(json.dumps({"info": {"name": "korvel-dashboard",
                                                       "version": latest}}))

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture
def index(tmp_path):
    idx = Index(tmp_path / "index")
    yield idx
    idx.close()


def make_environment(path: pathlib.Path, wheel: pathlib.Path) -> pathlib.Path:
    """A virtual environment holding only this package, installed from
    `wheel`; its dependencies are this test environment's (by a .pth line),
    so nothing is fetched from outside."""
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True, timeout=300)
    python = path / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-deps", "--no-index",
                    "--only-binary=:all:", str(wheel)],
                   check=True, timeout=300, env=pip_env(None))
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True).stdout.strip()
    ours = {sysconfig.get_path("purelib"), sysconfig.get_path("platlib")}
    pathlib.Path(site, "test-dependencies.pth").write_text("\n".join(sorted(ours)) + "\n")
    return path


def pip_env(index_url):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1")
    if index_url:
        env["PIP_INDEX_URL"] = index_url
    return env


def host_env(tmp_path, index, home):
    """The service's environment: pip and the update check aimed at `index`,
    a recording systemctl first on PATH."""
    fake = tmp_path / "fakebin"
    fake.mkdir(exist_ok=True)
    log = tmp_path / "systemctl.log"
    (fake / "systemctl").write_text(f'#!/bin/sh\necho "$*" >> "{log}"\n')
    (fake / "systemctl").chmod(0o755)
    env = pip_env(index.url + "/simple")
    for name in ("OPENROUTER_API_KEY", "KORVEL_HOME", "ZALIX_MODEL", "ZALIX_BASE_URL",
                 "KORVEL_DASHBOARD_PORT", "KORVEL_DASHBOARD_SERVICE"):
        env.pop(name, None)
    env.update(HOME=str(home), PATH=f"{fake}:{SYSTEM_PATH}", BRIDGE_PYPI_BASE_URL=index.url,
               NO_PROXY="127.0.0.1,localhost", no_proxy="127.0.0.1,localhost",
               PYTHONUNBUFFERED="1")
    return env, log


def installed_version(env_dir: pathlib.Path) -> str:
    return subprocess.run([str(env_dir / "bin" / "korvel-dashboard"), "--version"], check=True,
                          capture_output=True, text=True).stdout.split()[-1]


def test_service_updates_to_the_newer_release_and_restarts_into_it(base_wheel, index, tmp_path):
    current = parse_wheel_filename(base_wheel.name)[1]
    release = lambda v: rebrand(base_wheel, v, tmp_path / "wheels")  # noqa: E731
    (tmp_path / "wheels").mkdir()
    major, minor, micro = (list(current.release) + [0, 0])[:3]
    newer = f"{major}.{minor}.{micro + 1}"
    older, pre = "0.0.1", f"{newer}rc1"  # pre: a pre-release of the installed one
    env_dir = make_environment(tmp_path / "env", base_wheel)
    home = tmp_path / "home"
    home.mkdir()
    env, restarts = host_env(tmp_path, index, home)
    assert installed_version(env_dir) == str(current)

    # A newer release: installed from the index, the service restarted, exit 0.
    index.publish([release(newer)], latest=newer)
    done = subprocess.run([str(env_dir / "bin" / "korvel-dashboard"), "--service",
                           "--engine", "standin", "--port", str(free_port())],
                          env=env, cwd=str(home),
                          capture_output=True, text=True, timeout=600)
    out = done.stdout + done.stderr
    assert done.returncode == 0, out
    assert f"Updating korvel-dashboard: {current} → {newer}" in out
    assert f"Update complete — restarting service to use {newer}" in out
    assert "Serving on" not in out
    assert restarts.read_text().splitlines() == ["--user restart korvel-dashboard"]
    assert installed_version(env_dir) == newer
    assert not (home / ".korvel" / ".bridge.pid").exists()

    # The next start runs the new release; an older release and a
    # pre-release on offer are left alone.
    for offered, wheel in ((older, release(older)), (pre, release(pre))):
        index.publish([wheel], latest=offered)
        server = start_server("--service", "--engine", "standin", env=env, home=home,
                              command=[str(env_dir / "bin" / "korvel-dashboard")])
        try:
            assert server.client.get("/health").json()["version"] == newer
            assert f"korvel-dashboard {newer} is up to date" in server.output()
        finally:
            assert server.stop() == 0
    assert installed_version(env_dir) == newer
    assert restarts.read_text().splitlines() == ["--user restart korvel-dashboard"]
