#!/usr/bin/env bash
# Signed releases from the publisher's side: gdtool keygen, sign and verify
# against Debian's minisign in both directions, how the launcher judges every
# kind of bad signature (gdtool verify judges as the launcher does), and how
# config.dat's trust settings are read.
set -u
gdtool="$1"
work=$(mktemp -d)
# What the publisher keeps of a server (its record, the trees of releases) goes here.
export XDG_DATA_HOME="$work/data"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
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

key_line() { sed -n 2p "$1"; }
trusted() { minisign -V -p "$1" -m "$2" | sed -n 's/^Trusted comment: //p'; }
field() { tr ' ' '\n' | sed -n "s/^$1=//p"; }

# Key pairs: gdtool's, and minisign's without password.
"$gdtool" keygen gd.pub gd.sec > keygen.out
check "keygen rc" 0 $?
check "secret key mode" 600 "$(stat -c %a gd.sec)"
check "keygen prints the setting" "DUREDOR_SIGN_KEY = \"$(key_line gd.pub)\"" "$(sed -n 2p keygen.out)"
cp gd.pub gd.pub.before
"$gdtool" keygen gd.pub new.sec 2>/dev/null
check "keygen never overwrites" "6 absent same" \
  "$? $([ -e new.sec ] && echo present || echo absent) $(cmp -s gd.pub gd.pub.before && echo same)"
minisign -G -W -p ms.pub -s ms.sec > /dev/null
minisign -G -W -p stranger.pub -s stranger.sec > /dev/null

printf 'latest_version = 1.1\n' > filelist.dat
head -c 300000 /dev/urandom > p110.zip
cp p110.zip p110.orig

# gdtool signs, minisign verifies: gdtool's key and minisign's.
"$gdtool" sign gd.sec filelist.dat p110.zip > /dev/null
check "minisign accepts gdtool's archive signature" 0 "$(minisign -Vq -p gd.pub -m p110.zip; echo $?)"
# The hash's edges: nothing, one block of 128 bytes and one byte more, and a
# read piece of 64 KiB and one byte more.
for bytes in 0 128 129 65537; do
  head -c "$bytes" p110.orig > "edge$bytes.zip"
  "$gdtool" sign gd.sec "edge$bytes.zip" > /dev/null
  check "minisign accepts the signature of $bytes bytes" 0 \
    "$(minisign -Vq -p gd.pub -m "edge$bytes.zip"; echo $?)"
done
# An OpenSSL that offers no BLAKE2b (its base provider only, as a system that
# allows FIPS algorithms only): the hash is libsodium's, and the same.
printf '%s\n' 'openssl_conf = init' '[init]' 'providers = providers' '[providers]' \
  'base = base' '[base]' 'activate = 1' > base-only.cnf
OPENSSL_CONF=base-only.cnf "$gdtool" sign gd.sec edge129.zip > /dev/null
check "minisign accepts the signature made without OpenSSL's BLAKE2b" 0 \
  "$(minisign -Vq -p gd.pub -m edge129.zip; echo $?)"
comment=$(trusted gd.pub filelist.dat)
check "list signature names its file" filelist.dat "$(field file <<< "$comment")"
check "list signature lasts 30 days" 2592000 \
  $(( $(field expires <<< "$comment") - $(field timestamp <<< "$comment") ))
check "archive signature has no expiry" "" "$(trusted gd.pub p110.zip | field expires)"
"$gdtool" sign gd.sec --folder update/ --folder "/beta channel" filelist.dat p110.zip > /dev/null
check "a list for its folders, which minisign accepts" "/update /beta%20channel" \
  "$(trusted gd.pub filelist.dat | field folder | paste -sd' ')"
check "an archive for any folder" "" "$(trusted gd.pub p110.zip | field folder)"
"$gdtool" sign ms.sec --expires 2 p110.zip > /dev/null
comment=$(trusted ms.pub p110.zip)
check "--expires DAYS" 172800 $(( $(field expires <<< "$comment") - $(field timestamp <<< "$comment") ))

# minisign signs, gdtool verifies: both algorithms, and with gdtool's key.
for mode in "" "-l"; do
  minisign -S $mode -s ms.sec -m p110.zip -t "file=p110.zip" > /dev/null
  check "minisign ${mode:-prehashed} signature accepted" 0 \
    "$("$gdtool" verify ms.pub p110.zip > /dev/null; echo $?)"
done
minisign -S -s gd.sec -m p110.zip -t "file=p110.zip" > /dev/null
check "minisign signs with gdtool's key" 0 "$("$gdtool" verify gd.pub p110.zip > /dev/null; echo $?)"

# Every kind of bad signature: NAME | FILE | how it is spoilt | what the refusal says.
refusals=(
  "missing|p110.zip|rm p110.zip.minisig|there is no p110.zip.minisig"
  "oversized|p110.zip|head -c 4097 /dev/zero > p110.zip.minisig|larger than 4096 bytes"
  "malformed|p110.zip|sed -i 2d p110.zip.minisig|is no minisign signature"
  "unknown key|p110.zip|minisign -S -s stranger.sec -m p110.zip -t file=p110.zip|does not trust"
  "tampered|p110.zip|printf x >> p110.zip|not the file that was signed"
  "tampered legacy|p110.zip|minisign -S -l -s ms.sec -m p110.zip -t file=p110.zip; printf x >> p110.zip|not the file that was signed"
  "forged comment|p110.zip|sed -i 's/^trusted comment: .*/trusted comment: file=p110.zip expires=9999999999/' p110.zip.minisig|does not match its signature"
  "misnamed|p110.zip|minisign -S -s ms.sec -m p110.zip -t file=p120.zip|signs file=p120.zip, not p110.zip"
  "no file=|p110.zip|minisign -S -s ms.sec -m p110.zip -t 'made by hand'|has no file="
  "archive expired|p110.zip|minisign -S -s ms.sec -m p110.zip -t 'file=p110.zip expires=1000'|expired at 1970-01-01 00:16:40 UTC"
  "list expired|filelist.dat|minisign -S -s ms.sec -m filelist.dat -t 'file=filelist.dat expires=1000'|expired"
  "list expired a moment ago|filelist.dat|minisign -S -s ms.sec -m filelist.dat -t \"file=filelist.dat expires=\$(( \$(date +%s) - 2 ))\"|expired at"
  "list without expiry|filelist.dat|minisign -S -s ms.sec -m filelist.dat -t file=filelist.dat|has no expires="
  "unreadable expiry|filelist.dat|minisign -S -s ms.sec -m filelist.dat -t 'file=filelist.dat expires=soon'|expires=soon is no time"
  "unreadable folder|filelist.dat|minisign -S -s ms.sec -m filelist.dat -t 'file=filelist.dat expires=9999999999 folder=/a%zz'|names a folder= that cannot be read"
)
for row in "${refusals[@]}"; do
  IFS='|' read -r name file spoil says <<< "$row"
  cp p110.orig p110.zip
  minisign -S -s ms.sec -m p110.zip -t "file=p110.zip" > /dev/null
  minisign -S -s ms.sec -m filelist.dat -t "file=filelist.dat expires=9999999999" > /dev/null
  check "[$name] good before spoiling" 0 "$("$gdtool" verify ms.pub "$file" >/dev/null; echo $?)"
  eval "$spoil" > /dev/null
  err=$("$gdtool" verify ms.pub "$file" 2>&1 >/dev/null); rc=$?
  check "[$name] rc" 1 $rc
  contains "[$name] names the signature and the file" "signature of $file refused: " "$err"
  contains "[$name] says why" "$says" "$err"
done

# config.dat's trust settings: the chunk | lines that gdtool config adds | its exit code.
gd_key=$(key_line gd.pub) ms_key=$(key_line ms.pub)
gd_id=$(sed -n 's/.*public key //p' gd.pub) ms_id=$(sed -n 's/.*public key //p' ms.pub)
mkdir install
settings=(
  "DUREDOR_SIGN_KEY = '$gd_key'|signed=1 key=$gd_id|0"
  "DUREDOR_SIGN_KEY = {'$gd_key', '$ms_key'}|signed=1 key=$gd_id key=$ms_id|0"
  "DUREDOR_SIGN_KEY = ''||0"
  "DUREDOR_SIGN_KEY = 'RWQnot-a-key'|unusable=DUREDOR_SIGN_KEY holds \"RWQnot-a-key\", which is no minisign public key|1"
  "DUREDOR_SIGN_KEY = '$gd_key '|unusable=DUREDOR_SIGN_KEY holds \"$gd_key \", which is no minisign public key|1"
  "DUREDOR_SIGN_KEY = {}|unusable=DUREDOR_SIGN_KEY must list between 1 and 16 minisign public keys as strings|1"
  "DUREDOR_SIGN_KEY = {'$gd_key', 7}|unusable=DUREDOR_SIGN_KEY must list between 1 and 16 minisign public keys as strings|1"
  "DUREDOR_SIGN_KEY = true|unusable=DUREDOR_SIGN_KEY must be a minisign public key or a list of them|1"
  "DUREDOR_SIGN_KEY = '$(sed -n 2p gd.sec)'|unusable=DUREDOR_SIGN_KEY holds a minisign secret key, which must never ship: put the public key (the second line of the .pub file) there, and make a new key pair, since this one is no longer secret|1"
  "DUREDOR_FTP_TLS = true DUREDOR_FTP_CA = 'certs/ca.pem'|DUREDOR_FTP_TLS=1 DUREDOR_FTP_CA=$work/install/certs/ca.pem|0"
  "DUREDOR_FTP_TLS = 'yes'|unusable=DUREDOR_FTP_TLS must be true or false|1"
  "DUREDOR_FTP_CA = 'ca.pem'|unusable=DUREDOR_FTP_CA is set, but DUREDOR_FTP_TLS is not true|1"
  "error('boom') DUREDOR_SIGN_KEY = '$gd_key'|unusable=the chunk stopped with an error: [string \"config.dat\"]:2: boom|1"
  "DUREDOR_SIGN_KEY = '$gd_key' +|unusable=the chunk does not load: [string \"config.dat\"]:3: unexpected symbol near '<eof>'|1"
  "--$(printf '%05000d' 0)|unusable=the file is larger than the 4096 bytes the launcher reads|1"
)
for row in "${settings[@]}"; do
  IFS='|' read -r chunk lines code <<< "$row"
  printf 'DUREDOR_FTP_ADR = "127.0.0.1:2121"\n%s\n' "$chunk" | "$gdtool" encrypt - install/config.dat
  out=$("$gdtool" config install); rc=$?
  check "[$chunk] added lines" "$lines" "$(sed 1,7d <<< "$out" | paste -sd' ')"
  check "[$chunk] rc" "$code" $rc
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
