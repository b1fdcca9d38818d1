#!/usr/bin/env bash
# Checks the Debian packages built in BUILD_DIR (make package) as their users
# would meet them. lintian first: no errors in any package. Then each package
# is installed with apt-get into a clean state, tried, and purged with
# whatever it pulled in, so that the machine's packages are as they were
# before (also on failure):
# 1. photo-toolkit alone, which depends on no development package: the three
#    programs print the figures of a sample pair, and their manual pages;
#    a PPM file, which OpenCV's codecs read, reaches them through the codec
#    module of the package.
# 2. photo-toolkit-dev (with photo-toolkit, which it needs): the project
#    tests/cmake/consumer finds the toolkit in /usr with find_package, builds
#    and runs, and so does a program built with pkg-config's flags alone; a
#    program of its own reads the PPM file through the library.
# 3. python3-photocolour (with photo-toolkit): python3 imports photocolour
#    from Debian's module directory, of the package's version, gets the
#    programs' figures and reads the PPM file.
# Usage: scripts/test-package.sh [BUILD_DIR]
set -euo pipefail
export LC_ALL=C
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
samples=$src/samples
expect() {
  echo "test-package: $1" >&2
  exit 1
}

# The newest package of each name, all of one version.
declare -A deb
for name in photo-toolkit photo-toolkit-dev python3-photocolour; do
  deb[$name]=$(ls -t "$build/${name}"_*.deb 2>/dev/null | head -n 1)
  [ -n "${deb[$name]}" ] || expect "no ${name}_*.deb in $build (run make package)"
done
version=$(dpkg-deb -f "${deb[photo-toolkit]}" Version)
for name in "${!deb[@]}"; do
  [ "$(dpkg-deb -f "${deb[$name]}" Version)" = "$version" ] \
    || expect "$(basename "${deb[$name]}") is not version $version, as $(basename "${deb[photo-toolkit]}") is"
done

command -v lintian >/dev/null || expect "lintian is missing (make setup installs it)"
lintian --fail-on error "${deb[@]}" || expect "lintian reports errors in the packages"

# Dependencies: the package's own at this exact version, no development
# package outside photo-toolkit-dev, and those dpkg-shlibdeps found (libc6).
depends() { dpkg-deb -f "${deb[$1]}" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/ *$//'; }
for name in photo-toolkit python3-photocolour; do
  dev=$(depends $name | sed 's/ .*//' | grep -- '-dev$' || true)
  [ -z "$dev" ] || expect "$name depends on development packages: $(echo $dev)"
  grep -q '^libc6 (>= ' <<< "$(depends $name)" || expect "$name lacks the dependencies dpkg-shlibdeps finds: $(depends $name)"
done
for name in photo-toolkit-dev python3-photocolour; do
  grep -qx "photo-toolkit (= $version)" <<< "$(depends $name)" || expect "$name does not depend on photo-toolkit (= $version)"
done
grep -qx 'python3-numpy' <<< "$(depends python3-photocolour)" || expect "python3-photocolour does not depend on python3-numpy"

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
apt_get() { "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 "$@"; }
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 ~ /^.i/ { print $2 }' | sort; }
# What apt would remove as no longer needed.
unneeded() { apt-get -s -q autoremove 2>/dev/null | awk '$1 == "Remv" { print $2 }' | sort; }
# Installed, or in any state short of purged.
is_installed() {
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)
  [ -n "$status" ] && [ "$status" != not-installed ]
}

for name in "${!deb[@]}"; do
  ! is_installed "$name" || expect "$name is installed already: test-package starts from a clean state (apt-get purge $name)"
done
work=$(mktemp -d)
installed > "$work/installed.before"
unneeded > "$work/unneeded.before"

# Purges the toolkit's packages and what they pulled in that nothing else
# needs now, and checks that the installed packages are those of before.
purge() {
  local ours=() name
  for name in "${!deb[@]}"; do
    if is_installed "$name"; then ours+=("$name"); fi
  done
  [ ${#ours[@]} -eq 0 ] || apt_get purge "${ours[@]}" > "$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; return 1; }
  local pulled
  pulled=$(comm -13 "$work/unneeded.before" <(unneeded))
  [ -z "$pulled" ] || apt_get purge $pulled > "$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; return 1; }
  local left
  left=$(comm -13 "$work/installed.before" <(installed))
  [ -z "$left" ] || { echo "test-package: still installed:" $left >&2; return 1; }
}
trap 'purge || true; rm -rf "$work"' EXIT

# Installs the named packages from their files and reports the development
# packages that came with them.
install_packages() {
  local files=() name
  for name in "$@"; do files+=("${deb[$name]}"); done
  apt_get install "${files[@]}" > "$work/install.log" 2>&1 || { cat "$work/install.log" >&2; expect "apt-get could not install $*"; }
  comm -13 "$work/installed.before" <(installed) | grep -- '-dev$' || true
}

# Run from a folder outside the tree, with the installed files only.
cd "$work"
unset PYTHONPATH CMAKE_PREFIX_PATH PKG_CONFIG_PATH
export PATH=/usr/bin:/bin
# Two pixels, red and blue, in a format the toolkit leaves to OpenCV's codecs.
printf 'P6\n2 1\n255\n\377\0\0\0\0\377' > two.ppm

# 1. The programs.
pulled=$(install_packages photo-toolkit)
[ -z "$pulled" ] || expect "installing photo-toolkit installed development packages: $(echo $pulled)"
perceptual=$(perceptual-metrics "$samples/coffee.png" "$samples/rocket.jpg") || expect "perceptual-metrics failed"
[ "$perceptual" = "0.799723,0.799445,0.45361,0.556256,0.562081" ] || expect "perceptual-metrics printed $perceptual"
lab=$(lab-compare "$samples/coffee.png" "$samples/rocket.jpg") || expect "lab-compare failed"
[ "$lab" = "0.74409,0.382964" ] || expect "lab-compare printed $lab"
printf '%s\t%s\n' "$samples/coffee.png" "$samples/rocket.jpg" > pairs.txt
table=$(compare-pairs pairs.txt 2>/dev/null) || expect "compare-pairs failed"
# The figures come before the a, b and facts columns.
grep -qF ",ok,$perceptual,$lab," <<< "$table" || expect "compare-pairs printed $table"
line=$(lab-compare two.ppm two.ppm) || expect "lab-compare cannot read a PPM file"
[ "$line" = "1,1" ] || expect "lab-compare printed $line for a PPM file against itself"
for program in perceptual-metrics lab-compare compare-pairs; do
  man -w $program > /dev/null 2>&1 || expect "no manual page for $program"
done
purge || expect "photo-toolkit was not removed cleanly"

# 2. The development files: find_package and pkg-config.
install_packages photo-toolkit-dev photo-toolkit > /dev/null
consumer=$src/tests/cmake/consumer
cmake -S "$consumer" -B installed -DCMAKE_BUILD_TYPE=Debug > consumer.log 2>&1 \
  || { cat consumer.log >&2; expect "find_package(toolkit) failed against photo-toolkit-dev"; }
grep -qx "toolkit_DIR:PATH=/usr/lib/[^ ]*/cmake/toolkit" installed/CMakeCache.txt \
  || expect "the consumer found $(grep '^toolkit_DIR' installed/CMakeCache.txt) instead of the package's"
cmake --build installed --target consumer >> consumer.log 2>&1 || { cat consumer.log >&2; expect "the consumer does not build"; }
out=$(installed/consumer) || expect "the consumer failed"
[ "$(head -n 1 <<< "$out")" = "normImg 0.2, exposures 6" ] || expect "the consumer printed $out"
flags=$(pkg-config --cflags --libs toolkit) || expect "pkg-config does not know toolkit"
c++ -std=c++17 -o pkg-config-consumer "$consumer/main.cpp" "$consumer/SystemLibraries.cpp" $flags > pkg-config.log 2>&1 \
  || { cat pkg-config.log >&2; expect "a program does not build with pkg-config's flags: $flags"; }
out=$(./pkg-config-consumer) || expect "the program built with pkg-config failed"
[ "$(head -n 1 <<< "$out")" = "normImg 0.2, exposures 6" ] || expect "the program built with pkg-config printed $out"
cat > reader.cpp <<'EOF'
#include "toolkit/common/ImageReader.hpp"

#include <iostream>

int main(int, char** argv)
{
    std::string error;
    const cv::Mat image = toolkit::common::readColourImage(argv[1], error);
    if (image.empty()) {
        std::cerr << error << std::endl;
        return 1;
    }
    std::cout << image.cols << "x" << image.rows << " " << image.at<cv::Vec3b>(0, 0) << std::endl;
    return 0;
}
EOF
c++ -std=c++17 -o reader reader.cpp $flags > reader.log 2>&1 || { cat reader.log >&2; expect "reader.cpp does not build with $flags"; }
line=$(./reader two.ppm) || expect "the library cannot read a PPM file"
[ "$line" = "2x1 [0, 0, 255]" ] || expect "the library read the PPM file as $line"
purge || expect "photo-toolkit-dev was not removed cleanly"

# 3. The Python module, from the package and not from a tree.
pulled=$(install_packages python3-photocolour photo-toolkit)
[ -z "$pulled" ] || expect "installing python3-photocolour installed development packages: $(echo $pulled)"
figures=$(/usr/bin/python3 -I - "$samples" "${version%-*}" <<'EOF'
import os, sys
import photocolour as pc
assert pc.__file__.startswith("/usr/lib/python3/dist-packages/"), pc.__file__
assert pc.__version__ == sys.argv[2], pc.__version__
a = pc.read_image(os.path.join(sys.argv[1], "coffee.png"))
b = pc.read_image(os.path.join(sys.argv[1], "rocket.jpg"))
for figures in (pc.perceptual_metrics(a, b), pc.lab_compare(a, b)):
    print(",".join("%g" % f for f in figures))
two = pc.read_image("two.ppm").tolist()
assert two == [[[0, 0, 255], [255, 0, 0]]], two
EOF
) || expect "python3 cannot use photocolour"
[ "$figures" = "$perceptual"$'\n'"$lab" ] || expect "photocolour gives $figures, the programs $perceptual and $lab"
purge || expect "python3-photocolour was not removed cleanly"

echo "test-package: lintian finds no error in the packages of $version; the programs, a consumer through find_package and pkg-config, and the Python module work from them, and all are removed again"
