# Exports scenes built here through the add-on's operator and reads the files back with vorn's
# reader, assimp and the DirectX loader under Wine.
#
#   blender -b --factory-startup --python-exit-code 1 --python tests/blender/export_test.py -- \
#       --vorn build/app/vorn --work DIR [--assimp assimp] [--wine wine64 --dxcheck dxcheck.exe --prefix DIR]
#
# Prints one line per check and "N passed, N failed"; exits 1 when a check failed.

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import traceback

import bpy
from mathutils import Matrix, Quaternion, Vector

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "blender"))
import io_scene_vorn  # noqa: E402

argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
ap = argparse.ArgumentParser()
ap.add_argument("--vorn", required=True)
ap.add_argument("--work", required=True)
ap.add_argument("--assimp", default="")
ap.add_argument("--wine", default="")
ap.add_argument("--dxcheck", default="")
ap.add_argument("--prefix", default="")
ap.add_argument("--only", default="")
args = ap.parse_args(argv)
args.prefix = os.path.abspath(args.prefix) if args.prefix else ""

os.makedirs(args.work, exist_ok=True)
os.environ["VORN_EXECUTABLE"] = os.path.abspath(args.vorn)
os.environ["BLENDER_USER_CONFIG"] = os.path.join(os.path.abspath(args.work), "config")
io_scene_vorn.register()

results = {"passed": 0, "failed": 0}


def check(what, ok, detail=""):
    results["passed" if ok else "failed"] += 1
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else f": {detail}"), flush=True)
    return ok


def close(a, b, eps=1e-4):
    return len(a) == len(b) and all(abs(x - y) <= eps for x, y in zip(a, b))


# --- reading the .x back ----------------------------------------------------------------------

def inspect(path):
    out = subprocess.run([args.vorn, "inspect", path, "--json"], stdout=subprocess.PIPE, check=True)
    return json.loads(out.stdout)


def walk(objects, parent=None):
    for o in objects:
        yield o, parent
        yield from walk(o.get("children", []), o)


def find(tree, template, name=None):
    return [o for o, _ in walk(tree["objects"]) if o.get("template") == template and (name is None or o["name"] == name)]


def child(obj, template):
    return [c for c in obj.get("children", []) if c.get("template") == template]


def vec(d, keys="xyz"):
    return tuple(d[k] for k in keys)


def to_x(p):
    """A host point in the default (left-handed) output: Y and Z exchanged."""
    return (p[0], p[2], p[1])


def corners(mesh_obj):
    """Per .x face corner: (position, normal, uv sets..., colour), in face order."""
    data = mesh_obj["data"]
    verts = [vec(v) for v in data["vertices"]]
    faces = [f["faceVertexIndices"] for f in data["faces"]]
    normals = child(mesh_obj, "MeshNormals")
    uvsets = child(mesh_obj, "MeshTextureCoords")
    colours = child(mesh_obj, "MeshVertexColors")
    out = []
    nrm = None
    if normals:
        nd = normals[0]["data"]
        nrm = ([vec(n) for n in nd["normals"]], [f["faceVertexIndices"] for f in nd["faceNormals"]])
    uvs = [[(t["u"], t["v"]) for t in s["data"]["textureCoords"]] for s in uvsets]
    col = {}
    if colours:
        for c in colours[0]["data"]["vertexColors"]:
            k = c["indexColor"]
            col[c["index"]] = (k["red"], k["green"], k["blue"], k["alpha"])
    for fi, f in enumerate(faces):
        for k, vi in enumerate(f):
            entry = [verts[vi], nrm[0][nrm[1][fi][k]] if nrm else None]
            entry += [u[vi] for u in uvs]
            entry.append(col.get(vi))
            out.append(tuple(entry))
    return out


def rounded(t, digits=3):
    if t is None:
        return None
    if isinstance(t, (tuple, list)):
        return tuple(rounded(x, digits) for x in t)
    return round(t, digits) + 0.0


def frame_matrix(frame):
    m = child(frame, "FrameTransformMatrix")[0]["data"]["frameMatrix"]["matrix"]
    return Matrix([m[0:4], m[4:8], m[8:12], m[12:16]])  # row-vector convention


def world_of(tree, name):
    parents = {}
    for o, p in walk(tree["objects"]):
        if o.get("template") == "Frame":
            parents[o["name"]] = (o, p)
    m = Matrix.Identity(4)
    frame, parent = parents[name]
    while frame is not None:
        m = m @ frame_matrix(frame)
        frame = parent if parent is not None and parent.get("template") == "Frame" else None
        if frame is not None:
            frame, parent = parents[frame["name"]]
    return m


def row_apply(p, m):
    v = Vector((p[0], p[1], p[2], 1.0)) @ m
    return (v[0], v[1], v[2])


def wine_prefix_ready():
    """The Wine prefix the C++ loader tests share: whoever comes first makes it, under a lock."""
    if not (args.wine and args.dxcheck and os.path.exists(args.dxcheck) and args.prefix):
        return False
    ready = os.path.join(args.prefix, "vorn-ready")
    if os.path.exists(ready):
        return True
    import fcntl
    with open(args.prefix + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(ready):
            env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all")
            server = os.path.join(os.path.dirname(args.wine), "wineserver")
            if subprocess.run(["timeout", "300", args.wine, "wineboot", "-i"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0 and \
                    subprocess.run(["timeout", "120", server, "-w"], env=env).returncode == 0:
                open(ready, "w").close()
    return os.path.exists(ready)


def other_readers(path, label, mesh_counts=None, clips=None):
    """The DirectX loader and assimp read the file; assimp's counts agree with ours."""
    if wine_prefix_ready():
        env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all")
        done = None
        for _ in range(3):
            done = subprocess.run(["timeout", "120", args.wine, args.dxcheck, "--templates", "standard",
                                   "Z:" + os.path.abspath(path)], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
            if done.returncode == 0 or done.stderr.strip():
                break
        check(f"{label}: the DirectX loader reads it", done.returncode == 0,
              done.stderr.decode(errors="replace")[-400:])
    else:
        print(f"skip  {label}: DirectX loader (no wine prefix or dxcheck)")
    if not args.assimp:
        print(f"skip  {label}: assimp")
        return
    done = subprocess.run([args.assimp, "info", path, "-r"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text = done.stdout.decode(errors="replace")
    if not check(f"{label}: assimp reads it", done.returncode == 0 and "Node hierarchy" in text, text[-400:]):
        return
    if mesh_counts is not None:
        seen = {}
        lines = text.split("Meshes:  (name)")[1].split("\n\n")[0].splitlines()[1:]
        for line in lines:
            name = line.split("(")[1].split(")")[0]
            v, b, f = line.split("[")[1].split("|")[0].split("/")
            old = seen.get(name, (0, 0, 0))
            seen[name] = (old[0] + int(v), max(old[1], int(b)), old[2] + int(f))
        want = {k: (3 * f, b, f) for k, (_, b, f) in mesh_counts.items()}
        check(f"{label}: assimp's corner, bone and face counts agree", seen == want, f"{seen} != {want}")
    if clips is not None:
        names = [ln.strip().strip("'") for ln in text.split("Named Animations:")[1].split("\n\n")[0].splitlines()
                 if ln.strip()]
        check(f"{label}: assimp sees the clips", names == clips, f"{names} != {clips}")


def our_counts(tree):
    counts = {}
    for mesh in find(tree, "Mesh"):
        skin = child(mesh, "SkinWeights")
        counts[mesh["name"]] = (mesh["data"]["nVertices"], len(skin), mesh["data"]["nFaces"])
    return counts


# --- scenes -----------------------------------------------------------------------------------

def empty_scene():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    try:
        io_scene_vorn.register()
    except ValueError:
        pass  # still registered
    return bpy.context.scene


def link(obj):
    bpy.context.scene.collection.objects.link(obj)
    return obj


def mark_sharp(mesh, edges):
    for e in edges:
        mesh.edges[e].use_edge_sharp = True
    if bpy.app.version < (4, 1, 0):
        mesh.use_auto_smooth = True
        mesh.auto_smooth_angle = math.pi
    for p in mesh.polygons:
        p.use_smooth = True


def blender_corners(obj, uv_count, with_colour):
    """Blender's own corners (world space is the object's here), converted as the .x has them."""
    mesh = obj.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh()
    if bpy.app.version < (4, 1, 0):
        mesh.calc_normals_split()
        normals = [tuple(l.normal) for l in mesh.loops]
    else:
        normals = [tuple(n.vector) for n in mesh.corner_normals]
    mesh.calc_loop_triangles()
    colour = mesh.color_attributes[0] if with_colour else None
    out = []
    for tri in mesh.loop_triangles:
        for li, vi in zip(tri.loops, tri.vertices):
            entry = [to_x(mesh.vertices[vi].co), to_x(normals[li])]
            entry += [(mesh.uv_layers[k].data[li].uv[0], 1.0 - mesh.uv_layers[k].data[li].uv[1])
                      for k in range(uv_count)]
            entry.append(tuple(colour.data[li].color_srgb) if colour else None)
            out.append(tuple(entry))
    count = len(mesh.loop_triangles)
    obj.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh_clear()
    return out, count


def export(name, **props):
    path = os.path.join(args.work, name)
    if os.path.exists(path):
        os.remove(path)
    result = bpy.ops.export_scene.vorn_x(filepath=path, **props)
    check(f"{name}: the operator finished", result == {'FINISHED'}, str(result))
    return path


def test_sharp_uv_colours():
    empty_scene()
    bpy.ops.mesh.primitive_cylinder_add(vertices=12, depth=2.0)
    obj = bpy.context.active_object
    mesh = obj.data
    mark_sharp(mesh, [e.index for e in mesh.edges if abs(mesh.vertices[e.vertices[0]].co.z
                                                         - mesh.vertices[e.vertices[1]].co.z) < 1e-6])
    mesh.uv_layers.new(name="Lightmap")
    second = mesh.uv_layers[1].data
    for i, d in enumerate(second):
        d.uv = (0.5 * d.uv[0] + 0.25, (i % 7) / 7.0)
    col = mesh.color_attributes.new("Paint", 'BYTE_COLOR', 'CORNER')
    for i, c in enumerate(col.data):
        c.color_srgb = ((i % 5) / 4.0, (i % 3) / 2.0, 1.0 - (i % 4) / 3.0, (i % 2) * 0.5 + 0.5)
    obj.location = (0, 0, 0)
    path = export("sharp.x", file_type='BINARY', use_vertex_colors=True, use_animation=False)
    tree = inspect(path)
    meshes = find(tree, "Mesh", "Cylinder")
    if not check("sharp.x: one mesh named after the object", len(meshes) == 1, str(len(meshes))):
        return
    ours = corners(meshes[0])
    theirs, tris = blender_corners(obj, 2, True)
    check("sharp.x: triangle count", meshes[0]["data"]["nFaces"] == tris, f"{meshes[0]['data']['nFaces']} != {tris}")
    # each corner of Blender's appears in the .x with the same position, normal, both UVs and
    # colour (sets: the exporter may order faces and corners its own way)
    a = sorted(set(rounded(c) for c in ours), key=repr)
    b = sorted(set(rounded(c) for c in theirs), key=repr)
    missing = [c for c in b if c not in set(a)]
    check("sharp.x: corners (position, split normal, 2 UV sets, colour) equal Blender's", not missing,
          f"{len(missing)} of {len(b)} missing, e.g. {missing[:2]} vs {a[:2]}")
    check("sharp.x: vertices are split only where Blender's corners differ",
          meshes[0]["data"]["nVertices"] == len(set(rounded(c) for c in theirs)),
          f"{meshes[0]['data']['nVertices']} vertices, {len(b)} distinct corners")
    sharp_normals = {rounded(c[1]) for c in ours}
    check("sharp.x: the caps keep their flat normals", (0.0, 1.0, 0.0) in sharp_normals and
          (0.0, -1.0, 0.0) in sharp_normals, str(sorted(sharp_normals)[:4]))
    other_readers(path, "sharp.x", our_counts(tree))
    without_numpy("sharp.x", "sharp_plain.x", file_type='BINARY', use_vertex_colors=True, use_animation=False)


def without_numpy(label, name, **props):
    """Exports again through the add-on's path for Blenders without numpy and checks that the
    file holds the same meshes: corners, vertex counts and skin weights by vertex position."""
    from io_scene_vorn import document
    if document.np is None:
        return
    saved, document.np = document.np, None
    try:
        path = export(name, **props)
    finally:
        document.np = saved

    def summary(tree):
        out = {}
        for mesh in find(tree, "Mesh"):
            verts = [rounded(vec(v)) for v in mesh["data"]["vertices"]]
            weights = sorted((s["data"]["transformNodeName"], verts[i], round(w, 5))
                             for s in child(mesh, "SkinWeights")
                             for i, w in zip(s["data"]["vertexIndices"], s["data"]["weights"]))
            out[mesh["name"]] = (mesh["data"]["nVertices"], mesh["data"]["nFaces"],
                                 sorted(set(rounded(c) for c in corners(mesh)), key=repr), weights)
        return out
    first = summary(inspect(os.path.join(args.work, label)))
    check(f"{name}: the same meshes without numpy", summary(inspect(path)) == first)


def test_fast_triangulation():
    """The numpy path reproduces Blender's own loop triangles and corner normals, including
    folded and concave quads and a mix of smooth and flat faces, for meshes of quads only,
    of triangles only and of both."""
    from io_scene_vorn import document
    if document.np is None:
        print("skip  fast triangulation: no numpy")
        return
    np = document.np
    for kind in ("quads", "triangles", "mixed"):
        empty_scene()
        bpy.ops.mesh.primitive_grid_add(x_subdivisions=6, y_subdivisions=6)
        obj = bpy.context.active_object
        mesh = obj.data
        rng = np.random.default_rng(7)
        co = np.empty(len(mesh.vertices) * 3, np.float32)
        mesh.vertices.foreach_get("co", co)
        co += rng.uniform(-0.3, 0.3, co.shape).astype(np.float32)  # folded, non-planar, concave quads
        mesh.vertices.foreach_set("co", co)
        for p in mesh.polygons:
            p.use_smooth = p.index % 3 != 0
        if kind != "quads":
            import bmesh
            bm = bmesh.new()
            bm.from_mesh(mesh)
            bm.faces.ensure_lookup_table()
            faces = [f for f in bm.faces if kind == "triangles" or f.index % 4 == 0]
            bmesh.ops.triangulate(bm, faces=faces)
            bm.to_mesh(mesh)
            bm.free()
        mesh.update()
        sizes = {len(p.vertices) for p in mesh.polygons}
        check(f"fast triangulation ({kind}): polygon sizes", sizes == {"quads": {4}, "triangles": {3},
                                                                       "mixed": {3, 4}}[kind], str(sizes))
        mesh.calc_loop_triangles()
        want = np.empty(len(mesh.loop_triangles) * 3, np.int32)
        mesh.loop_triangles.foreach_get("loops", want)
        mesh.vertices.foreach_get("co", co)
        tris, tri_poly, loop_verts = document.triangulate(mesh, co)
        check(f"fast triangulation ({kind}): Blender's loop triangles", np.array_equal(tris.ravel(), want),
              f"{int((tris.ravel() != want).sum())} corners differ")
        table, index = document.fast_normals(mesh, loop_verts[tris], tri_poly)
        got = table.reshape(-1, 3)[index.ravel()]
        ref = np.empty(len(mesh.loops) * 3, np.float32)
        if bpy.app.version < (4, 1, 0):
            mesh.calc_normals_split()
            mesh.loops.foreach_get("normal", ref)
        else:
            mesh.corner_normals.foreach_get("vector", ref)
        ref = ref.reshape(-1, 3)[want]
        check(f"fast normals ({kind}): Blender's corner normals", np.allclose(got, ref, atol=1e-5),
              f"max difference {float(np.abs(got - ref).max())}")


def make_image(name, colour):
    img = bpy.data.images.new(name, 4, 4, alpha=True)
    img.pixels = list(colour) * 16
    img.filepath_raw = os.path.join(args.work, "maps", name + ".png")
    os.makedirs(os.path.dirname(img.filepath_raw), exist_ok=True)
    img.file_format = 'PNG'
    img.save()
    return img


def principled(name, image=None, normal_image=None, roughness=0.5, emission=None):
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    bsdf = nodes["Principled BSDF"]
    bsdf.inputs["Roughness"].default_value = roughness
    bsdf.inputs["Base Color"].default_value = (0.2, 0.4, 0.6, 1.0)
    if image is not None:
        tex = nodes.new("ShaderNodeTexImage")
        tex.image = image
        links.new(tex.outputs["Color"], bsdf.inputs["Base Color"])
    if normal_image is not None:
        tex = nodes.new("ShaderNodeTexImage")
        tex.image = normal_image
        nm = nodes.new("ShaderNodeNormalMap")
        links.new(tex.outputs["Color"], nm.inputs["Color"])
        links.new(nm.outputs["Normal"], bsdf.inputs["Normal"])
    if emission is not None:
        bsdf.inputs["Emission Color" if "Emission Color" in bsdf.inputs else "Emission"].default_value = emission
    return mat


def test_textured_multi_material():
    empty_scene()
    bpy.ops.mesh.primitive_cube_add()
    obj = bpy.context.active_object
    brick = principled("Brick", make_image("brick", (0.8, 0.3, 0.2, 1.0)),
                       make_image("brick_n", (0.5, 0.5, 1.0, 1.0)), roughness=0.2)
    glow = principled("Glow", roughness=0.9, emission=(1.0, 0.5, 0.0, 1.0))
    glow.node_tree.nodes["Principled BSDF"].inputs["Emission Strength"].default_value = 2.0  # (2, 1, 0): still orange
    obj.data.materials.append(brick)
    obj.data.materials.append(glow)
    for p in obj.data.polygons:
        p.material_index = 1 if p.index in (0, 3) else 0
    # the brick texture tiled and shifted by a Mapping node
    nodes, links = brick.node_tree.nodes, brick.node_tree.links
    mapping = nodes.new("ShaderNodeMapping")
    mapping.inputs["Location"].default_value = (0.25, 0.5, 0.0)
    mapping.inputs["Scale"].default_value = (2.0, 3.0, 1.0)
    uvmap = nodes.new("ShaderNodeUVMap")
    uvmap.uv_map = obj.data.uv_layers[0].name
    links.new(uvmap.outputs["UV"], mapping.inputs["Vector"])
    image_node = next(n for n in nodes if n.type == 'TEX_IMAGE' and n.image.name == "brick")
    links.new(mapping.outputs["Vector"], image_node.inputs["Vector"])
    uv = obj.data.uv_layers[0].data
    want_uv = {"Brick": set(), "Glow": set()}
    for p in obj.data.polygons:
        for li in p.loop_indices:
            u, v = uv[li].uv
            if p.material_index == 0:
                want_uv["Brick"].add(rounded((2.0 * u + 0.25, 1.0 - (3.0 * v + 0.5))))
            else:
                want_uv["Glow"].add(rounded((u, 1.0 - v)))
    os.environ["VORN_KEEP_DOCUMENT"] = os.path.join(args.work, "doc")
    try:
        path = export("materials.x", file_type='TEXT', use_animation=False)
    finally:
        del os.environ["VORN_KEEP_DOCUMENT"]
    tree = inspect(path)
    mesh = find(tree, "Mesh")[0]
    mlist = child(mesh, "MeshMaterialList")[0]
    ids = mlist["data"]["faceIndexes"]
    check("materials.x: two materials", mlist["data"]["nMaterials"] == 2, str(mlist["data"]["nMaterials"]))
    check("materials.x: 4 triangles on the second, 8 on the first", sorted([ids.count(0), ids.count(1)]) == [4, 8],
          str(ids))
    order = [c.get("name") or c.get("reference") for c in mlist.get("children", [])]
    coords = [(t["u"], t["v"]) for t in child(mesh, "MeshTextureCoords")[0]["data"]["textureCoords"]]
    got_uv = {"Brick": set(), "Glow": set()}
    for f, m in zip(mesh["data"]["faces"], ids):
        if m < len(order) and order[m] in got_uv:
            got_uv[order[m]] |= {rounded(coords[i]) for i in f["faceVertexIndices"]}
    check("materials.x: the Mapping node's tiling and offset are in the brick faces' UVs, not the others'",
          got_uv == want_uv, f"{sorted(got_uv['Brick'])[:3]} vs {sorted(want_uv['Brick'])[:3]}; order {order}")
    mats = {m["name"]: m for m, _ in walk(tree["objects"]) if m.get("template") == "Material"}
    check("materials.x: materials named as in Blender", {"Brick", "Glow"} <= set(mats), str(sorted(mats)))
    if "Brick" in mats and "Glow" in mats:
        tex = [t["data"]["filename"] for t in child(mats["Brick"], "TextureFilename")]
        check("materials.x: the base colour image is the diffuse texture", tex and tex[0] == "brick.png", str(tex))
        check("materials.x: the texture is copied beside the file",
              os.path.exists(os.path.join(args.work, "brick.png")))
        power_brick, power_glow = mats["Brick"]["data"]["power"], mats["Glow"]["data"]["power"]
        check("materials.x: smoother is shinier", power_brick > power_glow, f"{power_brick} <= {power_glow}")
        e = mats["Glow"]["data"]["emissiveColor"]
        check("materials.x: emission", close((e["red"], e["green"], e["blue"]), (1.0, 0.5, 0.0)), str(e))
    with open(os.path.join(args.work, "doc", "scene.json")) as f:
        doc = json.load(f)
    bump = doc["materials"]["m:Brick"]["maps"].get("bump", {})
    check("materials.x: the normal map node is the bump slot's normal map",
          bump.get("type") == "normalmap" and bump["map"]["file"].endswith("brick_n.png"), str(bump))
    other_readers(path, "materials.x", our_counts(tree))
    # a saved .blend with relative image paths: the add-on makes them absolute for vorn
    blend = os.path.join(args.work, "scenes", "materials.blend")
    os.makedirs(os.path.dirname(blend), exist_ok=True)
    bpy.ops.wm.save_as_mainfile(filepath=blend)
    bpy.ops.file.make_paths_relative()
    rel = bpy.data.images["brick"].filepath
    out = os.path.join(args.work, "relative")
    os.makedirs(out, exist_ok=True)
    bpy.ops.export_scene.vorn_x(filepath=os.path.join(out, "relative.x"), use_animation=False)
    check("materials.x: relative image paths (" + rel + ") are found and copied",
          rel.startswith("//") and os.path.exists(os.path.join(out, "brick.png")), rel)
    # a packed image whose file is gone: written out for the export, then copied
    image = bpy.data.images["brick"]
    image.pack()
    os.rename(bpy.path.abspath(image.filepath), os.path.join(args.work, "maps", "moved.png"))
    os.remove(os.path.join(out, "brick.png"))
    bpy.ops.export_scene.vorn_x(filepath=os.path.join(out, "packed.x"), use_animation=False)
    with open(os.path.join(out, "packed.x"), "rb") as f:
        named = b"brick.png" in f.read()
    check("materials.x: a packed image is written out and copied under its name",
          named and os.path.exists(os.path.join(out, "brick.png")))


def bending_rig():
    """A cylinder skinned to a two-bone rig whose tip bends over frames 1 to 30; returns the
    scene, the cylinder, the rig and the expected weights by rest position."""
    scene = empty_scene()
    scene.frame_start, scene.frame_end = 1, 30
    scene.render.fps = 30
    bpy.ops.mesh.primitive_cylinder_add(vertices=8, depth=2.0, location=(0, 0, 1))
    body = bpy.context.active_object  # made before the armature: the writer meets the skin first
    arm_data = bpy.data.armatures.new("Rig")
    arm = link(bpy.data.objects.new("Rig", arm_data))
    bpy.context.view_layer.objects.active = arm
    bpy.ops.object.mode_set(mode='EDIT')
    root = arm_data.edit_bones.new("Root")
    root.head, root.tail = (0, 0, 0), (0, 0, 1)
    tip = arm_data.edit_bones.new("Tip")
    tip.head, tip.tail = (0, 0, 1), (0, 0, 2)
    tip.parent = root
    bpy.ops.object.mode_set(mode='OBJECT')
    bpy.ops.object.select_all(action='DESELECT')
    body.select_set(True)
    bpy.context.view_layer.objects.active = body
    bpy.ops.object.transform_apply(location=True)
    body.location = (0, 0, 0)
    g_root, g_tip = body.vertex_groups.new(name="Root"), body.vertex_groups.new(name="Tip")
    expected = {}
    for v in body.data.vertices:
        t = max(0.0, min(1.0, v.co.z / 2.0))
        g_root.add([v.index], 1.0 - t, 'REPLACE')
        if t > 0:
            g_tip.add([v.index], t, 'REPLACE')
        expected[rounded(to_x(v.co))] = {"Root": 1.0 - t, "Tip": t}
    body.parent = arm
    mod = body.modifiers.new("Armature", 'ARMATURE')
    mod.object = arm
    pose = arm.pose.bones["Tip"]
    pose.rotation_mode = 'XYZ'
    for frame, angle in ((1, 0.0), (10, 45.0), (20, -30.0), (30, 0.0)):
        pose.rotation_euler = (math.radians(angle), 0, 0)
        pose.keyframe_insert("rotation_euler", frame=frame)
    scene.timeline_markers.new("Bend", frame=1)
    scene.timeline_markers.new("Back", frame=20)
    return scene, body, arm, expected


def matrix_keys(tree, target, clip=0):
    """(time, 16 values) of the matrix keys of the animation of `target` in the clip."""
    keys = []
    for s in find(tree, "AnimationSet")[clip:clip + 1]:
        for anim in child(s, "Animation"):
            refs = [c["reference"] for c in anim.get("children", []) if "reference" in c]
            if (refs[0] if refs else anim.get("name")) != target:
                continue
            for key in child(anim, "AnimationKey"):
                if key["data"]["keyType"] == 4:
                    keys += [(k["time"], k["tfkeys"]["values"]) for k in key["data"]["keys"]]
    return keys


def srt_keys(tree, target, clip=0):
    """{time: 16 values} of the scale, rotation and position keys of `target` in the clip, each
    time's three keys put together as DirectX does: S, then the rotation of the conjugate of the
    stored quaternion (w, x, y, z), then T, in rows."""
    parts = {}
    for s in find(tree, "AnimationSet")[clip:clip + 1]:
        for anim in child(s, "Animation"):
            refs = [c["reference"] for c in anim.get("children", []) if "reference" in c]
            if (refs[0] if refs else anim.get("name")) != target:
                continue
            for key in child(anim, "AnimationKey"):
                for k in key["data"]["keys"]:
                    parts.setdefault(k["time"], {})[key["data"]["keyType"]] = k["tfkeys"]["values"]
    def at(kind, time):
        # a run of equal keys keeps its ends only: the last key at or before the time holds
        held = [p[kind] for t, p in sorted(parts.items()) if kind in p and t <= time]
        return held[-1] if held else None

    out = {}
    for time in sorted(t for t, p in parts.items() if 0 in p):
        s, t = at(1, time), at(2, time)
        if s is None or t is None:
            continue
        w, x, y, z = parts[time][0]
        rot = Quaternion((w, -x, -y, -z)).to_matrix().transposed()  # rows: a row-vector matrix
        m = Matrix.Diagonal(Vector(s)) @ rot
        rows = [list(m[r]) + [0.0] for r in range(3)] + [list(t) + [1.0]]
        out[time] = [v for row in rows for v in row]
    return out


def in_x(local):
    """A Blender local matrix as the .X file holds it (Y and Z exchanged, rows for columns)."""
    swap = Matrix(((1, 0, 0, 0), (0, 0, 1, 0), (0, 1, 0, 0), (0, 0, 0, 1)))
    want = (swap @ local @ swap).transposed()
    return [want[r][c] for r in range(4) for c in range(4)]


def test_skin_and_animation():
    scene, body, arm, expected = bending_rig()
    arm_data = arm.data
    scene.frame_set(7)  # the export must not depend on the current frame

    path = export("skin.x", file_type='TEXT', key_type='MATRIX', use_key_frames=False)
    tree = inspect(path)
    mesh = find(tree, "Mesh", "Cylinder")
    if not check("skin.x: the skinned mesh is there", len(mesh) == 1):
        return
    mesh = mesh[0]
    verts = [vec(v) for v in mesh["data"]["vertices"]]
    check("skin.x: the mesh is in its rest shape", all(rounded(v) in expected for v in verts),
          str([v for v in verts if rounded(v) not in expected][:3]))
    skins = {s["data"]["transformNodeName"]: s["data"] for s in child(mesh, "SkinWeights")}
    check("skin.x: a skin weight block per bone", sorted(skins) == ["Root", "Tip"], str(sorted(skins)))
    bad = []
    for bone, data in skins.items():
        got = dict(zip(data["vertexIndices"], data["weights"]))
        for i, v in enumerate(verts):
            want = expected.get(rounded(v), {}).get(bone, 0.0)
            if abs(got.get(i, 0.0) - want) > 1e-5:
                bad.append((bone, i, got.get(i), want))
    check("skin.x: weights equal the vertex groups", not bad, str(bad[:4]))
    # bone offset: the inverse of the bone's rest transform relative to the mesh
    tip_rest = arm.matrix_world @ arm_data.bones["Tip"].matrix_local
    if "Tip" in skins:
        off = skins["Tip"]["matrixOffset"]["matrix"]
        probe = row_apply(to_x(tip_rest.translation), Matrix([off[0:4], off[4:8], off[8:12], off[12:16]]))
        check("skin.x: the tip's offset takes its rest head to the origin", close(probe, (0, 0, 0), 1e-4), str(probe))

    sets = find(tree, "AnimationSet")
    check("skin.x: one animation set per marker", [s["name"] for s in sets] == ["Bend", "Back"],
          str([s["name"] for s in sets]))
    def tip_keys_match_pose(keys):
        """(keys compared, the first that differs) of (time, 16 values) keys against the tip's
        evaluated pose relative to its parent, at whole frames."""
        bad, compared = [], 0
        for time, got in keys:
            frame = 1 + time / 160.0  # times count from the clip's start
            if frame != int(frame):
                continue
            scene.frame_set(int(frame))
            flat = in_x(arm.pose.bones["Root"].matrix.inverted() @ arm.pose.bones["Tip"].matrix)
            compared += 1
            if not close(got, flat, 1e-4):
                bad.append((frame, got, flat))
        return compared, bad[:1]

    compared, bad = tip_keys_match_pose(matrix_keys(tree, "Tip"))
    check("skin.x: the tip's matrix keys equal the evaluated pose", not bad and compared >= 19,
          f"{compared} keys compared, {bad}")
    counts = our_counts(tree)
    # the default keys (scale, rotation, position), played as DirectX plays them, give the pose too
    srt = srt_keys(inspect(export("skin_srt.x", file_type='TEXT', key_type='SRT', use_key_frames=False)), "Tip")
    compared, bad = tip_keys_match_pose(sorted(srt.items()))
    check("skin_srt.x: the tip's rotation keys turn as the evaluated pose", not bad and compared >= 19,
          f"{compared} keys compared, {bad}")
    other_readers(path, "skin.x", counts, ["Bend", "Back"])
    without_numpy("skin.x", "skin_plain.x", file_type='TEXT', key_type='MATRIX', use_key_frames=False)

    path = export("skin_keys.x", file_type='TEXT', key_type='MATRIX', use_key_frames=True)
    tree = inspect(path)
    times = set()
    for s in find(tree, "AnimationSet")[:1]:
        for anim in child(s, "Animation"):
            refs = [c["reference"] for c in anim.get("children", []) if "reference" in c]
            if (refs[0] if refs else "") == "Tip":
                for key in child(anim, "AnimationKey"):
                    times |= {k["time"] for k in key["data"]["keys"]}
    check("skin_keys.x: keys at Blender's keyframes (1, 10, 20 in the clip from 1)", times == {0, 1440, 3040},
          str(sorted(times)))


def test_bake_leaves_followed_shapes_deformed():
    """The bake switches mesh modifiers off, but not of a mesh whose deformed shape an object
    follows: a box parented to three vertices of the bending cylinder moves with its top."""
    scene, body, arm, _ = bending_rig()
    bpy.ops.mesh.primitive_cube_add(size=0.1)
    box = bpy.context.active_object
    box.name = "Rider"
    top = sorted(body.data.vertices, key=lambda v: (-v.co.z, v.index))[:3]
    box.parent = body
    box.parent_type = 'VERTEX_3'
    box.parent_vertices = [v.index for v in top]
    box.matrix_parent_inverse = Matrix.Identity(4)
    states = [(m.name, m.show_viewport) for m in body.modifiers]
    path = export("rider.x", file_type='TEXT', key_type='MATRIX', use_key_frames=False)
    check("rider.x: the modifiers are as the user left them",
          [(m.name, m.show_viewport) for m in body.modifiers] == states, str(body.modifiers[:]))
    keys = matrix_keys(inspect(path), "Rider")
    bad, compared = [], 0
    for time, got in keys:
        frame = 1 + time / 160.0
        if frame != int(frame):
            continue
        scene.frame_set(int(frame))
        flat = in_x(body.matrix_world.inverted() @ box.matrix_world)
        compared += 1
        if not close(got, flat, 1e-4):
            bad.append((frame, got, flat))
    check("rider.x: the box's keys follow the bent top", not bad and compared >= 10,
          f"{compared} keys compared, {bad[:1]}")


def test_hierarchy_mirror_offsets():
    empty_scene()
    bpy.ops.object.empty_add(location=(2, 0, 0))
    mirror = bpy.context.active_object
    mirror.name = "Mirror"
    mirror.scale = (-1, 1, 1)
    bpy.ops.mesh.primitive_cube_add(size=1.0, location=(1, 1, 0))
    plain = bpy.context.active_object
    plain.name = "Plain"
    bpy.ops.mesh.primitive_cube_add(size=1.0, location=(3, 1, 1))
    child_obj = bpy.context.active_object
    child_obj.name = "Child"
    bpy.ops.mesh.primitive_cube_add(size=0.5, location=(0, 2, 3))
    hat = bpy.context.active_object  # made before its armature and parented to a bone
    hat.name = "Hat"
    rig = link(bpy.data.objects.new("Rig", bpy.data.armatures.new("Rig")))
    rig.location = (0, 2, 0)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode='EDIT')
    head = rig.data.edit_bones.new("Head")
    head.head, head.tail = (0, 0, 1), (0, 1, 1.5)  # a tilted bone
    bpy.ops.object.mode_set(mode='OBJECT')
    bpy.context.view_layer.update()
    hat_world = hat.matrix_world.copy()
    hat.parent, hat.parent_type, hat.parent_bone = rig, 'BONE', "Head"
    bpy.context.view_layer.update()
    hat.matrix_world = hat_world
    bpy.context.view_layer.update()
    world_before = child_obj.matrix_world.copy()
    child_obj.parent = mirror
    child_obj.matrix_parent_inverse = mirror.matrix_world.inverted()  # Blender's "keep transform" parenting
    bpy.context.view_layer.update()
    check("hierarchy: the parent inverse keeps the child where it was",
          close([x for r in child_obj.matrix_world for x in r], [x for r in world_before for x in r]))
    path = export("hierarchy.x", file_type='TEXT', use_animation=False, use_empties=True)
    tree = inspect(path)
    frames = {o["name"]: p for o, p in walk(tree["objects"]) if o.get("template") == "Frame"}
    check("hierarchy: the child frame is under the mirror frame",
          "Child" in frames and frames["Child"] is not None and frames["Child"]["name"] == "Mirror", str(frames.keys()))
    check("hierarchy: an object parented to a bone is under the bone's frame",
          "Hat" in frames and frames["Hat"] is not None and frames["Hat"]["name"] == "Head", str(frames.keys()))
    signs = {}
    for name, obj in (("Child", child_obj), ("Plain", plain), ("Hat", hat)):
        mesh = [m for m in find(tree, "Mesh") if m["name"] == name]
        if not check(f"hierarchy: {name} has its mesh", len(mesh) == 1):
            continue
        m = world_of(tree, name)
        got = {rounded(row_apply(vec(v), m)) for v in mesh[0]["data"]["vertices"]}
        want = {rounded(to_x(obj.matrix_world @ v.co)) for v in obj.data.vertices}
        check(f"hierarchy: {name}'s vertices land where Blender has them", got == want,
              f"{sorted(got)[:2]} vs {sorted(want)[:2]}")
        # the winding against the written normals: equal for the mirrored and the plain cube
        verts = [Vector(vec(v)) for v in mesh[0]["data"]["vertices"]]
        nd = child(mesh[0], "MeshNormals")[0]["data"]
        normals = [Vector(vec(n)) for n in nd["normals"]]
        s = set()
        for f, nf in zip(mesh[0]["data"]["faces"], nd["faceNormals"]):
            a, b, c = (verts[i] for i in f["faceVertexIndices"])
            s.add((b - a).cross(c - a).dot(normals[nf["faceVertexIndices"][0]]) > 0)
        signs[name] = s
    check("hierarchy: the mirrored cube winds as the plain one", signs.get("Child") == signs.get("Plain") == signs.get("Hat")
          and len(signs.get("Plain", ())) == 1, str(signs))
    other_readers(path, "hierarchy.x", our_counts(tree))
    without_numpy("hierarchy.x", "hierarchy_plain.x", file_type='TEXT', use_animation=False, use_empties=True)


def test_settings_remembered():
    from io_scene_vorn import operator as op_module, settings
    empty_scene()
    bpy.ops.mesh.primitive_cube_add()
    export("settings.x", file_type='COMPRESSED', use_tangents=True, use_space_scale=True, space_scale=2.5,
           texture_format='PNG', use_animation=False)
    path = op_module.settings_path()
    values = settings.read(path)
    check("settings: a confirmed export saves the options",
          values.get("XFileType") == "2" and values.get("Tangent") == "1" and values.get("SpaceScale") == "2.5"
          and values.get("TextureFormat") == "1" and values.get("Animation") == "0", str(values))

    class Props:
        pass
    loaded = Props()
    op_module.load_settings(loaded, path)
    check("settings: the next export starts from them",
          loaded.file_type == 'COMPRESSED' and loaded.use_tangents and abs(loaded.space_scale - 2.5) < 1e-6
          and loaded.texture_format == 'PNG' and not loaded.use_animation, str(vars(loaded)))
    tree = inspect(os.path.join(args.work, "settings.x"))
    check("settings: the file is compressed", tree["encoding"].startswith("tzip") or "zip" in tree["encoding"],
          tree["encoding"])
    # the scene's unit scale multiplies the scale for the export but is not saved with it
    bpy.context.scene.unit_settings.scale_length = 0.5
    path = export("units.x", file_type='TEXT', use_space_scale=True, space_scale=2.5, use_animation=False)
    xs = {abs(v["x"]) for v in find(inspect(path), "Mesh")[0]["data"]["vertices"]}
    check("settings: unit scale times space scale (1 x 0.5 x 2.5)", xs == {1.25}, str(xs))
    check("settings: the saved scale is the user's", settings.read(op_module.settings_path())
          .get("SpaceScale") == "2.5")
    bpy.context.scene.unit_settings.scale_length = 1.0
    # a failed export: messages become an error report and no file is left
    target = os.path.join(args.work, "nothing.x")
    bpy.data.objects["Cube"].hide_set(True)
    try:
        result = bpy.ops.export_scene.vorn_x(filepath=target, use_animation=False)
    except RuntimeError as e:
        result = str(e)
    check("settings: an export with nothing to write reports an error", "No node" in str(result)
          or "no .X file" in str(result), str(result))
    check("settings: and leaves no file", not os.path.exists(target))


def test_kinds_flags_and_nla():
    scene = empty_scene()
    scene.frame_start, scene.frame_end = 1, 20
    bpy.ops.object.empty_add(location=(0, 0, 1))
    pivot = bpy.context.active_object
    pivot.name = "Pivot"
    bpy.ops.object.camera_add(location=(0, -5, 2))
    bpy.context.active_object.name = "Cam"
    bpy.ops.object.light_add(type='SPOT', location=(3, 0, 3))
    bpy.context.active_object.name = "Lamp"
    bpy.ops.mesh.primitive_cube_add(size=0.5)
    cube = bpy.context.active_object
    cube.name = "Box"
    cube.parent = pivot
    cube.color = (1.0, 0.0, 0.0, 1.0)
    bpy.ops.mesh.primitive_cube_add(size=0.5, location=(2, 2, 0))
    hidden = bpy.context.active_object
    hidden.name = "Hidden"
    hidden.hide_set(True)
    # two actions pushed into NLA strips: the clips
    data = cube.animation_data_create()
    track = data.nla_tracks.new()
    for name, first, offset in (("Walk", 1, 1.0), ("Run", 11, 3.0)):
        action = bpy.data.actions.new(name)
        for i in range(3):
            fc = action.fcurves.find("location", index=i) or action.fcurves.new("location", index=i)
            fc.keyframe_points.insert(first, 0.0)
            fc.keyframe_points.insert(first + 9, offset if i == 0 else 0.0)
        track.strips.new(name, first, action)

    path = export("kinds.x", file_type='TEXT', use_empties=True, use_other=True)
    tree = inspect(path)
    frames = {o["name"] for o, _ in walk(tree["objects"]) if o.get("template") == "Frame"}
    check("kinds.x: empties, cameras and lights as frames with their options on",
          {"Pivot", "Cam", "Lamp", "Box"} <= frames, str(sorted(frames)))
    check("kinds.x: a hidden object is left out", "Hidden" not in frames, str(sorted(frames)))
    sets = [o["name"] for o in find(tree, "AnimationSet")]
    check("kinds.x: the NLA strips are the clips", sets == ["Walk", "Run"], str(sets))
    box = find(tree, "Mesh", "Box")
    mats = [m for m, _ in walk(box[0].get("children", [])) if m.get("template") == "Material"] if box else []
    colour = mats[0]["data"]["faceColor"] if mats else {}
    check("kinds.x: an object without material takes its viewport colour",
          close((colour.get("red", -1), colour.get("green", -1), colour.get("blue", -1)), (1, 0, 0), 0.01),
          str(colour))
    other_readers(path, "kinds.x", our_counts(tree), ["Walk", "Run"])

    path = export("kinds_keys.x", file_type='TEXT', use_empties=True, use_other=True, use_key_frames=True)
    times = {}
    for aset in find(inspect(path), "AnimationSet"):
        for anim in child(aset, "Animation"):
            if [c["reference"] for c in anim.get("children", []) if "reference" in c] == ["Box"]:
                times[aset["name"]] = sorted({k["time"] for key in child(anim, "AnimationKey")
                                              for k in key["data"]["keys"]})
    last = 9 * round(4800 / scene.render.fps)  # 24 frames a second: 200 ticks a frame
    check("kinds_keys.x: the strips' keys are the keys of each clip", times == {"Walk": [0, last], "Run": [0, last]},
          str(times))

    path = export("kinds_off.x", file_type='TEXT', use_empties=False, use_other=False)
    frames = {o["name"] for o, _ in walk(inspect(path)["objects"]) if o.get("template") == "Frame"}
    check("kinds_off.x: without them only the cube and the empty above it", frames == {"Pivot", "Box"},
          str(sorted(frames)))
    bpy.ops.object.select_all(action='DESELECT')
    bpy.data.objects["Lamp"].select_set(True)
    path = export("selected.x", file_type='TEXT', use_other=True, use_selection=True)
    frames = {o["name"] for o, _ in walk(inspect(path)["objects"]) if o.get("template") == "Frame"}
    check("selected.x: Selected Only exports the selection", frames == {"Lamp"}, str(sorted(frames)))


def skin_table(mesh):
    """{rest position in the .x: {bone: weight}} of a skinned .x mesh."""
    verts = [rounded(vec(v)) for v in mesh["data"]["vertices"]]
    table = {}
    for s in child(mesh, "SkinWeights"):
        d = s["data"]
        for i, w in zip(d["vertexIndices"], d["weights"]):
            table.setdefault(verts[i], {})[d["transformNodeName"]] = w
    return table


def test_weights_as_blender_deforms():
    """Blender divides a vertex's weights by their sum; a .x skin adds them as written."""
    from io_scene_vorn import document
    scene, body, arm, expected = bending_rig()
    groups = body.vertex_groups
    lone = None
    for v in body.data.vertices:
        for g in v.groups:  # painted at half the strength: the same deform in Blender
            g.weight *= 0.5
        if lone is None and len(v.groups) == 1 and v.co.z < 0.5:
            lone = v.index
    path = export("weights.x", file_type='TEXT', use_animation=False)
    table = skin_table(find(inspect(path), "Mesh", "Cylinder")[0])
    bad = [(p, w) for p, w in table.items() if abs(sum(w.values()) - 1.0) > 1e-5]
    check("weights.x: each vertex's weights add up to one", table and not bad, str(bad[:3]))
    bad = [(p, w, expected[p]) for p, w in table.items()
           if any(abs(w.get(b, 0.0) - expected[p][b]) > 1e-5 for b in ("Root", "Tip"))]
    check("weights.x: in the proportions Blender deforms with", not bad, str(bad[:3]))
    groups["Root"].remove([lone])
    writer = document.SceneWriter(bpy.context, os.path.join(args.work, "weights_doc"), use_animation=False)
    os.makedirs(writer.folder, exist_ok=True)
    writer.write()
    check("weights: a vertex in no deform group is told", any("1 of its" in w and "Cylinder" in w
                                                                for w in writer.warnings), str(writer.warnings))


def test_motion_without_own_keys():
    """A rider on an animated path has no keys of its own; its motion is baked all the same."""
    scene = empty_scene()
    scene.frame_start, scene.frame_end = 1, 20
    bpy.ops.curve.primitive_bezier_circle_add(radius=5)
    path_obj = bpy.context.active_object
    path_obj.data.path_duration = 20
    path_obj.data.eval_time = 0
    path_obj.data.keyframe_insert("eval_time", frame=1)
    path_obj.data.eval_time = 20
    path_obj.data.keyframe_insert("eval_time", frame=20)
    path_obj.hide_render = True
    bpy.ops.mesh.primitive_cube_add(size=0.5)
    rider = bpy.context.active_object
    rider.name = "Rider"
    follow = rider.constraints.new('FOLLOW_PATH')
    follow.target = path_obj
    path = export("path.x", file_type='TEXT', key_type='MATRIX')
    keys = matrix_keys(inspect(path), "Rider")
    moved = {tuple(round(x, 3) for x in values[12:15]) for _, values in keys}
    scene.frame_set(10)
    want = tuple(round(x, 3) for x in to_x(rider.matrix_world.translation))
    check("path.x: the rider moves along the path", len(moved) >= 10, f"{len(moved)} places: {sorted(moved)[:3]}")
    check("path.x: halfway it is where Blender puts it", want in moved, f"{want} not in {sorted(moved)[:4]}")


def test_scale_clips_of_exported_objects():
    scene = empty_scene()
    scene.frame_start, scene.frame_end = 1, 40
    bpy.ops.mesh.primitive_cube_add(size=2.0)
    crate = bpy.context.active_object
    crate.name = "Crate"
    crate.keyframe_insert("location", frame=1)
    crate.location = (4, 0, 0)
    crate.keyframe_insert("location", frame=40)
    bpy.ops.mesh.primitive_cube_add(size=1.0, location=(0, 5, 0))
    door = bpy.context.active_object
    door.name = "Door"
    action = bpy.data.actions.new("DoorOpen")
    for frame, z in ((1, 0.0), (10, 1.0)):
        door.location.z = z
        door.keyframe_insert("location", index=2, frame=frame)
    action = door.animation_data.action
    door.animation_data.action = None
    door.animation_data.nla_tracks.new().strips.new("DoorOpen", 1, action)
    # a saved scale of 0.5 that the unit scale of 2 cancels: no scale at all, whatever the file says
    export("scaled.x", file_type='TEXT', use_space_scale=True, space_scale=0.5, use_animation=False)
    scene.unit_settings.scale_length = 2.0
    path = export("unscaled.x", file_type='TEXT', use_space_scale=True, space_scale=0.5, use_animation=False)
    xs = {abs(v["x"]) for v in find(inspect(path), "Mesh", "Crate")[0]["data"]["vertices"]}
    check("unscaled.x: a scale of 0.5 times a unit scale of 2 is none", xs == {1.0}, str(xs))
    scene.unit_settings.scale_length = 1.0
    bpy.ops.object.select_all(action='DESELECT')
    crate.select_set(True)
    path = export("crate.x", file_type='TEXT', key_type='MATRIX', use_selection=True)
    tree = inspect(path)
    sets = [o["name"] for o in find(tree, "AnimationSet")]
    check("crate.x: the strips of an object left out make no clips", "DoorOpen" not in sets, str(sets))
    xs = sorted({round(values[12], 3) for _, values in matrix_keys(tree, "Crate")})
    check("crate.x: the crate's whole motion is there", xs[:1] == [0.0] and xs[-1:] == [4.0], str(xs[:2] + xs[-2:]))


def test_packed_images_declaration_and_glow():
    empty_scene()
    bpy.ops.mesh.primitive_cube_add()
    cube = bpy.context.active_object
    made = []
    for folder, colour in (("wood", (1, 0, 0, 1)), ("metal", (0, 0, 1, 1))):
        image = make_image(folder, colour)
        image.filepath_raw = os.path.join(args.work, "maps", folder, "diffuse.png")
        os.makedirs(os.path.dirname(image.filepath_raw), exist_ok=True)
        image.save()
        image.pack()
        made.append(image)
    painted = bpy.data.images.new("Painted", 4, 4)
    painted.pixels = [0.5] * 64  # painted: packing makes it a file without a path
    painted.pack()
    for name, image in (("Wood", made[0]), ("Metal", made[1]), ("Paint", painted)):
        cube.data.materials.append(principled(name, image))
    for p in cube.data.polygons:
        p.material_index = p.index % 3
    out = os.path.join(args.work, "packed_names")
    os.makedirs(out, exist_ok=True)
    result = bpy.ops.export_scene.vorn_x(filepath=os.path.join(out, "packed.x"), file_type='TEXT',
                                         use_animation=False, use_decl_data=True, use_tangents=True)
    check("packed_names: the operator finished", result == {'FINISHED'}, str(result))
    tree = inspect(os.path.join(out, "packed.x"))
    mats = {m["name"]: [t["data"]["filename"] for t in child(m, "TextureFilename")]
            for m, _ in walk(tree["objects"]) if m.get("template") == "Material"}
    check("packed_names: two packed files of one name keep a name each, an image without a file gets its "
          "format's extension", mats == {"Wood": ["diffuse.png"], "Metal": ["diffuse_1.png"], "Paint": ["Painted.png"]},
          str(mats))
    check("packed_names: and each is copied",
          all(os.path.exists(os.path.join(out, n)) for n in ("diffuse.png", "diffuse_1.png", "Painted.png")))
    mesh = find(tree, "Mesh")[0]
    decl = child(mesh, "DeclData")
    usages = [e["Usage"] for e in decl[0]["data"]["Elements"]] if decl else []
    check("packed_names: tangents in the vertex declaration", 6 in usages, str(usages))


def test_render_collections_curves_and_late_modifiers():
    """A collection disabled in renders keeps its objects out; a curve's own mesh is no instance
    to warn of; a modifier after the armature is told, as the skin cannot follow it."""
    from io_scene_vorn import document
    scene, body, arm, expected = bending_rig()
    hidden = bpy.data.collections.new("NoRender")
    scene.collection.children.link(hidden)
    hidden.hide_render = True
    bpy.ops.mesh.primitive_cube_add(location=(4, 0, 0))
    cube = bpy.context.active_object
    for c in list(cube.users_collection):
        c.objects.unlink(cube)
    hidden.objects.link(cube)
    cube.name = "InNoRender"
    bpy.ops.curve.primitive_bezier_circle_add(location=(-4, 0, 0))
    bpy.context.active_object.data.bevel_depth = 0.1
    bpy.context.active_object.name = "Ring"
    body.modifiers.new("Smooth", 'SUBSURF')
    writer = document.SceneWriter(bpy.context, os.path.join(args.work, "late_doc"), use_animation=False)
    os.makedirs(writer.folder, exist_ok=True)
    writer.write()
    check("late: a subdivision after the armature is told", any("Smooth" in w and "after the armature" in w
                                                                for w in writer.warnings), str(writer.warnings))
    check("late: a curve's own mesh is no instance", not any("instances" in w for w in writer.warnings),
          str(writer.warnings))
    tree = inspect(export("late.x", file_type='TEXT', use_animation=False))
    names = [m["name"] for m in find(tree, "Mesh")]
    check("late.x: the curve is there, the cube of the collection disabled in renders is not",
          "Ring" in names and "InNoRender" not in names, str(names))


def test_still_shapes_told():
    """A .X mesh has one shape: shape keys or a modifier that animate are told, still ones not."""
    from io_scene_vorn import document
    scene = empty_scene()
    scene.frame_start, scene.frame_end = 1, 10
    bpy.ops.mesh.primitive_cube_add()
    morph = bpy.context.active_object
    morph.name = "Morph"
    morph.shape_key_add(name="Basis")
    morph.shape_key_add(name="Pushed").data[0].co.z += 1
    key = morph.data.shape_keys.key_blocks["Pushed"]
    key.value = 0.0
    key.keyframe_insert("value", frame=1)
    key.value = 1.0
    key.keyframe_insert("value", frame=10)
    bpy.ops.mesh.primitive_cube_add(location=(3, 0, 0))
    twist = bpy.context.active_object
    twist.name = "Twist"
    mod = twist.modifiers.new("Bend", 'SIMPLE_DEFORM')
    mod.keyframe_insert("angle", frame=1)
    bpy.ops.mesh.primitive_cube_add(location=(-3, 0, 0))
    still = bpy.context.active_object
    still.name = "Still"
    still.shape_key_add(name="Basis")
    still.modifiers.new("Bevel", 'BEVEL')
    scene.frame_set(4)
    writer = document.SceneWriter(bpy.context, os.path.join(args.work, "shapes_doc"), use_animation=True)
    os.makedirs(writer.folder, exist_ok=True)
    writer.write()
    told = {w.split("'")[1]: w for w in writer.warnings}
    check("shapes: animated shape keys and modifiers are told, at the first frame",
          "shape key animation" in told.get("Morph", "") and "animated modifiers" in told.get("Twist", "")
          and all("frame 1" in w for w in told.values()), str(writer.warnings))
    check("shapes: still shape keys and modifiers are not", "Still" not in told, str(writer.warnings))
    writer = document.SceneWriter(bpy.context, os.path.join(args.work, "shapes_doc"), use_animation=False)
    writer.write()
    check("shapes: without animation the frame is the current one",
          any("'Morph'" in w and "frame 4" in w for w in writer.warnings), str(writer.warnings))


def test_computed_colours_baked():
    """A colour computed by nodes is baked into an image on the object's UV map, as Blender
    shows it, also of a diffuse shader added to a glossy one; a vertex colour is not; the
    user's scene stays as it was."""
    from io_scene_vorn import operator as op_module, settings
    empty_scene()
    bpy.ops.mesh.primitive_plane_add(size=2)
    plane = bpy.context.active_object
    ramp = bpy.data.materials.new("Ramp")  # red along U, green along V
    ramp.use_nodes = True
    nodes, links = ramp.node_tree.nodes, ramp.node_tree.links
    coords, split, join = nodes.new("ShaderNodeTexCoord"), nodes.new("ShaderNodeSeparateXYZ"), \
        nodes.new("ShaderNodeCombineXYZ")
    links.new(coords.outputs["UV"], split.inputs[0])
    links.new(split.outputs["X"], join.inputs["X"])
    links.new(split.outputs["Y"], join.inputs["Y"])
    links.new(join.outputs[0], nodes["Principled BSDF"].inputs["Base Color"])
    tinted = principled("Tinted", bpy.data.images.new("Stripes", 64, 32))  # an image through a mix
    tn = tinted.node_tree
    mix = tn.nodes.new("ShaderNodeMixRGB")
    mix.blend_type = 'MULTIPLY'
    tex = next(n for n in tn.nodes if n.type == 'TEX_IMAGE')
    tn.links.new(tex.outputs["Color"], mix.inputs[1])
    tn.links.new(mix.outputs[0], tn.nodes["Principled BSDF"].inputs["Base Color"])
    painted = bpy.data.materials.new("Painted")
    painted.use_nodes = True
    attr = painted.node_tree.nodes.new("ShaderNodeVertexColor")
    painted.node_tree.links.new(attr.outputs["Color"], painted.node_tree.nodes["Principled BSDF"].inputs["Base Color"])
    for m in (ramp, tinted, painted):
        plane.data.materials.append(m)
    bpy.ops.mesh.primitive_plane_add(size=2, location=(3, 0, 0))
    for m in (tinted, painted):
        bpy.context.active_object.data.materials.append(m)
    bpy.context.active_object.data.polygons[0].material_index = 1
    plane.data.polygons[0].material_index = 0
    second = plane.data.uv_layers.new(name="Turned")  # the map Blender renders with: the .X's first set
    for d in second.data:
        d.uv = (1.0 - d.uv[1], d.uv[0])
    plane.data.uv_layers.active = second
    second.active_render = True
    bpy.ops.mesh.primitive_plane_add(size=2, location=(-3, 0, 0))
    grid = bpy.data.images.new("Grid", 32, 16)
    grid.generated_type = 'UV_GRID'
    bpy.context.active_object.data.materials.append(principled("Grid", grid))  # a generated image: no file
    bpy.ops.mesh.primitive_plane_add(size=2, location=(-6, 0, 0))
    bpy.context.active_object.data.materials.append(tinted)
    added = bpy.data.materials.new("Added")  # as glTF's specular-glossiness comes in: diffuse + glossy
    added.use_nodes = True
    an = added.node_tree
    an.nodes.remove(an.nodes["Principled BSDF"])
    diffuse, glossy, add = (an.nodes.new(k) for k in ("ShaderNodeBsdfDiffuse", "ShaderNodeBsdfGlossy",
                                                       "ShaderNodeAddShader"))
    an.links.new(an.nodes.new("ShaderNodeTexChecker").outputs["Color"], diffuse.inputs["Color"])
    an.links.new(diffuse.outputs[0], add.inputs[0])
    an.links.new(glossy.outputs[0], add.inputs[1])
    an.links.new(add.outputs[0], an.nodes["Material Output"].inputs["Surface"])
    bpy.ops.mesh.primitive_plane_add(size=2, location=(-9, 0, 0))
    bpy.context.active_object.data.materials.append(added)
    boxed = principled("Boxed", make_image("boxed", (0, 1, 0, 1)))  # an image file, box-projected
    next(n for n in boxed.node_tree.nodes if n.type == 'TEX_IMAGE').projection = 'BOX'
    constant = bpy.data.materials.new("Constant")  # a colour node: its colour, nothing to bake
    constant.use_nodes = True
    rgb = constant.node_tree.nodes.new("ShaderNodeRGB")
    rgb.outputs[0].default_value = (0.25, 0.5, 0.75, 1)
    constant.node_tree.links.new(rgb.outputs[0], constant.node_tree.nodes["Principled BSDF"].inputs["Base Color"])
    for i, m in enumerate((boxed, constant)):
        bpy.ops.mesh.primitive_plane_add(size=2, location=(-12 - 3 * i, 0, 0))
        bpy.context.active_object.data.materials.append(m)
    settings.write(op_module.settings_path(), {"ProcMapX": "128", "ProcMapY": "64"})
    before = [len(c) for c in (bpy.data.scenes, bpy.data.objects, bpy.data.meshes, bpy.data.materials, bpy.data.images)]
    out = os.path.join(args.work, "baked")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    result = bpy.ops.export_scene.vorn_x(filepath=os.path.join(out, "baked.x"), file_type='TEXT', use_animation=False)
    check("baked: the operator finished", result == {'FINISHED'}, str(result))
    after = [len(c) for c in (bpy.data.scenes, bpy.data.objects, bpy.data.meshes, bpy.data.materials, bpy.data.images)]
    check("baked: no scene, object, mesh, material or image is left behind", before == after, f"{before} {after}")
    tree = inspect(os.path.join(out, "baked.x"))
    mats = {m["name"]: [t["data"]["filename"] for t in child(m, "TextureFilename")]
            for m, _ in walk(tree["objects"]) if m.get("template") == "Material"}
    check("baked: computed colours name baked images, a vertex colour none",
          mats.get("Ramp") == ["Ramp_diffuse.png"] and mats.get("Tinted") == ["Tinted_diffuse.png"]
          and mats.get("Grid") == ["Grid_diffuse.png"] and mats.get("Added") == ["Added_diffuse.png"]
          and mats.get("Boxed") == ["Boxed_diffuse.png"] and mats.get("Constant") == []
          and mats.get("Painted") == [], str(mats))
    colour = [m["data"]["faceColor"] for m, _ in walk(tree["objects"])
              if m.get("template") == "Material" and m["name"] == "Constant"]
    check("baked: a colour node gives the material its colour",
          colour and close([colour[0][k] for k in ("red", "green", "blue")], [0.25, 0.5, 0.75]), str(colour))
    sizes, ends = {}, {}
    for name in ("Ramp_diffuse.png", "Tinted_diffuse.png", "Grid_diffuse.png"):
        path = os.path.join(out, name)
        if not os.path.exists(path):
            continue
        img = bpy.data.images.load(path)
        w, h = img.size
        px = img.pixels[:]
        sizes[name] = (w, h)
        # rows from the bottom, as Blender keeps them: (u, v) = (0, 0) at the bottom left
        ends[name] = [tuple(px[(r * w + c) * 4 + k] for k in range(2))
                         for r, c in ((0, 0), (0, w - 1), (h - 1, 0), (h - 1, w - 1))]
        bpy.data.images.remove(img)
    check("baked: the computed colour at ProcMapX by ProcMapY, an image's chain at the image's size",
          sizes == {"Ramp_diffuse.png": (128, 64), "Tinted_diffuse.png": (64, 32), "Grid_diffuse.png": (32, 16)},
          str(sizes))
    check("baked: the ramp runs along the UV map as Blender shows it",
          len(ends.get("Ramp_diffuse.png", [])) == 4 and all(close(got, want, 0.12) for got, want in
              zip(ends.get("Ramp_diffuse.png", []), [(0, 0), (1, 0), (0, 1), (1, 1)])), str(ends))
    from io_scene_vorn import document
    bpy.ops.mesh.primitive_plane_add(location=(0, 3, 0))
    bare = bpy.context.active_object
    bare.data.uv_layers.remove(bare.data.uv_layers[0])
    bare.data.materials.append(ramp.copy())
    bare.data.materials[0].name = "Unwrapped"
    writer = document.SceneWriter(bpy.context, os.path.join(args.work, "baked_doc"), use_animation=False,
                                  bake=(16, 16))
    os.makedirs(writer.folder, exist_ok=True)
    writer.write()
    check("baked: a computed colour on an object without a UV map is told",
          any("'Unwrapped'" in w and "UV map" in w for w in writer.warnings)
          and not any("'Ramp'" in w for w in writer.warnings), str(writer.warnings))
    from io_scene_vorn import bake
    real = bake.Baker.bake

    def failing(self, obj, slot, mat, *rest):
        if mat.name == "Ramp":
            raise RuntimeError("Circular dependency for image \"x\" from object \"y\"\n")
        return real(self, obj, slot, mat, *rest)

    bake.Baker.bake = failing
    try:
        writer = document.SceneWriter(bpy.context, os.path.join(args.work, "baked_doc2"), use_animation=False,
                                      bake=(16, 16))
        os.makedirs(writer.folder, exist_ok=True)
        writer.write()
    finally:
        bake.Baker.bake = real
    check("baked: a failed bake is told and the others are baked all the same",
          any("'Ramp'" in w and "Circular dependency" in w for w in writer.warnings)
          and "Tinted" in writer.mats.baked and "Ramp" in writer.mats.baked and not writer.mats.baked["Ramp"],
          f"{writer.warnings} {writer.mats.baked}")
    want = {}
    for loop in plane.data.loops:
        p = plane.matrix_world @ plane.data.vertices[loop.vertex_index].co
        uv = second.data[loop.index].uv
        want[rounded(to_x(p))] = rounded((uv[0], 1.0 - uv[1]))
    got = {rounded(c[0]): rounded(c[2]) for c in corners(find(tree, "Mesh", "Plane")[0])}
    check("baked: the map Blender renders with is the first texture coordinate set", got == want, f"{got} {want}")
    out2 = os.path.join(args.work, "baked_off")
    shutil.rmtree(out2, ignore_errors=True)
    os.makedirs(out2)
    bpy.ops.export_scene.vorn_x(filepath=os.path.join(out2, "baked.x"), file_type='TEXT', use_animation=False,
                                copy_textures=False)
    check("baked: nothing is baked when textures are not copied", sorted(os.listdir(out2)) == ["baked.x"],
          str(os.listdir(out2)))


tests = [test_fast_triangulation, test_sharp_uv_colours, test_textured_multi_material, test_skin_and_animation,
         test_bake_leaves_followed_shapes_deformed,
         test_hierarchy_mirror_offsets, test_kinds_flags_and_nla, test_settings_remembered,
         test_weights_as_blender_deforms, test_motion_without_own_keys, test_scale_clips_of_exported_objects,
         test_packed_images_declaration_and_glow, test_render_collections_curves_and_late_modifiers,
         test_still_shapes_told, test_computed_colours_baked]
for t in tests:
    if args.only and args.only not in t.__name__:
        continue
    try:
        t()
    except Exception:
        traceback.print_exc()
        check(t.__name__, False, "raised")

print(f"{results['passed']} passed, {results['failed']} failed", flush=True)
sys.exit(1 if results["failed"] else 0)
