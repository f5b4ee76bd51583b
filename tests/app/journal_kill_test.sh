#!/usr/bin/env bash
# A journaled send of six recipients in three transactions (journal_probe) is killed with SIGKILL
# at each write, then at each fdatasync, of its journal (N = 1, 2, ... until a run ends by itself),
# and resumed from the journal against the same capture server. Every recipient must then have the
# message exactly once, except those the resume left out as "may have been delivered" (one
# transaction at most), who have it at most once: never twice. A run to its end syncs the journal
# once per transaction and twice at its end.
# Usage: journal_kill_test.sh PROBE DBFTOOL SOURCE_DIR. Exits 77 (skipped) when strace cannot
# trace here or the capture server cannot start.
set -euo pipefail
probe=$1
dbftool=$2
source_dir=$3
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
strace -f -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || { echo "aiosmtpd is not installed"; exit 77; }
work=$(mktemp -d)
server_pid=
stop_server() {
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT

table=$work/rcpt.dbf
printf 'NAME,EMAIL\r\n' >"$work/rcpt.csv"
for i in 1 2 3 4 5 6; do printf 'R%s,r%s@example.com\r\n' "$i" "$i" >>"$work/rcpt.csv"; done
"$dbftool" create "$table" NAME,C,40 EMAIL,C,60 >/dev/null
"$dbftool" import "$table" "$work/rcpt.csv" >/dev/null

start_server() {
  rm -rf "$work/outbox"
  mkdir -p "$work/outbox"
  coproc SERVER { exec /usr/bin/python3 "$source_dir/tools/smtp_capture.py" --port 0 --outbox "$work/outbox" 2>/dev/null; }
  server_pid=$SERVER_PID
  local line
  read -r -t 15 line <&"${SERVER[0]}" || { echo "the capture server did not start"; exit 77; }
  port=${line#READY }
}

# Counts each recipient's messages; every one must be 1, or 0 when the resume skipped it.
check() {
  local what=$1 skipped=$2
  local counts
  counts=$(cat "$work"/outbox/*.eml 2>/dev/null | tr -d '\r' | sed -n 's/^X-Envelope-To: //p' |
    tr ',' '\n' | tr -d ' ' | sort | uniq -c)
  local n_skipped
  n_skipped=$(wc -w <<<"$skipped")
  ((n_skipped <= 2)) || { echo "FAIL: $what: more than one transaction skipped: $skipped"; exit 1; }
  for i in 1 2 3 4 5 6; do
    local c
    c=$(awk -v a="r$i@example.com" '$2 == a { print $1 }' <<<"$counts")
    c=${c:-0}
    if ((c > 1)); then echo "FAIL: $what: r$i has the message $c times"; exit 1; fi
    if ((c == 0)) && ! grep -qw "$i" <<<"$skipped"; then
      echo "FAIL: $what: r$i never had the message and was not marked may-have-been-delivered"
      exit 1
    fi
  done
}

kills=0
for call in write fdatasync; do
  for ((n = 1; n < 60; n++)); do
    rm -rf "$work/journal"
    start_server
    journal=$("$probe" prepare "$work/journal" "$table")
    status=0
    (timeout 60 strace -f -o /dev/null -P "$journal" -e inject="$call":signal=KILL:when="$n" \
      "$probe" send "$work/journal" "$port" >/dev/null 2>&1
      exit $?) 2>/dev/null || status=$?
    if ((status == 0)); then
      check "a run to its end ($call #$n)" ""
      stop_server
      # The run made n - 1 of these calls: one sync per transaction (its outcomes go to the disk
      # with the next "Sent" line), and two at the end.
      if [[ $call == fdatasync ]] && ((n - 1 > 5)); then
        echo "FAIL: $((n - 1)) syncs of the journal for three transactions (at most 5)"
        exit 1
      fi
      break
    fi
    ((status == 137)) || { echo "FAIL: status $status at $call #$n"; exit 1; }
    kills=$((kills + 1))
    skipped=$(timeout 60 "$probe" send "$work/journal" "$port" | sed -n 's/^skipped //p' | tr '\n' ' ') ||
      { echo "FAIL: the resume after a kill at $call #$n"; exit 1; }
    check "killed at $call #$n, then resumed" "$skipped"
    # Resumed to its end, the journal is closed: a second resume sends nothing.
    before=$(ls "$work/outbox" | wc -l)
    timeout 60 "$probe" send "$work/journal" "$port" >/dev/null ||
      { echo "FAIL: a second resume after $call #$n"; exit 1; }
    (($(ls "$work/outbox" | wc -l) == before)) ||
      { echo "FAIL: a second resume after $call #$n sent again"; exit 1; }
    stop_server
  done
done
((kills >= 6)) || { echo "FAIL: only $kills kills: the journal's writes were never stopped"; exit 1; }
echo "every recipient had the message once (or was marked) after each of $kills kills"
