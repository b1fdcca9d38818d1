#!/usr/bin/env bash
# Each unit of the toolkit sees only its own headers and those of the units
# beneath it: a header of every unit is included from the view of the headers
# that every unit compiles with, which must work for the unit itself and those
# beneath it and fail for those above.
# Usage: test_layering.sh CXX UNIT_HEADERS_DIR OPENCV_INCLUDE_DIR...
set -euo pipefail
cxx=$1 views=$(cd "$2" && pwd)
system=()
for dir in "${@:3}"; do system+=(-isystem "$dir"); done
# Away from the source tree, whose root would otherwise be searched first.
cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
layers=(common transport guidedfilter color exposure)
declare -A header=([common]=FloatText.hpp [transport]=MongeTransform.hpp
                   [guidedfilter]=GuidedFilter.hpp [color]=RgbXyz.hpp [exposure]=ToneMapping.hpp)
failures=0
for ((u = 0; u < ${#layers[@]}; ++u)); do
  unit=${layers[u]}
  for ((o = 0; o < ${#layers[@]}; ++o)); do
    other=${layers[o]}
    include="toolkit/$other/${header[$other]}"
    if echo "#include \"$include\"" | "$cxx" -std=c++17 -fsyntax-only -I"$views/$unit" \
         "${system[@]}" -x c++ - 2>/dev/null; then
      seen=yes
    else
      seen=no
    fi
    expected=$([ "$o" -le "$u" ] && echo yes || echo no)
    if [ "$seen" != "$expected" ]; then
      echo "FAIL: $unit sees $include: $seen, expected $expected"
      failures=$((failures + 1))
    fi
  done
done
[ "$failures" = 0 ] && echo "each of ${#layers[@]} units sees exactly the units at and beneath it"
exit "$failures"
