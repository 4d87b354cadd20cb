#!/usr/bin/env bash
# The Debian packages as CPack makes them from this build: the ecosystem's
# checkers accept them, and, unpacked with dpkg -x into a scratch root, the
# start command of the menu entry lays out the user's installation, reuses
# it, refreshes it from a newer package keeping the user's settings, and
# redoes a first copy that was killed midway. Nothing under the root's /usr
# changes, not even when the launcher updates the user's copy.
#   package_test.sh BUILD_DIR GROOVEDECK GDTOOL EDITOR_RECORDER LCOPY SOURCE_DIR
build="$(realpath "$1")"
shift
source "$(dirname "$0")/../e2e/lib.sh"
e2e_begin package

version=$("$e2e_gdtool" --version | cut -d' ' -f2)
arch=$(dpkg --print-architecture)
debs="$work/debs"
root="$work/root"
pristine="$root/usr/lib/groovedeck"
user="$XDG_DATA_HOME/groovedeck"
settings="$XDG_CONFIG_HOME/GrooveDeck.conf"

# ---- the packages and the checkers ----

cpack --config "$build/CPackConfig.cmake" -B "$debs" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb="$debs/groovedeck_${version}_${arch}.deb"
tools_deb="$debs/groovedeck-tools_${version}_${arch}.deb"
check_true "groovedeck_${version}_${arch}.deb is built" test -f "$deb"
check_true "groovedeck-tools_${version}_${arch}.deb is built" test -f "$tools_deb"
field() { dpkg-deb --field "$1" "$2"; }
check "the version is the project's" "$version|$version" \
  "$(field "$deb" Version)|$(field "$tools_deb" Version)"
check_true "the dependencies come from the binaries" \
  grep -q 'libqt6widgets6.*libqt6webenginewidgets6\|libqt6webenginewidgets6.*libqt6widgets6' \
  <<< "$(field "$deb" Depends)"
check_true "gdtool needs no Qt Widgets" \
  bash -c '! grep -q libqt6widgets6 <<< "$1"' _ "$(field "$tools_deb" Depends)"
check_true "a maintainer is named" grep -q '<.*@.*>' <<< "$(field "$deb" Maintainer)"
lintian --fail-on error,warning "$deb" "$tools_deb" > "$work/lintian.log" 2>&1
check "lintian: no error, no warning that is not overridden" 0 "$?"
cat "$work/lintian.log"

mkdir -p "$root"
dpkg -x "$deb" "$root"
dpkg -x "$tools_deb" "$root"
desktop=$(echo "$root"/usr/share/applications/*.desktop)
metainfo=$(echo "$root"/usr/share/metainfo/*.metainfo.xml)
check_true "desktop-file-validate accepts the menu entry" desktop-file-validate "$desktop"
check_true "appstreamcli accepts the metainfo" appstreamcli validate --no-net "$metainfo"
check "the metainfo names the menu entry" "${desktop##*/}" \
  "$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")"
newest_release=$(grep -o -m1 '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
newest_change=$(zcat "$root/usr/share/doc/groovedeck/changelog.gz" | head -n1 | sed 's/.*(\(.*\)).*/\1/')
check "the newest release and changelog entry are this version" "$version|$version" \
  "$newest_release|$newest_change"
for file in GrooveDeck lcopy AvatarTool StepTool WardrobeTool libgdnews.so libgdengine.so config.dat version.dat
do
  check_true "the pristine installation holds $file" test -s "$pristine/$file"
done
check "the packaged config.dat is the publisher's" "$(cat "$GD_PUBLISHER_CONFIG")" \
  "$(decrypt_text "$pristine/config.dat")"
check "the packaged version.dat holds the publisher's version" \
  "$(LC_ALL=C printf '%f,%f' "$GD_PUBLISHER_VERSION" "$GD_PUBLISHER_VERSION")" \
  "$(decrypt_text "$pristine/version.dat")"
check_true "gdtool is in the tools package" test -x "$root/usr/bin/gdtool"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
check "the menu entry starts the start command" /usr/bin/groovedeck "$exec_line"

# ---- the start command ----

# This test's update server instead of the demo's, and a patch 1.1 that adds a
# file: the launcher updates the user's copy and must leave the root alone.
start_ftp
printf '%s\n' "DUREDOR_FTP_ADR = \"127.0.0.1:$ftp_port\"" 'DUREDOR_FTP_USER = "gd"' \
  'DUREDOR_FTP_PASS = "pw"' 'DUREDOR_FTP_PATH = "/update"' 'CERTIFICATION_URL = ""' |
  encrypt - "$pristine/config.dat"
printf '1.000000,1.000000' | encrypt - "$pristine/version.dat"
mkdir -p "$work/stage/motions"
echo "wave" > "$work/stage/motions/wave.txt"
printf 'function updater()\n  update.mkdir("motions")\n  update.copy("motions/wave.txt", "motions/wave.txt")\nend\n' \
  > "$work/update.lua"
serve_patch 1.1 patch-1.1.zip "$work/update.lua" "$work/stage"

snapshot() { (cd "$root" && find . -printf '%p %y %m %s\n' | sort && find . -type f -exec md5sum {} + | sort); }
before=$(snapshot)

# start_command: the menu entry's command, as the desktop starts it, with its
# pid (which the launcher takes over) in $start_pid.
start_command() {
  (cd "$work/cwd" && exec "$root$exec_line") >> "$work/start.log" 2>&1 &
  start_pid=$!
  e2e_pids+=("$start_pid")
}
# expect_launcher CASE: the window of the user's launcher maps, then it ends.
expect_launcher() {
  local window
  window=$(wait_window "$e2e_title" "$start_pid")
  check "$1: the launcher window appears" yes "$([ -n "$window" ] && echo yes || echo no)"
  check "$1: the launcher runs from the user's copy" "$user/GrooveDeck" \
    "$(readlink "/proc/$start_pid/exe")"
}
end_launcher() { stop "$start_pid"; }
user_version() { decrypt_text "$user/version.dat" | cut -d, -f1; }
updated() { [ "$(user_version)" == 1.100000 ]; }
inode() { stat -c %i "$1"; }

start_command
expect_launcher "first start"
screenshot first-start
check "first start: InstallDir and BootDir name the copy" "InstallDir=$user/|BootDir=$user/" \
  "$(grep '^InstallDir=' "$settings")|$(grep '^BootDir=' "$settings")"
check_true "first start: the launcher updates the user's copy" wait_until 30 updated
check "first start: the patch's file arrives in the copy" wave "$(cat "$user/motions/wave.txt")"
check "first start: nothing but the copy in XDG_DATA_HOME" groovedeck "$(ls -A "$XDG_DATA_HOME")"
end_launcher

launcher_inode=$(inode "$user/GrooveDeck")
start_command
expect_launcher "second start"
check "second start: the copy is reused, not copied again" "$launcher_inode" \
  "$(inode "$user/GrooveDeck")"
check "second start: a newer copy is not taken back to the package's version" 1.100000 \
  "$(user_version)"
end_launcher
check "the launcher wrote nothing under /usr" "$before" "$(snapshot)"

# A package upgrade to 1.2 with a new file; the user has an account value.
printf '1.200000,1.000000' | encrypt - "$pristine/version.dat"
echo "packaged readme" > "$pristine/readme.txt"
echo "AccountId=someone" >> "$settings"
start_command
expect_launcher "newer package"
check "newer package: the copy takes its version" 1.200000 "$(user_version)"
check "newer package: and its new file" "packaged readme" "$(cat "$user/readme.txt")"
check_true "newer package: the launcher is replaced" \
  test "$launcher_inode" != "$(inode "$user/GrooveDeck")"
check "newer package: the update's file stays" wave "$(cat "$user/motions/wave.txt")"
check "newer package: the user's settings stay" "AccountId=someone|InstallDir=$user/" \
  "$(grep '^AccountId=' "$settings")|$(grep '^InstallDir=' "$settings")"
end_launcher

# A first copy killed midway, in a fresh home: a large file keeps it busy.
export XDG_DATA_HOME="$work/home2/.local/share" XDG_CONFIG_HOME="$work/config2"
user="$XDG_DATA_HOME/groovedeck"
settings="$XDG_CONFIG_HOME/GrooveDeck.conf"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
truncate -s 512M "$pristine/large.bin"
start_command
copying() { [ -n "$(ls -A "$XDG_DATA_HOME")" ]; }
wait_until 20 copying
kill -KILL "$start_pid"
wait_exit "$start_pid" 10
check_true "killed copy: killed before the copy was complete" test ! -e "$user"
check_true "killed copy: what it copied is left behind" copying
start_command
expect_launcher "after a killed copy"
check_true "after a killed copy: the copy is whole" diff -r "$pristine" "$user"
check "after a killed copy: nothing else in XDG_DATA_HOME" groovedeck "$(ls -A "$XDG_DATA_HOME")"
end_launcher

e2e_end
