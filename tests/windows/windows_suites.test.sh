#!/usr/bin/env bash
# The suites of the windows and their boxes, built for Windows, pass under
# Wine: the same tests, the same in-process stand-in, the driver reached
# through Wine's ODBC (which hands the calls to the machine's unixODBC).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win=${LECTORA_WINDOWS_BUILD:?the Windows build folder}
. "$here/wine.sh"
work=$(mktemp -d)
wine_prefix "$work/prefix"
export WINEPATH="$(wine_dll_path)"
export QT_PLUGIN_PATH="$(winpath "$cache/prefix/plugins")" LECTORA_PROFILE= LECTORA_UNDER_WINE=1
# Windows' own platform plugin on a display nobody looks at: the tests'
# boxes are scripted, and focus and keys go through Windows' window manager.
unset QT_QPA_PLATFORM
start_display "$work" || exit 1
trap 'kill $display_pid 2>/dev/null; WINEPREFIX='"$work/prefix"' /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

failed=()
count=0
for exe in "$win"/tests/tst_*.exe; do
  name=$(basename "$exe" .exe)
  count=$((count + 1))
  # Qt Test writes its report to a file: a console's output does not reach here.
  if timeout 600 "$wine" "$exe" -o "$(winpath "$work/$name.txt"),txt" >"$work/$name.log" 2>&1; then
    echo "PASS $name"
  else
    echo "FAIL $name"
    grep -E '^(FAIL|QFATAL|   Loc)' "$work/$name.txt" 2>/dev/null | head -20
    tail -5 "$work/$name.log"
    failed+=("$name")
  fi
done
[ "$count" -gt 0 ] || { echo "no Windows suites in $win/tests"; exit 1; }
[ ${#failed[@]} -eq 0 ] || { echo "failed under Wine: ${failed[*]}"; exit 1; }
echo "all $count Windows suites passed under Wine"
rm -rf "$work"
