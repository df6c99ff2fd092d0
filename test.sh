#!/usr/bin/env bash
# Installs what the tests need, builds with warnings as errors, runs every test, runs them again
# built with AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh, about 6
# minutes with its build), then fuzzes each reader for 45 seconds (scripts/fuzz.sh, about 5).
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
scripts/sanitize.sh
scripts/fuzz.sh --seconds 45
