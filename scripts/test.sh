#!/usr/bin/env bash
# Sets up, builds and runs every test, then once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, and once more under ThreadSanitizer (both without the "interop"
# tests, which only run programs nobody here wrote, and the "packaging" tests, which install and
# package the normal build). Fails on any test failure or sanitizer
# report.
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
    ctest --output-on-failure --timeout 600 -j2 -LE 'interop|packaging')

# ThreadSanitizer's runtime cannot map its shadow memory on some kernels with wide address
# randomisation; without randomisation (where the sandbox lets setarch switch it off) it can.
"$root/scripts/build.sh" "$root/build-tsan" -DKVNET_SANITIZE=thread -DKVNET_BUILD_BENCH=OFF
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
(cd "$root/build-tsan" &&
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${norandom[@]}" ctest --output-on-failure --timeout 600 -j2 -LE 'interop|packaging')
