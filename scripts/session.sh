# Sourced by the run scripts: a display for windows (Xvfb when none is set) and
# one wineserver for the whole run, both stopped on exit.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$ROOT/scripts/arch.sh"
if [ "$(nvpc_test_arch)" = i686 ]; then
  export WINEPREFIX=${NVPC_WINEPREFIX:-$ROOT/build/wineprefix}
  export WINEARCH=win32
  _nvpc_wineserver=wineserver
else
  export WINEPREFIX=${NVPC_WINEPREFIX64:-$ROOT/build/wineprefix64}
  export WINEARCH=win64
  _nvpc_wineserver=/usr/lib/wine/wineserver64
fi
export WINEDEBUG=${WINEDEBUG:--all}

_nvpc_xvfb_pid=""
nvpc_session_stop() {
  WINEPREFIX=$WINEPREFIX $_nvpc_wineserver -k 2>/dev/null || true
  if [ -n "$_nvpc_xvfb_pid" ]; then kill "$_nvpc_xvfb_pid" 2>/dev/null || true; fi
}
trap nvpc_session_stop EXIT

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 91 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    _nvpc_xvfb_pid=$!
    for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    export DISPLAY=":$n"
    break
  done
fi

# Create the prefix once, then keep its wineserver up for the whole run.
"$ROOT/scripts/wine-run" cmd /c exit 0 >/dev/null 2>&1 || true
WINEPREFIX=$WINEPREFIX $_nvpc_wineserver -p 2>/dev/null || true  # already running is fine
