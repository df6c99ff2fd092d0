#!/usr/bin/env bash
# Builds Kestrel and runs the demo: a synthetic sky video and dark frame made by kestrel-synth
# in demo/, processed by kestrel-batch. Arguments, when given, go to kestrel-batch instead.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh build
scripts/build.sh
if [ $# -gt 0 ]; then
  exec build/kestrel-batch "$@"
fi
mkdir -p demo
build/kestrel-synth --width 640 --height 480 --frames 100 --colour --output demo/sky.avi --dark demo/dark.bmp
build/kestrel-batch -y --colour -d demo/dark.bmp demo/sky.avi demo/processed.avi
ls -l demo/processed.avi
