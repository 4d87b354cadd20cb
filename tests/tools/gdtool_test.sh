#!/usr/bin/env bash
# gdtool's command-line contract: other tools and the demo rely on its output
# lines and exit codes.
set -u
gdtool="$1"
lcopy="$2"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
python=/usr/bin/python3
work=$(mktemp -d)
ftp_pid=""
trap '[ -n "$ftp_pid" ] && kill "$ftp_pid"; rm -rf "$work"' EXIT
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
DUREDOR_FTP_PASS=deck
DUREDOR_FTP_PATH=21
installedVersion=1.000000
secondVersion=1.000000"
check "config" "$expected" "$("$gdtool" config "$work/install")"
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
           "3|encrypt $work/missing $work/out" "3|config $work/missing" "3|audit $work/install" \
           "3|pack $work/out.zip $work/filelist.lua $work/missing" \
           "6|encrypt $work/filelist.lua $work/missing/out"; do
  IFS='|' read -r code args <<< "$row"
  # shellcheck disable=SC2086
  err=$("$gdtool" $args 2>&1 >/dev/null); rc=$?
  check "rc [$args]" "$code" $rc
  [ -n "$args" ] && check "one line [$args]" 1 "$(printf '%s\n' "$err" | wc -l)"
done
check "help" 0 "$("$gdtool" --help >/dev/null; echo $?)"

# Wrong arguments are the caller's fault (exit 3) and change nothing: a
# folder without config.dat, a file to sign or check that is not there, a
# key that is missing or is the secret half, a folder with a link to pack.
mkdir "$work/empty" "$work/linked"
"$gdtool" keygen "$work/k1.pub" "$work/k1.sec" > /dev/null
"$gdtool" keygen "$work/k2.pub" "$work/k2.sec" > /dev/null
ln -s /etc/passwd "$work/linked/passwd"
mkfifo "$work/linked/fifo"
for row in "config $work/empty|not an installation" "check $work/empty|not an installation" \
           "update $work/empty|not an installation" "sign $work/k1.sec $work/missing|cannot read" \
           "verify $work/k1.pub $work/missing|cannot read $work/missing" \
           "verify $work/none.pub $work/filelist.dat|cannot read $work/none.pub" \
           "verify $work/k1.sec $work/filelist.dat|is a minisign secret key" \
           "pack $work/out.zip $work/filelist.lua $work/linked|symbolic link $work/linked/passwd" \
           "pack $work/out.zip $work/filelist.lua $work/linked|special file $work/linked/fifo"; do
  IFS='|' read -r args says <<< "$row"
  # shellcheck disable=SC2086
  err=$("$gdtool" $args 2>&1 >/dev/null); rc=$?
  check "rc [$args]" 3 $rc
  contains "says why [$args]" "$says" "$err"
done
check "nothing made in a folder that is no installation" "" "$(ls -A "$work/empty")"
check "nothing packed from a folder with a link" no "$([ -e "$work/out.zip" ] && echo yes || echo no)"

# Per-command help, and a manual page that knows every command.
for command in encrypt decrypt config filelist check update pack release audit resign keygen \
               sign verify; do
  out=$("$gdtool" "$command" --help); rc=$?
  check "$command --help" "0 usage: gdtool $command" "$rc $(head -c $((14 + ${#command})) <<< "$out")"
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
check "--replace-launcher puts it in place" "4 new no" \
  "$rc $(cat "$work/good/GrooveDeck") $([ -e "$work/good/GrooveDeck.new" ] && echo yes || echo no)"
contains "and says so" "replaced=$work/good/GrooveDeck" "$out"
check "the next update goes on" 0 "$("$gdtool" update "$work/good" > /dev/null 2>&1; echo $?)"

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
out=$("$gdtool" release "$work/pub/update" "$work/old" "$work/new" 1.1 --dry-run --json); rc=$?
check "a dry run proves and publishes nothing" "0 " "$rc $(ls -A "$work/pub/update")"
contains "and lists the changes" '{"type":"change","change":"A","path":"b.txt"}' "$out"
"$gdtool" release "$work/pub/update" "$work/old" "$work/new" 1.1 --sign "$work/k1.sec" > /dev/null
cp -r "$work/new" "$work/newer" && echo c > "$work/newer/c.txt"
err=$("$gdtool" release "$work/pub/update" "$work/new" "$work/newer" 1.2 --sign "$work/k2.sec" 2>&1 >/dev/null)
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
contains "and says so" "filelist.dat: its signature expired at 1970-01-01 00:16:40 UTC" "$out"

check "version" "gdtool " "$("$gdtool" --version | cut -c1-7)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
