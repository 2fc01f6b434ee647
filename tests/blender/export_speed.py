# Times a large export from Blender, split into its parts:
#   blender -b --factory-startup --python tests/blender/export_speed.py -- --vorn build/app/vorn [--faces 1000000]
# A grid of quads (the face count is Blender's polygons) with two UV maps, exported through the
# operator in the binary encoding.

import argparse
import os
import sys
import tempfile
import time

import bpy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "blender"))
import io_scene_vorn  # noqa: E402

argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
ap = argparse.ArgumentParser()
ap.add_argument("--vorn", required=True)
ap.add_argument("--faces", type=int, default=1000000)
ap.add_argument("--triangles", action="store_true", help="triangulate the grid first")
args = ap.parse_args(argv)
os.environ["VORN_EXECUTABLE"] = os.path.abspath(args.vorn)
os.environ["VORN_TIMINGS"] = "1"
work = tempfile.mkdtemp(prefix="vorn-speed-")
os.environ.setdefault("BLENDER_USER_CONFIG", os.path.join(work, "config"))
io_scene_vorn.register()

bpy.ops.wm.read_factory_settings(use_empty=True)
side = round(args.faces ** 0.5 / (2 ** 0.5 if args.triangles else 1))
bpy.ops.mesh.primitive_grid_add(x_subdivisions=side, y_subdivisions=side, size=100)
obj = bpy.context.active_object
if args.triangles:
    bpy.ops.object.mode_set(mode='EDIT')
    bpy.ops.mesh.quads_convert_to_tris()
    bpy.ops.object.mode_set(mode='OBJECT')
mesh = obj.data
mesh.uv_layers.new(name="Second")
print(f"{len(mesh.polygons)} faces, {len(mesh.vertices)} vertices, {len(mesh.loops)} corners, "
      f"{sum(len(p.vertices) - 2 for p in mesh.polygons)} triangles", flush=True)

# the new mesh's first evaluation, which an open scene has had before anyone exports
evaluated = time.perf_counter()
bpy.context.evaluated_depsgraph_get()
print(f"{'first evaluation':16s} {time.perf_counter() - evaluated:7.3f} s  (before the export, not counted)")
out = os.path.join(work, "big.x")
import resource  # noqa: E402
cpu = time.process_time()
children = resource.getrusage(resource.RUSAGE_CHILDREN)
started = time.perf_counter()
result = bpy.ops.export_scene.vorn_x(filepath=out, file_type='BINARY', use_animation=False)
total = time.perf_counter() - started
cpu = time.process_time() - cpu
after = resource.getrusage(resource.RUSAGE_CHILDREN)
vorn_cpu = (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
from io_scene_vorn import operator  # noqa: E402
t = operator.last_timings
for key in ("scene setup", "evaluate", "mesh read", "buffers", "document", "scene document", "vorn"):
    if key in t:
        print(f"{key:16s} {t[key]:7.3f} s")
for line in t.get("vorn output", []):
    print("  vorn " + line)
print(f"{'total':16s} {total:7.3f} s  {result}  {os.path.getsize(out) / 1e6:.1f} MB")
# on a shared machine the processor time is the fairer measure of the work itself
print(f"{'cpu: blender':16s} {cpu:7.3f} s\n{'cpu: vorn':16s} {vorn_cpu:7.3f} s\n"
      f"{'cpu: total':16s} {cpu + vorn_cpu:7.3f} s  (load average {os.getloadavg()[0]:.1f})")
