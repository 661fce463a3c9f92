#!/usr/bin/env bash
# The two commands of the README:
#   ./build.sh run    install what is missing, build, start the terminal
#   ./build.sh test   install what is missing, build, run every test
#   ./build.sh bench  build and run the benchmarks: a table, and build/bench/results.json
#   ./build.sh package  build the Debian packages lectora and lectora-server into build/,
#                       checked by lintian
set -euo pipefail
cd "$(dirname "$0")"
what=${1:-run}

packages=(cmake g++ make pkg-config qt6-base-dev qt6-multimedia-dev libqt6sql6-odbc tdsodbc unixodbc unixodbc-dev
          libsqlite3-dev sqlite3 libcli11-dev libssl-dev libcrypt-dev fonts-dejavu-core)
if [ "$what" = package ]; then
  # dpkg-shlibdeps (dpkg-dev) and file compute the packages' Depends;
  # lintian checks what was made.
  packages+=(dpkg-dev file lintian)
elif [ "$what" != run ]; then
  packages+=(freetds-bin nodejs:node npm:npm clang libclang-rt-14-dev clang-tidy xvfb xauth
             dpkg-dev file lintian xdotool)
fi

# "package:command" is satisfied by the command too: Node.js and npm often come
# from outside Debian, and asking apt for them then breaks the install.
missing=()
for entry in "${packages[@]}"; do
  p=${entry%%:*}
  cmd=${entry#*:}
  if [ "$cmd" != "$entry" ] && command -v "$cmd" >/dev/null 2>&1; then
    continue
  fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=build
# Quiet unless something is wrong: warnings and errors still show.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING
if [ "$what" = package ]; then
  # What the packages hold, and nothing else: no test, no benchmark.
  cmake --build "$build" -j"$(nproc)" --target package_contents
else
  cmake --build "$build" -j"$(nproc)"
fi

case "$what" in
  run)
    exec "$build/app/main/lectora"
    ;;
  test)
    if [ -f tests/peers/package.json ] && [ ! -d tests/peers/node_modules/tedious ]; then
      (cd tests/peers && npm install --no-audit --no-fund --silent)
    fi
    cd "$build"
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
    ;;
  bench)
    # One table, every figure beside its baseline; the same figures as JSON
    # in build/bench/results.json. The per-area benches (bench_server,
    # bench_grid, ...) print more detail when run by hand.
    QT_QPA_PLATFORM=offscreen "$build/bench/bench_all" --json "$build/bench/results.json"
    ;;
  package)
    cd "$build"
    cpack -G DEB
    lintian --fail-on error,warning ./lectora_*.deb ./lectora-server_*.deb
    ls -1 ./*.deb
    ;;
  *)
    echo "usage: ./build.sh run|test|bench|package" >&2
    exit 2
    ;;
esac
