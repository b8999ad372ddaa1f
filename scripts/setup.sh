#!/usr/bin/env bash
# Creates .venv with Python 3.13 and installs the package into it; does nothing when up to date.
# Sourced by scripts/demo and scripts/test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# QV_VENV and QV_FLAVOUR=asan (scripts/test-asan) select a sanitizer build in its own venv.
VENV="${QV_VENV:-$ROOT/.venv}"
STAMP="$VENV/.installed"
flavour=()
if [ "${QV_FLAVOUR:-}" = asan ]; then
  flavour=(-Cbuild-dir=build/asan-{wheel_tag} -Ccmake.define.QV_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo)
fi

source "$ROOT/scripts/find-python.sh"

# One build at a time per checkout: two commands started together share .venv and build/.
mkdir -p "$ROOT/build"
exec 9>"$ROOT/build/.lock"
flock 9

if [ ! -x "$VENV/bin/python" ]; then
  $(find_python) -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
fi

stale=1
if [ -f "$STAMP" ]; then
  changed=$(find "$ROOT/native" "$ROOT/src" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" \
    -newer "$STAMP" -print -quit)
  [ -z "$changed" ] && stale=0
fi
if [ "$stale" = 1 ]; then
  "$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
  # ccache, when installed, shares compiled objects between checkouts of the project.
  launcher=()
  if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$(dirname "$ROOT")"
    launcher=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  (cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation \
      -Ccmake.define.QV_BUILD_TEST_MODULES=ON "${launcher[@]}" "${flavour[@]}" ".[test]")
  touch "$STAMP"
fi
flock -u 9
PY="$VENV/bin/python"
