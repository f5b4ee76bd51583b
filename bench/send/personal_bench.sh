#!/usr/bin/env bash
# The personalised send against Postfix's smtp-sink on 127.0.0.1 (installed here if missing, never
# configured or started as a mail system):
#   1. 10,000 messages of their own (a 2 KB body with two placeholders, one 100 KB attachment) on
#      one connection, against Python's smtplib sending the same 10,000 messages over one
#      connection (sendmail per message, every message built before the clock starts), in the same
#      run; prints both and the ratio; the send's longest event-loop pause and its encoder count
#   2. the peak memory of a personalised send to 100,000 recipients, above the idle program
# Usage: bench/send/personal_bench.sh BIN_DIR   (the build's bin folder: send_bench and dbftool)
set -euo pipefail
BIN_DIR=$(cd "${1:?usage: personal_bench.sh BIN_DIR}" && pwd)

. "$(dirname "$0")/sink.sh"

table() {  # table NAME COUNT
  /usr/bin/python3 -c '
import sys
with open(sys.argv[1], "w") as f:
    f.write("NAME,EMAIL\n")
    for i in range(int(sys.argv[2])):
        f.write("Person %05d,person%05d@example.com\n" % (i, i))
' "$work/$1.csv" "$2"
  "$BIN_DIR/dbftool" create "$work/$1.dbf" NAME,C,40 EMAIL,C,60 >/dev/null
  "$BIN_DIR/dbftool" import "$work/$1.dbf" "$work/$1.csv" >/dev/null
}
table r 10000
head -c 102400 /dev/urandom > "$work/attachment.bin"

# The server's own processor time so far, in seconds: no client can take less time than the
# server needs to read what it is sent, so each run's share of it shows how close it comes.
sink_cpu() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$sink_pid/stat"
}

echo "== 10,000 personalised messages, 100 KB attachment, pipelined; peer: Python smtplib; server: smtp-sink"
cpu0=$(sink_cpu)
out=$("$BIN_DIR/send_bench" "$port" "$work/r.dbf" "$work/attachment.bin" --personalised --sign-in \
  --message-out "$work/first.eml")
echo "$out"
ours=$(echo "$out" | sed -n 's/^tavrin send: \([0-9.]*\) s.*/\1/p')
cpu1=$(sink_cpu)
peer=$(/usr/bin/python3 -c '
import base64, re, smtplib, sys, time
port, csv, first, attachment = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
head = open(first, "rb").read()
boundary = re.search(rb"boundary=\"([^\"]+)\"", head).group(1)
encoded = base64.encodebytes(open(attachment, "rb").read()).replace(b"\n", b"\r\n")
template = head + encoded + b"\r\n--" + boundary + b"--\r\n"
rows = [line.strip().split(",") for line in open(csv).readlines()[1:]]
messages = [(email, template.replace(b"Person 00000", name.encode())
                            .replace(b"person00000@example.com", email.encode())) for name, email in rows]
start = time.perf_counter()
with smtplib.SMTP("127.0.0.1", port) as s:
    s.ehlo("127.0.0.1")
    for email, message in messages:
        s.sendmail("sender@example.com", [email], message)
print("%.3f" % (time.perf_counter() - start))
' "$port" "$work/r.csv" "$work/first.eml" "$work/attachment.bin")
cpu2=$(sink_cpu)
echo "python smtplib: $peer s"
echo "ratio tavrin/smtplib: $(/usr/bin/python3 -c "print('%.2f' % ($ours / $peer))")  (target: at most 0.3)"
/usr/bin/python3 -c '
import sys
ours, peer, c0, c1, c2 = map(float, sys.argv[1:])
print("server processor time: %.2f s during tavrin (%.0f%% of its time), %.2f s during smtplib"
      " (%.0f%%); the lowest ratio any client could reach here: %.2f"
      % (c1 - c0, 100 * (c1 - c0) / ours, c2 - c1, 100 * (c2 - c1) / peer, min(c1 - c0, c2 - c1) / peer))
' "$ours" "$peer" "$cpu0" "$cpu1" "$cpu2"

echo
echo "== 100,000 personalised messages, no attachment: peak memory (target: under 64 MB)"
table big 100000
"$BIN_DIR/send_bench" "$port" "$work/big.dbf" --personalised --sign-in
