#!/usr/bin/env bash
# A site points the terminal at its server with a profile: start a separate
# lectora-server, write a profile naming it (and showing one more process),
# and check that the terminal logs in there exactly as on the embedded default.
set -euo pipefail
build=${1:?build folder}
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$build/server/lectora-server" --listen 127.0.0.1:0 --data "$work/data" \
  --journal "$work/journal.txt" >"$work/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "lectora-server did not start"; cat "$work/server.log"; exit 1; }

cat >"$work/lectora.ini" <<INI
[server]
host=127.0.0.1
port=$port
workstation=DOCK-07
login=sa
password=tolvexra
driver=FreeTDS
[menu]
visible=Inventario1,NordaPavrel1,Ulmar1,Embarque1
INI

out=$(LECTORA_TEST_EXTERNAL_PROFILE="$work/lectora.ini" QT_QPA_PLATFORM=offscreen \
      "$build/tests/tst_startup" externalServerByProfile 2>&1) || { echo "$out"; exit 1; }
echo "$out" | grep -q '^PASS   : StartupTest::externalServerByProfile()' || { echo "$out"; exit 1; }

# The login went to this server, not to an embedded one.
grep -q "sp_KVR_Persona 'demo'" "$work/journal.txt" || {
  echo "the login command did not reach the separate server"; cat "$work/journal.txt"; exit 1; }
echo "logged in through lectora-server on port $port"
