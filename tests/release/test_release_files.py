"""The release files scripts/wheels puts in dist/: what each wheel and the
sdist hold. Runs when BRIDGE_WHEELHOUSE names that directory (CI sets it
after building them)."""
import os
import pathlib
import re
import subprocess
import tarfile
import zipfile

import pytest
from packaging.utils import parse_sdist_filename, parse_wheel_filename

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOUSE = os.environ.get("BRIDGE_WHEELHOUSE")

pytestmark = pytest.mark.skipif(not HOUSE, reason="BRIDGE_WHEELHOUSE names no dist/ directory")

# Every module CMakeLists.txt builds, as a path inside the package.
MODULES = sorted(m.replace(".", "/") for m in
                 re.findall(r"^bridge_module\(([\w.]+) ", (ROOT / "CMakeLists.txt").read_text(), re.M))
TAGS = {"cp310": "cp310-cp310", "cp311": "cp311-cp311", "abi3": "cp312-abi3"}


def wheels():
    return sorted(pathlib.Path(HOUSE).glob("korvel_dashboard-*.whl"))


def tracked(*paths):
    """Files git tracks under `paths` (the source tree's own list)."""
    try:
        out = subprocess.run(["git", "ls-files", *paths], cwd=ROOT, capture_output=True,
                             text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("the source tree is not a git checkout")
    return set(out.split())


def test_one_manylinux_wheel_per_interpreter_line_and_an_sdist():
    found = {}
    for w in wheels():
        name, version, _, tags = parse_wheel_filename(w.name)
        (tag,) = {f"{t.interpreter}-{t.abi}" for t in tags}
        assert all(t.platform.startswith("manylinux_") and t.platform.endswith("_x86_64")
                   for t in tags), w.name
        found[tag] = version
    assert sorted(found) == sorted(TAGS.values())
    (sdist,) = pathlib.Path(HOUSE).glob("korvel_dashboard-*.tar.gz")
    assert {str(v) for v in found.values()} == {str(parse_sdist_filename(sdist.name)[1])}


@pytest.mark.parametrize("kind", sorted(TAGS))
def test_wheel_holds_every_module_stub_and_page_file(kind):
    (wheel,) = [w for w in wheels() if f"-{TAGS[kind]}-" in w.name]
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        entry_points = next(z.read(n).decode() for n in names if n.endswith("entry_points.txt"))
    suffix = ".abi3.so" if kind == "abi3" else f".cpython-{kind[2:]}-x86_64-linux-gnu.so"
    for module in MODULES:
        assert f"{module}{suffix}" in names, module
        assert f"{module}.pyi" in names, module
    assert not [n for n in names if n.endswith(".so") and not n.endswith(suffix)]
    assert "bridge/py.typed" in names
    # The host's Python sources, the page and its vendored libraries with
    # their licences, the stand-in engine: exactly what the tree has.
    want = {p[len("src/"):] for p in tracked("src/bridge", "src/dashboard") if not p.endswith((".cpp", ".hpp"))}
    assert want - names == set()
    assert not [n for n in names if n.endswith((".cpp", ".hpp")) or "/.libs/" in n]
    assert "korvel-dashboard = dashboard.cli:main" in entry_points


def test_sdist_carries_every_source_and_no_build_output():
    (sdist,) = pathlib.Path(HOUSE).glob("korvel_dashboard-*.tar.gz")
    with tarfile.open(sdist) as t:
        top = t.getnames()[0].split("/")[0]
        names = {n[len(top) + 1:] for n in t.getnames() if n.startswith(top + "/")}
    want = tracked("src", "cmake", "CMakeLists.txt", "pyproject.toml", "README.md", "tests", "scripts")
    assert want - names == set()
    assert "PKG-INFO" in names
    assert not [n for n in names if n.startswith(("build/", "dist/", ".venv")) or n.endswith(".so")]
