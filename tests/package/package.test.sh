#!/usr/bin/env bash
# A site's install: the two Debian packages made from this build pass lintian,
# declare every package the terminal needs at run time, and work as unpacked:
# the packaged terminal, pointed by the packaged example profile at the
# packaged stand-in, opens its login window on a display and logs in.
set -euo pipefail
build=${1:?build folder}
work=$(mktemp -d)
pids=()
# The processes' own ends (the terminal dies of SIGTERM) are not the test's
# outcome: the status is the one the script exited with.
cleanup() {
  local status=$?
  set +e
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# within SECONDS COMMAND...: true as soon as COMMAND is.
within() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
for tool in cpack lintian dpkg-shlibdeps Xvfb xdotool; do
  command -v "$tool" >/dev/null || fail "$tool is missing (./build.sh test installs it)"
done

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"; fail "cpack"; }
terminal=$(ls "$work"/out/lectora_*.deb)
server=$(ls "$work"/out/lectora-server_*.deb)

# Errors and warnings both fail; the notes lintian still gives are explained
# where the packaging is written (packaging/CMakeLists.txt).
lintian --fail-on error,warning "$terminal" "$server" || fail "lintian"

# The driver chain is loaded at run time and never linked, so it must be
# declared by name; everything linked must be declared by the computed part.
depends=$(dpkg-deb -f "$terminal" Depends)
echo "lectora Depends: $depends"
declared() { [[ ", $2," == *", $1 "* || ", $2," == *", $1,"* ]]; }
for need in libqt6sql6-odbc tdsodbc unixodbc; do
  declared "$need" "$depends" || fail "lectora does not depend on $need"
done

mkdir "$work/root"
dpkg-deb -x "$terminal" "$work/root"
dpkg-deb -x "$server" "$work/root"
for deb in "$terminal" "$server"; do
  pkg=$(dpkg-deb -f "$deb" Package)
  deps=$(dpkg-deb -f "$deb" Depends)
  bin="$work/root/usr/bin/$pkg"
  for lib in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(ldd "$bin" | awk -v l="$lib" '$1 == l { print $3 }')
    [ -n "$path" ] || fail "$pkg: $lib not found"
    owner=$(dpkg -S "*${path#/usr}" 2>/dev/null | head -1 | sed 's/[:,].*//')
    [ -n "$owner" ] || fail "$pkg: no package holds $path"
    declared "$owner" "$deps" || fail "$pkg links $lib ($owner) but does not depend on it: $deps"
  done
done

"$work/root/usr/bin/lectora-server" --listen 127.0.0.1:0 --data "$work/data" \
  --journal "$work/journal.txt" >"$work/server.log" 2>&1 &
pids+=($!)
port=
listening() {
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
  [ -n "$port" ]
}
within 30 listening || { cat "$work/server.log"; fail "the packaged lectora-server did not start"; }

example="$work/root/usr/share/doc/lectora/examples/lectora.ini"
sed "s/^port=.*/port=$port/" "$example" >"$work/lectora.ini"
grep -q "^port=$port\$" "$work/lectora.ini" || fail "the example profile has no port line"

# A display of its own: the packaged terminal must find its platform plugin
# through what the package declares, which the offscreen test platform would
# not show.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
within 30 test -s "$work/display" || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
export DISPLAY=":$(head -1 "$work/display")"

env -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/share" \
  LECTORA_PROFILE="$work/lectora.ini" "$work/root/usr/bin/lectora" >"$work/lectora.log" 2>&1 &
lectora=$!
pids+=($lectora)
shown() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }
window=
loginWindow() {
  window=$(shown '^Inventarios$')
  window=${window%%$'\n'*}
  [ -n "$window" ]
}
within 60 loginWindow || { cat "$work/lectora.log"; fail "no login window"; }
echo "login window shown on $DISPLAY"

# No window manager gives the focus; the terminal puts it in the user field.
timeout 10 xdotool windowfocus --sync "$window" || fail "the login window takes no focus"
xdotool type --delay 20 demo
xdotool key Return
xdotool type --delay 20 demo
xdotool key Return
# The journal masks the password.
login="EXECUTE sp_KVR_Persona 'demo','"
within 30 grep -qF "$login" "$work/journal.txt" || {
  cat "$work/journal.txt" "$work/lectora.log" 2>/dev/null; fail "the login did not reach the stand-in"; }
# A refused login opens a box of its own beside the main window.
others() { [ -n "$(shown . | grep -vx "$window")" ]; }
if within 2 others; then
  for w in $(shown . | grep -vx "$window"); do echo "shown: $(xdotool getwindowname "$w")"; done
  fail "a window besides the main one after login"
fi
kill -0 "$lectora" 2>/dev/null || { cat "$work/lectora.log"; fail "the terminal ended"; }
echo "logged in through the packaged lectora-server on port $port"
