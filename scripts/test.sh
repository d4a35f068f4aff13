#!/usr/bin/env bash
# Sets up, builds and runs every test, then once more under AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails on any test failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure --timeout 300 -j2)

"$root/scripts/build.sh" "$root/build-asan" -DKVNET_SANITIZE=address,undefined \
  -DKVNET_BUILD_BENCH=OFF
(cd "$root/build-asan" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions="$root/scripts/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure --timeout 600 -j2)
