#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
#   VORN_SANITIZE=1  build under AddressSanitizer and UndefinedBehaviorSanitizer
#   VORN_WERROR=1    fail the build on any compiler warning (as CI does)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build; extra=()
if [ "${VORN_SANITIZE:-0}" = 1 ]; then build=build-asan; extra=(-DVORN_SANITIZE=ON -DVORN_BENCH=OFF); fi
[ "${VORN_WERROR:-0}" = 1 ] && werror=ON || werror=OFF
cmake -S . -B "$build" -G Ninja -DVORN_WERROR=$werror "${extra[@]}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
