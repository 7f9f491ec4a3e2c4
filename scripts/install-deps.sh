#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test, fuzz and demo the project.
# Safe to run again; never prompts.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
  qt6-l10n-tools qt6-tools-dev locales
  at-spi2-core gir1.2-atspi-2.0 python3-gi
  libglib2.0-dev libsodium-dev libarchive-dev libzstd-dev
  libgtest-dev libgmock-dev libbenchmark-dev googletest
  dbus dbus-daemon dbus-x11 libglib2.0-bin python3-dbusmock
  python3 xvfb xauth x11-utils xdotool imagemagick
  clang libclang-rt-14-dev
  curl libarchive-tools attr e2fsprogs util-linux openssl
  dpkg-dev help2man lintian desktop-file-utils appstream apt-file mmdebstrap
)

sudo_if_needed() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  sudo_if_needed apt-get update -q
  sudo_if_needed apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
