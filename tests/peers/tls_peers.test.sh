#!/usr/bin/env bash
# Independent clients over TLS against the built lectora-server: FreeTDS tsql
# and unixODBC isql through FreeTDS with encryption required, the npm tedious
# client verifying the server's self-signed certificate, the refusals of the
# outcome table, and hostile bytes where the handshake is due that end their
# own connection only. Usage: tls_peers.test.sh BUILD_DIR
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
failures=0
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

check() { # check LABEL FILE PATTERN : the output must hold the pattern
  if grep -a -q -- "$3" "$2"; then echo "ok   $1"; else
    echo "FAIL $1: no \"$3\" in:"; sed 's/^/     /' "$2" | tail -20; failures=$((failures + 1)); fi
}

start() { # start NAME ARGS... : sets port_NAME; the log is $work/NAME.log
  local name=$1
  shift
  "$build/server/lectora-server" --listen 127.0.0.1:0 --data "$work/$name" "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q listening "$work/$name.log" && break; sleep 0.1; done
  local p
  p=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/$name.log")
  [ -n "$p" ] || { echo "server $name did not start:"; cat "$work/$name.log"; exit 1; }
  eval "port_$name=$p"
}

start on                          # the default: login-only or whole session, as asked
start required --encryption required
start off --encryption off
check "the server names its certificate and fingerprint" "$work/on.log" 'TLS certificate .*lectora-server.crt (made now) SHA-256 [0-9A-F:]\{95\}$'
ca=$work/on/lectora-server.crt

# --- FreeTDS tsql ----------------------------------------------------------------
cat >"$work/freetds.conf" <<EOF
[global]
        tds version = 7.4
        client charset = UTF-8
[on-require]
        host = 127.0.0.1
        port = $port_on
        encryption = require
[required-off]
        host = 127.0.0.1
        port = $port_required
        encryption = off
[off-require]
        host = 127.0.0.1
        port = $port_off
        encryption = require
EOF
tsql_run() { # tsql_run SERVER OUT : the login command; FreeTDS's own log in OUT.dump
  printf "EXECUTE sp_KVR_Persona 'demo','demo'\ngo\n" |
    FREETDSCONF=$work/freetds.conf TDSDUMP=$2.dump LANG=C.UTF-8 \
      timeout 30 tsql -S "$1" -U sa -P tolvexra >"$2" 2>&1
}
tsql_run on-require "$work/tsql.out"
check "tsql, encryption required: login row" "$work/tsql.out" '^1$'
check "tsql, encryption required: TLS was used" "$work/tsql.out.dump" 'handshake succeeded'
# FreeTDS announces "cannot encrypt" with encryption = off, yet begins TLS when
# the server requires it: the session is encrypted and goes on.
tsql_run required-off "$work/tsql-off.out"
check "tsql, off against required: encrypted after all" "$work/tsql-off.out.dump" 'handshake succeeded'
check "tsql, off against required: login row" "$work/tsql-off.out" '^1$'
tsql_run off-require "$work/tsql-noenc.out"
check "tsql, required against a server without TLS: no login" "$work/tsql-noenc.out" 'connection failed'

# --- unixODBC isql through the FreeTDS driver ------------------------------------
odbc="Driver=FreeTDS;Server=127.0.0.1;Port=$port_on;Database=KV_NORDA_PREVENTA;UID=sa;PWD=tolvexra;TDS_Version=7.4;ClientCharset=UTF-8;Encryption=require"
echo "EXECUTE sp_KVR_Persona 'demo','demo'" | TDSDUMP=$work/isql.dump timeout 30 isql -v -b -k "$odbc" >"$work/isql.out" 2>&1
check "isql, Encryption=require: login row" "$work/isql.out" '| 1 *|'
check "isql, Encryption=require: TLS was used" "$work/isql.dump" 'handshake succeeded'

# --- npm tedious -------------------------------------------------------------------
peers=$here
if [ ! -d "$peers/node_modules/tedious" ]; then
  (cd "$peers" && timeout 180 npm install --no-audit --no-fund --silent) >"$work/npm.log" 2>&1
fi
if [ -d "$peers/node_modules/tedious" ]; then
  tedious() { timeout 60 node "$peers/tedious-client.js" "$1" sa tolvexra KV_NORDA_PREVENTA ${2:+"$2"} >"$3" 2>&1; }
  tedious "$port_on" "$ca" "$work/tedious.out"
  check "tedious, encrypted with the server's certificate as CA: login" "$work/tedious.out" '^LOGIN OK'
  check "tedious, encrypted: login row" "$work/tedious.out" '^plain ROW ID_Persona=1$'
  tedious "$port_on" "$work/required/lectora-server.crt" "$work/tedious-ca.out"
  check "tedious, another server's certificate as CA: refused" "$work/tedious-ca.out" '^LOGIN FAIL .*certificate'
  tedious "$port_required" "" "$work/tedious-clear.out"
  check "tedious without TLS against required: refused, saying why" "$work/tedious-clear.out" '^LOGIN FAIL .*requires encryption'
else
  echo "SKIP tedious: npm could not install it (no registry?):"; sed 's/^/     /' "$work/npm.log"
fi

# --- hostile bytes end their own connection only -----------------------------------
# A PRELOGIN asking for TLS (VERSION, ENCRYPTION=on), then what the test sends.
prelogin='\x12\x01\x00\x1a\x00\x00\x00\x00\x00\x00\x0b\x00\x06\x01\x00\x11\x00\x01\xff\x07\x00\x00\x00\x00\x00\x01'
hostile() { # hostile LABEL BYTES : the server must close that connection and serve the next
  exec 3<>"/dev/tcp/127.0.0.1/$port_on"
  printf "$2" >&3
  if timeout 10 cat <&3 >"$work/hostile.out"; then echo "ok   $1: connection closed"; else
    echo "FAIL $1: connection left open"; failures=$((failures + 1)); fi
  exec 3<&-
  tsql_run on-require "$work/after.out"
  check "$1: the next client logs in" "$work/after.out" '^1$'
}
hostile "garbage inside a PRELOGIN-wrapped handshake" "$prelogin"'\x12\x01\x00\x10\x00\x00\x00\x00garbage!'
hostile "a clear login where the handshake is due" "$prelogin"'\x10\x01\x00\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
hostile "a TLS record where clear TDS is due" '\x16\x03\x01\x00\x05\x01\x00\x00\x01\x00'
# A handshake cut off: the server waits (a deadline is the packet loop's),
# and the others are served meanwhile.
exec 4<>"/dev/tcp/127.0.0.1/$port_on"
printf "$prelogin"'\x12\x01\x00\x40\x00\x00\x00\x00\x16\x03\x01\x02\x00' >&4
tsql_run on-require "$work/cut.out"
check "a cut-off handshake: others log in meanwhile" "$work/cut.out" '^1$'
exec 4<&-

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all TLS peer checks passed"
