#!/usr/bin/env bash
# Takes the toolkit into the small project tests/cmake/consumer both ways
# another build does, each time with a Debug parent, builds it and runs it:
# 1. installed (cmake --install of BUILD_DIR into a temporary prefix) and
#    found with find_package(toolkit 0.1 REQUIRED); a request for 1.0 fails;
# 2. added with add_subdirectory(... EXCLUDE_FROM_ALL); a parent without a
#    build type keeps none.
# Checks that the parent's build type stays Debug, that none of its compile
# commands carries -fopenmp or the toolkit's own flags, that the consumer's
# executable neither defines nor exports sgemm_ or any jpeg_* or png_* symbol
# (the BLAS's, libjpeg's and libpng's own), that its own calls into libjpeg,
# libpng and OpenCV's matrix routines give what the same calls give in a
# program without the toolkit (consumer_alone), that the install holds
# the public headers only (each compiles on its own), the licence, a licence
# for every sample photograph and a pkg-config file that points into the
# prefix.
# The consumer is built with the compiler that built the toolkit (the OpenMP
# runtime the library needs is that compiler's), CXX_COMPILER when given.
# Usage: test_consumer.sh SOURCE_DIR BUILD_DIR [CXX_COMPILER]
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
compiler=()
[ -z "${3:-}" ] || compiler=(-DCMAKE_CXX_COMPILER="$3")
consumer="$src/tests/cmake/consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "test_consumer: $*" >&2
  exit 1
}

# Configures the consumer into $1 with the remaining arguments; the output
# goes to $1.log.
configure() {
  local dir=$1
  shift
  cmake -S "$consumer" -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${compiler[@]}" "$@" > "$dir.log" 2>&1
}

# Builds and checks the consumer configured into $1.
check_consumer() {
  local dir=$1
  cmake --build "$dir" --target consumer consumer_alone >> "$dir.log" 2>&1 || { cat "$dir.log" >&2; fail "$dir: build failed"; }
  grep -qx 'CMAKE_BUILD_TYPE:STRING=Debug' "$dir/CMakeCache.txt" || fail "$dir: cached build type is no longer Debug"
  [ "$(cat "$dir/build-type.txt")" = Debug ] || fail "$dir: build type after the toolkit: $(cat "$dir/build-type.txt")"
  # The consumer's own compile commands (a subdirectory build also lists the
  # toolkit's, which may use what they like).
  /usr/bin/python3 - "$dir/compile_commands.json" "$consumer" "$dir" <<'EOF' || fail "$dir: compile flags leaked into the consumer"
import json, sys
entries, own = json.load(open(sys.argv[1])), (sys.argv[2] + "/", sys.argv[3] + "/headers/")
mine = [e for e in entries if e["file"].startswith(own)]
assert mine, "no compile command of the consumer"
for e in mine:
    flags = e["command"].split()
    bad = [f for f in flags if f in ("-fopenmp", "-O3", "-Wall", "-Wextra", "-Wdouble-promotion", "-Wfloat-conversion", "-Werror") or f.startswith("-ffp-contract")]
    if bad or "-g" not in flags:
        sys.exit(f"{e['file']}: {bad or 'no -g'} in {e['command']}")
EOF
  # Names that belong to the system's libraries: defined in the executable,
  # they would take the place of the libraries' own for the program.
  local foreign
  foreign=$(nm -D --defined-only "$dir/consumer" | awk '{print $NF}' | grep -E '^(sgemm_|jpeg_|png_)' || true)
  [ -z "$foreign" ] || fail "$dir: the consumer exports" $foreign
  foreign=$(nm --defined-only "$dir/consumer" | awk '{print $NF}' | grep -E '^(sgemm_|jpeg_|png_)' || true)
  [ -z "$foreign" ] || fail "$dir: the consumer defines" $foreign
  local out alone
  out=$("$dir/consumer") || fail "$dir: the consumer failed"
  [ "$(head -n 1 <<< "$out")" = "normImg 0.2, exposures 6" ] || fail "$dir: the consumer printed '$out'"
  alone=$("$dir/consumer_alone") || fail "$dir: consumer_alone failed"
  grep -q '^libjpeg .*decoded' <<< "$alone" && grep -q '^libpng .*decoded' <<< "$alone" || fail "$dir: consumer_alone printed '$alone'"
  [ "$(tail -n +2 <<< "$out")" = "$alone" ] \
    || fail "$dir: the system libraries give the consumer '$(tail -n +2 <<< "$out")', a program without the toolkit '$alone'"
}

# 1. From an install, with the build's install paths.
cached() { sed -n "s/^$1:PATH=//p" "$build/CMakeCache.txt"; }
prefix="$work/prefix"
include="$prefix/$(cached CMAKE_INSTALL_INCLUDEDIR)"
docs="$prefix/$(cached TOOLKIT_INSTALL_DOCDIR)"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "install failed"; }
config=$(find "$prefix" -name toolkitConfig.cmake)
[ -n "$config" ] && [ -f "$(dirname "$config")/toolkitConfigVersion.cmake" ] || fail "no toolkitConfigVersion.cmake next to '$config'"
for header in $(cd "$src" && find toolkit -name '*.hpp' | sort); do
  if grep -q '^//.*Internal to toolkit/' "$src/$header"; then
    [ ! -e "$include/$header" ] || fail "internal header $header is installed"
  else
    [ -f "$include/$header" ] || fail "public header $header is not installed"
  fi
done
for doc in LICENSE samples-licences.md; do
  [ -s "$docs/$doc" ] || fail "$docs/$doc is not installed"
done
for sample in $(cd "$src/samples" && ls | grep -v '^README.md$'); do
  grep -q "^| [^|]*$sample[^|]* |.*| [^| ][^|]* |\$" "$docs/samples-licences.md" || fail "no licence for samples/$sample"
done
pc=$(find "$prefix" -name toolkit.pc)
cflags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags toolkit)
case " $cflags " in *" -fopenmp "*) fail "pkg-config --cflags gives -fopenmp: $cflags" ;; esac
includedir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=includedir toolkit)
[ "$(cd "$includedir" && pwd -P)" = "$(cd "$include" && pwd -P)" ] || fail "pkg-config's includedir is $includedir"

configure "$work/installed" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_PREFIX_PATH="$prefix" \
  || { cat "$work/installed.log" >&2; fail "find_package(toolkit 0.1 REQUIRED) failed"; }
cmake --build "$work/installed" --target installed_headers >> "$work/installed.log" 2>&1 \
  || { cat "$work/installed.log" >&2; fail "an installed header does not compile on its own"; }
check_consumer "$work/installed"
if configure "$work/too-new" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_PREFIX_PATH="$prefix" -DTOOLKIT_REQUEST=1.0; then
  fail "find_package(toolkit 1.0) accepted version 0.1"
fi

# 2. As a subdirectory.
configure "$work/no-type" -DTOOLKIT_FROM=subdirectory -DTOOLKIT_SOURCE_DIR="$src" \
  || { cat "$work/no-type.log" >&2; fail "add_subdirectory failed"; }
[ -z "$(cat "$work/no-type/build-type.txt")" ] && ! grep -q '^CMAKE_BUILD_TYPE:STRING=.' "$work/no-type/CMakeCache.txt" \
  || fail "the toolkit gave a parent without a build type the build type $(cat "$work/no-type/build-type.txt")"
configure "$work/subdirectory" -DCMAKE_BUILD_TYPE=Debug -DTOOLKIT_FROM=subdirectory -DTOOLKIT_SOURCE_DIR="$src" \
  || { cat "$work/subdirectory.log" >&2; fail "add_subdirectory failed"; }
check_consumer "$work/subdirectory"
echo "test_consumer: installed and as a subdirectory, the consumer builds in Debug without the toolkit's flags, keeps the system libraries' symbols and results, and runs"
