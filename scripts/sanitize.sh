#!/usr/bin/env bash
# Builds the core and every test with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ (or $KESTREL_ASAN_BUILD_DIR) and runs the tests that are not labelled slow there.
# Extra arguments go to cmake. Any report fails the run, also one from kestrel-batch or
# kestrel-synth run by a test: they inherit the options below, and a report aborts the process,
# which no test takes for an expected exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${KESTREL_ASAN_BUILD_DIR:-build-asan}"
KESTREL_BUILD_DIR="$dir" scripts/build.sh -DKESTREL_SANITIZE=ON -DKESTREL_BENCHMARKS=OFF \
    -DKESTREL_WERROR=ON "$@"

# max_allocation_size_mb: a reader that believes an absurd header fails here at once instead of
# merely using a lot of memory; the largest picture accepted is 1 GiB.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1:\
detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:\
max_allocation_size_mb=2048:allocator_may_return_null=0:exitcode=86"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:exitcode=87"
start=$SECONDS
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -LE slow
echo "sanitizer tests: $((SECONDS - start)) s"
