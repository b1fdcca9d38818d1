#!/usr/bin/env bash
# Installs the Python package photocolour as a user would: with pip, offline
# (no package index; Debian's setuptools and wheel build it), into a fresh
# virtual environment of Debian's python3 that sees the system's numpy and
# pytest; checks what pip knows of it, runs the module's tests against the
# installed package from outside the tree, then uninstalls it and checks
# that nothing is left. The programs of BUILD_DIR serve the tests.
# Usage: scripts/test-pip.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
venv="$build/venv"
fail() { echo "test-pip: $1" >&2; exit 1; }

# Debian's interpreter, whose packages the environment sees: python3 on PATH
# may be another one (pyenv).
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
python="$venv/bin/python"
version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

cd "$root"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
    "$python" -m pip install --no-build-isolation --no-index -q . || fail "pip install failed"
shown=$("$python" -m pip show photocolour) || fail "pip does not know photocolour"
echo "$shown" | grep -qx "Version: $version" || fail "pip show gave: $shown"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset PYTHONPATH
TOOLKIT_SAMPLES="$root/samples" TOOLKIT_BIN="$build/bin" TOOLKIT_INSTALLED_PREFIX="$venv" \
    PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -q -p no:cacheprovider "$root/tests/python" \
    || fail "the tests failed against the installed package"

"$python" -m pip uninstall -y -q photocolour || fail "pip uninstall failed"
if "$python" -c "import photocolour" 2>/dev/null; then fail "photocolour still imports after pip uninstall"; fi
left=$(find "$venv/lib" -iname "photocolour*" | head -n 5)
[ -z "$left" ] || fail "pip uninstall left $left"
rm -rf "$venv"
echo "test-pip: photocolour $version installed by pip, tested there and uninstalled"
