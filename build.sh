#!/usr/bin/env bash
# The two commands of the README:
#   ./build.sh run    install what is missing, build, start the terminal
#   ./build.sh test   install what is missing, build, run every test
#   ./build.sh bench  build and run the benchmarks: a table, and build/bench/results.json
#   ./build.sh package  build the Debian packages lectora and lectora-server into build/,
#                       checked by lintian
#   ./build.sh windows  cross-build the Windows terminal (Qt, OpenSSL and SQLite from
#                       Debian's sources, once, into ~/.cache/lectora-windows) and make
#                       build-windows/lectora-setup-VERSION.exe and a zip of its folder
#   ./build.sh windows-test  the same, then prove it under Wine (tests/windows)
set -euo pipefail
cd "$(dirname "$0")"
what=${1:-run}

packages=(cmake g++ make pkg-config qt6-base-dev qt6-multimedia-dev libqt6sql6-odbc tdsodbc unixodbc unixodbc-dev
          libsqlite3-dev sqlite3 libcli11-dev libssl-dev libcrypt-dev fonts-dejavu-core)
if [ "$what" = package ]; then
  # dpkg-shlibdeps (dpkg-dev) and file compute the packages' Depends;
  # lintian checks what was made.
  packages+=(dpkg-dev file lintian)
fi
windows_cache=${LECTORA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lectora-windows}
# The Windows proofs run with the tests wherever the Windows Qt is cached.
if [ "$what" = windows ] || [ "$what" = windows-test ] ||
   { [ "$what" = test ] && [ -f "$windows_cache/prefix/.qt" ]; }; then
  packages+=(g++-mingw-w64-x86-64-posix mingw-w64-tools ninja-build nsis zip dpkg-dev
             wine64 fonts-wine freetds-bin xvfb xauth xdotool imagemagick)
fi
if [ "$what" != run ] && [ "$what" != package ]; then
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

# The Windows terminal, cross-built against the cached Qt; its installer and zip.
build_windows() {
  packaging/windows/deps.sh
  local prefix=$windows_cache/prefix
  cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DLECTORA_WINDOWS_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=TRUE
  cmake --build build-windows -j"$(nproc)"
  packaging/windows/bundle.sh build-windows "$prefix"
}

build=build
windows_build=(-DLECTORA_WINDOWS_BUILD=)
if [ "$what" = windows-test ] || { [ "$what" = test ] && [ -f "$windows_cache/prefix/.qt" ]; }; then
  build_windows
  windows_build=(-DLECTORA_WINDOWS_BUILD="$PWD/build-windows")
elif [ "$what" = test ]; then
  echo "Windows proofs skipped: no cached Windows Qt here (./build.sh windows makes it once)"
fi
[ "$what" = windows ] && { build_windows; exit 0; }
# Quiet unless something is wrong: warnings and errors still show.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING "${windows_build[@]}"
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
    # bench_grid, ...) print more detail when run by hand. LECTORA_BENCH_BEFORE
    # names an older build folder to measure start-up, memory and load beside.
    before=()
    [ -n "${LECTORA_BENCH_BEFORE:-}" ] && before=(--before "$LECTORA_BENCH_BEFORE")
    QT_QPA_PLATFORM=offscreen "$build/bench/bench_all" --json "$build/bench/results.json" "${before[@]}"
    ;;
  windows-test)
    cd "$build"
    ctest --output-on-failure -L windows
    ;;
  package)
    cd "$build"
    cpack -G DEB
    lintian --fail-on error,warning ./lectora_*.deb ./lectora-server_*.deb
    ls -1 ./*.deb
    ;;
  *)
    echo "usage: ./build.sh run|test|bench|package|windows|windows-test" >&2
    exit 2
    ;;
esac
