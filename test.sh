#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test headless.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev shared-mime-info
  libgtest-dev
  python3 python3-aiosmtpd python3-dbfread python3-dbf desktop-file-utils strace
  gdal-bin  # ogrinfo: a second reader of tables, for the append and damage tests
  clang libclang-rt-14-dev
  strace
  libc-l10n  # the system's messages in other languages, for the tests of messages shown whole
  libssl-dev qtkeychain-qt6-dev  # encrypted connections; the password in the desktop's secret store
  python3-trustme  # a certificate authority made at test time, for the encrypted-connection tests
  dpkg-dev appstream  # dpkg-shlibdeps for the Debian package's Depends; the metadata validator
  clang-format  # the layout check of every source file
  postfix  # a real mail server for the send tests, run from its own folder on a loopback port
)

# Postfix is installed unconfigured: the system's own mail setup and port 25 stay as they are.
if ! dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q "install ok installed"; then
  echo "postfix postfix/main_mailer_type select No configuration" | \
    { [ "$(id -u)" -eq 0 ] && debconf-set-selections || sudo debconf-set-selections; } || true
fi

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

install_missing "${PACKAGES[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_WITH_TESTS=ON -DTAVRIN_WERROR=ON
cmake --build build -j2

# The network client's tests once more under AddressSanitizer (see the script); the whole suite
# follows, so its summary closes the run.
tests/net/asan.sh

cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2
