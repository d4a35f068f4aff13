#!/usr/bin/env bash
# Installs every package the project needs on Debian 12 (run as root; idempotent).
set -euo pipefail

packages=(
  build-essential cmake pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  libxvidcore-dev libopenh264-dev libspandsp-dev libasound2-dev
  libxcb1-dev libxcb-shm0-dev libcairo2-dev fonts-liberation fonts-dejavu-core
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libyuv-dev
  libturbojpeg0-dev libjpeg62-turbo-dev
  xvfb xauth x11-utils ffmpeg sox
  libssl-dev
  # API reference, Debian packages (dpkg-shlibdeps needs file) and the manual-page check
  doxygen dpkg-dev file man-db
  # RTSP servers nobody here wrote, for the interoperability tests (tests/interop)
  python3 python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gst-plugins-base-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  vlc-bin vlc-plugin-base
  # KvReplay: Qt 6 Widgets with its xcb platform plugin, and a font for its Chinese texts
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
