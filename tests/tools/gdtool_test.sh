#!/usr/bin/env bash
# gdtool's command-line contract: other tools and the demo rely on its output
# lines and exit codes.
set -u
gdtool="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
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
check "version" "gdtool " "$("$gdtool" --version | cut -c1-7)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
