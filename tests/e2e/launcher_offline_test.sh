#!/usr/bin/env bash
# The launcher without an update server: it opens offline with the logo in the
# news area, Update and FileCheck keep their dark grey disabled look under the
# cursor and a click on them does nothing, while the other buttons still work.
#   launcher_offline_test.sh GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_begin offline

make_install "$(closed_port)"
# What only the network needs comes with the engine module after the map, not
# with the executable before it.
check "the launcher itself needs no network library" "" \
  "$(readelf -d "$install/GrooveDeck" | grep -oE 'lib(curl|Qt6Network)[^]]*')"
start_launcher
window=$(wait_window "$e2e_title" "$launcher_pid")
check "the launcher window appears" yes "$([ -n "$window" ] && echo yes || echo no)"
[ -n "$window" ] || { e2e_end; exit 1; }
sleep 0.5
screenshot offline

# Sample points inside each button but off its label.
update_x=20 update_y=335 step_x=425 step_y=25
window_shot rest
check "Update is drawn disabled (dark grey)" grey "$(colour rest $update_x $update_y)"
check "FileCheck is drawn disabled (dark grey)" grey "$(colour rest 107 335)"
check "StepTool's button is drawn normal (blue)" blue "$(colour rest $step_x $step_y)"

# The cursor turns an enabled button orange, but not a disabled one.
xdotool mousemove --window "$window" $stepToolButton
sleep 0.5
window_shot hover-step
check "the cursor turns the StepTool button orange" orange "$(colour hover-step $step_x $step_y)"
xdotool mousemove --window "$window" $updateButton
sleep 0.5
window_shot hover-update
screenshot offline-hover-update
check "the cursor leaves Update dark grey" grey "$(colour hover-update $update_x $update_y)"
check "the bottom bar is unchanged under the cursor" "$(region rest 0 322 200 43)" \
  "$(region hover-update 0 322 200 43)"

# Clicks on the disabled buttons: no box, no change.
launcher_windows() { xdotool search --all --pid "$launcher_pid" --onlyvisible --name '' | sort; }
before=$(launcher_windows)
click "$window" $updateButton
sleep 0.3
click "$window" $fileCheckButton
sleep 1.5
check "clicking Update or FileCheck opens no window" "$before" "$(launcher_windows)"
window_shot clicked
check "Update stays dark grey after the click" grey "$(colour clicked $update_x $update_y)"
check "nothing was written to version.dat" 1.000000 "$(installed_version)"

# Offline, Quit still works.
click "$window" $quitButton
wait_exit "$launcher_pid" 10
check "Quit ends the offline launcher with exit code 0" 0 "$exit_code"

e2e_end
