#!/usr/bin/env bash
# The window tells the user what happened and why: the installed version in
# its title, editor buttons usable again the moment an update fails, a server
# that stops answering named as such with the reason below, a log of every
# run in the user's state folder, the logo rather than a blank page without a
# news address or when the page cannot be loaded, the news page as last drawn
# at once at the next start, a missing config.dat named in the log, and no
# browser engine report on the terminal.
#   launcher_reasons_test.sh GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_begin reasons

log="$HOME/.local/state/groovedeck/launcher.log"
logged() { grep -qF -- "$1" "$log" 2>/dev/null; }

# 1.1 arrives slowly, 1.2 lists an archive the server lacks: the update fails
# after the first archive.
start_ftp
ftp_pid=${e2e_pids[-1]}
start_news "$e2e_source/resources/demo/news.html"
mkdir -p "$work/stage"
head -c 300000 /dev/urandom > "$work/stage/big.bin"
echo 'function updater() update.copy("big.bin", "big.bin") end' > "$work/a.lua"
"$e2e_gdtool" pack "$work/server/update/a.zip" "$work/a.lua" "$work/stage"
printf 'latest_version = 1.2\nfunction filelist()\n  patch.File("a", 1.1, "a.zip")\n  patch.File("b", 1.2, "b.zip")\nend\n' |
  encrypt - "$work/server/update/filelist.dat"
echo '{"rate": 100000}' > "$work/ftp.control"
make_install "$ftp_port" 1.000000 "http://127.0.0.1:$news_port/news.php"
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check "the launcher window appears" yes "$([ -n "$window" ] && echo yes || echo no)"
[ -n "$window" ] || { e2e_end; exit 1; }
check "the title shows the installed version" "Groove×Deck Ver.1.0" "$(net_wm_name "$window")"

# The pointer rests on an editor button while the update runs.
xdotool mousemove --window "$window" $avatarToolButton
check_true "the update fails at the missing archive" wait_until 30 logged "update failed"
sleep 0.5
window_shot failed
screenshot failed
check "the editor button under the pointer is usable at once" orange "$(colour failed 425 85)"
check "the other editor buttons too" blue "$(colour failed 425 25)"
check "the title follows the installed version" "Groove×Deck Ver.1.1" "$(net_wm_name "$window")"
check_true "the log names the source of the archive" \
  logged "a.zip from ftp://127.0.0.1:$ftp_port/update"
check_true "and why the update failed" \
  logged "unreachable: b.zip cannot be fetched from ftp://127.0.0.1:$ftp_port/update"
received() { [ -s "$work/news.requests" ]; }
check_true "the news page is shown" wait_until 20 received
check "the browser engine's start-up report stays off the terminal" "" \
  "$(grep -E 'webenginecontext|Init Parameters' "$work/launcher.log")"

# The server goes away while the window is online.
stop "$ftp_pid"
click "$window" $fileCheckButton
box=$(wait_window "ファイルチェックエラー" "$launcher_pid")
check "FileCheck gives its error box" yes "$([ -n "$box" ] && echo yes || echo no)"
screenshot server-gone
check_true "which says that the update server does not answer, and why" logged \
  "box ファイルチェックエラー: アップデートサーバーが応答しません。 | the update server 127.0.0.1:$ftp_port does not answer"
[ -n "$box" ] && press_return "$box"
click "$window" $quitButton
wait_exit "$launcher_pid" 10
check "Quit still ends the launcher with exit code 0" 0 "$exit_code"

# Points of the news area that are white on the news page and dark in the logo.
news_points=("200 100" "300 100" "300 290")
news_area_is() {  # news_area_is SHOT white|dark
  local point
  for point in "${news_points[@]}"; do
    if [ "$2" == white ]; then [ "$(colour "$1" $point)" == white ] || return 1
    else [ "$(colour "$1" $point)" != white ] || return 1; fi
  done
}

# The next start shows the page as it was last drawn at once, before the
# server has answered (here it never does).
start_silent
make_install "$silent_port" 1.100000 "http://127.0.0.1:$news_port/news.php"
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
sleep 1
window_shot last-page
screenshot last-page
check_true "while connecting, the news area shows the page as last drawn" news_area_is last-page white
click "$window" $quitButton
wait_exit "$launcher_pid" 10

# A news page that cannot be loaded: the logo, not the browser's error page.
start_ftp
make_install "$ftp_port" 1.100000 "http://127.0.0.1:$(closed_port)/news.php"
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check_true "the launcher tries the news page" wait_until 30 logged "news page cannot be loaded: "
sleep 1
window_shot news-failed
screenshot news-failed
check_true "the news area shows the logo" news_area_is news-failed dark
check_true "the log says why" logged "/news.php: network error -102 (net::ERR_CONNECTION_REFUSED)"
click "$window" $quitButton
wait_exit "$launcher_pid" 10

# Online without a news address: the logo, not an empty white page.
make_install "$ftp_port" 1.100000
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
third_online() { [ "$(grep -cE ' online$' "$log")" -ge 3 ]; }
check_true "the launcher goes online" wait_until 20 third_online
sleep 2
window_shot no-news
screenshot no-news
for point in "137 150" "60 60" "220 250"; do
  check_true "the news area shows the logo, not a white page ($point)" \
    [ "$(colour no-news $point)" != white ]
done
check_true "the log says why there is no page" logged "no news page: config.dat has no CERTIFICATION_URL"
check "one log across the runs" 4 "$(grep -c ' start: installed version' "$log")"
click "$window" $quitButton
wait_exit "$launcher_pid" 10

# Without config.dat the window starts offline, and its log says why.
rm "$install/config.dat"
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check_true "the log names the missing config.dat" \
  logged "no config.dat in $install/: no update server and no news page are set"

e2e_end
