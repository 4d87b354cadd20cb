# Shared by the end-to-end tests of the launcher: a private X server (Xvfb),
# a loopback FTP update server, a laid-out installation and helpers that find,
# click and photograph the launcher's real windows with xdotool.
#
# A test sources this file with the arguments
#   GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
# then calls e2e_begin NAME and ends with e2e_end. Everything it starts is
# stopped on every way out; everything it writes lives under $work, except
# the screenshots, which are kept in $shots (printed at the start and the end).

# shellcheck disable=SC2034  # the variables set here are the tests' to use
set -u

e2e_groovedeck="$(realpath "$1")"
e2e_gdtool="$(realpath "$2")"
e2e_recorder="$(realpath "$3")"
e2e_lcopy="$(realpath "$4")"
e2e_source="$(realpath "$5")"
e2e_python=/usr/bin/python3
# The launcher's title, with the installed version after it: a pattern.
readonly e2e_title='Groove×Deck Ver.*'

work=""
shots=""
install=""
passed=0
failed=0
e2e_pids=()  # every process this test started itself

# ---- results ----

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
    printf 'ok   %s\n' "$1"
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

check_true() {  # check_true NAME COMMAND...
  local name="$1"
  shift
  if "$@"; then check "$name" yes yes; else check "$name" yes no; fi
}

at_least() { [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -ge "$2" ]; }

e2e_end() {
  echo "screenshots: $shots"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# ---- waiting ----

now_ms() { date +%s%3N; }

# wait_until TIMEOUT_SECONDS COMMAND...: polls every 50 ms; false on time-out.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    [ "$(now_ms)" -ge "$deadline" ] && return 1
    sleep 0.05
  done
}

# A zombie counts as ended: orphans are not always reaped promptly (a
# container's init may not reap at all).
alive() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
  [ -n "$state" ] && [ "$state" != Z ]
}
dead() { ! alive "$1"; }
nonempty() { [ -s "$1" ]; }

# wait_exit PID TIMEOUT_SECONDS: sets exit_code to the exit code of this
# shell's child PID, or to "timeout" when it still runs after the time-out.
# Not for $(...): a subshell cannot wait for its parent's children.
wait_exit() {
  exit_code=timeout
  if wait_until "$2" dead "$1"; then
    wait "$1"
    exit_code=$?
  fi
}

# ---- processes ----

# Processes whose executable lies in the test's directory: launchers that lcopy
# started, and editors, none of which is a child of this shell.
processes_from_work() {
  find /proc/[0-9]*/exe -maxdepth 0 -lname "$work/*" 2>/dev/null | cut -d/ -f3
}

# stop PID...: SIGTERM, and SIGKILL for what has not ended 5 s later.
stop() {
  local pid
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "$@"; do wait_until 5 dead "$pid" || kill -KILL "$pid" 2>/dev/null; done
}

# Newest first, so the launchers and editors go before the servers and the X
# server they use.
e2e_stop_all() {
  [ -n "$work" ] || return 0
  local i reversed=()
  for ((i = ${#e2e_pids[@]} - 1; i >= 0; i--)); do reversed+=("${e2e_pids[i]}"); done
  stop $(processes_from_work)
  stop "${reversed[@]}"
  rm -rf "$work"
}

# ---- set-up ----

# e2e_begin NAME: the private directories, the environment and an X server.
e2e_begin() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/gd-e2e-$1.XXXXXX")
  trap e2e_stop_all EXIT
  trap 'exit 130' INT TERM
  shots="${GD_E2E_SCREENSHOTS:-${TMPDIR:-/tmp}/gd-e2e-screenshots}/$1"
  rm -rf "$shots"
  mkdir -p "$shots"
  echo "screenshots: $shots"

  mkdir -p "$work"/{home,config,config-system,runtime,tmp,cwd,server/update,install}
  chmod 700 "$work/runtime"
  install="$work/install"
  export HOME="$work/home"
  export XDG_CONFIG_HOME="$work/config"
  export XDG_CONFIG_DIRS="$work/config-system"
  export XDG_DATA_HOME="$work/home/.local/share"
  export XDG_CACHE_HOME="$work/home/.cache"
  export XDG_RUNTIME_DIR="$work/runtime"
  export TMPDIR="$work/tmp"
  export QT_QPA_PLATFORM=xcb
  unset SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
  start_xvfb
}

start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
    3> "$work/display" > "$work/xvfb.log" 2>&1 &
  e2e_pids+=($!)
  if ! wait_until 10 nonempty "$work/display"; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n1 "$work/display")"
  wait_until 10 xdpyinfo_ok || { echo "no X server on $DISPLAY" >&2; exit 1; }
}

xdpyinfo_ok() { xwininfo -root > /dev/null 2>&1; }

# start_ftp: serves $work/server as user gd / pw on a loopback port in $ftp_port.
# $work/ftp.control takes the server's transfer rate and faults (JSON, see
# ftp_server.py); $work/ftp.commands lists the commands it received.
start_ftp() {
  "$e2e_python" "$e2e_source/tests/support/ftp_server.py" --root "$work/server" --user gd \
    --password pw --control "$work/ftp.control" --log "$work/ftp.commands" \
    > "$work/ftp.port" 2> "$work/ftp.log" &
  e2e_pids+=($!)
  wait_until 10 nonempty "$work/ftp.port" || { echo "FTP server did not start" >&2; exit 1; }
  ftp_port=$(head -n1 "$work/ftp.port")
}

# A loopback port nobody listens on: the offline case.
closed_port() {
  "$e2e_python" -c \
    'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

encrypt() { "$e2e_gdtool" encrypt "$@"; }
decrypt_text() { "$e2e_gdtool" decrypt "$1" -; }

# start_silent: a loopback server that accepts connections and never says a
# word; its port in $silent_port.
start_silent() {
  "$e2e_python" -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
print(s.getsockname()[1], flush=True)
held = []
while True: held.append(s.accept()[0])' > "$work/silent.port" 2>> "$work/silent.log" &
  e2e_pids+=($!)
  wait_until 10 nonempty "$work/silent.port" || { echo "silent server did not start" >&2; exit 1; }
  silent_port=$(head -n1 "$work/silent.port")
}

# start_news PAGE: the news server answering with the file PAGE; its port in
# $news_port, one JSON line per request in $work/news.requests.
start_news() {
  "$e2e_python" "$e2e_source/tests/support/news_server.py" --page "$1" \
    --record "$work/news.requests" > "$work/news.port" 2> "$work/news.log" &
  e2e_pids+=($!)
  wait_until 10 nonempty "$work/news.port" || { echo "news server did not start" >&2; exit 1; }
  news_port=$(head -n1 "$work/news.port")
}

# make_install PORT [VERSION [NEWS_URL]]: the launcher, lcopy and the recorder
# under the three editor names, config.dat for the server at PORT, version.dat,
# and the installer's registry value, so that the launcher finds its editors.
make_install() {
  # Put in place by rename: a launcher that was just stopped may still be
  # executing its file (its main thread reads as a zombie while the others
  # end), and writing into it would fail with ETXTBSY.
  put_file() { cp "$1" "$2.e2e-new" && mv -f "$2.e2e-new" "$2"; }
  put_file "$e2e_groovedeck" "$install/GrooveDeck"
  local module
  for module in libgdnews.so libgdengine.so; do
    put_file "$(dirname "$e2e_groovedeck")/$module" "$install/$module"
  done
  put_file "$e2e_lcopy" "$install/lcopy"
  local tool
  for tool in AvatarTool StepTool WardrobeTool; do put_file "$e2e_recorder" "$install/$tool"; done
  printf '%s\n' "DUREDOR_FTP_ADR = \"127.0.0.1:$1\"" 'DUREDOR_FTP_USER = "gd"' \
    'DUREDOR_FTP_PASS = "pw"' 'DUREDOR_FTP_PATH = "/update"' "CERTIFICATION_URL = \"${3:-}\"" |
    encrypt - "$install/config.dat"
  printf '%s,1.000000' "${2:-1.000000}" | encrypt - "$install/version.dat"
  printf '[General]\nInstallDir=%s/\n' "$install" > "$XDG_CONFIG_HOME/GrooveDeck.conf"
}

# serve_patch VERSION ARCHIVE SCRIPT_FILE STAGE_DIR: one patch archive on the
# server and the version script that offers it.
serve_patch() {
  "$e2e_gdtool" pack "$work/server/update/$2" "$3" "$4" > /dev/null
  printf 'latest_version = %s\nfunction filelist() patch.File("e2e", %s, "%s") end\n' \
    "$1" "$1" "$2" | encrypt - "$work/server/update/filelist.dat"
}

installed_version() { decrypt_text "$install/version.dat" | cut -d, -f1; }

# ---- the launcher and its windows ----

# start_launcher: runs the installed launcher from $work/cwd; its pid in
# $launcher_pid, its output in $work/launcher.log.
start_launcher() {
  (cd "$work/cwd" && exec "$install/GrooveDeck") >> "$work/launcher.log" 2>&1 &
  launcher_pid=$!
  e2e_pids+=("$launcher_pid")
}

# The title in _NET_WM_NAME, the UTF-8 property that window managers show.
# xdotool's --name matches the legacy WM_NAME instead, which Qt encodes in the
# launcher's locale: without a UTF-8 locale (LANG unset, as on a bare
# container) it holds the title's UTF-8 bytes as Latin-1 and "Groove×Deck"
# never matches. xprop prints the property in its own locale, so it gets one.
net_wm_name() {
  LC_ALL=C.UTF-8 xprop -id "$1" -notype _NET_WM_NAME 2>/dev/null |
    sed -n 's/^_NET_WM_NAME = "\(.*\)"$/\1/p'
}

# windows_named NAME [PID]: ids of the windows whose title matches the glob
# NAME (a box's caption matches only itself).
windows_named() {
  local id candidates
  if [ $# -gt 1 ]; then
    candidates=$(xdotool search --pid "$2" 2>/dev/null)
  else
    candidates=$(xdotool search --name '' 2>/dev/null)
  fi
  for id in $candidates; do
    # shellcheck disable=SC2053  # a pattern on purpose
    [[ "$(net_wm_name "$id")" == $1 ]] && echo "$id"
  done
  return 0
}

map_state() { xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *Map State: *//p'; }
is_viewable() { [ "$(map_state "$1")" == IsViewable ]; }
is_unmapped() { [ "$(map_state "$1")" == IsUnMapped ]; }

# The viewable window titled NAME (of PID, when given); empty when none.
viewable_window() {
  local id
  for id in $(windows_named "$@"); do
    is_viewable "$id" && { echo "$id"; return 0; }
  done
  return 1
}
has_viewable_window() { [ -n "$(viewable_window "$@")" ]; }

# wait_window NAME [PID]: waits up to 20 s for a viewable window and prints its
# id; prints nothing on time-out.
wait_window() {
  wait_until 20 has_viewable_window "$@" && viewable_window "$@"
}

geometry() {  # "X Y W H" of a window on the screen
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
    /^ *Width:/ {w = $NF} /^ *Height:/ {h = $NF} END {print x, y, w, h}'
}

# click WINDOW X Y: a real left click at client coordinates of WINDOW.
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

# The launcher's buttons, by their place in the window: centre points.
readonly stepToolButton="458 49" avatarToolButton="458 109" wardrobeToolButton="458 169"
readonly quitButton="458 289" updateButton="51 343" fileCheckButton="138 343"

# close_window WINDOW: asks WINDOW to close as a window manager's close button
# does (WM_DELETE_WINDOW); xdotool's windowclose would destroy it instead.
close_window() {
  "$e2e_python" - "$1" <<'PY'
import ctypes, sys
x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]
class Event(ctypes.Union):
    _fields_ = [("message", ClientMessage), ("pad", ctypes.c_long * 24)]
display = x11.XOpenDisplay(None)
event = Event()
event.message.type = 33  # ClientMessage
event.message.window = int(sys.argv[1])
event.message.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.message.format = 32
event.message.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
x11.XSendEvent(display, int(sys.argv[1]), 0, 0, ctypes.byref(event))
x11.XFlush(display)
PY
}

# press_return WINDOW: focuses WINDOW and types Return into it.
press_return() {
  xdotool windowfocus --sync "$1" 2>/dev/null
  xdotool key --clearmodifiers Return
}

# screenshot NAME: the whole screen into $shots/NAME.png.
screenshot() { import -window root "$shots/$1.png"; }

# pixel FILE X Y: the colour of one pixel of a screenshot, as "srgb(r,g,b)".
pixel() { convert "$1" -format "%[pixel:p{$2,$3}]" info:; }

# window_shot NAME: the launcher window ($window) alone, into $work/NAME.png.
window_shot() { import -window "$window" "$work/$1.png"; }
# colour NAME X Y: "blue", "orange", "grey" or "white" for one pixel of a shot.
colour() {
  pixel "$work/$1.png" "$2" "$3" | tr -c '0-9\n' ' ' | {
    read -r r g b _
    if [ "$r" -gt 200 ] && [ "$g" -gt 200 ] && [ "$b" -gt 200 ]; then echo white
    elif [ "$b" -gt $((r + 40)) ]; then echo blue
    elif [ "$r" -gt $((b + 60)) ] && [ "$r" -gt "$g" ]; then echo orange
    else echo grey; fi
  }
}
# region NAME X Y W H: a digest of a rectangle of a shot.
region() { convert "$work/$1.png" -crop "$4x$5+$2+$3" +repage rgb:- | md5sum | cut -c1-32; }
# The status line's rectangle, for region.
readonly statusLine="0 0 200 18"
