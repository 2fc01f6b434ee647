#!/usr/bin/env bash
# The texture pipeline's targets, measured on photographs from Debian's mate-backgrounds package:
# one 4096 x 4096 RGB PNG converted to DDS with every mip level and to PNG (from the PNG, and from
# a TGA of it), and a scene of 20 textures of 2048 x 2048 exported with conversion. Whole `vorn
# export` runs (binary .X): wall time, processor time (user + system, both cores) and peak resident
# memory, RUNS runs each. Needs /usr/bin/time and bc.
#
#   bench/texture-bench.sh [BUILD_DIR] [RUNS]      (a Release build with VORN_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-rel}
runs=${2:-5}
vorn="$build/app/vorn"
sources="$build/bench/texture_sources"
[ -x "$vorn" ] && [ -x "$sources" ] || { echo "texture-bench: build $vorn and $sources first" >&2; exit 2; }

cache=${VORN_TEXTURE_CACHE:-$HOME/.cache/vorn-textures}
mkdir -p "$cache"
if [ ! -d "$cache/mate" ]; then
  (cd "$cache" && apt-get download mate-backgrounds >/dev/null && dpkg -x mate-backgrounds_*.deb pkg &&
   mv pkg/usr/share/backgrounds/mate mate && rm -rf pkg mate-backgrounds_*.deb)
fi
photos=()
while IFS= read -r p; do photos+=("$p"); done < <(find "$cache/mate" -name '*.jpg' | LC_ALL=C sort)
[ -f "$cache/photo4096.png" ] || "$sources" "$cache/mate/abstract/Elephants_5640x3172.jpg" "$cache/photo4096.png" 4096
for i in $(seq 0 19); do
  f="$cache/t2048_$i.png"
  [ -f "$f" ] || "$sources" "${photos[$((i % ${#photos[@]}))]}" "$f" 2048 $([ $((i % 4)) = 3 ] && echo normals)
done

work=$(mktemp -d /tmp/vorn-texbench-XXXXXX)
trap 'rm -rf "$work"' EXIT
# A scene of `count` boxes, each with its own material and texture; every fourth a normal map.
scene() {  # out.json texture...
  /usr/bin/python3 - "$@" <<'PY'
import json, sys
out, textures = sys.argv[1], sys.argv[2:]
box = {"type": "mesh", "mesh": {
    "vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], "faces": [[0, 1, 3, 1, 0], [3, 2, 0, 1, 0]],
    "maps": {"1": {"vertices": [[0, 0], [1, 0], [0, 1], [1, 1]], "faces": [[0, 1, 3], [3, 2, 0]]}}}}
doc = {"format": "vorn-scene", "version": 1, "nodes": [], "objects": {"box": box}, "materials": {}, "texmaps": {}}
for i, t in enumerate(textures):
    doc["nodes"].append({"name": "Box%d" % i, "handle": i + 1, "object": "box", "material": "m%d" % i})
    bitmap = {"type": "bitmap", "file": t}
    if i % 4 == 3:
        doc["texmaps"]["t%d" % i] = {"type": "normalmap", "map": bitmap}
        doc["materials"]["m%d" % i] = {"type": "standard", "maps": {"bump": "t%d" % i}}
    else:
        doc["texmaps"]["t%d" % i] = bitmap
        doc["materials"]["m%d" % i] = {"type": "standard", "maps": {"diffuse": "t%d" % i}}
json.dump(doc, open(out, "w"))
PY
}
scene "$work/one.json" "$cache/photo4096.png"
scene "$work/twenty.json" "$cache"/t2048_*.png
# The TGA of the photo, written by vorn itself, for the PNG writer's own time.
mkdir -p "$work/tga" && "$vorn" export "$work/one.json" "$work/tga/one.x" --silent --config-dir "$work" \
  --set TextureConvert=1 --set TextureFormat=2 >/dev/null
scene "$work/tga.json" "$work/tga/photo4096.tga"

run() {  # label scene format
  local label=$1 json=$2 format=$3 times=() mems=() cpus=()
  for r in $(seq "$runs"); do
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -f "%e %M %U %S" -o "$work/time" "$vorn" export "$json" "$work/out/scene.x" --silent \
      --config-dir "$work" --set TextureConvert=1 --set TextureFormat="$format" >/dev/null
    read -r t m u s <"$work/time"
    times+=("$t"); mems+=("$m"); cpus+=("$(echo "$u + $s" | bc)")
  done
  local sorted median peak bytes cpu
  sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
  peak=$(printf '%s\n' "${mems[@]}" | sort -n | tail -1)
  cpu=$(printf '%s\n' "${cpus[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
  bytes=$(find "$work/out" -type f ! -name scene.x -printf '%s\n' | awk '{s += $1} END {print s}')
  printf '%-38s median %6.2f s  (%s) cpu %6.2f s  peak %5d MB  written %d bytes\n' "$label" "$median" \
    "$sorted" "$cpu" $((peak / 1000)) "$bytes"
}
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run "4096 PNG -> DDS, all mip levels" "$work/one.json" 0
run "4096 PNG -> PNG" "$work/one.json" 1
run "4096 TGA -> PNG" "$work/tga.json" 1
run "20 x 2048 PNG -> DDS, all mip levels" "$work/twenty.json" 0
run "20 x 2048 PNG -> PNG" "$work/twenty.json" 1
echo "source 4096 PNG: $(stat -c %s "$cache/photo4096.png") bytes"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
