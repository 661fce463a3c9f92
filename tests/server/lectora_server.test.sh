#!/usr/bin/env bash
# The lectora-server executable: clear one-line errors and a non-zero exit for
# bad flags, a port in use and an unwritable data folder; SIGTERM and SIGINT
# stop it cleanly with committed data kept; the journal file gets one line per
# command with the password masked; a password file must be private and keeps
# the password off the command line. Usage: lectora_server.test.sh BUILD_DIR
set -u
server=$1/server/lectora-server
work=$(mktemp -d)
failures=0
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  chmod -R u+w "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL $1"; failures=$((failures + 1)); }
ok() { echo "ok   $1"; }

refuses() { # refuses LABEL PATTERN ARGS... : non-zero exit, one line on stderr holding PATTERN
  local label=$1 pattern=$2
  shift 2
  timeout 10 "$server" "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  if [ $rc -ne 0 ] && [ $rc -ne 124 ] && grep -q -- "$pattern" "$work/err" &&
     [ "$(grep -c . "$work/err")" -le 2 ]; then ok "$label"; else
    fail "$label (exit $rc):"; sed 's/^/     /' "$work/err"; fi
}

start() { # start LOG ARGS... : sets port and pid
  local log=$1
  shift
  "$server" "$@" >"$log" 2>&1 &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 50); do grep -q listening "$log" && break; sleep 0.1; done
  port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$log")
}

refuses "unknown flag" "unknown flag --bogus" --bogus 1 --data "$work/d"
refuses "missing value" "--listen needs a value" --data "$work/d" --listen
refuses "bad port" "not a port number" --listen 127.0.0.1:http --data "$work/d"
refuses "no data folder" "--data DIR is required" --listen 127.0.0.1:0

mkdir -p "$work/readonly"
chmod a-w "$work/readonly"
if [ "$(id -u)" -eq 0 ]; then
  # root writes anywhere; a path under a regular file cannot be created by anyone.
  touch "$work/file"
  refuses "unwritable data folder" "data folder" --listen 127.0.0.1:0 --data "$work/file/sub"
else
  refuses "unwritable data folder" "not writable" --listen 127.0.0.1:0 --data "$work/readonly"
fi

start "$work/first.log" --listen 127.0.0.1:0 --data "$work/data" --journal "$work/journal.txt" \
  --login operador --password 'Contraseña'
[ -n "$port" ] && ok "starts on an ephemeral port ($port)" || fail "did not start: $(cat "$work/first.log")"
first=$pid
refuses "port in use" "already in use" --listen "127.0.0.1:$port" --data "$work/data2"

# The configured login pair is the one accepted.
printf "EXECUTE sp_KVR_Persona 'demo','demo'\ngo\n" |
  timeout 20 tsql -H 127.0.0.1 -p "$port" -U operador -P 'Contraseña' -D KV_ULMAR >"$work/tsql.out" 2>&1
grep -q '^1$' "$work/tsql.out" && ok "configured login accepted" || { fail "configured login"; cat "$work/tsql.out"; }
printf "EXECUTE sp_KVR_Persona 'demo','demo'\ngo\n" |
  timeout 20 tsql -H 127.0.0.1 -p "$port" -U sa -P tolvexra >"$work/tsql2.out" 2>&1
grep -q 'Msg 18456' "$work/tsql2.out" && ok "default pair refused when another is configured" || fail "default pair not refused"

# One more command, then stop with SIGTERM.
printf "EXECUTE sp_KVR_Persona 'almacen','Velmór2'\ngo\n" |
  timeout 20 tsql -H 127.0.0.1 -p "$port" -U operador -P 'Contraseña' >/dev/null 2>&1
kill -TERM "$first"
timeout 10 bash -c "while kill -0 $first 2>/dev/null; do sleep 0.1; done"
wait "$first"
rc=$?
[ $rc -eq 0 ] && ok "SIGTERM stops cleanly" || fail "SIGTERM exit code $rc"
grep -q stopped "$work/first.log" && ok "says it stopped" || fail "no stop message"
for c in KV_NORDA_PREVENTA KV_NORDAPAVREL KV_ULMAR; do
  [ -s "$work/data/$c.sqlite" ] || fail "catalogue $c not created"
done
lines=$(grep -c . "$work/journal.txt")
# Two commands ran and one login was refused: a line each, the refusal without its password.
[ "$lines" -eq 3 ] && ok "journal has one line per command and refused login" || { fail "journal lines: $lines"; cat "$work/journal.txt"; }
grep -q "login refused for 'sa' from 127.0.0.1" "$work/journal.txt" && ! grep -q tolvexra "$work/journal.txt" &&
  ok "refused login journaled without its password" || { fail "refused login line"; cat "$work/journal.txt"; }
grep -q "KV_ULMAR #1 SQL EXECUTE sp_KVR_Persona 'demo','\*\*\*\*'" "$work/journal.txt" &&
  ok "journal line names catalogue, connection and masks the password" || { fail "journal format"; cat "$work/journal.txt"; }
grep -q "Velmór2" "$work/journal.txt" && fail "password in the journal" || ok "no password in the journal"

# Restart on the same folder: the demo data is not seeded twice, SIGINT stops too.
start "$work/second.log" --listen 127.0.0.1:0 --data "$work/data"
second=$pid
printf "EXECUTE sp_KVR_Persona 'demo','demo'\ngo\n" |
  timeout 20 tsql -H 127.0.0.1 -p "$port" -U sa -P tolvexra >"$work/tsql3.out" 2>&1
grep -q '^1$' "$work/tsql3.out" && ok "restarts on its own data" || { fail "restart"; cat "$work/second.log" "$work/tsql3.out"; }
kill -INT "$second"
wait "$second"
rc=$?
[ $rc -eq 0 ] && ok "SIGINT stops cleanly" || fail "SIGINT exit code $rc"

# The password from a file: refused while others may read the file, accepted
# once it is private, and never on the command line every user sees.
printf 'Clave-De-Archivo\nignored\n' >"$work/pw"
chmod 640 "$work/pw"
refuses "group-readable password file" "can be read by other users" \
  --listen 127.0.0.1:0 --data "$work/data3" --password-file "$work/pw"
chmod 600 "$work/pw"
refuses "password twice" "give one of them" \
  --listen 127.0.0.1:0 --data "$work/data3" --password-file "$work/pw" --password x
start "$work/third.log" --listen 127.0.0.1:0 --data "$work/data3" --password-file "$work/pw"
third=$pid
tr '\0' ' ' <"/proc/$third/cmdline" | grep -q "Clave-De-Archivo" &&
  fail "password on the command line" || ok "no password on the command line"
printf "EXECUTE sp_KVR_Persona 'demo','demo'\ngo\n" |
  timeout 20 tsql -H 127.0.0.1 -p "$port" -U sa -P 'Clave-De-Archivo' >"$work/tsql4.out" 2>&1
grep -q '^1$' "$work/tsql4.out" && ok "the file's first line is the password" ||
  { fail "password file"; cat "$work/third.log" "$work/tsql4.out"; }
kill -TERM "$third"
wait "$third"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all executable checks passed"
