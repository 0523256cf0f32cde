# Sourced by the project's scripts: finds the Python to build for, creates its
# virtual environment when it is missing, and installs the package (building
# the C++ modules) into it.
#
# BRIDGE_PYTHON picks the CPython version (3.10, the default, to 3.13). 3.10
# uses .venv; any other version its own .venv-<version>. Each version builds
# in its own tree under build/ (named by the wheel tag).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYVER="${BRIDGE_PYTHON:-3.10}"
if [ "$PYVER" = "3.10" ]; then VENV="$ROOT/.venv"; else VENV="$ROOT/.venv-$PYVER"; fi

# The interpreter of version $PYVER: on PATH, under pyenv's versions
# directory, or from pyenv itself.
find_python() {
  local c
  for c in "python$PYVER" "$HOME/.pyenv/versions/$PYVER".*/bin/"python$PYVER" \
           "/usr/bin/python$PYVER" "/usr/local/bin/python$PYVER"; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$PYVER'" >/dev/null 2>&1; then
      command -v "$c"; return 0
    fi
  done
  # pyenv's shim answers only with PYENV_VERSION set.
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E "^${PYVER//./\\.}(\.|\$)" | tail -n 1 || true)
    if [ -n "$v" ]; then echo "$(pyenv root)/versions/$v/bin/python$PYVER"; return 0; fi
  fi
  echo "Python $PYVER not found (tried python$PYVER and pyenv)" >&2
  return 1
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    local py; py=$(find_python)
    echo "==> creating $VENV with $py"
    "$py" -m venv "$VENV"
  fi
  if [ ! -f "$VENV/.deps-ok" ] || [ "$ROOT/pyproject.toml" -nt "$VENV/.deps-ok" ]; then
    echo "==> installing build and test dependencies"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    # The build backend and its tools live in the venv, so rebuilds need no
    # isolated build environment and stay incremental (build/). The build
    # loads the modules to write their stubs, hence PyYAML, python-dotenv and
    # packaging.
    "$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja \
      "PyYAML>=6" "python-dotenv>=1" "packaging>=22"
    touch "$VENV/.deps-ok"
  fi
}

# Builds the C++ modules (incrementally, in build/) and installs the package.
install_package() {
  echo "==> building and installing korvel-dashboard"
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT[${EXTRAS:-test}]" ${BRIDGE_CMAKE_ARGS:+--config-settings=cmake.args="$BRIDGE_CMAKE_ARGS"}
}
