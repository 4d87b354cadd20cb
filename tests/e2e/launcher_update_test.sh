#!/usr/bin/env bash
# The launcher against a loopback FTP server that offers a newer version: it
# updates by itself without a click, survives being ended in the middle of a
# download (by Quit, by closing its window or by SIGTERM, also while the
# transfer stalls), keeps a second launcher out, and ends with exit code 0 on
# SIGTERM.
#   launcher_update_test.sh GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_begin update

start_ftp
make_install "$ftp_port"
mkdir -p "$work/stage/data/sub"
echo "first file" > "$work/stage/data/a.txt"
echo "second file" > "$work/stage/data/sub/b.txt"
head -c 1500000 /dev/urandom > "$work/stage/data/big.bin"
cat > "$work/update.lua" <<'LUA'
function updater()
  update.mkdir("data")
  update.mkdir("data/sub")
  update.copy("data/a.txt", "data/a.txt")
  update.copy("data/sub/b.txt", "data/sub/b.txt")
  update.copy("data/big.bin", "data/big.bin")
end
LUA
serve_patch 1.1 a.zip "$work/update.lua" "$work/stage"

# Ended in the middle of a download, the launcher leaves the installation as
# it was, says so in its log, and the next start updates it. Each way out:
# what ends the launcher, the server's control file, and how it ends it; each
# starts from zero, without what an earlier one kept of the download.
log="$HOME/.local/state/groovedeck/launcher.log"
downloads() { cat "$work/ftp.commands" 2>/dev/null | grep -c 'RETR a.zip'; }
stall='{"faults": [{"kind": "stall", "file": "a.zip", "after": 200000, "times": -1}]}'
while IFS='|' read -r way control how <&3; do
  echo "$control" > "$work/ftp.control"
  rm -rf "$XDG_CACHE_HOME/groovedeck"
  before=$(downloads)
  start_launcher
  downloading() { [ "$(downloads)" -gt "$before" ]; }
  check_true "the update starts by itself ($how)" wait_until 20 downloading
  window=$(wait_window "$e2e_title" "$launcher_pid")
  sleep 2
  screenshot "downloading-$way"
  case "$way" in
    quit) click "$window" $quitButton ;;
    close) close_window "$window" ;;
    term) kill -TERM "$launcher_pid" ;;
  esac
  asked=$(now_ms)
  wait_exit "$launcher_pid" 15
  ended_ms=$(($(now_ms) - asked))
  [ "$exit_code" != timeout ] || stop "$launcher_pid"
  check "$how ends the launcher with exit code 0" 0 "$exit_code"
  check_true "within a few seconds (${ended_ms} ms)" [ "$ended_ms" -lt 5000 ]
  check "version.dat is still 1.0" 1.000000 "$(installed_version)"
  check "no file of the archive arrived" "" "$(ls "$install/data" 2>/dev/null)"
  check "the log records the cut-off run" 1 \
    "$(grep -c 'update cut off (installed version 1.000000)' "$log" 2>/dev/null)"
  mv -f "$log" "$log.$way" 2>/dev/null
done 3<<WAYS
quit|{"rate": 300000}|Quit during a download at 300 KB/s
quit|$stall|Quit while the transfer stalls
close|{"rate": 300000}|closing the window during a download
term|{"rate": 100000}|SIGTERM during a download
WAYS
echo '{}' > "$work/ftp.control"

# Opening is enough: no click, no question.
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check "the launcher window appears" yes "$([ -n "$window" ] && echo yes || echo no)"
[ -n "$window" ] || { e2e_end; exit 1; }
read -r _ _ width height <<< "$(geometry "$window")"
check "the window's client area is 502 x 365" "502 365" "$width $height"

version_is_new() { [ "$(installed_version)" == 1.100000 ]; }
wait_until 20 version_is_new
check "version.dat goes from 1.0 to 1.1 without a click" 1.100000 "$(installed_version)"
check "the archive's files arrive" "first file|second file" \
  "$(cat "$install/data/a.txt" 2>&1)|$(cat "$install/data/sub/b.txt" 2>&1)"
check "the large file arrives whole" "$(md5sum < "$work/stage/data/big.bin")" \
  "$(md5sum < "$install/data/big.bin" 2>&1)"
check "the second number of version.dat is kept" 1.000000 \
  "$(decrypt_text "$install/version.dat" | cut -d, -f2)"
# The completion report reaches the status line after version.dat is written.
sleep 1
screenshot updated

# A second launcher while the first runs: exit 0 at once, no new window.
start=$(now_ms)
(cd "$work/cwd" && timeout 10 "$install/GrooveDeck") >> "$work/second.log" 2>&1
rc=$?
elapsed=$(($(now_ms) - start))
check "a second launcher exits with code 0" 0 "$rc"
check "and says why on standard error, in one line" \
  "GrooveDeck: another launcher is running for this user ($XDG_RUNTIME_DIR/GrooveDeckLancher is held)" \
  "$(cat "$work/second.log")"
check_true "a second launcher exits at once (${elapsed} ms)" [ "$elapsed" -lt 5000 ]
sleep 0.5
check "still exactly one launcher window" 1 "$(windows_named "$e2e_title" | wc -l)"
check_true "the first launcher keeps running" alive "$launcher_pid"
check "the first launcher's window stays mapped" IsViewable "$(map_state "$window")"

# SIGTERM ends the launcher like its Quit command.
kill -TERM "$launcher_pid"
wait_exit "$launcher_pid" 10
check "SIGTERM ends the launcher with exit code 0" 0 "$exit_code"
check "the window is gone" 0 "$(windows_named "$e2e_title" | wc -l)"

e2e_end
