#!/usr/bin/env bash
# Exports every example scene, the test scenes, the shared sample models and a benchmark grid
# with several setting variants in all three encodings, and prints one checksum line per file
# written. Two builds that print the same lines write the same bytes.
#
#   scripts/output-digest.sh [BUILD_DIR] > digest.txt
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
vorn="$build/app/vorn"
[ -x "$vorn" ] || { echo "output-digest: no $vorn" >&2; exit 2; }

work=$(mktemp -d /tmp/vorn-digest-XXXXXX)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/make_scene.py "$work/grid" --faces 20000 --bones 4 >/dev/null

scenes=(examples/*.json tests/scenes/*.json "$work/grid/scene.json")
if [ -d ../shared/models ]; then
  while IFS= read -r m; do scenes+=("$m"); done < <(find ../shared/models -type f \
    \( -iname '*.fbx' -o -iname '*.gltf' -o -iname '*.glb' -o -iname '*.dae' \) | LC_ALL=C sort)
fi

variants=(
  ""
  "FX=1 DxFx=1 DeclData=1 Tangent=1 BiTangent=1"
  "TextureConvert=1 TextureFormat=1 PowerOf2=1 OverwriteTexture=1"
  "InlineMtl=1 RightHand=1 WorldSpace=1 KeyFrames=1 VertexDup=1 MultiTexCoordsOptimize=1"
  "Animation=0 SceneRoot=0 Skin=0 Normal=0 TexCoords=0"
)

for scene in "${scenes[@]}"; do
  base=$(echo "${scene#$work/}" | tr / _)
  for v in "${!variants[@]}"; do
    for type in 0 1 2; do
      out="$work/out/$base/$v/$type"
      mkdir -p "$out" "$work/cfg"
      sets=(--set "XFileType=$type")
      for kv in ${variants[$v]}; do sets+=(--set "$kv"); done
      rc=0
      "$vorn" export "$scene" "$out/scene.x" --silent --config-dir "$work/cfg" "${sets[@]}" \
        >"$out/.stdout" 2>"$out/.stderr" || rc=$?
      # Paths of this run's temporary folder differ between runs; messages are compared without.
      sed -i "s#$work#WORK#g" "$out/.stdout" "$out/.stderr"
      echo "exit $rc" >>"$out/.stderr"
    done
  done
done

cd "$work/out"
find . -type f | LC_ALL=C sort | xargs sha256sum
