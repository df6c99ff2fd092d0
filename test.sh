#!/usr/bin/env bash
# Installs what the tests need, builds with warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh test
scripts/build.sh -DKESTREL_WERROR=ON
ctest --test-dir build --output-on-failure -j"$(nproc)"
