#!/usr/bin/env bash
# Kills `dbftool pack` at every single call that changes a file (each write, pwrite64, ftruncate,
# fsync, rename, unlink and file creation, one kind at a time, N = 1, 2, ... until the pack
# completes) on a table without memo fields and on one with memo texts. After each kill the table
# and its memo file must read exactly as before the pack or exactly as after it, never a mix, and
# the next pack must end with the packed table and no file left over.
# Usage: pack_kill_test.sh DBFTOOL. Exits 77 (skipped) when strace cannot trace here.
set -euo pipefail
dbftool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
strace -f -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }

# A table of ten records, two of them deleted; with memo texts of one, two and three blocks.
make_table() {
  local dir=$1 memo=$2
  mkdir -p "$dir"
  (
    cd "$dir"
    if [ "$memo" = yes ]; then
      "$dbftool" create t.dbf ID,N,3 NAME,C,8 NOTE,M >/dev/null
      {
        echo "ID,NAME,NOTE"
        for i in 1 2 3 4 5 6 7 8 9 10; do
          printf '%d,n%d,%s\n' "$i" "$i" "$(head -c $((i * 150)) /dev/zero | tr '\0' "$(printf "\\x$((60 + i))")")"
        done
      } >rows.csv
    else
      "$dbftool" create t.dbf ID,N,3 NAME,C,8 >/dev/null
      { echo "ID,NAME"; for i in 1 2 3 4 5 6 7 8 9 10; do echo "$i,n$i"; done; } >rows.csv
    fi
    "$dbftool" import t.dbf rows.csv 2>/dev/null
    rm rows.csv
    "$dbftool" delete t.dbf 2 5
  )
}

files() { (cd "$1" && ls -A | tr '\n' ' '); }

check_kills() {
  local memo=$1 pristine=$work/pristine-$1 probe=$work/probe
  make_table "$pristine" "$memo"
  local before after expected_files
  before=$("$dbftool" dump "$pristine/t.dbf")
  rm -rf "$probe" && cp -a "$pristine" "$probe"
  "$dbftool" pack "$probe/t.dbf"
  after=$("$dbftool" dump "$probe/t.dbf")
  expected_files=$(files "$probe")
  [ "$before" != "$after" ] || { echo "FAIL: the pack changed nothing"; exit 1; }
  local kills=0
  for call in pwrite64 write ftruncate fsync rename unlink openat; do
    for ((n = 1; n < 1000; n++)); do
      rm -rf "$probe" && cp -a "$pristine" "$probe"
      # (the subshell keeps the shell's "Killed" notice off the output)
      if (strace -f -o /dev/null -e inject="$call":signal=KILL:when=$n "$dbftool" pack "$probe/t.dbf"
          exit $?) 2>/dev/null; then
        break
      fi
      kills=$((kills + 1))
      local seen
      seen=$("$dbftool" dump "$probe/t.dbf" 2>&1) || true
      if [ "$seen" != "$before" ] && [ "$seen" != "$after" ]; then
        echo "FAIL (memo $memo): killed at $call #$n, the table reads neither as before nor as after:"
        echo "$seen" | head -20
        exit 1
      fi
      "$dbftool" pack "$probe/t.dbf" || { echo "FAIL (memo $memo): pack after a kill at $call #$n"; exit 1; }
      if [ "$("$dbftool" dump "$probe/t.dbf")" != "$after" ] || [ "$(files "$probe")" != "$expected_files" ]; then
        echo "FAIL (memo $memo): after a kill at $call #$n the next pack did not end as a clean pack does"
        echo "files: $(files "$probe")"
        exit 1
      fi
    done
  done
  echo "memo $memo: $kills kills, every one left the table whole"
}

check_kills no
check_kills yes
