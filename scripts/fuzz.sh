#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS, default
# 15) from a corpus of the examples. A crashing input is kept in tests/fuzz/regressions/<target>/
# and the script fails; the kept inputs are replayed first on every run. The seed is fixed
# (FUZZ_SEED) so a run on a slower machine tries a prefix of what a local run tried.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-15}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVORN_FUZZ=ON -DVORN_TESTS=ON -DVORN_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_scene_document fuzz_ini_file fuzz_xfile_reader fuzz_template_parser fuzz_bvh_reader fuzz_gltf_reader fuzz_x_reader fuzz_collada_reader vorn

seeds="$build/fuzz-seeds"
rm -rf "$seeds"
mkdir -p "$seeds"/{scene_document,ini_file,xfile_reader,template_parser,bvh_reader,gltf_reader,x_reader,collada_reader}
cp examples/*.json tests/scenes/*.json "$seeds/scene_document/"
cp tests/importers/data/*.bvh "$seeds/bvh_reader/"
printf '[Option]\nXFileType=0\nSceneRootName="Root"\nAnimationCount=2\n' >"$seeds/ini_file/a.ini"
"$build/app/vorn" templates --binary >"$seeds/template_parser/standard.bin"
"$build/app/vorn" templates >"$seeds/template_parser/all.txt"
find tests/importers/gltf \( -name '*.gltf' -o -name '*.glb' \) -exec sh -c 'cp "$1" "$2/$(echo "$1" | tr / _)"' _ {} "$seeds/gltf_reader" \;
cp tests/importers/collada/*.dae tests/importers/collada/*.zae "$seeds/collada_reader/"
for t in 0 1 2; do
  "$build/app/vorn" export examples/box.json "$seeds/xfile_reader/box$t.x" --silent --set XFileType=$t \
    --config-dir "$seeds/cfg" >/dev/null 2>&1 || true
done
cp tests/importers/x/*.x "$seeds/x_reader/"
cp "$seeds"/xfile_reader/*.x "$seeds/x_reader/" 2>/dev/null || true

status=0
for target in scene_document ini_file xfile_reader template_parser bvh_reader gltf_reader x_reader collada_reader; do
  kept="tests/fuzz/regressions/$target"
  mkdir -p "$kept"
  work="$build/fuzz-corpus/$target"
  mkdir -p "$work"
  echo "fuzz_$target: ${seconds}s"
  if ! "$build/tests/fuzz/fuzz_$target" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$kept/" "$work" "$seeds/$target" "$kept" >"$build/fuzz_$target.log" 2>&1; then
    echo "fuzz_$target found a failing input (kept in $kept):"
    tail -n 30 "$build/fuzz_$target.log"
    status=1
  fi
done
exit $status
