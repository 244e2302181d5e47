#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests, the benchmarks
# and the demo need. Used by `make deps`, `make demo`, `make test` and CI.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libavcodec-dev libavformat-dev libavfilter-dev libavutil-dev
  libswscale-dev libswresample-dev
  libmagick++-6.q16-dev
  libgif-dev
  ffmpeg
  libjsoncpp-dev
  libboost-dev
  libvpx-dev
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-14-dev
  chromium
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
