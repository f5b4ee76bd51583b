#!/bin/sh
# Shared-mode scan of a 1,000,000-record table: our engine, the floor (one fstat + one pread per
# record) and python3-dbfread, on the same file in the same run. Builds nothing.
# Usage: run_bench.sh BIN_DIR [RECORDS]
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [RECORDS]" >&2
  exit 2
fi
bin=$1
records=${2:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
table="$tmp/bench.dbf"

echo "Creating $records records in $table ..."
"$bin/dbf_scan_bench" create "$table" "$records"
ls -l "$table" | awk '{print "table size: " $5 " bytes"}'

# Best of three for the two C++ scans (the first run also warms the page cache); dbfread once.
best() {
  mode=$1
  for i in 1 2 3; do "$bin/dbf_scan_bench" "$mode" "$table"; done | sort -k3 -n | head -1
}
floor=$(best floor)
engine=$(best engine)
peer=$(/usr/bin/python3 "$here/dbfread_scan.py" "$table")

echo "$floor" "$engine" "$peer" | awk '{
  printf "%-8s %10s %10s %14s\n", "reader", "records", "seconds", "peak RSS KiB"
  printf "%-8s %10d %10.3f %14d\n", $1, $2, $3, $4
  printf "%-8s %10d %10.3f %14d\n", $6, $7, $8, $9
  printf "%-8s %10d %10.3f %14d\n", $11, $12, $13, $14
  printf "engine / floor   = %.2f  (target at most 1.5)\n", $8 / $3
  printf "dbfread / engine = %.2f  (target at least 2.5)\n", $13 / $8
  if ($2 != $7 || $7 != $12) print "WARNING: the readers saw different record counts"
}'
