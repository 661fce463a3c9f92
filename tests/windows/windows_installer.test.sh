#!/usr/bin/env bash
# A Windows site's install, under Wine on a display of its own: the installer
# installs silently; the installed terminal with no profile runs the demo
# (login typed at reader speed, a count scan recorded by the in-process
# stand-in); with the user's profile it works against a Linux lectora-server
# over a verified encrypted link; a broken profile ends with status 2 and an
# unreachable server with status 1, each after its box.
set -euo pipefail
build=${1:?Linux build folder}
here=$(cd "$(dirname "$0")" && pwd)
win=${LECTORA_WINDOWS_BUILD:?the Windows build folder}
. "$here/wine.sh"
work=$(mktemp -d)
pids=()
cleanup() {
  local status=$?
  set +e
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  [ -n "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k 2>/dev/null
  [ "$status" -eq 0 ] && rm -rf "$work" || echo "kept for a look: $work"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
within() {
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do [ "$SECONDS" -lt "$deadline" ] || return 1; sleep 0.2; done
}
for tool in Xvfb xdotool import sqlite3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (./build.sh windows-test installs it)"
done

wine_prefix "$work/prefix"
trap cleanup EXIT
drive=$WINEPREFIX/drive_c
user_dir=$(ls -d "$drive"/users/*/ | grep -v -e /Public/ | head -1)

# 1. The installer, silently, into a folder of the test's choosing.
setup=$(ls "$win"/lectora-setup-*.exe)
timeout 120 "$wine" "$setup" /S '/D=C:\LectoraVelmor' || fail "the installer failed"
/usr/lib/wine/wineserver -w
exe=$drive/LectoraVelmor/lectora.exe
[ -f "$exe" ] || fail "no lectora.exe after the install"
ls "$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/LectoraVelmor/"*.lnk >/dev/null \
  || fail "no Start-menu entry"
[ -f "$drive/LectoraVelmor/uninstall.exe" ] || fail "no uninstaller"
echo "installed: $(du -sh "$drive/LectoraVelmor" | cut -f1) in C:\\LectoraVelmor"

start_display "$work" || fail "Xvfb did not start"
pids+=($display_pid)
unset QT_QPA_PLATFORM LECTORA_PROFILE

shown() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }
window=
titled() { window=$(shown "$1" | head -1); [ -n "$window" ]; }
start_terminal() {
  "$wine" 'C:\LectoraVelmor\lectora.exe' >"$work/$1.log" 2>&1 &
  terminal=$!
  pids+=($terminal)
}
# Types like the reader: a character every 5 ms, then Enter.
scan() { xdotool type --delay 5 "$1"; xdotool key Return; sleep 0.5; }
login() {
  within 90 titled '^Inventarios$' || { cat "$work/$1.log"; fail "no login window"; }
  timeout 10 xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  sleep 1
  scan "$2"
  scan "$3"
}
# Opens Procesos > Norda Preventa and records series S-1001 at A-01-01 in count NP-CIC-01.
count_scan() {
  sleep 2
  xdotool mousemove --window "$window" 30 12 click 1
  sleep 1
  for _ in $(seq 10); do xdotool key Down; done
  xdotool key Return
  sleep 2
  xdotool key alt+Down
  sleep 0.5
  xdotool type --delay 5 "NP-CIC-01"
  xdotool key Return
  sleep 1
  scan "A-01-01"
  scan "S-1001"
  sleep 1
}
stop_terminal() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  wait "$terminal" 2>/dev/null || true
}

# 2. No profile: the demo on the in-process stand-in.
data="$user_dir/AppData/Local/LectoraVelmor/KV_NORDA_PREVENTA.sqlite"
start_terminal demo
login demo demo demo
count_scan
import -window root "$work/count-window.png"
mkdir -p "$build/windows-proof" && cp "$work/count-window.png" "$build/windows-proof/"
stop_terminal
[ -f "$data" ] || { cat "$work/demo.log"; fail "no demo data under %LOCALAPPDATA%\\LectoraVelmor"; }
scans=$(sqlite3 "$data" "SELECT COUNT(*) FROM inv_escaneo WHERE serie = 'S-1001'")
[ "$scans" -eq 1 ] || { cat "$work/demo.log"; fail "the count scan was not recorded"; }
echo "demo: logged in, count window opened, $scans scan(s) recorded (screenshot: $build/windows-proof/count-window.png)"
# The diagnostic log sits beside the demo's data, the login in it masked.
log="$user_dir/AppData/Local/LectoraVelmor/lectora.log"
[ -f "$log" ] || fail "no diagnostic log under %LOCALAPPDATA%\\LectoraVelmor"
grep -qF "sp_KVR_Persona 'demo','****'" "$log" || { cat "$log"; fail "the login is not in the log, masked"; }
grep -qF "sp_KVR_ScaneoInventarioDet" "$log" || { cat "$log"; fail "the count scan is not in the log"; }
! grep -qF tolvexra "$log" || fail "the server password is in the log"
echo "demo: the diagnostic log holds the masked login and the scan"

# 3. The user's profile: a Linux lectora-server, encrypt=on, verified with its certificate.
"$build/server/lectora-server" --listen 127.0.0.1:0 --data "$work/data" \
  --journal "$work/journal.txt" >"$work/server.log" 2>&1 &
pids+=($!)
port=
listening() { port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log"); [ -n "$port" ]; }
within 30 listening || { cat "$work/server.log"; fail "lectora-server did not start"; }
cert=$(sed -n 's/.*TLS certificate \([^ ]*\) .*/\1/p' "$work/server.log")
[ -f "$cert" ] || fail "no certificate from lectora-server: $(cat "$work/server.log")"
profile_dir="$user_dir/AppData/Roaming/LectoraVelmor"
mkdir -p "$profile_dir"
# The driver is the machine's FreeTDS, behind Wine's ODBC: it reads its
# configuration through the Linux environment, which a Windows program
# cannot change; the section the terminal would write goes there.
write_profile() {
  printf '[lectora-link]\n\thost = %s\n\tport = %s\n\tca file = %s\n\tcheck certificate hostname = yes\n' \
    "$1" "$2" "$cert" >"$work/freetds.conf"
  export FREETDSCONF=$work/freetds.conf
  printf '[server]\r\nhost=%s\r\nport=%s\r\nlogin=sa\r\npassword=tolvexra\r\ndriver=FreeTDS\r\nencrypt=on\r\nca_file=%s\r\n' \
    "$1" "$2" "$(winpath "$cert")" >"$profile_dir/lectora.ini"
}
write_profile 127.0.0.1 "$port"
start_terminal site
login site demo demo
count_scan
stop_terminal
for expected in "SQL EXECUTE sp_KVR_InventarioConsultaConteo 'NP-CIC-01'" \
                "SQL EXECUTE sp_KVR_InventarioValidaLocalidad 'Almacen General', 'A-01-01'" \
                "RPC sp_KVR_ScaneoInventarioDet;1 (1, 1, 'Almacen General', 'A-01-01', 101, 'S-1001', '', 1, NULL, NULL)"; do
  grep -qF "$expected" "$work/journal.txt" || { cat "$work/journal.txt" "$work/site.log"; fail "not in the journal: $expected"; }
done
echo "site: encrypted, verified link; the journal holds:"
grep -E ' (SQL|RPC) sp_KVR|EXECUTE sp_KVR' "$work/journal.txt" | sed 's/^/  /' | tail -6

# 4. A broken profile: its box, then status 2. An unreachable server: status 1.
# The start-up error boxes bear the program's name; a key alone answers one.
answer_box() {
  within 60 titled '^LectoraVelmor$' || return 1
  sleep 1
  xdotool windowfocus "$window" 2>/dev/null || true
  xdotool key Return
}
expect_status() {
  local want=$1 name=$2
  start_terminal "$name"
  answer_box || { cat "$work/$name.log"; fail "$name: no box"; }
  local status=0
  within 30 bash -c "! kill -0 $terminal" || fail "$name: the terminal did not end"
  wait "$terminal" || status=$?
  [ "$status" -eq "$want" ] || { cat "$work/$name.log"; fail "$name: status $status, not $want"; }
  echo "$name: box shown, status $status"
}
printf '[server]\r\nport=none\r\n' >"$profile_dir/lectora.ini"
expect_status 2 broken-profile
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
write_profile 127.0.0.1 "$closed"
expect_status 1 unreachable
