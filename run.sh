#!/usr/bin/env bash
# Builds Kestrel and starts the desktop program. On a machine without a display it runs the
# headless demo instead: a synthetic sky video and dark frame made by kestrel-synth in demo/,
# processed by kestrel-batch. Arguments, when given, go to kestrel-batch.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh build
scripts/build.sh
if [ $# -gt 0 ]; then
  exec build/kestrel-batch "$@"
fi
mkdir -p demo
build/kestrel-synth --width 640 --height 480 --frames 100 --colour --output demo/sky.avi --dark demo/dark.bmp
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting kestrel; a demo video is in demo/sky.avi, its dark frame in demo/dark.bmp."
  exec build/kestrel
fi
echo "No display (\$DISPLAY and \$WAYLAND_DISPLAY are empty): running the headless demo instead."
build/kestrel-batch -y --colour -d demo/dark.bmp --subtract-dark --hot-pixels --vertical --horizontal \
  --stretch demo/sky.avi demo/processed.avi
ls -l demo/processed.avi
