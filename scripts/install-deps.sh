#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Velmorant needs.
# Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang
  # libraries the programs link
  qt6-base-dev libgl-dev portaudio19-dev libasound2-dev libpulse-dev
  libsndfile1-dev libsoxr-dev libcli11-dev nlohmann-json3-dev
  # Arial's metric twin, so the readout's digits have the size they were laid out for
  fonts-liberation2 fonts-dejavu-core
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev time
  # a display and a sound device for tests on machines that have neither
  xvfb xauth pulseaudio pulseaudio-utils libasound2-plugins sox
  # the desktop default sound server, for the device names test
  pipewire pipewire-pulse wireplumber
  # icons, manual pages and the Debian package, and the checks of what it installs
  librsvg2-bin help2man dpkg-dev file man-db desktop-file-utils appstream
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
