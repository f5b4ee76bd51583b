#!/usr/bin/env bash
# The send through the main window against the dialogue alone and Python's smtplib, all three to
# the same Postfix smtp-sink on 127.0.0.1 in one run (smtp-sink installed here if missing; Postfix
# itself is left unconfigured and never started).
#   1. 10,000 recipients: send_bench (the dialogue alone), send_window_bench (Send to the log
#      window, through the real main window on the offscreen platform) and smtplib sending the same
#      message to the same recipients; prints each, the ratios, and the window's longest
#      event-loop pause
#   2. 100,000 recipients through the window: the child process's peak memory (getrusage)
# Usage: bench/send/window_bench.sh BIN_DIR   (the build's bin folder: send_bench,
#        send_window_bench, dbftool)
set -euo pipefail
BIN_DIR=$(cd "${1:?usage: window_bench.sh BIN_DIR}" && pwd)

. "$(dirname "$0")/sink.sh"

table() {  # table COUNT NAME
  /usr/bin/python3 -c '
import sys
with open(sys.argv[2], "w") as f:
    f.write("NAME,EMAIL\n")
    for i in range(int(sys.argv[1])):
        f.write("Person %06d,person%06d@example.com\n" % (i, i))
' "$1" "$work/$2.csv"
  "$BIN_DIR/dbftool" create "$work/$2.dbf" NAME,C,40 EMAIL,C,60 >/dev/null
  "$BIN_DIR/dbftool" import "$work/$2.dbf" "$work/$2.csv" >/dev/null
}
seconds() { sed -n "s/^$1: \([0-9.]*\) s.*/\1/p"; }
table 10000 r10k
table 100000 r100k

echo "== 10,000 recipients, one run, server: smtp-sink"
alone=$("$BIN_DIR/send_bench" "$port" "$work/r10k.dbf" --message-out "$work/message.eml")
echo "$alone"
window=$("$BIN_DIR/send_window_bench" "$port" "$work/r10k.dbf")
echo "$window"
peer=$(/usr/bin/python3 -c '
import smtplib, sys, time
port, csv, message = int(sys.argv[1]), sys.argv[2], open(sys.argv[3], "rb").read()
to = [line.split(",")[1].strip() for line in open(csv).readlines()[1:]]
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port) as s:
    s.ehlo("127.0.0.1")
    s.sendmail("sender@example.com", to, message)
print("%.3f" % (time.perf_counter() - start))
' "$port" "$work/r10k.csv" "$work/message.eml")
echo "python smtplib: $peer s"
a=$(echo "$alone" | seconds "tavrin send")
w=$(echo "$window" | seconds "tavrin window send")
/usr/bin/python3 -c "
a, w, p = $a, $w, $peer
print('window / dialogue alone: %.2f  (target: at most 1.3)' % (w / a))
print('window / smtplib:        %.2f  (target: at most 0.5; 0.2 with pipelining)' % (w / p))"

echo
echo "== 100,000 recipients through the window"
"$BIN_DIR/send_window_bench" "$port" "$work/r100k.dbf" --memory
