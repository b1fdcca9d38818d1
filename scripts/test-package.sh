#!/usr/bin/env bash
# Installs the Debian package built in BUILD_DIR with apt-get, runs what a user
# of it would run first, and removes it again (also on failure).
# Usage: scripts/test-package.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
samples=$(cd "$(dirname "$0")/../samples" && pwd)
deb=$(ls -t "$build"/photo-toolkit_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "test-package: no photo-toolkit_*.deb in $build (run make package)" >&2; exit 1; }

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
remove() { "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q photo-toolkit >/dev/null 2>&1 || true; }
trap remove EXIT
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/dev/null

work=$(mktemp -d)
trap 'remove; rm -rf "$work"' EXIT
cd "$work"
# Run from a folder outside the tree, with the installed files only.
unset PYTHONPATH
export PATH=/usr/bin:/bin
expect() { echo "test-package: $1" >&2; exit 1; }

line=$(perceptual-metrics "$samples/coffee.png" "$samples/rocket.jpg") || expect "perceptual-metrics failed"
[ "$line" = "0.799723,0.799445,0.45361,0.556256,0.562081" ] || expect "perceptual-metrics printed $line"
perceptual=$line
line=$(lab-compare "$samples/coffee.png" "$samples/rocket.jpg") || expect "lab-compare failed"
[ "$line" = "0.74409,0.382964" ] || expect "lab-compare printed $line"
printf '%s\t%s\n' "$samples/coffee.png" "$samples/rocket.jpg" > pairs.txt
table=$(compare-pairs pairs.txt 2>/dev/null) || expect "compare-pairs failed"
# The figures come before the a, b and facts columns.
echo "$table" | grep -qF ",ok,$perceptual,$line," || expect "compare-pairs printed $table"
flags=$(pkg-config --cflags --libs toolkit) || expect "pkg-config does not know toolkit"
echo "$flags" | grep -q -- '-ltoolkit' || expect "pkg-config gave $flags"
/usr/bin/python3 -c "import photocolour" || expect "python3 cannot import photocolour"
man -w perceptual-metrics >/dev/null 2>&1 || expect "no manual page for perceptual-metrics"
echo "test-package: $(basename "$deb"): the three programs, pkg-config, the Python module and the manual pages work"
