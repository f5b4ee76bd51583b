#!/usr/bin/env bash
# The send benchmarks against Postfix's smtp-sink on 127.0.0.1 (installed here if missing; Postfix
# itself is left unconfigured and never started).
#   1. one send to 10,000 recipients, against Python's smtplib sending the same message to the same
#      recipients in one transaction, in the same run; prints both and the ratio. The send signs in,
#      so it greets with EHLO and pipelines its recipients, which the sink advertises; smtplib sends
#      one command at a time
#   2. the longest event-loop pause during that send
#   3. the peak memory of a send with a 1 GiB attachment, above the idle program
#   4. over STARTTLS, to the capture server: against smtplib, and against our plain send
#      (starttls_bench.sh)
# Usage: bench/send/run_bench.sh BIN_DIR   (the build's bin folder holding send_bench and dbftool)
set -euo pipefail
BIN_DIR=$(cd "${1:?usage: run_bench.sh BIN_DIR}" && pwd)

. "$(dirname "$0")/sink.sh"

# 10,000 recipients
/usr/bin/python3 -c '
import sys
with open(sys.argv[1], "w") as f:
    f.write("NAME,EMAIL\n")
    for i in range(10000):
        f.write("Person %05d,person%05d@example.com\n" % (i, i))
' "$work/r.csv"
"$BIN_DIR/dbftool" create "$work/r.dbf" NAME,C,40 EMAIL,C,60 >/dev/null
"$BIN_DIR/dbftool" import "$work/r.dbf" "$work/r.csv" >/dev/null

echo "== 10,000 recipients, pipelined, peer: Python smtplib, server: smtp-sink"
out=$("$BIN_DIR/send_bench" "$port" "$work/r.dbf" --message-out "$work/message.eml" --sign-in)
echo "$out"
ours=$(echo "$out" | sed -n 's/^tavrin send: \([0-9.]*\) s.*/\1/p')
peer=$(/usr/bin/python3 -c '
import smtplib, sys, time
port, csv, message = int(sys.argv[1]), sys.argv[2], open(sys.argv[3], "rb").read()
to = [line.split(",")[1].strip() for line in open(csv).readlines()[1:]]
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port) as s:
    s.helo("127.0.0.1")
    s.sendmail("sender@example.com", to, message)
print("%.3f" % (time.perf_counter() - start))
' "$port" "$work/r.csv" "$work/message.eml")
echo "python smtplib: $peer s"
echo "ratio tavrin/smtplib: $(/usr/bin/python3 -c "print('%.2f' % ($ours / $peer))")  (target: at most 0.2)"

echo
echo "== one recipient, a 1 GiB attachment"
printf 'NAME,EMAIL\nOne,one@example.com\n' > "$work/one.csv"
"$BIN_DIR/dbftool" create "$work/one.dbf" NAME,C,40 EMAIL,C,60 >/dev/null
"$BIN_DIR/dbftool" import "$work/one.dbf" "$work/one.csv" >/dev/null
head -c 1073741824 /dev/urandom > "$work/big.bin"
"$BIN_DIR/send_bench" "$port" "$work/one.dbf" "$work/big.bin"

echo
"$(dirname "$0")/starttls_bench.sh" "$BIN_DIR"
