#!/usr/bin/env bash
# The window comes first: against an update server that accepts and never
# answers, the window maps at once in its connecting state, the editors work,
# Quit and SIGTERM end the launcher within a second, and the offline look
# follows when the time limit passes. Against a live server the online look
# follows the check and the news page is requested exactly once; a hostile
# page stays where it is, and only the user's click on a link to another web
# origin reaches the desktop's browser.
#   launcher_connecting_test.sh GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_begin connecting

found() { [ -n "$1" ] && echo yes || echo no; }
update_x=20 update_y=335

# start_and_map: starts the launcher, sets $window and $map_ms (start to mapped).
start_and_map() {
  local started
  started=$(now_ms)
  start_launcher
  window=$(wait_window "$e2e_title" "$launcher_pid")
  map_ms=$(($(now_ms) - started))
}

# The offline look, for comparison: nobody listens on the server's port.
make_install "$(closed_port)"
start_and_map
check "the offline window appears" yes "$(found "$window")"
[ -n "$window" ] || { e2e_end; exit 1; }
sleep 1
window_shot offline
offline_status=$(region offline $statusLine)
click "$window" $quitButton
wait_exit "$launcher_pid" 10

# A silent server: the window does not wait for it.
start_silent
make_install "$silent_port"
export GD_EDITOR_RECORD="$work/record" GD_EDITOR_HOLD_MS=1000
start_and_map
check "the window appears" yes "$(found "$window")"
[ -n "$window" ] || { e2e_end; exit 1; }
check_true "the window maps within 2 s of the start (${map_ms} ms)" [ "$map_ms" -lt 2000 ]
sleep 0.5
window_shot connecting
screenshot connecting
check_true "the status line says something else than offline" \
  [ "$(region connecting $statusLine)" != "$offline_status" ]
check "Update is out of play while connecting" grey "$(colour connecting $update_x $update_y)"

click "$window" $stepToolButton
check_true "an editor button works while connecting" wait_until 5 is_unmapped "$window"
check_true "the window comes back when the editor ends" wait_until 10 is_viewable "$window"
check "the editor got its command word" argv=EXE_STEPTOOL "$(head -n1 "$work/record" 2>/dev/null)"

offline_look() { window_shot now && [ "$(region now $statusLine)" == "$offline_status" ]; }
check_true "the offline look follows once the time limit passes" wait_until 90 offline_look
screenshot silent-offline
check_true "the launcher still runs" alive "$launcher_pid"
stop "$launcher_pid"

# Quit and SIGTERM while connecting: exit code 0 within a second.
start_and_map
[ -n "$window" ] || { check "the window appears again" yes no; e2e_end; exit 1; }
sleep 0.5
click "$window" $quitButton
clicked=$(now_ms)
wait_exit "$launcher_pid" 10
ended_ms=$(($(now_ms) - clicked))
check "Quit while connecting ends the launcher with exit code 0" 0 "$exit_code"
check_true "within a second of the click (${ended_ms} ms)" [ "$ended_ms" -lt 1000 ]

start_and_map
sleep 0.5
kill -TERM "$launcher_pid"
signalled=$(now_ms)
wait_exit "$launcher_pid" 10
ended_ms=$(($(now_ms) - signalled))
check "SIGTERM while connecting ends the launcher with exit code 0" 0 "$exit_code"
check_true "within a second of the signal (${ended_ms} ms)" [ "$ended_ms" -lt 1000 ]

# A live server, up to date, and a news page that tries to leave.
start_ftp
start_news "$e2e_source/tests/support/pages/hostile_news.html"
# What the desktop would open links with: each call is one line in $work/opened.
mkdir -p "$work/desktop"
printf '#!/bin/sh\necho "$*" >> "%s"\n' "$work/opened" > "$work/desktop/open-link"
chmod 755 "$work/desktop/open-link"
ln -s open-link "$work/desktop/xdg-open"
ln -s open-link "$work/desktop/xdg-email"
export BROWSER="$work/desktop/open-link" PATH="$work/desktop:$PATH"
make_install "$ftp_port" 1.000000 "http://127.0.0.1:$news_port/news.php"
printf 'latest_version = 1.0\nfunction filelist() end\n' |
  encrypt - "$work/server/update/filelist.dat"
start_and_map
[ -n "$window" ] || { check "the online window appears" yes no; e2e_end; exit 1; }
online_look() { window_shot now && [ "$(colour now $update_x $update_y)" == blue ]; }
check_true "the online look follows the check" wait_until 10 online_look
checked() { grep -q 'RETR filelist.dat' "$work/ftp.commands" 2>/dev/null; }
check_true "the version check ran" wait_until 10 checked
posts() { cat "$work/news.requests" 2>/dev/null | grep -c '"method": "POST"'; }
posted() { [ "$(posts)" -ge 1 ]; }
wait_until 20 posted
sleep 2
screenshot online
check "the news page is requested once" 1 "$(posts)"
check_true "the status line no longer says offline" \
  [ "$(region now $statusLine)" != "$offline_status" ]
click "$window" $stepToolButton
wait_until 5 is_unmapped "$window"
wait_until 10 is_viewable "$window"
sleep 1
check "and not again after an editor ran" 1 "$(posts)"

# The page's top half links to another origin, its bottom half is a mail link.
click "$window" 200 90
sleep 1.5
click "$window" 200 250
sleep 1.5
screenshot clicked-links
check "a click on a web link elsewhere opens the desktop's browser, a mail link nothing" \
  "http://localhost:$news_port/clicked-away" "$(cat "$work/opened" 2>/dev/null)"
check "nothing else left the page's origin" "" \
  "$(grep -o '"Host": "localhost[^"]*"' "$work/news.requests")"
click "$window" $quitButton
wait_exit "$launcher_pid" 10
check "Quit online ends the launcher with exit code 0" 0 "$exit_code"

e2e_end
