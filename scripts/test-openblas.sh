#!/usr/bin/env bash
# Runs the camera-response calibration's tests once more with OpenBLAS as the
# BLAS and LAPACK (Debian's libopenblas0-pthread, installed here when
# missing). OpenBLAS is chosen for the tests alone: LD_LIBRARY_PATH points at
# the package's own directory of libblas.so.3 and liblapack.so.3, so what the
# system's libblas.so.3 is stays as it was. Installing the package makes it
# the system's libblas.so.3 and liblapack.so.3 where those alternatives are in
# automatic mode; the libraries chosen before are set again.
# Usage: scripts/test-openblas.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
package=libopenblas0-pthread
fail() {
  echo "test-openblas: $*" >&2
  exit 1
}

if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)" != "install ok installed" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    fail "$package is missing and neither root nor sudo is available"
  fi
  chosen=$(update-alternatives --get-selections | grep -E '^lib(blas|lapack)\.so\.3-' || true)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$package"
  while read -r name _ value; do
    [ -n "$name" ] || continue
    now=$(update-alternatives --query "$name" | sed -n 's/^Value: //p')
    [ "$now" = "$value" ] || "${sudo[@]}" update-alternatives --set "$name" "$value"
  done <<< "$chosen"
fi

blas=$(dpkg -L "$package" | grep '/libblas\.so\.3$' | head -n 1)
[ -n "$blas" ] || fail "$package holds no libblas.so.3"
dir=$(dirname "$blas")
[ -e "$dir/liblapack.so.3" ] || fail "no liblapack.so.3 next to $blas"

# The tests and the program they run must take both libraries from there.
for program in "$build/bin/test_exposure" "$build/bin/flash-exposures"; do
  [ -x "$program" ] || fail "$program is not built"
  loaded=$(LD_LIBRARY_PATH=$dir ldd "$program")
  for lib in libblas.so.3 liblapack.so.3; do
    grep -q "^[[:space:]]*$lib => $dir/$lib " <<< "$loaded" \
      || fail "$program does not load $dir/$lib with LD_LIBRARY_PATH=$dir"
  done
done

cd "$build"
LD_LIBRARY_PATH="$dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  ctest --output-on-failure --no-tests=error -R '^CameraResponse'
echo "test-openblas: the calibration's tests pass with $dir/libblas.so.3 and liblapack.so.3"
