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

# A fresh machine sends to the capture server below until Properties names a real server.
if [ ! -e build/bin/Tavrin.ini ]; then
  printf '[Options]\nServerName=127.0.0.1\nServerPort=2525\n' > build/bin/Tavrin.ini
fi

# The capture server keeps every message it receives under ~/Tavrin/outbox/ and stops with Tavrin.
capture_pid=""
stop_capture() { [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap stop_capture EXIT
mkdir -p "$HOME/Tavrin"
capture_log="$HOME/Tavrin/capture-server.log"
coproc CAPTURE {
  exec /usr/bin/python3 tools/smtp_capture.py --port 2525 --outbox "$HOME/Tavrin/outbox" 2>>"$capture_log"
}
capture_pid=$CAPTURE_PID
if read -r -t 15 ready <&"${CAPTURE[0]}" && [[ $ready == READY* ]]; then
  echo "Capture SMTP server on 127.0.0.1:2525; messages go to $HOME/Tavrin/outbox/"
else
  echo "The capture SMTP server did not start (is port 2525 taken? see $capture_log)" >&2
fi

build/bin/tavrin "$@"
