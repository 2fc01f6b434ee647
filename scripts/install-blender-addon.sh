#!/usr/bin/env bash
# Builds vorn and the Blender add-on zip (the add-on with vorn and its module in bin/), then
# installs the zip into Blender and enables it.
#   BLENDER=/path/to/blender   another Blender than the one on PATH
set -euo pipefail
cd "$(dirname "$0")/.."
blender=${BLENDER:-blender}
command -v "$blender" >/dev/null || { echo "blender not found (bash scripts/install-deps.sh installs it)" >&2; exit 1; }
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target vorn
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/io_scene_vorn/bin"
cp blender/io_scene_vorn/*.py "$stage/io_scene_vorn/"
cp build/app/vorn build/app/vorn.dle build/app/vorn_assimp.so "$stage/io_scene_vorn/bin/"
mkdir -p out
zip_path=$PWD/out/io_scene_vorn.zip
rm -f "$zip_path"
(cd "$stage" && python3 -m zipfile -c "$zip_path" io_scene_vorn)
"$blender" -b --python-exit-code 1 --python-expr "
import bpy
bpy.ops.preferences.addon_install(filepath='$zip_path', overwrite=True)
bpy.ops.preferences.addon_enable(module='io_scene_vorn')
bpy.context.preferences.use_preferences_save = True
bpy.ops.wm.save_userpref()
print('installed and enabled io_scene_vorn')
" 2>&1 | grep -E 'installed|Error|error' || true
echo "add-on: $zip_path (File > Export > DirectX (.x))"
