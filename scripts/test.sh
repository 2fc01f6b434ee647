#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
#   VORN_SANITIZE=1  build under AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
build=build; extra=()
if [ "${VORN_SANITIZE:-0}" = 1 ]; then build=build-asan; extra=(-DVORN_SANITIZE=ON -DVORN_BENCH=OFF); fi
cmake -S . -B "$build" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
