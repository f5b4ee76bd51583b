#!/usr/bin/env bash
# Sets up what is missing, builds Tavrin in Release into build/, and starts it.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins shared-mime-info fonts-dejavu-core
  libssl-dev qtkeychain-qt6-dev
  python3 python3-aiosmtpd
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_WITH_TESTS=OFF >/dev/null
cmake --build build -j2 --target tavrin dbftool

# A first start on a fresh machine gets a small recipients table to work with.
samples/make_sample_table.sh build/bin "$HOME/Tavrin/tavrin.dbf" ||
  echo "Could not create the sample recipients table at $HOME/Tavrin/tavrin.dbf" >&2

# The capture server keeps every message it receives under ~/Tavrin/outbox/ and stops with Tavrin.
# A fresh machine sends to it until Properties names a real server: on port 2525, or on a free
# port written into the new settings when another program holds 2525 (and remembered, so later
# starts use it again, or move the settings to another free port when that one is taken too).
# Settings that send to 127.0.0.1:2525 are never pointed at whoever holds that port instead: the
# start stops there with a message.
settings=build/bin/Tavrin.ini
mkdir -p "$HOME/Tavrin"
port_record="$HOME/Tavrin/capture-port"
setting() { grep -i -m1 "^$1=" "$settings" 2>/dev/null | cut -d= -f2- | tr -d '\r' || true; }
recorded=$(cat "$port_record" 2>/dev/null || true)
fresh_settings=0
[ -e "$settings" ] || fresh_settings=1
wanted=2525 strict=0 ours=0
if ((!fresh_settings)) && [ "$(setting ServerName)" = 127.0.0.1 ]; then
  configured=$(setting ServerPort)
  if [ "$configured" = 2525 ]; then
    strict=1
  elif [ -n "$recorded" ] && [ "$configured" = "$recorded" ]; then
    wanted=$recorded ours=1
  fi
fi

capture_pid=""
stop_capture() { [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap stop_capture EXIT
capture_log="$HOME/Tavrin/capture-server.log"
coproc CAPTURE {
  exec /usr/bin/python3 tools/smtp_capture.py --port "$wanted" --fallback-port \
    --outbox "$HOME/Tavrin/outbox" 2>>"$capture_log"
}
capture_pid=$CAPTURE_PID
capture_port=""
if read -r -t 15 ready <&"${CAPTURE[0]}" && [[ $ready == READY* ]]; then
  capture_port=${ready#READY }
fi
if [ -z "$capture_port" ]; then
  echo "The capture SMTP server did not start (see $capture_log)" >&2
elif [ "$capture_port" != "$wanted" ] && ((strict)); then
  echo "Port 2525 on 127.0.0.1 is taken by another program, and the settings in $settings send" \
    "there. Stop that program, or choose another server or port in Properties." >&2
  exit 1
else
  echo "Capture SMTP server on 127.0.0.1:$capture_port; messages go to $HOME/Tavrin/outbox/"
fi
if [ -n "$capture_port" ] && [ "$capture_port" != 2525 ] && ((fresh_settings || ours)); then
  echo "$capture_port" > "$port_record"
  if ((ours)); then
    sed -i "s/^ServerPort=$wanted\r\?\$/ServerPort=$capture_port/I" "$settings"
  fi
fi
if ((fresh_settings)); then
  printf '[Options]\nServerName=127.0.0.1\nServerPort=%s\n' "${capture_port:-2525}" > "$settings"
fi

build/bin/tavrin "$@"
