#!/usr/bin/env bash
# The toolkit keeps to its own symbols, so that linking it changes nothing in
# a program beyond what the program calls:
# 1. every global symbol the static library defines is in the namespace
#    toolkit, is the lock of one of its named OpenMP critical sections
#    (.gomp_critical_user_toolkit_*) or is clang's resolver of one of its
#    own functions built for several instruction sets (a function of a
#    source's anonymous namespace, NAME.resolver); weak symbols, the inline
#    functions and templates that any user may instantiate, aside;
# 2. a program that links it exports no symbol of its own: its dynamic
#    symbol table defines only the linker's markers and its copies of shared
#    libraries' data (versioned, name@VERSION), and weak instantiations, so
#    that none of its functions stands in for a shared library's.
# 3. the toolkit's codec module exports its C entry points alone, and the
#    comparison programs do not name OpenCV's codec library among the libraries they
#    need (they load it through the module when a file needs it).
# Usage: test_symbols.sh LIBRARY CODEC_MODULE PROGRAM...
set -euo pipefail
library=$1
module=$2
shift 2
failures=0

exported=$(nm -D --defined-only "$module" | awk 'NF == 3 && $2 ~ /^[TDBRGS]$/ { print $3 }' \
  | grep -Ev '^toolkit_codecs_[a-z]+$|@|^(__bss_start|_edata|_end)$' || true)
if [ -n "$exported" ]; then
  echo "test_symbols: $module exports more than its entry points:" >&2
  echo "$exported" >&2
  failures=1
fi

foreign=$(nm -g --defined-only "$library" | awk 'NF == 3 && $2 ~ /^[TDBRGSC]$/ { print $3 }' \
  | grep -Ev '^_Z(TV|TI|TS|TH|TW|GV)?Z?NK?7toolkit|^\.gomp_critical_user_toolkit_|^_ZN12_GLOBAL__N_1.*\.resolver$' || true)
if [ -n "$foreign" ]; then
  echo "test_symbols: $library defines symbols outside the namespace toolkit:" >&2
  echo "$foreign" >&2
  failures=1
fi

for program in "$@"; do
  own=$(nm -D --defined-only "$program" | awk 'NF == 3 && $2 ~ /^[TDBRGS]$/ { print $3 }' \
    | grep -Ev '@|^(__bss_start|_edata|_end|_IO_stdin_used)$' || true)
  if [ -n "$own" ]; then
    echo "test_symbols: $program exports symbols of its own:" >&2
    echo "$own" >&2
    failures=1
  fi
  # flash-exposures reads its fixed-name files with cv::imread itself.
  if [ "$(basename "$program")" != flash-exposures ] \
    && readelf -d "$program" | grep -q 'NEEDED.*libopencv_imgcodecs'; then
    echo "test_symbols: $program loads OpenCV's codec library at every start" >&2
    failures=1
  fi
done
exit "$failures"
