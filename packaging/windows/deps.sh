#!/usr/bin/env bash
# Builds, once, what the Windows terminal links and Debian does not ship for
# MinGW: Qt (Core, Gui, Widgets, Sql with its ODBC plugin, Test and the
# windows platform plugin), OpenSSL and SQLite, all from Debian's own source
# packages, into "$cache/prefix". Each piece leaves a stamp; a later run
# skips what is already there. Build trees are removed once installed.
#
#   packaging/windows/deps.sh            (cache: ${XDG_CACHE_HOME:-~/.cache}/lectora-windows)
#   LECTORA_WINDOWS_CACHE=/elsewhere packaging/windows/deps.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
cache=${LECTORA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lectora-windows}
prefix=$cache/prefix
src=$cache/src
work=$cache/work
jobs=$(nproc)
triple=x86_64-w64-mingw32
mkdir -p "$prefix" "$src" "$work"

step() { printf '[windows deps] %s\n' "$*"; }

# Debian's source packages need a deb-src line for the archive the machine
# already uses; one is added (same suites, same key) when none is there.
ensure_deb_src() {
  if apt-get source --print-uris qt6-base >/dev/null 2>&1; then return; fi
  step "adding deb-src lines for bookworm"
  local sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
  $sudo_cmd tee /etc/apt/sources.list.d/lectora-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  $sudo_cmd apt-get update -qq
}

# Unpacks source package $1 into $work and prints the folder. Debian's patches
# are applied when the whole source package can be had; when only the
# upstream tarball is offered (a security update whose .dsc the mirror no
# longer holds), that tarball is used as it is.
unpack() {
  local pkg=$1 dir
  (cd "$src" && apt-get source -qq --download-only "$pkg" >/dev/null 2>&1) || true
  local dsc
  dsc=$(ls -t "$src"/"${pkg}"_*.dsc 2>/dev/null | head -1 || true)
  rm -rf "$work/$pkg"; mkdir -p "$work/$pkg"
  if [ -n "$dsc" ] && (cd "$work/$pkg" && dpkg-source --no-check -x "$dsc" tree >/dev/null 2>&1); then
    dir=$work/$pkg/tree
  else
    local orig
    orig=$(ls -t "$src"/"${pkg}"_*.orig.tar.* 2>/dev/null | grep -v -e '\.asc$' -e 'orig-' | head -1 || true)
    [ -n "$orig" ] || { echo "no source for $pkg could be downloaded" >&2; exit 1; }
    tar xf "$orig" -C "$work/$pkg"
    dir=$(find "$work/$pkg" -mindepth 1 -maxdepth 1 -type d | head -1)
  fi
  echo "$dir"
}

build_sqlite() {
  [ -f "$prefix/.sqlite" ] && return
  step "SQLite"
  local dir; dir=$(unpack sqlite3)
  # The amalgamation is all the stand-in needs: one source file, made by
  # tools that run here, then compiled for Windows into one library.
  (cd "$dir" && ./configure --disable-tcl --disable-readline >"$work/sqlite.log" 2>&1 \
   && make -j"$jobs" sqlite3.c >>"$work/sqlite.log" 2>&1) || { tail -20 "$work/sqlite.log" >&2; exit 1; }
  mkdir -p "$prefix/include" "$prefix/lib"
  $triple-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$dir/sqlite3.c" -o "$work/sqlite3.o"
  $triple-ar rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3.o"
  cp "$dir/sqlite3.h" "$dir/sqlite3ext.h" "$prefix/include/"
  rm -rf "$work/sqlite3" "$work/sqlite3.o"
  touch "$prefix/.sqlite"
}

build_openssl() {
  [ -f "$prefix/.openssl" ] && return
  step "OpenSSL (about 10 minutes)"
  local dir; dir=$(unpack openssl)
  (cd "$dir" && ./Configure mingw64 --cross-compile-prefix=$triple- no-shared no-tests \
       no-engine no-module --prefix="$prefix" --libdir=lib >"$work/openssl.log" 2>&1 \
   && make -j"$jobs" build_libs >>"$work/openssl.log" 2>&1 \
   && make install_dev >>"$work/openssl.log" 2>&1) || { tail -20 "$work/openssl.log" >&2; exit 1; }
  rm -rf "$work/openssl"
  touch "$prefix/.openssl"
}

build_qt() {
  [ -f "$prefix/.qt" ] && return
  step "Qt $(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null) for $triple (about 30 minutes on 2 cores)"
  local dir; dir=$(unpack qt6-base)
  rm -rf "$work/qt-build"; mkdir -p "$work/qt-build"
  # Only what the terminal uses. Debian's tarball leaves out the bundled
  # sqlite, wintab and iaccessible2 sources: tablet input goes, SQLite is not
  # Qt's business here. direct2d stays on: the platform plugin needs the
  # DirectWrite font database that Gui builds only with it.
  (cd "$work/qt-build" && "$dir/configure" -prefix "$prefix" -xplatform win32-g++ -qt-host-path /usr \
      -release -opensource -confirm-license -nomake examples -nomake tests \
      -no-feature-tabletevent -no-freetype -qt-harfbuzz -qt-pcre -qt-zlib -qt-libpng -qt-libjpeg -no-zstd \
      -sql-odbc -no-feature-sql-sqlite -no-feature-network -no-feature-dbus -no-feature-printsupport \
      -no-feature-concurrent -no-feature-xml \
      -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >"$work/qt-configure.log" 2>&1) \
    || { tail -30 "$work/qt-configure.log" >&2; exit 1; }
  (cd "$work/qt-build" && cmake --build . --parallel "$jobs" >"$work/qt-build.log" 2>&1 \
   && cmake --install . >>"$work/qt-build.log" 2>&1) || { grep -m5 -B2 -A8 'error' "$work/qt-build.log" >&2; exit 1; }
  rm -rf "$work/qt-build" "$work/qt6-base"
  touch "$prefix/.qt"
}

ensure_deb_src
build_qt
build_openssl
build_sqlite
step "ready in $prefix"
