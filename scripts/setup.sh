#!/usr/bin/env bash
# Installs what the toolkit needs to build and test on Debian, skipping what is
# already there. Runs as root, or through sudo when not root. Non-interactive.
set -euo pipefail

packages=(
  build-essential      # C++ compiler and make
  cmake
  pkg-config
  libopencv-dev        # core, imgproc, imgcodecs, photo, video (OpenCV 4.6)
  libopencv-contrib-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libgomp1             # OpenMP runtime
  libjpeg-dev          # the JPEG and PNG decoders' headers, for the image reader
  libpng-dev
  liblcms2-dev         # colour profiles: photographs converted to sRGB through their embedded profile
  liblcms2-utils       # jpgicc and tificc, the tests' independent conversion
  libheif-dev          # HEIC and AVIF photographs
  libcli11-dev         # command-line parsing of compare-pairs
  clang                # make test-clang, and the fuzz target (make fuzz) with clang's libFuzzer
  clang-format         # make check-format
  libclang-rt-14-dev
  libomp-14-dev
  pybind11-dev         # the Python module photocolour and its tests
  python3-dev
  python3-numpy
  python3-pytest
  python3-matplotlib
  python3-pandas       # compare_pairs' rows as a DataFrame (photocolour.to_dataframe) in the tests
  python3-venv         # make test-pip: the package installed by pip into a virtual environment,
  python3-pip          # offline, with Debian's setuptools and wheel as the build backend
  python3-setuptools
  python3-wheel
  python3-pil          # the report test (make test-report) makes its study's photographs
  help2man             # the programs' manual pages, from their --help
  parallel             # GNU parallel, for the sharded batch recipe and its test
  lintian              # make test-package: the Debian packages checked
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "setup: these packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
