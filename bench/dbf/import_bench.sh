#!/bin/sh
# Import of a 1,000,000-row CSV file: dbftool import against python3-dbf appending the same rows to
# a table of the same fields, in the same run, with the peak memory of each.
# Usage: import_bench.sh BIN_DIR [ROWS]
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [ROWS]" >&2
  exit 2
fi
bin=$1
rows=${2:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

/usr/bin/python3 - "$tmp/rows.csv" "$rows" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("NAME,EMAIL,AMOUNT,JOINED\n")
    for i in range(int(sys.argv[2])):
        f.write("Person %d,person%d@example.org,%d.%02d,2026%02d%02d\n"
                % (i, i, i % 100000, i % 100, i % 12 + 1, i % 28 + 1))
PY
ls -l "$tmp/rows.csv" | awk '{print "CSV size: " $5 " bytes"}'

"$bin/dbftool" create "$tmp/ours.dbf" NAME,C,30 EMAIL,C,40 AMOUNT,N,10,2 JOINED,D
ours=$(/usr/bin/python3 - "$bin/dbftool" "$tmp/ours.dbf" "$tmp/rows.csv" <<'PY'
import resource, subprocess, sys, time
start = time.perf_counter()
subprocess.run([sys.argv[1], "import", sys.argv[2], sys.argv[3]], check=True, stderr=subprocess.DEVNULL)
seconds = time.perf_counter() - start
rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print("dbftool %s %.6f %d" % (sys.argv[4] if len(sys.argv) > 4 else "-", seconds, rss))
PY
)
peer=$(/usr/bin/python3 "$here/dbf_import_peer.py" "$tmp/peer.dbf" "$tmp/rows.csv")
count=$("$bin/dbftool" info "$tmp/ours.dbf" | awk '/^Records:/ {print $2}')

echo "$ours" "$peer" | awk -v count="$count" '{
  printf "%-12s %10s %10s %14s\n", "importer", "records", "seconds", "peak RSS KiB"
  printf "%-12s %10d %10.3f %14d\n", $1, count, $3, $4
  printf "%-12s %10d %10.3f %14d\n", $5, $6, $7, $8
  printf "dbftool / python3-dbf = %.3f  (target at most 0.15)\n", $3 / $7
  if (count != $6) print "WARNING: the importers stored different record counts"
}'
