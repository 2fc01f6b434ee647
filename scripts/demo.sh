#!/usr/bin/env bash
# Installs what is missing, builds, and exports the bundled example scene.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
if [ -x build/app/vorn ]; then
  mkdir -p out
  build/app/vorn export examples/box.json out/box.x --yes --config-dir out
  echo "wrote out/box.x"
fi
