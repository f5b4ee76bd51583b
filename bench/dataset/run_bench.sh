#!/bin/sh
# The send loop through the dataset against the engine-only scan (bench/dbf) on the same
# 1,000,000-record table in the same run; best of three each. Builds nothing.
# Usage: run_bench.sh BIN_DIR [RECORDS]
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [RECORDS]" >&2
  exit 2
fi
bin=$1
records=${2:-1000000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
table="$tmp/bench.dbf"

echo "Creating $records records in $table ..."
"$bin/dbf_scan_bench" create "$table" "$records"

# Alternate the two so that neither always runs on a warmer cache; keep each one's best.
for i in 1 2 3; do
  "$bin/dbf_scan_bench" engine "$table" >>"$tmp/engine"
  "$bin/dataset_scan_bench" "$table" >>"$tmp/dataset"
done
engine=$(sort -k3 -n "$tmp/engine" | head -1)
dataset=$(sort -k3 -n "$tmp/dataset" | head -1)

echo "$engine" "$dataset" | awk '{
  printf "%-8s %10s %10s %14s\n", "reader", "records", "seconds", "peak RSS KiB"
  printf "%-8s %10d %10.3f %14d\n", $1, $2, $3, $4
  printf "%-8s %10d %10.3f %14d\n", $6, $7, $8, $9
  printf "dataset / engine time = %.2f  (target at most 1.5)\n", $8 / $3
  printf "dataset - engine peak RSS = %d KiB\n", $9 - $4
  if ($2 != $7 || $5 != $10) print "WARNING: the two walks saw different records"
}'
