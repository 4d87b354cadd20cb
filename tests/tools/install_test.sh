#!/usr/bin/env bash
# `cmake --install` lays out a working installation directory and a menu
# entry that points at it.
set -u
build="$1"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
passed=0 failed=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}

cmake --install "$build" --prefix "$prefix" > /dev/null
for program in GrooveDeck lcopy AvatarTool StepTool WardrobeTool; do
  check "$program installed and executable" test -x "$prefix/groovedeck/$program"
done
# Both modules, which the launcher loads from beside itself.
for module in libgdnews.so libgdengine.so; do
  check "$module installed" test -f "$prefix/groovedeck/$module"
done
# The manual page and the packaging notes name every file of an installation.
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
for file in "$prefix"/groovedeck/*; do
  for doc in packaging/groovedeck.1 packaging/README.md; do
    check "$doc names $(basename "$file")" grep -q "$(basename "$file")" "$source_dir/$doc"
  done
done
desktop="$prefix/share/applications/groovedeck.desktop"
check "desktop entry" test -f "$desktop"
exec_line=$(grep '^Exec=' "$desktop" | cut -d= -f2-)
check "Exec names the installed launcher" test "$exec_line" = "$prefix/groovedeck/GrooveDeck"
check "Path is the installation directory" grep -qx "Path=$prefix/groovedeck" "$desktop"
check "icon 48" test -f "$prefix/share/icons/hicolor/48x48/apps/groovedeck.png"
check "icon 256" test -f "$prefix/share/icons/hicolor/256x256/apps/groovedeck.png"
if command -v desktop-file-validate > /dev/null; then
  check "desktop entry validates" desktop-file-validate "$desktop"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
