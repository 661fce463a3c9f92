# Sourced by the Windows proofs: a Wine prefix of the script's own, copied
# from a template made once per machine, and the environment that keeps Wine
# quiet (no Mono or Gecko prompts, no debug chatter).
cache=${LECTORA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lectora-windows}
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wine_template() {
  local template=$cache/wine-template
  if [ ! -f "$template/.ready" ]; then
    rm -rf "$template"
    WINEPREFIX=$template "$wine" wineboot -i >/dev/null 2>&1
    WINEPREFIX=$template /usr/lib/wine/wineserver -w
    touch "$template/.ready"
  fi
  echo "$template"
}

# A fresh prefix in $1, its wineserver gone when the script ends.
wine_prefix() {
  local template; template=$(wine_template)
  rm -rf "$1"
  cp -a "$template" "$1"
  export WINEPREFIX=$1
  trap 'WINEPREFIX='"$1"' /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
}

# A Windows path for a Linux one (Wine maps / to Z:).
winpath() {
  printf 'Z:%s' "$1" | tr / '\\'
}

# Where a cross-built test finds its DLLs: the cached Qt and the MinGW runtime.
wine_dll_path() {
  local gcc_dir
  gcc_dir=$(dirname "$(x86_64-w64-mingw32-gcc-posix -print-libgcc-file-name)")
  printf '%s;%s;%s' "$(winpath "$cache/prefix/bin")" "$(winpath "$gcc_dir")" \
    "$(winpath /usr/x86_64-w64-mingw32/lib)"
}

# A display of the script's own ($1: a folder for its files); sets DISPLAY.
start_display() {
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$1/display" >"$1/xvfb.log" 2>&1 &
  display_pid=$!
  local i
  for i in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
  [ -s "$1/display" ] || { echo "Xvfb did not start"; return 1; }
  export DISPLAY=":$(head -1 "$1/display")"
}
