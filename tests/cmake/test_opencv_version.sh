#!/usr/bin/env bash
# Configuring against an OpenCV other than 4.6.x warns, naming
# docs/opencv-internals.md; 4.6.x configures without that warning. The other
# versions are the installed OpenCV under another version number: a package
# configuration that includes the real one and then announces its own version.
# Usage: test_opencv_version.sh SOURCE_DIR OPENCV_DIR [CXX_COMPILER]
set -euo pipefail
src=$(cd "$1" && pwd)
real=$(cd "$2" && pwd)
compiler=()
[ -z "${3:-}" ] || compiler=(-DCMAKE_CXX_COMPILER="$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "test_opencv_version: $*" >&2
  exit 1
}

# Configures the toolkit alone (no tests, benchmarks or Python module) against
# OpenCV announcing version $1; the output goes to $work/$1.log.
configure_with() {
  local version=$1 config="$work/opencv-$1"
  mkdir -p "$config"
  cat > "$config/OpenCVConfig.cmake" <<CONFIG
include("$real/OpenCVConfig.cmake")
set(OpenCV_VERSION $version)
CONFIG
  cat > "$config/OpenCVConfig-version.cmake" <<VERSION
set(PACKAGE_VERSION $version)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
VERSION
  cmake -S "$src" -B "$work/build-$version" -DOpenCV_DIR="$config" "${compiler[@]}" \
    -DTOOLKIT_BUILD_TESTS=OFF -DTOOLKIT_BUILD_BENCHMARKS=OFF -DTOOLKIT_BUILD_PYTHON=OFF \
    > "$work/$version.log" 2>&1 || { cat "$work/$version.log" >&2; fail "OpenCV $version: configuring failed"; }
}

for version in 4.7.0 4.5.4 4.60.0 5.0.0; do
  configure_with "$version"
  tr -s ' \n' ' ' < "$work/$version.log" | grep -q "CMake Warning.*OpenCV $version found.*$src/docs/opencv-internals.md" \
    || { cat "$work/$version.log" >&2; fail "OpenCV $version: no warning naming docs/opencv-internals.md"; }
done
for version in 4.6.0 4.6.1; do
  configure_with "$version"
  ! grep -q "opencv-internals" "$work/$version.log" \
    || { cat "$work/$version.log" >&2; fail "OpenCV $version: warned as if it were not 4.6"; }
done
echo "test_opencv_version: 4.7.0, 4.5.4, 4.60.0 and 5.0.0 warn; 4.6.0 and 4.6.1 do not"
