#!/usr/bin/env bash
# No function of the terminal or the stand-in runs past 60 lines, so that each
# reads as a sequence of named steps. clang-tidy checks every project source
# in the compile database (tests, benchmarks and generated files aside). A
# source that passed with the same text, project headers, compile database
# and checker is not parsed again. Usage: function_size.test.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
db=$build/compile_commands.json
command -v clang-tidy >/dev/null || { echo "clang-tidy is missing (./build.sh test installs it)"; exit 1; }
[ -f "$db" ] || { echo "no compile database at $db"; exit 1; }

areas='(app|data|inbound|inventory|production|shipping|server|wire)'
config='{Checks: "-*,readability-function-size", WarningsAsErrors: "*",
 CheckOptions: [{key: readability-function-size.LineThreshold, value: 60}]}'
cache=$build/function-size-passed
mkdir -p "$cache"

mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$db" |
  grep -E "^$src/$areas/" | grep -v -e '/fuzz/' -e '_autogen/' | sort -u)
[ ${#sources[@]} -gt 0 ] || { echo "no project sources in $db"; exit 1; }

# What every file's result depends on besides its own text.
common=$( { clang-tidy --version; echo "$config"; cat "$db";
  find "$src" -regextype posix-extended -regex "$src/$areas/.*\.h" -print0 | sort -z | xargs -0 cat; } |
  sha256sum | cut -d' ' -f1)

check() { # check SOURCE: runs clang-tidy unless this text already passed
  local key
  key=$( { echo "$common"; cat "$1"; } | sha256sum | cut -d' ' -f1)
  [ -f "$cache/$key" ] && return 0
  if out=$(clang-tidy -p "$build" --quiet --config="$config" \
             --header-filter="^$src/$areas/" "$1" 2>&1); then
    touch "$cache/$key"
  else
    printf '%s\n' "$out" | grep -v -e '^[0-9]* warnings\? generated' -e '^Suppressed' \
      -e 'Use -header-filter' -e 'Use -system-headers'
    return 1
  fi
}
export -f check
export build src areas config cache common

if printf '%s\0' "${sources[@]}" | xargs -0 -n1 -P2 bash -c 'check "$0"'; then
  echo "${#sources[@]} sources: no function over 60 lines"
else
  echo "functions over 60 lines: cut them into named steps"
  exit 1
fi
