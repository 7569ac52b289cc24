#!/usr/bin/env bash
# Installs the Debian packages Splicora needs, and only those that are missing.
# Safe to run any number of times; apt is only touched when something is absent.
set -euo pipefail

packages=(
  # build
  cmake ninja-build pkg-config g++
  # GUI
  qt6-base-dev libgl-dev fonts-dejavu-core
  # Qt's own Russian texts (file dialogs, message-box buttons)
  qt6-translations-l10n
  # media: decode, encode, scale, resample; MP3 encoder loaded at run time
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libmp3lame0
  # tests: unit framework, fixture makers and independent readers
  libgtest-dev ffmpeg
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good mencoder
  # GStreamer's AAC encoder (avenc_aac), MPEG-4 and H.264 parsers and decoders: AAC clips of another
  # writer than ffmpeg, and a second decoder of the smart join's outputs
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  # validators of the installed desktop entry and AppStream metainfo
  desktop-file-utils appstream
  # spelling of the Russian texts
  hunspell hunspell-ru
  # the Debian package (cpack -G DEB with dpkg-shlibdeps) and its checks; the manual pages rendered
  dpkg-dev lintian file man-db
  # fuzzing the AVI header reader
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
