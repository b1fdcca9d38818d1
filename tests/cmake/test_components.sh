#!/usr/bin/env bash
# Installs BUILD_DIR whole, then each component that becomes a Debian package
# (CPACK_COMPONENTS_ALL of BUILD_DIR/CPackConfig.cmake) on its own, and checks
# that the components split the install as the packages need it:
# - no file is in two components (two packages may not hold the same file);
# - every install rule names its component (none installs into CMake's
#   default, Unspecified);
# - programs holds the three programs, their compressed manual pages and the
#   codec module the library loads, and nothing to build against;
#   development every public header, the static library, the CMake package
#   and the pkg-config file, and no program; python the module alone, its
#   file name tagged with the interpreter (.cpython-311-x86_64-linux-gnu.so),
#   as Debian's shared module directory needs;
# - each component adds its package's copyright file and changelog, and
#   nothing else, in share/doc/<package>; the changelog's first entry is the
#   package's version.
# Usage: test_components.sh BUILD_DIR
set -euo pipefail
export LC_ALL=C
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "test_components: $*" >&2
  exit 1
}
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# The packaging settings as CPack reads them: the components, each one's
# package name, and the version.
cat > "$work/settings.cmake" <<'EOF'
include(${config})
set(lines "components=${CPACK_COMPONENTS_ALL}\nversion=${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}\n")
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} name)
  string(APPEND lines "package_${component}=${CPACK_DEBIAN_${name}_PACKAGE_NAME}\n")
endforeach()
file(WRITE ${out} "${lines}")
EOF
cmake -Dconfig="$build/CPackConfig.cmake" -Dout="$work/settings" -P "$work/settings.cmake"
setting() { sed -n "s/^$1=//p" "$work/settings"; }
components=$(setting components | tr ';' ' ')
version=$(setting version)
for component in programs development; do
  [[ " $components " == *" $component "* ]] || fail "no component $component among '$components'"
done

files() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort); }
cmake --install "$build" --prefix "$work/all" > "$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "install failed"; }
files "$work/all" > "$work/all.txt"
: > "$work/components.txt"
for component in $components; do
  cmake --install "$build" --prefix "$work/$component" --component "$component" > "$work/install.log" 2>&1 \
    || { cat "$work/install.log" >&2; fail "install of $component failed"; }
  files "$work/$component" > "$work/$component.txt"
  cat "$work/$component.txt" >> "$work/components.txt"
done
sort -o "$work/components.txt" "$work/components.txt"

twice=$(uniq -d "$work/components.txt")
[ -z "$twice" ] || fail "in more than one component:" $twice
cmake --install "$build" --prefix "$work/unspecified" --component Unspecified > "$work/install.log" 2>&1
[ ! -d "$work/unspecified" ] || fail "install() rules without COMPONENT install" $(files "$work/unspecified")

# The lines of component $1's files matching the extended expression $2.
matching() { grep -E "$2" "$work/$1.txt" || true; }
# Fails unless component $1 holds a file matching each expression that follows.
holds() {
  local component=$1 pattern
  shift
  for pattern in "$@"; do
    [ -n "$(matching "$component" "$pattern")" ] || fail "$component holds no file matching $pattern"
  done
}
bin=$(cached CMAKE_INSTALL_BINDIR)
doc=$(cached CMAKE_INSTALL_DATAROOTDIR)/doc
for program in perceptual-metrics lab-compare compare-pairs; do
  holds programs "^$bin/$program\$"
  if [ "$(cached HELP2MAN)" != HELP2MAN-NOTFOUND ]; then
    holds programs "/man/man1/$program\\.1\\.gz\$"
    page=$(matching programs "/man/man1/$program\\.1\\.gz\$")
    gzip -t "$work/programs/$page" || fail "$page is not gzip"
  fi
done
holds programs '/toolkit/libtoolkit-opencv-codecs\.so$'
build_files='\.(hpp|h|a|pc|cmake)$'
found=$(matching programs "$build_files")
[ -z "$found" ] || fail "programs holds files to build against:" $found

include=$(cached CMAKE_INSTALL_INCLUDEDIR)
headers=$(comm -23 <(grep "^$include/" "$work/all.txt") "$work/development.txt")
[ -z "$headers" ] || fail "headers outside development:" $headers
holds development '/libtoolkit\.a$' '/cmake/toolkit/toolkitConfig\.cmake$' \
  '/cmake/toolkit/toolkitConfigVersion\.cmake$' '/cmake/toolkit/toolkitTargets\.cmake$' '/pkgconfig/toolkit\.pc$'
found=$(matching development "^$bin/")
[ -z "$found" ] || fail "development holds programs:" $found

if [[ " $components " == *" python "* ]]; then
  modules=$(cached TOOLKIT_PYTHON_INSTALL_DIR)
  holds python "^$modules/photocolour[./]"
  found=$(grep -Ev "^($modules|$doc)/" "$work/python.txt" || true)
  [ -z "$found" ] || fail "python holds files outside $modules:" $found
  found=$(matching python '\.so$' | grep -Ev '\.(cpython-[0-9]+-[a-z0-9_]+-[a-z]+-[a-z]+|abi3)\.so$' || true)
  [ -z "$found" ] || fail "python modules without the interpreter's tag in their file name:" $found
fi

# What each component adds to the whole install: its package's documents.
for component in $components; do
  package=$(setting "package_$component")
  added=$(comm -13 "$work/all.txt" "$work/$component.txt" | tr '\n' ' ')
  expected="$doc/$package/changelog.Debian.gz $doc/$package/copyright "
  [ "$added" = "$expected" ] || fail "$component adds '$added' to a whole install, not '$expected'"
  head -n 1 "$work/$component/$doc/$package/copyright" | grep -q '^Format: ' || fail "$package: copyright is not in Debian's format"
  entry=$(gzip -dc "$work/$component/$doc/$package/changelog.Debian.gz" | head -n 1)
  [[ "$entry" == *" ($version) "* ]] || fail "$package: the changelog's first entry '$entry' is not version $version"
done
echo "test_components: $components split the install, one file in one component, each with its package's documents ($version)"
