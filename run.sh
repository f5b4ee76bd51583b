#!/usr/bin/env bash
# Sets up what is missing, builds Tavrin in Release into build/, and starts it.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins shared-mime-info fonts-dejavu-core
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

exec build/bin/tavrin "$@"
