#!/usr/bin/env bash
# Kills `dbftool pack` and `dbftool pack --memo` of a table with memo texts at every single write,
# pwrite64, fsync, rename, ftruncate, unlink and file creation (one kind at a time, N = 1, 2, ...
# until the command completes), and after each kill reads the table with another program's reader
# (dbfread): every record must read its own text.
# - pack: always, at every kill point; the memo file is not touched at all.
# - pack --memo: always, except in the window between the renames of table and memo file (a
#   commit mark, the new memo file and no new table file on disk; the extensions follow the
#   table's lower case). There this engine still reads
#   every record's own text, and the next pack finishes the renames.
# After each kill the next pack must end as a clean pack does.
# Usage: memo_pack_kill_test.sh DBFTOOL. Exits 77 (skipped) when strace or dbfread is missing.
set -euo pipefail
dbftool=$1
here=$(cd "$(dirname "$0")" && pwd)
check="/usr/bin/python3 $here/memo_texts.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
strace -f -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
/usr/bin/python3 -c 'import dbfread' 2>/dev/null || { echo "dbfread is not installed (test.sh installs it)"; exit 77; }

# Ten records with texts of one to three blocks; records 2 and 5 deleted.
make_table() {
  mkdir -p "$1"
  (
    cd "$1"
    "$dbftool" create t.dbf ID,N,3 NAME,C,8 NOTE,M >/dev/null
    {
      echo "ID,NAME,NOTE"
      for i in 1 2 3 4 5 6 7 8 9 10; do
        printf '%d,n%d,%s\n' "$i" "$i" "$(head -c $((i * 150)) /dev/zero | tr '\0' "$(printf "\\x$((60 + i))")")"
      done
    } >rows.csv
    "$dbftool" import t.dbf rows.csv 2>/dev/null
    rm rows.csv
    "$dbftool" delete t.dbf 2 5
  )
}

files() { (cd "$1" && ls -A | tr '\n' ' '); }

check_kills() {
  local option=$1 pristine=$work/pristine probe=$work/probe
  rm -rf "$pristine" && make_table "$pristine"
  $check "$pristine/t.dbf" || { echo "FAIL: the test table does not read right before any pack"; exit 1; }
  local memo_before after expected_files
  memo_before=$(md5sum <"$pristine/t.dbt")
  rm -rf "$probe" && cp -a "$pristine" "$probe"
  "$dbftool" pack $option "$probe/t.dbf"
  after=$("$dbftool" dump "$probe/t.dbf")
  expected_files=$(files "$probe")
  if [ -z "$option" ] && [ "$(md5sum <"$probe/t.dbt")" != "$memo_before" ]; then
    echo "FAIL: pack changed the memo file"
    exit 1
  fi
  $check "$probe/t.dbf" || { echo "FAIL: the packed table does not read right (pack $option)"; exit 1; }
  local kills=0 window=0
  for call in pwrite64 write fsync rename ftruncate unlink openat; do
    for ((n = 1; n < 1000; n++)); do
      rm -rf "$probe" && cp -a "$pristine" "$probe"
      if (strace -f -o /dev/null -e inject="$call":signal=KILL:when=$n "$dbftool" pack $option "$probe/t.dbf"
          exit $?) 2>/dev/null; then
        break
      fi
      kills=$((kills + 1))
      if ! faults=$($check "$probe/t.dbf"); then
        if [ -n "$option" ] && [ -e "$probe/t.\$pk" ] && [ -e "$probe/t.\$\$\$" ] && [ ! -e "$probe/t.\$db" ]; then
          window=$((window + 1))
          local seen
          seen=$("$dbftool" dump "$probe/t.dbf" 2>&1) || true
          [ "$seen" = "$after" ] || { echo "FAIL: in the renames' window (kill at $call #$n) this engine reads it wrong"; exit 1; }
        else
          echo "FAIL (pack $option): killed at $call #$n, dbfread pairs records with other texts:"
          echo "$faults" | head -10
          echo "files: $(files "$probe")"
          exit 1
        fi
      fi
      "$dbftool" pack $option "$probe/t.dbf" || { echo "FAIL (pack $option): pack after a kill at $call #$n"; exit 1; }
      $check "$probe/t.dbf" || { echo "FAIL (pack $option): after a kill at $call #$n and a new pack"; exit 1; }
      if [ "$("$dbftool" dump "$probe/t.dbf")" != "$after" ] || [ "$(files "$probe")" != "$expected_files" ]; then
        echo "FAIL (pack $option): after a kill at $call #$n the next pack did not end as a clean pack does"
        echo "files: $(files "$probe")"
        exit 1
      fi
    done
  done
  [ "$kills" -gt 20 ] || { echo "FAIL: only $kills kill points (is strace injecting?)"; exit 1; }
  echo "pack ${option:-(table only)}: $kills kills; dbfread read every record's own text after each, but for $window in the renames' window"
}

check_kills ""
check_kills --memo
