#!/usr/bin/env python3
"""Writes a synthetic terrain scene for timing exports: a grid of 2*nx*ny triangles with
smoothing group 1 (computed normals) and two texture coordinate channels, as a scene document
whose arrays live in a sidecar buffer, and optionally the same mesh as a Wavefront OBJ (one UV
set, vertex normals) for tools that cannot read scene documents.

  make_scene.py OUTDIR --faces 1000000 [--obj] [--bones N]
"""
import argparse
import array
import json
import math
import os
import sys


def grid_size(faces):
    # nx = 2 ny cells, 2 triangles per cell.
    ny = max(1, int(round(math.sqrt(faces / 4.0))))
    nx = max(1, int(round(faces / (2.0 * ny))))
    return nx, ny


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("outdir")
    ap.add_argument("--faces", type=int, default=1000000)
    ap.add_argument("--obj", action="store_true", help="also write mesh.obj")
    ap.add_argument("--bones", type=int, default=0, help="skin the mesh to N bones along X")
    args = ap.parse_args()
    nx, ny = grid_size(args.faces)
    os.makedirs(args.outdir, exist_ok=True)
    nv = (nx + 1) * (ny + 1)

    pos = array.array("f")
    uv1 = array.array("f")
    uv2 = array.array("f")
    for j in range(ny + 1):
        for i in range(nx + 1):
            x, y = float(i), float(j)
            pos.extend((x, y, 2.0 * math.sin(0.05 * x) * math.cos(0.07 * y)))
            uv1.extend((i / nx, j / ny))
            uv2.extend((4.0 * i / nx, 4.0 * j / ny))
    faces = array.array("I")
    w = nx + 1
    for j in range(ny):
        for i in range(nx):
            a = j * w + i
            faces.extend((a, a + 1, a + w + 1, a, a + w + 1, a + w))
    nf = len(faces) // 3
    groups = array.array("I", [1]) * nf
    for a in (pos, uv1, uv2, faces, groups):
        if sys.byteorder != "little":
            a.byteswap()

    offsets = {}
    with open(os.path.join(args.outdir, "mesh.bin"), "wb") as f:
        for name, a in (("pos", pos), ("uv1", uv1), ("uv2", uv2), ("faces", faces), ("groups", groups)):
            offsets[name] = f.tell()
            a.tofile(f)

    def ref(name, count, typ):
        return {"buffer": "mesh.bin", "offset": offsets[name], "count": count, "type": typ}

    fref = ref("faces", nf, "uint32x3")
    mesh = {
        "vertices": ref("pos", nv, "float32x3"),
        "faces": fref,
        "smoothingGroups": ref("groups", nf, "uint32"),
        "maps": {"1": {"vertices": ref("uv1", nv, "float32x2"), "faces": fref},
                 "2": {"vertices": ref("uv2", nv, "float32x2"), "faces": fref}},
    }
    nodes = [{"name": "Terrain", "handle": 1, "object": "terrain"}]
    objects = {"terrain": {"type": "mesh", "mesh": mesh}}
    if args.bones > 0:
        # A chain of bones along X; every vertex is weighted to the two nearest.
        bones = []
        for b in range(args.bones):
            bones.append({"name": "Bone%d" % b, "handle": 2 + b, "object": {"type": "bone"},
                          "transform": {"translation": [nx * (b + 0.5) / args.bones, 0, 0]}})
        nodes += bones
        counts, bidx, wts = skin_weights(nx, ny, args.bones)
        with open(os.path.join(args.outdir, "mesh.bin"), "ab") as f:
            for name, a in (("counts", counts), ("bidx", bidx), ("wts", wts)):
                if sys.byteorder != "little":
                    a.byteswap()
                offsets[name] = f.tell()
                a.tofile(f)
        weights = {"counts": ref("counts", len(counts), "uint32"), "bones": ref("bidx", len(bidx), "uint32"),
                   "weights": ref("wts", len(wts), "float32")}
        objects["terrain"] = {"type": "derived", "input": {"type": "mesh", "mesh": mesh},
                              "modifiers": [{"type": "skin", "bones": [2 + b for b in range(args.bones)],
                                             "weights": weights}]}
    doc = {"format": "vorn-scene", "version": 1, "nodes": nodes, "objects": objects}
    with open(os.path.join(args.outdir, "scene.json"), "w") as f:
        json.dump(doc, f)

    if args.obj:
        with open(os.path.join(args.outdir, "mesh.obj"), "w") as f:
            out = []
            for k in range(nv):
                out.append("v %.6g %.6g %.6g\n" % (pos[3 * k], pos[3 * k + 1], pos[3 * k + 2]))
            for k in range(nv):
                out.append("vt %.6g %.6g\n" % (uv1[2 * k], uv1[2 * k + 1]))
            f.write("".join(out))
            out = ["s 1\n"]
            for k in range(nf):
                a, b, c = faces[3 * k] + 1, faces[3 * k + 1] + 1, faces[3 * k + 2] + 1
                out.append("f %d/%d %d/%d %d/%d\n" % (a, a, b, b, c, c))
            f.write("".join(out))
    print("%d faces, %d vertices in %s" % (nf, nv, args.outdir))


def skin_weights(nx, ny, nbones):
    counts, bidx, wts = array.array("I"), array.array("I"), array.array("f")
    for j in range(ny + 1):
        for i in range(nx + 1):
            t = i * nbones / (nx + 1)
            b = min(nbones - 1, int(t))
            f = t - b
            if b + 1 < nbones:
                counts.append(2)
                bidx.extend((b, b + 1))
                wts.extend((1.0 - f, f))
            else:
                counts.append(1)
                bidx.append(b)
                wts.append(1.0)
    return counts, bidx, wts


if __name__ == "__main__":
    main()
