#!/usr/bin/env bash
# One send of a 10 MiB attachment to 100 recipients over STARTTLS, against Python's smtplib
# sending the very same message over STARTTLS to the same server in the same run, and against our
# own plain-text send of it. Two servers on 127.0.0.1, certificates from tools/test_ca.py:
#   1. the capture server (aiosmtpd), one instance requiring STARTTLS and one plain; it parses
#      and stores every message, so it weighs on every client alike
#   2. tls_sink.py, which keeps nothing and reads the data in large blocks, so the clients show
# Each client is timed RUNS times (default 5), interleaved. Prints every run, then the best and the
# median of each with the ratios ours/smtplib over STARTTLS and ours STARTTLS/ours plain.
# Usage: bench/send/starttls_bench.sh BIN_DIR [RUNS]
set -euo pipefail
BIN_DIR=$(cd "${1:?usage: starttls_bench.sh BIN_DIR [RUNS]}" && pwd)
RUNS=${2:-5}
SRC=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# start_server NAME ARGS...: the capture server's port lands in $work/NAME.port
start_server() {
  local name=$1
  shift
  /usr/bin/python3 "$SRC/tools/smtp_capture.py" --port 0 --outbox "$work/$name" "$@" \
    >"$work/$name.out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 150); do
    grep -q '^READY ' "$work/$name.out" 2>/dev/null && break
    sleep 0.1
  done
  sed -n 's/^READY //p' "$work/$name.out" >"$work/$name.port"
}

/usr/bin/python3 "$SRC/tools/test_ca.py" "$work/certs"
start_server tls --tls-cert "$work/certs/server.crt" --tls-key "$work/certs/server.key" --starttls
start_server plain
/usr/bin/python3 "$SRC/bench/send/tls_sink.py" "$work/certs/server.crt" "$work/certs/server.key" \
  >"$work/sink.out" &
pids+=($!)
for _ in $(seq 150); do
  grep -q '^READY ' "$work/sink.out" 2>/dev/null && break
  sleep 0.1
done
sink_port=$(sed -n 's/^READY //p' "$work/sink.out")
tls_port=$(cat "$work/tls.port")
plain_port=$(cat "$work/plain.port")

/usr/bin/python3 -c '
import sys
with open(sys.argv[1], "w") as f:
    f.write("NAME,EMAIL\n")
    for i in range(100):
        f.write("Person %03d,person%03d@example.com\n" % (i, i))
' "$work/r.csv"
"$BIN_DIR/dbftool" create "$work/r.dbf" NAME,C,40 EMAIL,C,60 >/dev/null
"$BIN_DIR/dbftool" import "$work/r.dbf" "$work/r.csv" >/dev/null
head -c $((10 << 20)) /dev/urandom >"$work/attachment.bin"

seconds() { sed -n 's/^tavrin send: \([0-9.]*\) s.*/\1/p'; }
ours_tls() {
  "$BIN_DIR/send_bench" "$1" "$work/r.dbf" "$work/attachment.bin" --starttls \
    --ca-file "$work/certs/ca.pem" | seconds
}
ours_plain() { "$BIN_DIR/send_bench" "$1" "$work/r.dbf" "$work/attachment.bin" | seconds; }
# The message our first send delivered, as the capture server received it (its two envelope
# lines off), to the same recipients.
peer_tls() {
  /usr/bin/python3 -c '
import glob, smtplib, ssl, sys, time
port, ca, csv, outbox = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
message = open(sorted(glob.glob(outbox + "/*.eml"))[0], "rb").read().split(b"\r\n", 2)[2]
to = [line.split(",")[1].strip() for line in open(csv).readlines()[1:]]
context = ssl.create_default_context(cafile=ca)
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port) as s:
    s.ehlo("[127.0.0.1]")
    s.starttls(context=context)
    s.ehlo("[127.0.0.1]")
    s.sendmail("sender@example.com", to, message)
print("%.3f" % (time.perf_counter() - start))
' "$1" "$work/certs/ca.pem" "$work/r.csv" "$work/tls"
}

# measure LABEL TLS_PORT PLAIN_PORT
measure() {
  echo "== 100 recipients, a 10 MiB attachment; server: $1"
  local ot="" pt="" op="" a b c
  for run in $(seq "$RUNS"); do
    a=$(ours_tls "$2")
    b=$(peer_tls "$2")
    c=$(ours_plain "$3")
    echo "run $run: tavrin STARTTLS $a s, smtplib STARTTLS $b s, tavrin plain $c s"
    ot="$ot $a" pt="$pt $b" op="$op $c"
  done
  /usr/bin/python3 -c '
import statistics, sys
runs = [list(map(float, s.split())) for s in sys.argv[1:4]]
for name, pick in (("best", min), ("median", statistics.median)):
    ot, pt, op = (pick(r) for r in runs)
    print("%s: tavrin STARTTLS %.3f s, python smtplib STARTTLS %.3f s, tavrin plain %.3f s" % (name, ot, pt, op))
    print("  ratio tavrin/smtplib over STARTTLS: %.2f  (target: at most 1.0)" % (ot / pt))
    print("  ratio tavrin STARTTLS/plain: %.2f  (target: at most 1.5)" % (ot / op))
' "$ot" "$pt" "$op"
}

measure "capture server (aiosmtpd), STARTTLS required / plain" "$tls_port" "$plain_port"
echo
measure "tls_sink.py (keeps nothing), STARTTLS offered" "$sink_port" "$sink_port"
