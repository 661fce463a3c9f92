#!/usr/bin/env bash
# Independent clients against the built lectora-server: FreeTDS tsql, unixODBC
# isql (driver-only connection string) and the npm tedious client each log in,
# run the login command, are refused with a wrong password, and carry accents
# both ways. Usage: tds_peers.test.sh BUILD_DIR
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
peers=$here/../peers
work=$(mktemp -d)
failures=0
server_pid=

cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

check() { # check LABEL FILE PATTERN : the output must hold the pattern
  if grep -q -- "$3" "$2"; then echo "ok   $1"; else
    echo "FAIL $1: no \"$3\" in:"; sed 's/^/     /' "$2"; failures=$((failures + 1)); fi
}
check_not() {
  if grep -q -- "$3" "$2"; then
    echo "FAIL $1: unexpected \"$3\" in:"; sed 's/^/     /' "$2"; failures=$((failures + 1))
  else echo "ok   $1"; fi
}

"$build/server/lectora-server" --listen 127.0.0.1:0 --data "$work/data" \
  --journal "$work/journal.txt" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log")
[ -n "$port" ] || { echo "server did not start:"; cat "$work/server.log"; exit 1; }

# --- FreeTDS tsql ---------------------------------------------------------------
tsql_run() { # tsql_run PASSWORD < commands
  timeout 30 tsql -H 127.0.0.1 -p "$port" -U sa -P "$1" -D KV_NORDA_PREVENTA 2>&1
}
printf "EXECUTE sp_KVR_Persona 'demo','demo'\ngo\nEXECUTE sp_KVR_Persona 'almacen','Velmór2'\ngo\nEXECUTE sp_KVR_InventarioConsultaConteo 'NP-CIC-01'\ngo\n" |
  LANG=C.UTF-8 tsql_run tolvexra >"$work/tsql.out"
check "tsql: login row" "$work/tsql.out" '^1$'
check "tsql: accented argument reaches the server" "$work/tsql.out" '^2$'
check "tsql: accented value comes back" "$work/tsql.out" 'Cíclico'
echo "EXECUTE sp_KVR_Persona 'demo','demo'" | tsql_run wrong >"$work/tsql-bad.out"
check "tsql: wrong password refused" "$work/tsql-bad.out" 'Msg 18456'

# --- unixODBC isql through the FreeTDS driver -----------------------------------
odbc() { echo "Driver=FreeTDS;Server=127.0.0.1;Port=$port;Database=KV_NORDA_PREVENTA;UID=sa;PWD=$1;TDS_Version=7.4;ClientCharset=UTF-8;Encryption=off"; }
printf "EXECUTE sp_KVR_Persona 'demo','demo'\nEXECUTE sp_KVR_Persona 'almacen','Velmór2'\nEXECUTE sp_KVR_InventarioConsultaConteo 'NP-CIC-01'\n" |
  timeout 30 isql -v -b -k "$(odbc tolvexra)" >"$work/isql.out" 2>&1
check "isql: login row" "$work/isql.out" '| 1 *|'
check "isql: accented argument reaches the server" "$work/isql.out" '| 2 *|'
check "isql: accented value comes back" "$work/isql.out" 'Cíclico'
echo "EXECUTE sp_KVR_Persona 'demo','demo'" | timeout 30 isql -v -b -k "$(odbc wrong)" >"$work/isql-bad.out" 2>&1
check "isql: wrong password refused" "$work/isql-bad.out" "Login failed for user 'sa'"

# --- npm tedious -----------------------------------------------------------------
if [ ! -d "$peers/node_modules/tedious" ]; then
  (cd "$peers" && timeout 180 npm install --no-audit --no-fund --silent) >"$work/npm.log" 2>&1
fi
if [ -d "$peers/node_modules/tedious" ]; then
  timeout 60 node "$peers/tedious-client.js" "$port" sa tolvexra KV_NORDA_PREVENTA >"$work/tedious.out" 2>&1
  check "tedious: login" "$work/tedious.out" '^LOGIN OK'
  check "tedious: login row" "$work/tedious.out" '^plain ROW ID_Persona=1$'
  check "tedious: accented argument in a batch" "$work/tedious.out" '^accent-in ROW ID_Persona=2$'
  check "tedious: sp_executesql with variables" "$work/tedious.out" '^variables ROW ID_Persona=2$'
  check "tedious: RPC with code-page text" "$work/tedious.out" '^rpc-varchar ROW ID_Persona=2$'
  check "tedious: accented value comes back" "$work/tedious.out" '^accent-out ROW TipoInventario=Cíclico'
  check "tedious: decimal output parameter" "$work/tedious.out" '^decimal-out OUT id_producto=101$'
  check "tedious: unknown procedure" "$work/tedious.out" '^unknown ERROR 2812'
  timeout 60 node "$peers/tedious-client.js" "$port" sa wrong KV_NORDA_PREVENTA >"$work/tedious-bad.out" 2>&1
  check "tedious: wrong password refused" "$work/tedious-bad.out" '^LOGIN FAIL 18456'
  timeout 60 node "$peers/tedious-client.js" "$port" sa tolvexra KV_OTRA >"$work/tedious-db.out" 2>&1
  check "tedious: unknown catalogue refused" "$work/tedious-db.out" '^LOGIN FAIL 4060'
else
  echo "SKIP tedious: npm could not install it (no registry?):"; sed 's/^/     /' "$work/npm.log"
fi

# --- the journal saw every command, with the password masked -----------------------
check "journal: login command recorded masked" "$work/journal.txt" "sp_KVR_Persona 'demo','\*\*\*\*'"
check_not "journal: no password in clear" "$work/journal.txt" "Velmór2"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all peer checks passed"
