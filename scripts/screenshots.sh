#!/usr/bin/env bash
# Makes the README's screenshots in docs/ under a virtual X server: the Setup and Advanced Setup
# dialogs, the main window after a run of the demo video, and the About box.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh build
scripts/build.sh
mkdir -p demo docs
build/kestrel-synth --width 640 --height 480 --frames 100 --colour --output demo/sky.avi --dark demo/dark.bmp
xvfb-run -a -s "-screen 0 1280x1024x24" \
  build/tests/qt/kestrel-screenshots docs demo/sky.avi demo/dark.bmp
ls -l docs/*.png
