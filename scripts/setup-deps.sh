#!/usr/bin/env bash
# Installs the Debian packages the host and its tests need, only those missing,
# and builds the Windows-only libraries (opus, Dear ImGui) for MinGW once.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache
  libboost-dev libboost-system-dev nlohmann-json3-dev libspdlog-dev libfmt-dev
  libopus-dev libimgui-dev libstb-dev libx264-dev libyuv-dev libpng-dev libpulse-dev
  libx11-dev libxext-dev libxcomposite-dev libxdamage-dev libxfixes-dev libxrandr-dev libxtst-dev
  libglfw3-dev libgl-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libavcodec-dev libavutil-dev libswscale-dev
  xvfb jwm pulseaudio pulseaudio-utils x11-utils x11-apps xdotool imagemagick
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 libffmpeg-nvenc-dev
  clang libclang-rt-14-dev ffmpeg dpkg-dev autoconf automake libtool
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${QH_SKIP_WINDOWS:-0}" != "1" ]; then
  bash scripts/build-win-deps.sh
fi
