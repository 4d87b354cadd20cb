#!/usr/bin/env bash
# lcopy's contract with the launcher's self-update: it waits for the launcher's
# lock, swaps the file in one rename, starts the new launcher, and on every
# failure leaves the old launcher in place with a non-zero exit code.
set -u
lcopy="$1"
recorder="$2"
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

export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
lockfile="$XDG_RUNTIME_DIR/GrooveDeckLancher"
install="$work/install"
launcher="$install/GrooveDeck"
staged="$install/GrooveDeck.new"
marker="$work/marker"
export GD_EDITOR_RECORD="$work/record"
mkdir "$install" "$work/cwd" "$work/staging"

# The old launcher: a script that says it ran.
old_launcher() {
  printf '#!/bin/sh\necho old > "%s"\n' "$marker" > "$launcher"
  chmod "${1:-750}" "$launcher"
  rm -f "$marker" "$GD_EDITOR_RECORD"
}
wait_for() {  # wait_for FILE: up to 5 s
  for _ in $(seq 50); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}
# This shell stands in for the running launcher: it holds the lock on fd 4,
# which no lcopy started here may inherit.
hold_lock() { exec 4> "$lockfile" && flock -n 4; }
release_lock() { exec 4>&-; }
leftovers() { find "$install" -name '.*lcopy*' | wc -l; }

# Replacement after the launcher lets go: the recorder stands in for the new
# launcher and tells how it was started.
old_launcher 750
cp "$recorder" "$staged"
chmod 600 "$staged"
exec 3< "$launcher"  # a reader of the old file keeps seeing the old file
old_inode=$(stat -c %i "$launcher")
hold_lock
(cd "$work/cwd" && exec "$lcopy" "$staged" "$launcher" 2> "$work/err" 4>&-) &
copier=$!
sleep 1
check "replace waits while the launcher runs" "$old_inode" "$(stat -c %i "$launcher")"
release_lock
wait "$copier"; rc=$?
check "replace rc" 0 $rc
check "replace no output" "" "$(cat "$work/err")"
check "replaced content" "" "$(cmp "$launcher" "$recorder" 2>&1)"
check "replaced by rename" 1 $([ "$(stat -c %i "$launcher")" != "$old_inode" ] && echo 1 || echo 0)
check "old reader unaffected" "echo old > \"$marker\"" "$(tail -n 1 <&3)"
exec 3<&-
check "mode of the old launcher" 750 "$(stat -c %a "$launcher")"
check "staged file gone" 0 $([ -e "$staged" ] && echo 1 || echo 0)
check "no temporary files" 0 "$(leftovers)"
wait_for "$GD_EDITOR_RECORD"
check "new launcher started" "argv=$launcher
cwd=$work/cwd" "$(cat "$GD_EDITOR_RECORD" 2>/dev/null)"

# From another directory: NEW stays, the owner's execute bit is added.
old_launcher 640
printf '#!/bin/sh\necho new > "%s"\n' "$marker" > "$work/staging/GrooveDeck"
"$lcopy" "$work/staging/GrooveDeck" "$launcher"; rc=$?
check "copy rc" 0 $rc
check "copy keeps NEW" 1 $([ -e "$work/staging/GrooveDeck" ] && echo 1 || echo 0)
check "copy mode" 740 "$(stat -c %a "$launcher")"
wait_for "$marker"
check "copy started new" new "$(cat "$marker" 2>/dev/null)"

# --no-start, for a machine without a display: replaced, and nothing started.
old_launcher 750
printf '#!/bin/sh\necho new > "%s"\n' "$marker" > "$staged"
"$lcopy" --no-start "$staged" "$launcher"; rc=$?
check "no-start rc" 0 $rc
check "no-start replaced" "echo new > \"$marker\"" "$(tail -n 1 "$launcher")"
check "no-start staged file gone" 0 $([ -e "$staged" ] && echo 1 || echo 0)
sleep 0.5
check "no-start starts nothing" 0 $([ -e "$marker" ] && echo 1 || echo 0)

# Failures before the swap: the old launcher untouched, one line on stderr.
expect_refusal() {  # expect_refusal NAME CODE ARGS...
  local name=$1 code=$2
  shift 2
  old_launcher 750
  local before
  before=$(stat -c %i "$launcher")
  "$lcopy" "$@" 2> "$work/err" 4>&-; local rc=$?
  check "$name rc" "$code" $rc
  check "$name one line" 1 "$(wc -l < "$work/err")"
  check "$name old kept" "$before" "$(stat -c %i "$launcher")"
  check "$name no temporary files" 0 "$(leftovers)"
  sleep 0.2
  check "$name nothing started" 0 $([ -e "$marker" ] && echo 1 || echo 0)
}
expect_refusal "no arguments" 2
expect_refusal "one argument" 2 "$staged"
expect_refusal "same file" 2 "$launcher" "$launcher"
expect_refusal "missing current" 2 "$work/staging/GrooveDeck" "$install/nothing"
expect_refusal "missing new" 3 "$staged" "$launcher"
: > "$staged"
expect_refusal "empty new" 3 "$staged" "$launcher"
expect_refusal "directory new" 3 "$work/staging" "$launcher"

echo new > "$staged"
hold_lock
start=$(date +%s)
LCOPY_WAIT_SECONDS=1 expect_refusal "lock kept" 4 "$staged" "$launcher"
check "lock kept gives up in time" 1 $([ $(($(date +%s) - start)) -le 4 ] && echo 1 || echo 0)
check "lock kept leaves NEW" new "$(cat "$staged")"
release_lock

# A new launcher that cannot be started: the old one is put back and started.
old_launcher 750
printf 'not a program' > "$staged"
"$lcopy" "$staged" "$launcher" 2> "$work/err"; rc=$?
check "start failure rc" 6 $rc
check "start failure one line" 1 "$(wc -l < "$work/err")"
check "start failure old back" "echo old > \"$marker\"" "$(tail -n 1 "$launcher")"
check "start failure no temporary files" 0 "$(leftovers)"
wait_for "$marker"
check "start failure old started" old "$(cat "$marker" 2>/dev/null)"

check "help" 0 "$("$lcopy" --help | grep -c '^  6  ' >/dev/null; echo $?)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
