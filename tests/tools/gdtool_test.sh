#!/usr/bin/env bash
# gdtool's command-line contract: other tools and the demo rely on its output
# lines and exit codes.
set -u
gdtool="$1"
lcopy="$2"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
python=/usr/bin/python3
work=$(mktemp -d)
# What the publisher keeps of a server (its record, the trees of releases) goes here.
export XDG_DATA_HOME="$work/data"
ftp_pid=""
trap '[ -n "$ftp_pid" ] && kill "$ftp_pid"; rm -rf "$work"' EXIT
# check, update and channel keep each installation's number in the user's
# settings: these are the test's own.
export XDG_CONFIG_HOME="$work/config"
passed=0 failed=0

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

contains() {  # contains NAME NEEDLE HAYSTACK
  case "$3" in
    *"$2"*) passed=$((passed + 1)) ;;
    *) failed=$((failed + 1)); printf 'FAIL %s\n  wanted: %q\n  in:     %q\n' "$1" "$2" "$3" ;;
  esac
}

# Enciphering: the reference vector, stdin/stdout, and a file round trip.
check "encrypt abc" "277749" "$(printf abc | "$gdtool" encrypt - - | od -An -tx1 | tr -d ' \n')"
printf 'abc\0def' > "$work/plain"
"$gdtool" encrypt "$work/plain" "$work/cipher"
"$gdtool" decrypt "$work/cipher" "$work/back"
check "round trip" "" "$(cmp "$work/plain" "$work/back" 2>&1)"

# config: the five settings and the version file it creates.
mkdir "$work/install"
cat > "$work/config.lua" <<'LUA'
CERTIFICATION_URL = "http://127.0.0.1:8080/news.php"
DUREDOR_FTP_ADR = "127.0.0.1:2121"
DUREDOR_FTP_USER = "groove"
DUREDOR_FTP_PASS = "deck"
DUREDOR_FTP_PATH = 21
LUA
"$gdtool" encrypt "$work/config.lua" "$work/install/config.dat"
expected="CERTIFICATION_URL=http://127.0.0.1:8080/news.php
DUREDOR_FTP_ADR=127.0.0.1:2121
DUREDOR_FTP_USER=groove
DUREDOR_FTP_PASS=<hidden>
DUREDOR_FTP_PATH=21
installedVersion=1.000000
secondVersion=1.000000"
check "config" "$expected" "$("$gdtool" config "$work/install")"
check "config --show-password" "DUREDOR_FTP_PASS=deck" \
  "$("$gdtool" config "$work/install" --show-password | grep PASS)"
# A config.dat written as plain Lua is said to need enciphering.
mkdir "$work/plainlua"
cp "$work/config.lua" "$work/plainlua/config.dat"
out=$("$gdtool" config "$work/plainlua"); rc=$?
check "plain config.dat exit" 1 $rc
contains "plain config.dat says so" "config.dat is plain Lua text: encipher it with gdtool encrypt" "$out"
check "version.dat created" "1.000000,1.000000" "$("$gdtool" decrypt "$work/install/version.dat" -)"
printf '2.500000,1.000000' | "$gdtool" encrypt - "$work/install/version.dat"
check "config version" "installedVersion=2.500000" \
  "$("$gdtool" config "$work/install" | grep installedVersion)"

# filelist: entries in call order, exit 0; script errors on stderr, exit 1.
cat > "$work/filelist.lua" <<'LUA'
latest_version = 1.2
function filelist(latest)
  patch.File("2026/01/10", 1.1, "a.zip")
  patch.File("2026/02/10", "1.2", "b.zip")
end
LUA
"$gdtool" encrypt "$work/filelist.lua" "$work/filelist.dat"
out=$("$gdtool" filelist "$work/filelist.dat" 1.0); rc=$?
check "filelist" "latest=1.200000
entry=2026/01/10	1.100000	a.zip
entry=2026/02/10	1.200000	b.zip" "$out"
check "filelist exit" 0 $rc
check "filelist up to date" "latest=0.000000" "$("$gdtool" filelist "$work/filelist.dat" 1.2)"

# One result whatever LANG says: scripts compare, sort and name dates in the C locale.
printf 'local t = {"b", "B", "a"} table.sort(t) latest_version = 1.1\nfunction filelist() patch.File(table.concat(t) .. tostring("a" < "B") .. os.date("!%%A", 0), 1.1, "a.zip") end\n' |
  "$gdtool" encrypt - "$work/locale.dat"
for lang in "" C.UTF-8 en_US.UTF-8 ja_JP.UTF-8; do
  if [ -n "$lang" ] && ! locale -a | grep -qix "${lang/UTF-8/utf8}"; then
    echo "skipped under LANG=$lang: the locale is not installed"
    continue
  fi
  check "one result under LANG=$lang" "entry=BabfalseThursday	1.100000	a.zip" \
    "$(LANG=$lang LC_ALL=$lang "$gdtool" filelist "$work/locale.dat" 1.0 | grep entry=)"
done
# filelist: what an installation of a number and a channel is offered.
printf '%s\n' 'latest_version = 1.2' \
  'function filelist() patch.File("d", 1.1, "a.zip") patch.File("d", 1.2, "b.zip") end' \
  '--@stage 1.3 1.2 20 - s.zip' '--@stage 1.4 1.3 100 beta t.zip' | "$gdtool" encrypt - "$work/staged.dat"
entries="entry=d	1.100000	a.zip
entry=d	1.200000	b.zip"
check "filelist below the share" "latest=1.300000
$entries
entry=staged	1.300000	s.zip
withheld=1.400000: for the channel beta; this installation is on no channel" \
  "$("$gdtool" filelist "$work/staged.dat" 1.0 --number 19)"
check "filelist in the channel" "latest=1.400000
$entries
entry=staged	1.300000	s.zip
entry=staged	1.400000	t.zip" "$("$gdtool" filelist "$work/staged.dat" 1.0 --number 19 --channel beta)"
check "filelist without a number: no way to the channel's" \
  "withheld=1.400000: no archive leads there from 1.200000" \
  "$("$gdtool" filelist "$work/staged.dat" 1.0 --channel beta | tail -n1)"

printf 'latest_version = ' | "$gdtool" encrypt - "$work/broken.dat"
err=$("$gdtool" filelist "$work/broken.dat" 1.0 2>&1 >/dev/null); rc=$?
check "syntax error exit" 1 $rc
check "syntax error text" "エラー: サーバー上のファイルリストの取得に失敗しました。" "$err"
printf 'latest_version = 2' | "$gdtool" encrypt - "$work/nofunc.dat"
err=$("$gdtool" filelist "$work/nofunc.dat" 1.0 2>&1 >/dev/null); rc=$?
check "filelist missing exit" 1 $rc
check "filelist missing text" "エラー: サーバー上のファイルリストの解析に失敗しました。" "$err"

# Refusals: one line on stderr, exit 2 for a wrong command line, 3 for an
# argument that names what cannot be used, 6 for an output that cannot be made.
for row in "2|" "2|encrypt a" "2|decrypt" "2|config" "2|filelist $work/filelist.dat" "2|frobnicate" \
           "2|release $work" "2|release $work $work $work 1.1 --expires 3" "2|audit" \
           "3|filelist $work/missing.dat 1.0" "3|filelist $work/filelist.dat abc" \
           "2|filelist $work/filelist.dat 1.0 --number 100" "2|filelist $work/filelist.dat 1.0 --channel" \
           "2|channel" "2|channel $work/install beta --none" "3|channel $work/install Beta" \
           "3|encrypt $work/missing $work/out" "3|config $work/missing" "3|audit $work/install" \
           "3|resign $work/install $work/missing.sec --json" \
           "3|pack $work/out.zip $work/filelist.lua $work/missing" \
           "6|encrypt $work/filelist.lua $work/missing/out"; do
  IFS='|' read -r code args <<< "$row"
  # shellcheck disable=SC2086
  err=$("$gdtool" $args 2>&1 >/dev/null); rc=$?
  check "rc [$args]" "$code" $rc
  [ -n "$args" ] && check "one line [$args]" 1 "$(printf '%s\n' "$err" | wc -l)"
done
check "help" 0 "$("$gdtool" --help >/dev/null; echo $?)"
# refuses RC ROW...: gdtool with each row's "ARGS|WHAT ITS ERROR SAYS" exits RC
# and says so.
refuses() {
  local want=$1 row args says err rc
  shift
  for row in "$@"; do
    IFS='|' read -r args says <<< "$row"
    # shellcheck disable=SC2086
    err=$("$gdtool" $args 2>&1 >/dev/null); rc=$?
    check "rc [$args]" "$want" $rc
    contains "says why [$args]" "$says" "$err"
  done
}
# A usage error names what is wrong and where the help is.
refuses 2 "update $work/install --frob|gdtool: update: unknown option --frob (see gdtool update --help)" \
           "sign $work/k.sec -x $work/f|gdtool: sign: unknown option -x (see gdtool sign --help)" \
           "config|gdtool: config needs DIR [--json] [--show-password] (see gdtool config --help)" \
           "frobnicate|gdtool: unknown command: frobnicate (see gdtool --help)" \
           "release $work $work $work 1.1 --description --x --frob|unknown option --frob"

# channel: the installation's own number, drawn once and kept, and its channel.
out=$("$gdtool" channel "$work/install"); rc=$?
number=${out##*number=}
check "channel: none at first, and a number" "0 channel= yes" \
  "$rc $(head -n1 <<< "$out") $([ "$number" -ge 0 ] && [ "$number" -le 99 ] && echo yes)"
check "channel: set" "channel=beta
number=$number" "$("$gdtool" channel "$work/install" beta)"
check "channel: kept, for the same folder by another path" \
  "{\"type\":\"channel\",\"channel\":\"beta\",\"number\":$number}" \
  "$(cd "$work" && "$gdtool" channel ./install/ --json)"
check "channel: cleared" "channel=" "$("$gdtool" channel "$work/install" --none | head -n1)"
err=$(XDG_CONFIG_HOME=/dev/null/none "$gdtool" channel "$work/install" beta 2>&1 >/dev/null); rc=$?
check "channel: settings that cannot be written" \
  "6 gdtool: cannot write /dev/null/none/GrooveDeck/installations.conf" "$rc $err"

# Wrong arguments are the caller's fault (exit 3) and change nothing: a
# folder without config.dat, a file to sign or check that is not there, a
# key that is missing or is the secret half, a folder with a link to pack.
mkdir "$work/empty" "$work/linked"
"$gdtool" keygen "$work/k1.pub" "$work/k1.sec" > /dev/null
"$gdtool" keygen "$work/k2.pub" "$work/k2.sec" > /dev/null
ln -s /etc/passwd "$work/linked/passwd"
mkfifo "$work/linked/fifo"
refuses 3 "config $work/empty|not an installation" "check $work/empty|not an installation" \
           "update $work/empty|not an installation" "sign $work/k1.sec $work/missing|cannot read" \
           "verify $work/k1.pub $work/missing|cannot read $work/missing" \
           "verify $work/none.pub $work/filelist.dat|cannot read $work/none.pub" \
           "verify $work/k1.sec $work/filelist.dat|is a minisign secret key" \
           "pack $work/out.zip $work/filelist.lua $work/linked|symbolic link $work/linked/passwd" \
           "pack $work/out.zip $work/filelist.lua $work/linked|special file $work/linked/fifo"
check "nothing made in a folder that is no installation" "" "$(ls -A "$work/empty")"
check "nothing packed from a folder with a link" no "$([ -e "$work/out.zip" ] && echo yes || echo no)"

# Per-command help, and a manual page that knows every command.
for command in encrypt decrypt config filelist check channel update pack release rollout revert \
               audit resign keygen sign verify; do
  out=$("$gdtool" "$command" --help); rc=$?
  check "$command --help" "0 usage: gdtool $command" "$rc $(head -c $((14 + ${#command})) <<< "$out")"
  case "$command" in
    *) contains "$command --help has an example" "example:
  gdtool $command " "$out"
       check "$command --help keeps to its exit codes" "" "$(grep -E '^  [0-9]' <<< "$out" |
         grep -E "$(case "$command" in update) echo ' 6 ' ;; *) echo ' 4 ' ;; esac)")" ;;
  esac
  check "gdtool.1 describes $command" yes "$(grep -qE "^\.BI? $command( |\$)|^\\\\fB$command\\\\fR" \
    "$source_dir/packaging/gdtool.1" && echo yes)"
done
for section in FILES ENVIRONMENT "EXIT STATUS" EXAMPLES; do
  check "gdtool.1 has $section" 1 "$(grep -c "^\.SH $section\$" "$source_dir/packaging/gdtool.1")"
done

# ---- against a real FTP server: every failure is a failure, with its reason ----
mkdir -p "$work/srv/update" "$work/srv/broken" "$work/srv/gone" "$work/stage"
echo new > "$work/stage/new.txt"
echo 'function updater() update.copy("new.txt", "new.txt") end' > "$work/update.lua"
"$gdtool" pack "$work/srv/update/p.zip" "$work/update.lua" "$work/stage"
printf 'latest_version = 1.1\nfunction filelist() patch.File("d", 1.1, "%s") end\n' p.zip |
  "$gdtool" encrypt - "$work/srv/update/filelist.dat"
printf 'latest_version = 1.1\nfunction filelist() patch.File("d", 1.1, "%s") end\n' p2.zip |
  "$gdtool" encrypt - "$work/srv/gone/filelist.dat"
cp "$work/broken.dat" "$work/srv/broken/filelist.dat"
# An unsigned list that tries to write gdtool's lines: its print and a label
# with a line break in it.
mkdir -p "$work/srv/forge"
cat <<'LUA' | "$gdtool" encrypt - "$work/srv/forge/filelist.dat"
print("status=up-to-date")
print('{"type":"status","status":"up-to-date"}\027[2J')
latest_version = 1.1
function filelist() patch.File("d\nstatus=up-to-date", 1.1, "p.zip") end
LUA
"$python" "$source_dir/tests/support/ftp_server.py" --root "$work/srv" --user gd --password pw \
  > "$work/ftp.port" 2> "$work/ftp.log" &
ftp_pid=$!
for _ in $(seq 100); do [ -s "$work/ftp.port" ] && break; sleep 0.1; done
port=$(head -n1 "$work/ftp.port")
closed=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
installation() {  # installation NAME ADDRESS PASSWORD FOLDER
  mkdir -p "$work/$1"
  printf 'DUREDOR_FTP_ADR = "%s"\nDUREDOR_FTP_USER = "gd"\nDUREDOR_FTP_PASS = "%s"\nDUREDOR_FTP_PATH = "%s"\n' \
    "$2" "$3" "$4" | "$gdtool" encrypt - "$work/$1/config.dat"
}
installation good "127.0.0.1:$port" pw /update
installation login "127.0.0.1:$port" wrong /update
installation folder "127.0.0.1:$port" pw /nothere
installation down "127.0.0.1:$closed" pw /update
installation broken "127.0.0.1:$port" pw /broken
installation gone "127.0.0.1:$port" pw /gone
installation forge "127.0.0.1:$port" pw /forge
installation busy "127.0.0.1:$port" pw /update
server="the update server 127.0.0.1:$port"
# EXIT | ARGUMENTS | stdout holds | stderr holds
rows=(
  "5|check $work/login|status=failed: $server refused the login of gd|gdtool: $server refused the login of gd"
  "5|update $work/login|status=failed: $server refused the login of gd|refused the login"
  "5|check $work/folder|status=failed: $server cannot enter the folder /nothere|/nothere"
  "5|update $work/folder|status=failed: $server cannot enter the folder /nothere|/nothere"
  "5|check $work/down|status=failed: the update server 127.0.0.1:$closed does not answer|does not answer"
  "5|update $work/down|status=failed: the update server 127.0.0.1:$closed does not answer|does not answer"
  "1|check $work/broken|latest=0.000000|ファイルリストの取得に失敗しました"
  "1|check $work/broken|status=refused: サーバー上のファイルリストの取得に失敗しました。|"
  "5|update $work/gone|status=failed: p2.zip cannot be fetched from ftp://127.0.0.1:$port/gone|p2.zip"
  "0|check $work/good|latest=1.100000|"
  "0|check $work/good|status=update|"
  "0|update $work/good --json|{\"type\":\"report\",\"code\":3,\"name\":\"Completed\",\"value\":0,\"text\":\"\",\"archive\":\"p.zip\",\"version\":\"1.100000\"}|"
  "0|update $work/good|status=up-to-date|"
  "0|check $work/good|latest=1.100000|"
  "0|update $work/good|downloaded=0|"
  "0|check $work/good --json|{\"type\":\"status\",\"status\":\"up-to-date\"}|"
  "0|config $work/good --json|\"DUREDOR_FTP_PATH\":\"/update\",\"installedVersion\":\"1.100000\"|"
  "0|config $work/cp932 --json|\"CERTIFICATION_URL\":\"http://例/\\t\\u0001\"|"
  "1|audit $work/srv/gone --json|{\"type\":\"problem\",\"text\":\"p2.zip: listed but not in $work/srv/gone\"}|"
)
# Installation data that is CP932, or holds control characters, still makes
# valid JSON.
mkdir "$work/cp932"
printf 'CERTIFICATION_URL = "http://\x97\xe1/\t\001"\n' | "$gdtool" encrypt - "$work/cp932/config.dat"
for row in "${rows[@]}"; do
  IFS='|' read -r code args stdout stderr <<< "$row"
  # shellcheck disable=SC2086
  "$gdtool" $args > "$work/out" 2> "$work/err"; rc=$?
  check "rc [$args]" "$code" $rc
  contains "stdout [$args]" "$stdout" "$(cat "$work/out")"
  contains "stderr [$args]" "$stderr" "$(cat "$work/err")"
  case "$args" in
    *--json) check "JSON lines [$args]" ok "$("$python" -c '
import json, sys
for line in open(sys.argv[1]): json.loads(line)
print("ok")' "$work/out" 2>&1)" ;;
  esac
done

# What a script prints goes to stderr, marked and escaped; stdout has
# gdtool's lines alone, whatever the script's values hold.
for json in "" --json; do
  # shellcheck disable=SC2086
  "$gdtool" check "$work/forge" $json > "$work/out" 2> "$work/err"
  check "one status, the last line [check $json]" "1 1" \
    "$(grep -c '^status=\|^{"type":"status"' "$work/out") $(tail -n1 "$work/out" | grep -c 'update')"
  check "no escape character [check $json]" 0 "$(cat "$work/out" "$work/err" | grep -c $'\033')"
done
contains "a script's print is marked" 'script: {"type":"status","status":"up-to-date"}\x1B[2J' \
  "$(cat "$work/err")"
contains "a label's line break is escaped" 'entry=d\x0Astatus=up-to-date	1.100000	p.zip' \
  "$("$gdtool" check "$work/forge")"
# One update at a time per installation: while another run holds its folder
# (flock(1) here, as a run holds it), an update ends at once and changes nothing.
out=$(flock "$work/busy" "$gdtool" update "$work/busy" 2> "$work/err"); rc=$?
check "an update of a held installation ends at once" "7 no" \
  "$rc $([ -e "$work/busy/new.txt" ] && echo yes || echo no)"
contains "and says why" "status=busy: another update of $work/busy/ is running" "$out"
check "the next one runs" "0 yes" \
  "$("$gdtool" update "$work/busy" > /dev/null 2>&1; echo $?) $([ -e "$work/busy/new.txt" ] && echo yes)"

# A launcher staged by an update waits for lcopy; --replace-launcher has the
# installation's lcopy put it in place without a display, unless one runs.
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
cp "$lcopy" "$work/good/lcopy"
printf 'old' > "$work/good/GrooveDeck"
printf 'new' > "$work/good/GrooveDeck.new"
"$gdtool" update "$work/good" > "$work/out" 2> /dev/null
check "a staged launcher waits without --replace-launcher" "4 new" "$? $(cat "$work/good/GrooveDeck.new")"
exec 4> "$XDG_RUNTIME_DIR/GrooveDeckLancher" && flock -n 4
err=$("$gdtool" update "$work/good" --replace-launcher 2>&1 >/dev/null)
check "nor while a launcher runs" "4 old" "$? $(cat "$work/good/GrooveDeck")"
contains "which it says" "a launcher is running" "$err"
exec 4>&-
out=$("$gdtool" update "$work/good" --replace-launcher 2> /dev/null); rc=$?
check "--replace-launcher puts it in place" "0 new no" \
  "$rc $(cat "$work/good/GrooveDeck") $([ -e "$work/good/GrooveDeck.new" ] && echo yes || echo no)"
contains "and says so" "replaced=$work/good/GrooveDeck" "$out"
check "the next update goes on" 0 "$("$gdtool" update "$work/good" > /dev/null 2>&1; echo $?)"
# A launcher in the middle of a chain: put in place, and the run goes on.
mkdir -p "$work/srv/chain" "$work/launcher" "$work/after"
printf 'newer' > "$work/launcher/GrooveDeck"
echo 'function updater() update.launcherupdate() end' > "$work/launcher.lua"
"$gdtool" pack "$work/srv/chain/p12.zip" "$work/launcher.lua" "$work/launcher"
echo after > "$work/after/after.txt"
echo 'function updater() update.copy("after.txt", "after.txt") end' > "$work/after.lua"
"$gdtool" pack "$work/srv/chain/p13.zip" "$work/after.lua" "$work/after"
printf 'latest_version = 1.3\nfunction filelist() patch.File("d", 1.2, "p12.zip") patch.File("d", 1.3, "p13.zip") end\n' |
  "$gdtool" encrypt - "$work/srv/chain/filelist.dat"
installation chain "127.0.0.1:$port" pw /chain
cp "$lcopy" "$work/chain/lcopy"
printf 'old' > "$work/chain/GrooveDeck"
out=$("$gdtool" update "$work/chain" --replace-launcher 2> /dev/null); rc=$?
check "--replace-launcher goes on with the archives after it" "0 1.300000 newer after" \
  "$rc $("$gdtool" decrypt "$work/chain/version.dat" - | cut -d, -f1) $(cat "$work/chain/GrooveDeck") $(cat "$work/chain/after.txt" 2>&1)"
check "and ends with one status line" "status=updated" "$(grep status= <<< "$out")"

# The publisher's safety nets: a dry run publishes nothing, a release that
# names the tree at fault, a new key that earlier archives lack, resign, and
# audit's word on the list's expiry.
mkdir -p "$work/pub/update" "$work/old" "$work/new"
echo a > "$work/old/a.txt"
cp "$work/old/a.txt" "$work/new/a.txt"
echo b > "$work/new/b.txt"
ln -s a.txt "$work/new/link"
err=$("$gdtool" release "$work/pub/update" "$work/old" "$work/new" 1.1 2>&1 >/dev/null)
check "release names the tree at fault" "gdtool: NEW_TREE symbolic link $work/new/link: updates cannot make links" "$err"
rm "$work/new/link"
out=$("$gdtool" release "$work/pub/update" "$work/old" "$work/missing" 1.1 --json 2>/dev/null); rc=$?
check "a refused release says why in JSON too" \
  '3 {"type":"refused","exit":3,"reason":"NEW_TREE is not a folder: '"$work/missing"'"}' "$rc $out"
out=$("$gdtool" release "$work/pub/update" "$work/old" "$work/new" 1.1 --dry-run --json); rc=$?
check "a dry run proves and publishes nothing" "0 " "$rc $(ls -A "$work/pub/update")"
contains "and lists the changes" '{"type":"change","change":"A","path":"b.txt"}' "$out"
# Installations trust k1, then k1 and k2 (a key rotation), then k2 signs.
key_of() { sed -n 2p "$1"; }
printf 'DUREDOR_SIGN_KEY = "%s"\n' "$(key_of "$work/k1.pub")" | "$gdtool" encrypt - "$work/old/config.dat"
cp "$work/old/config.dat" "$work/new/config.dat"
"$gdtool" release "$work/pub/update" "$work/old" "$work/new" 1.1 --sign "$work/k1.sec" > /dev/null
cp -r "$work/new" "$work/newer" && echo c > "$work/newer/c.txt"
printf 'DUREDOR_SIGN_KEY = {"%s", "%s"}\n' "$(key_of "$work/k1.pub")" "$(key_of "$work/k2.pub")" |
  "$gdtool" encrypt - "$work/newer/config.dat"
err=$("$gdtool" release "$work/pub/update" "$work/new" "$work/newer" 1.2 --sign "$work/k2.sec" \
  --change-keys 2>&1 >/dev/null)
contains "release refuses a key that installations at the last release do not trust" \
  "installations at the last release would refuse this list" "$err"
"$gdtool" release "$work/pub/update" "$work/new" "$work/newer" 1.2 --sign "$work/k1.sec" \
  --change-keys > /dev/null
cp -r "$work/newer" "$work/newest" && echo d > "$work/newest/d.txt"
err=$("$gdtool" release "$work/pub/update" "$work/newer" "$work/newest" 1.3 --sign "$work/k2.sec" 2>&1 >/dev/null)
contains "release offers to sign earlier archives with a new key" \
  "not signed by this key: patch-1.1.zip" "$err"
check "which audit refuses" 1 "$("$gdtool" audit "$work/pub/update" --pub "$work/k2.pub" > /dev/null; echo $?)"
out=$("$gdtool" resign "$work/pub/update" "$work/k2.sec" --archives --expires 3); rc=$?
check "resign signs them and audits" 0 $rc
contains "resign signs the archives" "signed=patch-1.1.zip.minisig" "$out"
contains "audit warns of a list that expires within 7 days" "warning: filelist.dat: its signature expires" "$out"
minisign -S -s "$work/k2.sec" -m "$work/pub/update/filelist.dat" -t "file=filelist.dat expires=1000" > /dev/null
out=$("$gdtool" audit "$work/pub/update"); rc=$?
check "audit fails a list whose signature has expired" 1 $rc
contains "audit without --pub says it checked no signature" "note: signatures were not checked" "$out"
contains "and says so" "filelist.dat: its signature expired at 1970-01-01 00:16:40 UTC" "$out"

check "version" "gdtool " "$("$gdtool" --version | cut -c1-7)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
