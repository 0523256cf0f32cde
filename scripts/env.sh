# Sourced by the project's scripts: finds Python 3.10, creates .venv when it is
# missing, and installs the package (building the C++ modules) into it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python310() {
  local c
  for c in python3.10 "$HOME/.pyenv/versions/"3.10*/bin/python3.10 /usr/bin/python3.10 /usr/local/bin/python3.10; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1; then
      command -v "$c"; return 0
    fi
  done
  # pyenv's shim answers only with PYENV_VERSION set.
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.10(\.|$)' | tail -n 1 || true)
    if [ -n "$v" ]; then echo "$(pyenv root)/versions/$v/bin/python3.10"; return 0; fi
  fi
  echo "Python 3.10 not found (tried python3.10 and pyenv)" >&2
  return 1
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    local py; py=$(find_python310)
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
