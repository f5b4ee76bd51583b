#!/usr/bin/env bash
# Writes doc/screenshots/{compose,browser,configuration,log}.png and the same under a dark palette
# (NAME-dark.png): the program's windows on the sample table under a virtual X display, sending to a
# local capture server that refuses one recipient. Needs a build (build/bin/tavrin_screenshots, build/bin/dbftool), xvfb and
# python3-aiosmtpd (installed when missing).
# Usage: [SHOTS_DIR=DIR] [OUTBOX=DIR] [THEMES="light dark"] tools/screenshots.sh
#   THEMES: which sets to take (light, dark or both, the default).
#   SHOTS_DIR: where the PNGs go instead of doc/screenshots; OUTBOX: keep the messages the capture
#   server received there, to read what the send delivered.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d)
xvfb_pid=""
capture_pid=""
cleanup() {
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

missing=()
for p in xvfb python3-aiosmtpd; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

for tool in build/bin/tavrin_screenshots build/bin/dbftool; do
  [ -x "$tool" ] || { echo "$0: $tool not found (build the project first)" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "$0: Xvfb not found (package xvfb)" >&2; exit 1; }

# The program reads its settings beside its executable and the table from the home folder.
mkdir -p "$work/bin" "$work/home/Tavrin" "$work/outbox"
cp build/bin/tavrin_screenshots "$work/bin/"
samples/make_sample_table.sh build/bin "$work/home/Tavrin/tavrin.dbf" >/dev/null
printf 'The programme of the evening.\n' > "$work/programme.txt"
printf 'Minutes of last year.\n' > "$work/minutes.txt"

coproc CAPTURE { exec /usr/bin/python3 tools/smtp_capture.py --port 0 --outbox "$work/outbox" \
  --refuse=david.okafor@example.com="550 No such user here" 2>&1; }
capture_pid=$CAPTURE_PID
read -r -t 15 ready <&"${CAPTURE[0]}" || true
[[ ${ready:-} == READY* ]] || { echo "$0: the capture server did not start: ${ready:-}" >&2; exit 1; }
port=${ready#READY }
printf '[Options]\nSenderName=John Doe\nReturnEmail=john.doe@example.com\nServerName=127.0.0.1\nServerPort=%s\n[Defaults]\nTo=Members of the walking club\n' \
  "$port" > "$work/bin/Tavrin.ini"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done

shots=${SHOTS_DIR:-$root/doc/screenshots}
mkdir -p "$shots"
for theme in ${THEMES:-light dark}; do
  option=()
  [ "$theme" = dark ] && option=(--dark)
  # No desktop theme plugin: the light set shows Qt's own palette, the dark set the dark one.
  DISPLAY=$display QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME= HOME="$work/home" \
    "$work/bin/tavrin_screenshots" "${option[@]}" "$shots" "$work/programme.txt" "$work/minutes.txt"
done
ls -1 "$shots"/*.png
if [ -n "${OUTBOX:-}" ]; then
  mkdir -p "$OUTBOX"
  cp -r "$work/outbox/." "$OUTBOX/"
fi
