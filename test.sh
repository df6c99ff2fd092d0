#!/usr/bin/env bash
# Installs what the tests need, builds with warnings as errors, and runs every test.
# --slow also runs the tests on files of gigabytes (minutes, about 12 GB of free disk).
set -euo pipefail
cd "$(dirname "$0")"
labels=(-LE slow)
case ${1:-} in
    --slow) labels=() ;;
    "") ;;
    *) echo "usage: ./test.sh [--slow]" >&2; exit 2 ;;
esac
scripts/ensure-packages.sh test
scripts/build.sh -DKESTREL_WERROR=ON
ctest --test-dir build --output-on-failure -j"$(nproc)" "${labels[@]}"
