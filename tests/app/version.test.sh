#!/usr/bin/env bash
# `lectora --version` prints the project's version and ends; `--help` lists
# both options; an unknown option is refused. None starts the terminal.
# Usage: version.test.sh BUILD_DIR
set -eu
build=$1
version=$(sed -n 's/^project(LectoraVelmor VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
out=$(timeout 20 "$build/app/main/lectora" --version)
[ "$out" = "LectoraVelmor $version" ] || { echo "--version printed: $out"; exit 1; }
help=$(timeout 20 "$build/app/main/lectora" --help)
for option in --help --version; do
  grep -q -- "$option" <<<"$help" || { echo "--help does not list $option: $help"; exit 1; }
done
if timeout 20 "$build/app/main/lectora" --no-such-option 2>/dev/null; then
  echo "an unknown option was accepted"; exit 1
fi
echo "version and help: ok"
