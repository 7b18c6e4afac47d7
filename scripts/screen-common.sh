# Shared by the screenshot scripts (sourced, not run): a work folder removed at exit with the
# processes started here, the python3 site of a script, and a virtual X screen.
#   screen_setup TARGET...        installs what is missing, builds the targets in $build
#   start_site FILE.py            runs the site; sets $site_port (the site writes it to argv[1])
#   start_xvfb WIDTHxHEIGHT       a free display; exports DISPLAY and QT_QPA_PLATFORM=xcb

screen_setup() {
  scripts/install-deps.sh
  if ! command -v python3 >/dev/null 2>&1; then
    echo "The pictures' sites are served by python3: apt-get install python3" >&2
    exit 1
  fi
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESPREY_BUILD_UI=ON \
      >/dev/null
  fi
  cmake --build "$build" --target "$@"
}

work=$(mktemp -d)
xvfb_pid=
app_pid=
site_pid=
cleanup() {
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  [[ -n $site_pid ]] && kill "$site_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_site() {
  python3 "$1" "$work/port.tmp" &
  site_pid=$!
  for _ in $(seq 50); do
    [[ -s $work/port.tmp ]] && break
    sleep 0.1
  done
  if [[ ! -s $work/port.tmp ]]; then
    echo "the site $1 did not start" >&2
    exit 1
  fi
  site_port=$(cat "$work/port.tmp")
}

start_xvfb() {
  local display=99
  while [[ -e /tmp/.X${display}-lock || -e /tmp/.X11-unix/X${display} ]]; do
    display=$((display + 1))
  done
  Xvfb ":$display" -screen 0 "$1x24" -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
  for _ in $(seq 50); do
    [[ -e /tmp/.X11-unix/X${display} ]] && break
    sleep 0.1
  done
}
