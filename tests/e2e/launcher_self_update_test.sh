#!/usr/bin/env bash
# Self-update: an archive whose script calls update.launcherupdate() and that
# carries a new GrooveDeck. The launcher announces it, hands over to lcopy and
# closes; lcopy replaces the binary and the new launcher comes up. Without
# lcopy, the launcher reports the failure and the old launcher stays.
#   launcher_self_update_test.sh GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_begin self-update

start_ftp
make_install "$ftp_port"
old_sum=$(md5sum < "$install/GrooveDeck")
# The real launcher with a few bytes more: it runs the same, but its checksum
# tells the copies apart.
mkdir -p "$work/stage"
{ cat "$e2e_groovedeck"; printf 'e2e self-update'; } > "$work/stage/GrooveDeck"
chmod 755 "$work/stage/GrooveDeck"
new_sum=$(md5sum < "$work/stage/GrooveDeck")
echo "launcher update" > "$work/stage/notes.txt"
cat > "$work/update.lua" <<'LUA'
function updater()
  update.copy("notes.txt", "notes.txt")
  update.launcherupdate()
end
LUA
serve_patch 1.1 self.zip "$work/update.lua" "$work/stage"

start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check "the launcher window appears" yes "$([ -n "$window" ] && echo yes || echo no)"
box=$(wait_window 'アップデート' "$launcher_pid")
check "the launcher announces its update in a box アップデート" yes \
  "$([ -n "$box" ] && echo yes || echo no)"
sleep 0.3
screenshot announced
check "the archive's version is recorded before the hand-over" 1.100000 "$(installed_version)"
check "the archive's other copies ran first" "launcher update" "$(cat "$install/notes.txt" 2>&1)"
check "the launcher is not replaced before the box is confirmed" "$old_sum" \
  "$(md5sum < "$install/GrooveDeck")"

[ -n "$box" ] && press_return "$box"
wait_exit "$launcher_pid" 15
check "the old launcher ends with exit code 0" 0 "$exit_code"

# The new launcher: started by lcopy, so not a child of this shell.
new_launcher_pid() {
  local id pid
  for id in $(windows_named "$e2e_title"); do
    pid=$(xdotool getwindowpid "$id" 2>/dev/null) || continue
    [ "$pid" != "$launcher_pid" ] && is_viewable "$id" && { echo "$pid"; return 0; }
  done
  return 1
}
has_new_launcher() { [ -n "$(new_launcher_pid)" ]; }
wait_until 30 has_new_launcher
new_pid=$(new_launcher_pid)
check "a new launcher window comes up from a new process" yes \
  "$([ -n "$new_pid" ] && echo yes || echo no)"
check "install/GrooveDeck now has the new checksum" "$new_sum" "$(md5sum < "$install/GrooveDeck")"
if [ -n "$new_pid" ]; then
  check "the new process runs the replaced file" "$install/GrooveDeck" \
    "$(readlink "/proc/$new_pid/exe")"
  check "the new launcher runs in the launcher's working directory" "$work/cwd" \
    "$(readlink "/proc/$new_pid/cwd")"
fi
check "the replacement left no temporary files" "" \
  "$(find "$install" -name '.*' -newer "$install/config.dat")"
sleep 1
screenshot restarted
check "the new launcher does not apply the archive again" "" \
  "$(windows_named 'アップデート' "$new_pid")"
check "version.dat stays at 1.1" 1.100000 "$(installed_version)"

if [ -n "$new_pid" ]; then
  kill -TERM "$new_pid"
  check_true "SIGTERM ends the new launcher" wait_until 10 dead "$new_pid"
fi
# Without lcopy the launcher says "失敗" and closes anyway; the old launcher
# stays, and the recorded version keeps the next start from trying again.
make_install "$ftp_port"
rm "$install/lcopy"
start_launcher
box=$(wait_window 'アップデート' "$launcher_pid")
[ -n "$box" ] && press_return "$box"
box=$(wait_window '失敗' "$launcher_pid")
check "without lcopy a box 失敗 follows" yes "$([ -n "$box" ] && echo yes || echo no)"
sleep 0.3
screenshot no-lcopy
[ -n "$box" ] && press_return "$box"
wait_exit "$launcher_pid" 10
check "the launcher still closes, with exit code 0" 0 "$exit_code"
check "the old launcher stays in place" "$old_sum" "$(md5sum < "$install/GrooveDeck")"
check "the archive's version is recorded" 1.100000 "$(installed_version)"

# The launcher that run staged still waits beside the old one: the next start
# hands it to lcopy, once lcopy is back, rather than running on as up to date.
check "the staged launcher waits beside the old one" "$new_sum" \
  "$(md5sum < "$install/GrooveDeck.new" 2>&1)"
cp "$e2e_lcopy" "$install/lcopy"
start_launcher
box=$(wait_window 'アップデート' "$launcher_pid")
check "the next start announces the waiting replacement" yes \
  "$([ -n "$box" ] && echo yes || echo no)"
[ -n "$box" ] && press_return "$box"
wait_exit "$launcher_pid" 15
check "the old launcher makes way, with exit code 0" 0 "$exit_code"
wait_until 30 has_new_launcher
new_pid=$(new_launcher_pid)
check "the waiting launcher comes up" "$new_sum" "$(md5sum < "$install/GrooveDeck")"
check "nothing waits any more" no "$([ -e "$install/GrooveDeck.new" ] && echo yes || echo no)"
[ -n "$new_pid" ] && stop "$new_pid"

# An archive made on the original platform carries no Unix permissions: the
# lcopy and the launcher it brings must still run.
make_install "$ftp_port"
mkdir -p "$work/dos"
cp "$work/stage/GrooveDeck" "$e2e_lcopy" "$work/dos/"
printf 'function updater()\n  update.copy("lcopy", "lcopy")\n  update.launcherupdate()\nend\n' |
  encrypt - "$work/dos/update.dat"
"$e2e_python" "$e2e_source/tests/robustness/archive_maker.py" dosdir \
  "$work/server/update/dos.zip" "$work/dos"
printf 'latest_version = 1.1\nfunction filelist() patch.File("e2e", 1.1, "dos.zip") end\n' |
  encrypt - "$work/server/update/filelist.dat"
start_launcher
box=$(wait_window 'アップデート' "$launcher_pid")
[ -n "$box" ] && press_return "$box"
wait_exit "$launcher_pid" 15
check "lcopy from a Windows-made archive keeps its bits" 755 "$(stat -c %a "$install/lcopy")"
wait_until 30 has_new_launcher
new_pid=$(new_launcher_pid)
check "the launcher from a Windows-made archive comes up" "$new_sum" \
  "$(md5sum < "$install/GrooveDeck")"
check "the replaced launcher is executable" 755 "$(stat -c %a "$install/GrooveDeck")"
[ -n "$new_pid" ] && stop "$new_pid"

if [ "$failed" -ne 0 ]; then
  echo "--- launcher and lcopy output:"
  cat "$work/launcher.log"
fi

e2e_end
