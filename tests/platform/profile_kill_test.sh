#!/usr/bin/env bash
# Stops a settings write with SIGKILL at each of its writes, syncs and renames in turn, and checks
# that the file is always whole afterwards: exactly the old text or exactly the new one.
set -euo pipefail
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
ini="$dir/Tavrin.ini"
old=$'; kept by hand\r\n[Options]\r\nSenderName=Old\r\nDir=/data\r\n'
new=$'; kept by hand\r\n[Options]\r\nSenderName=New\r\nDir=/data\r\nReturnEmail=ann@example.com\r\nServerName=smtp.example.com\r\nServerPort=25\r\n[Defaults]\r\nTo=Club members\r\n'
kills=0
for call in write fsync rename; do
  for ((n = 1; ; n++)); do
    printf '%s' "$old" >"$ini"
    status=0
    strace -f -o /dev/null -e trace="$call" -e inject="$call":signal=KILL:when="$n" \
      "$tool" "$ini" New || status=$?
    got=$(cat "$ini"; printf x)
    got=${got%x}
    if ((status == 0)); then
      [[ $got == "$new" ]] || { echo "finished write left: $got"; exit 1; }
      break
    fi
    ((status == 137)) || { echo "unexpected status $status at $call #$n"; exit 1; }
    [[ $got == "$old" || $got == "$new" ]] || { echo "torn file after kill at $call #$n: $got"; exit 1; }
    kills=$((kills + 1))
  done
done
((kills >= 3)) || { echo "only $kills kills: the write was never stopped"; exit 1; }
# The files that killed writers left half-written are gone after the next whole write.
left=$(ls -A "$dir")
[[ $left == "Tavrin.ini" ]] || { echo "left behind: $left"; exit 1; }
echo "file whole after each of $kills kills"
