#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs when they are missing. Usage:
#   scripts/ensure-packages.sh build|test
# "build" is what compiling and running needs, the desktop program included; "test" adds the
# independent tools the tests compare against (FFmpeg, ImageMagick) and clang for the fuzz run.
set -euo pipefail

# Qt 6 for the desktop program, and Xvfb for its screenshots; FFmpeg's libraries decode the
# compressed streams.
build_packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev qt6-base-dev xvfb xauth
  pkg-config libavcodec-dev libavformat-dev libswscale-dev libavutil-dev)
test_packages=(ffmpeg imagemagick time clang libclang-rt-14-dev)

wanted=("${build_packages[@]}")
case "${1:-build}" in
  build) ;;
  test) wanted+=("${test_packages[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Kestrel needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]} ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
