#!/usr/bin/env bash
# The launcher against a loopback FTP server that offers a newer version: it
# updates by itself without a click, survives being ended in the middle of a
# download, keeps a second launcher out, and ends with exit code 0 on SIGTERM.
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

# Ended in the middle of a slow download, the launcher leaves the installation
# as it was, and the next start updates it.
echo '{"rate": 100000}' > "$work/ftp.control"
start_launcher
downloading() { grep -q 'RETR a.zip' "$work/ftp.commands" 2>/dev/null; }
check_true "the update starts by itself" wait_until 20 downloading
sleep 1
screenshot downloading
kill -TERM "$launcher_pid"
wait_exit "$launcher_pid" 10
check "SIGTERM during a download ends the launcher with exit code 0" 0 "$exit_code"
check "version.dat is still 1.0" 1.000000 "$(installed_version)"
check "no file of the archive arrived" "" "$(ls "$install/data" 2>/dev/null)"
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
