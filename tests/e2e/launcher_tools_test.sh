#!/usr/bin/env bash
# Real clicks on the launcher's editor buttons: each starts its editor with the
# command word alone in the launcher's working directory, the launcher window
# is unmapped while the editor runs and comes back in place after; an update
# that appears meanwhile waits until the editor has ended; a missing editor
# gives the error box instead. Right clicks and Esc do nothing, Update
# and FileCheck answer in their boxes, and SIGTERM ends the launcher even
# while a box is open.
#   launcher_tools_test.sh GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_begin tools

# Online, and already up to date.
start_ftp
make_install "$ftp_port"
printf 'latest_version = 1.0\nfunction filelist() end\n' |
  encrypt - "$work/server/update/filelist.dat"

export GD_EDITOR_RECORD="$work/record"
export GD_EDITOR_HOLD_MS=2000
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check "the launcher window appears" yes "$([ -n "$window" ] && echo yes || echo no)"
[ -n "$window" ] || { e2e_end; exit 1; }
home_geometry=$(geometry "$window")
sleep 0.5
screenshot online

# The running editor: the one process from the installation besides the launcher.
editor_pid() { processes_from_work | grep -vx "$launcher_pid" | head -n1; }
editor_running() { [ -n "$(editor_pid)" ]; }

# click_editor BUTTON_NAME: clicks the button and follows the editor's run.
# Sets editor_exe, unmapped_ms (how long the window stayed unmapped) and
# back_geometry; "none" where a step did not happen in time.
click_editor() {
  rm -f "$GD_EDITOR_RECORD"
  editor_exe=none unmapped_ms=none back_geometry=none
  click "$window" ${!1}
  wait_until 5 is_unmapped "$window" || return
  local hidden_at
  hidden_at=$(now_ms)
  editor_running && editor_exe=$(readlink "/proc/$(editor_pid)/exe")
  screenshot "while-$1"
  wait_until 10 is_viewable "$window" || return
  unmapped_ms=$(($(now_ms) - hidden_at))
  back_geometry=$(geometry "$window")
}

record() { cat "$GD_EDITOR_RECORD" 2>/dev/null | grep -v '^fd='; }

version_checks() { grep -c 'RETR filelist.dat' "$work/ftp.commands"; }

# The first button starts the dance editor, the second the character editor.
checks_before=$(version_checks)
click_editor stepToolButton
check "button 0 starts StepTool" "$install/StepTool" "$editor_exe"
check "StepTool gets argv[0] EXE_STEPTOOL alone, in the launcher's cwd" \
  "argv=EXE_STEPTOOL|cwd=$work/cwd" "$(record | paste -sd'|')"
check_true "the window stays unmapped while the editor runs (${unmapped_ms} ms)" \
  at_least "$unmapped_ms" 1500
check "the window comes back in its place" "$home_geometry" "$back_geometry"
check "hiding and showing the window each check for a new version" 2 \
  "$(($(version_checks) - checks_before))"
check "the editor has ended when the window is back" "" "$(editor_pid)"
# An inherited lock descriptor would keep the next launcher out while an
# editor runs.
check "StepTool inherits no descriptor beyond 0, 1 and 2" "" \
  "$(grep '^fd=' "$GD_EDITOR_RECORD" 2>/dev/null | paste -sd' ')"

click_editor avatarToolButton
check "button 1 starts AvatarTool" "$install/AvatarTool" "$editor_exe"
check "AvatarTool gets EXE_AVATARTOOL" "argv=EXE_AVATARTOOL|cwd=$work/cwd" \
  "$(record | paste -sd'|')"
check "the window comes back after AvatarTool" "$home_geometry" "$back_geometry"

click_editor wardrobeToolButton
check "button 2 starts WardrobeTool" "$install/WardrobeTool" "$editor_exe"
check "WardrobeTool gets EXE_WARDROBETOOL" "argv=EXE_WARDROBETOOL|cwd=$work/cwd" \
  "$(record | paste -sd'|')"

# Right button presses are dropped, and Esc does not close the launcher.
rm -f "$GD_EDITOR_RECORD"
xdotool mousemove --window "$window" $stepToolButton click 3
xdotool windowfocus --sync "$window" 2>/dev/null
xdotool key --clearmodifiers Escape
sleep 1
check "a right click on an editor button starts nothing" "" "$(record)"
check "neither hides nor closes the window" IsViewable "$(map_state "$window")"

# Online and up to date, Update and FileCheck answer in a box of their own.
no_box() { ! has_viewable_window "$1" "$launcher_pid"; }
for caption_button in 'ファイルチェック fileCheckButton' 'アップデート updateButton'; do
  read -r caption button <<< "$caption_button"
  click "$window" ${!button}
  box=$(wait_window "$caption" "$launcher_pid")
  check "$button answers in a box $caption" yes "$([ -n "$box" ] && echo yes || echo no)"
  sleep 0.3
  screenshot "box-$button"
  [ -n "$box" ] && press_return "$box"
  check_true "Return dismisses the box $caption" wait_until 5 no_box "$caption"
done
check "and the version stays" 1.000000 "$(installed_version)"

# An update appears, and an editor is started: nothing changes under the
# running editor, neither the check nor the update; both follow its exit.
mkdir -p "$work/stage"
echo "motion" > "$work/stage/motion.txt"
echo 'function updater() update.copy("motion.txt", "motion.txt") end' > "$work/update.lua"
serve_patch 1.1 motion.zip "$work/update.lua" "$work/stage"
checks_before=$(version_checks)
click "$window" $stepToolButton
wait_until 5 editor_running
sleep 1.2  # of the editor's 2 s
check "while the editor runs, version.dat stays 1.0" 1.000000 "$(installed_version)"
check "no file arrives under the running editor" "" "$(ls "$install/motion.txt" 2>/dev/null)"
check "no version check runs under the editor" 0 "$(($(version_checks) - checks_before))"
check_true "the editor still runs" editor_running
version_is_new() { [ "$(installed_version)" == 1.100000 ]; }
check_true "once it has ended the update runs" wait_until 20 version_is_new
check "and its file arrives" motion "$(cat "$install/motion.txt" 2>&1)"
sleep 1

# A missing editor: the error box, and the launcher stays on the screen.
rm -f "$install/WardrobeTool" "$GD_EDITOR_RECORD"
click "$window" $wardrobeToolButton
box=$(wait_window '起動エラー' "$launcher_pid")
check "a missing editor gives the box 起動エラー" yes "$([ -n "$box" ] && echo yes || echo no)"
sleep 0.3
screenshot missing-editor
check "the launcher window stays mapped" IsViewable "$(map_state "$window")"
[ -n "$box" ] && press_return "$box"
check_true "Return dismisses the box" wait_until 5 no_box '起動エラー'
check "nothing was started" "" "$(record)"
check "the launcher window is still mapped" IsViewable "$(map_state "$window")"

# A second FileCheck within two minutes is refused with a box; SIGTERM while
# a box waits for its OK still ends the launcher with exit code 0.
click "$window" $fileCheckButton
box=$(wait_window 'ファイルチェック' "$launcher_pid")
check "a second FileCheck answers in a box" yes "$([ -n "$box" ] && echo yes || echo no)"
kill -TERM "$launcher_pid"
wait_exit "$launcher_pid" 10
check "SIGTERM with a box open ends the launcher with exit code 0" 0 "$exit_code"

e2e_end
