#!/usr/bin/env bash
# A real `tavrin` (offscreen, its own home and data folder) restores a draft, has text typed into
# its message (TAVRIN_TEST_DRAFT_TYPING), saves the draft after its wait and closes. It is killed
# with SIGKILL at each call that touches the draft (every open, write, fsync and rename, one kind
# at a time, N = 1, 2, ... until a run ends by itself); after each kill the draft must read exactly
# as before the typing or exactly as after it, never broken, and the next run must go on from it.
# Usage: draft_kill_test.sh TAVRIN DBFTOOL. Exits 77 (skipped) when strace cannot trace here.
set -euo pipefail
program=$1
dbftool=$2
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
strace -f -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The program from a folder of its own, so its settings file beside it is this test's alone.
mkdir -p "$work/bin" "$work/home/Tavrin"
cp "$program" "$work/bin/tavrin"
printf '[Options]\nReturnEmail=me@example.com\nServerName=127.0.0.1\n' >"$work/bin/Tavrin.ini"
"$dbftool" create "$work/home/Tavrin/tavrin.dbf" NAME,C,40 EMAIL,C,60 >/dev/null
drafts=$work/home/.local/share/Tavrin/draft
draft=$drafts/message.txt
mkdir -p "$drafts"
chmod 700 "$drafts"
printf 'Tavrin draft 1\nTo: Club\nSubject: Übung – Tuesday\nAttachment: /tmp/a\\nb\nPersonalised: no\nSent: no\nBody: Dear all,\\n\\nthe hall is booked.\nEnd\n' >"$work/pristine"

run() {
  (cd "$work" && env HOME="$work/home" XDG_DATA_HOME= XDG_CONFIG_HOME="$work/config" \
    QT_QPA_PLATFORM=offscreen TAVRIN_TEST_DRAFT_TYPING=$' Bring cake — ✓' "$@") 2>/dev/null
}
reset() {
  rm -f "$drafts"/*
  cp "$work/pristine" "$draft"
  chmod 600 "$draft"
}

reset
run timeout 60 "$work/bin/tavrin" || { echo "FAIL: the program did not run to its end without strace"; exit 1; }
after=$(cat "$draft"; printf x)
before=$(cat "$work/pristine"; printf x)
[[ $after == *'the hall is booked. Bring cake — ✓'* ]] || { echo "FAIL: typed text not saved: $after"; exit 1; }

kills=0
for call in openat write fsync rename; do
  for ((n = 1; n < 50; n++)); do
    reset
    status=0
    # Only the calls on the draft, its temporary sibling and its folder count and are stopped.
    # (the subshell keeps the shell's "Killed" notice off the output)
    (run timeout 60 strace -f -o /dev/null -P "$draft" -P "$draft.new" -P "$drafts" \
      -e inject="$call":signal=KILL:when="$n" "$work/bin/tavrin"
      exit $?) 2>/dev/null || status=$?
    got=$(cat "$draft"; printf x)
    if ((status == 0)); then
      [[ $got == "$after" ]] || { echo "FAIL: a run to its end left: $got"; exit 1; }
      break
    fi
    ((status == 137)) || { echo "FAIL: status $status at $call #$n"; exit 1; }
    [[ $got == "$before" || $got == "$after" ]] ||
      { echo "FAIL: killed at $call #$n, the draft is neither the old nor the new one: $got"; exit 1; }
    kills=$((kills + 1))
    # The next run goes on from whichever draft is there, with no broken one set aside.
    run timeout 60 "$work/bin/tavrin" || { echo "FAIL: the run after a kill at $call #$n"; exit 1; }
    if ls "$drafts" | grep -q broken; then echo "FAIL: a draft was set aside after $call #$n"; exit 1; fi
    grep -qF 'Bring cake — ✓' "$draft" ||
      { echo "FAIL: the run after a kill at $call #$n did not keep the typing"; exit 1; }
  done
done
((kills >= 4)) || { echo "FAIL: only $kills kills: the draft's writes were never stopped"; exit 1; }
echo "the draft was whole after each of $kills kills"
