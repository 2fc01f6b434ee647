# Procedural colours baked into images. A .X material names image files only, so a colour
# that Blender computes (a checker, noise, an image through a mix or a colour ramp) is baked
# with Cycles on the object's own UV map (the one it renders with), as the object shows it,
# into a PNG the exporter then copies like any other texture.

import os

import bmesh
import bpy

# nodes whose value depends on the shaded object in ways a bake onto the UV map cannot keep
# (vertex colours, the view, lighting): their chains are left alone
UNBAKEABLE = {'VERTEX_COLOR', 'ATTRIBUTE', 'AMBIENT_OCCLUSION', 'LIGHT_PATH', 'LAYER_WEIGHT',
              'FRESNEL', 'PARTICLE_INFO', 'HAIR_INFO', 'POINT_INFO', 'CAMERA', 'WIREFRAME',
              'BEVEL', 'TEX_ENVIRONMENT', 'UVALONG_STROKE', 'SCRIPT'}
LARGEST = 2048  # a bake costs about 1 µs a pixel on two cores


def chain(socket):
    """The nodes that feed a socket, without repeats."""
    seen, todo = [], [l.from_node for l in socket.links] if socket is not None else []
    while todo:
        node = todo.pop()
        if node in seen:
            continue
        seen.append(node)
        for s in node.inputs:
            todo += [l.from_node for l in s.links]
    return seen


def needs_bake(socket):
    """True when a colour input is computed by nodes rather than given or read straight from
    an image file."""
    if socket is None or not socket.is_linked:
        return False
    nodes = chain(socket)
    kinds = {n.type for n in nodes}
    if kinds & UNBAKEABLE:
        return False
    # an image file read straight on a UV map is copied as it is; a generated or movie image
    # has no file, a projected one (box, sphere, generated or object coordinates) no UV map
    images = [n for n in nodes if n.type == 'TEX_IMAGE']
    files = all(n.image is None or n.image.source in ('FILE', 'SEQUENCE', 'TILED') for n in images)
    on_uvs = all(n.projection == 'FLAT' for n in images) and all(
        o.name == "UV" for n in nodes if n.type == 'TEX_COORD' for o in n.outputs if o.is_linked)
    return not (files and on_uvs and kinds <= {'REROUTE', 'RGB', 'TEX_IMAGE', 'UVMAP', 'MAPPING', 'TEX_COORD'})


def bake_size(socket, default):
    """The image size: the largest image in the chain keeps its detail; else the setting's."""
    sizes = [tuple(n.image.size) for n in chain(socket) if n.type == 'TEX_IMAGE' and n.image is not None]
    sizes = [s for s in sizes if s[0] > 0 and s[1] > 0]
    w, h = max(sizes, key=lambda s: s[0] * s[1]) if sizes else default
    return min(LARGEST, max(1, int(w))), min(LARGEST, max(1, int(h)))


class Baker:
    """Bakes in a scene of its own, so the user's scene, selection and render settings stay."""

    def __init__(self, folder):
        self.folder = folder
        self.scene = None
        self.taken = set()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.scene is not None:
            bpy.data.scenes.remove(self.scene)
        return False

    def _scene(self):
        if self.scene is None:
            s = bpy.data.scenes.new("vorn bake")
            try:
                s.render.engine = 'CYCLES'
            except TypeError:  # the Cycles add-on switched off
                bpy.data.scenes.remove(s)
                raise RuntimeError("Cycles, which bakes, is not enabled") from None
            s.cycles.device = 'CPU'
            s.cycles.samples = 1
            s.cycles.use_denoising = False  # no denoiser in many builds: the bake comes out black
            s.cycles.seed = 0
            self.scene = s
        return self.scene

    def file_name(self, stem):
        stem = bpy.path.clean_name(stem)
        name, n = stem + ".png", 1
        while name.lower() in self.taken:
            name = f"{stem}_{n}.png"
            n += 1
        self.taken.add(name.lower())
        return name

    def bake(self, obj, slot, mat, shader_name, socket_name, size, stem):
        """Bakes the input of the material's shader node on the faces of slot `slot` of obj;
        the PNG's path, or None when obj has no UV map or no face with the material."""
        if obj.type != 'MESH' or not obj.data.uv_layers:
            return None
        mesh = bpy.data.meshes.new_from_object(obj)  # undeformed: the texture space is the mesh's
        image = None
        copy = mat.copy()
        target = bpy.data.objects.new("vorn bake", mesh)
        try:
            bm = bmesh.new()
            bm.from_mesh(mesh)
            bmesh.ops.delete(bm, geom=[f for f in bm.faces if f.material_index != slot], context='FACES')
            if not bm.faces:
                bm.free()
                return None
            for f in bm.faces:
                f.material_index = 0
            bm.to_mesh(mesh)
            bm.free()
            mesh.materials.clear()
            mesh.materials.append(copy)
            # laid out on the map Blender renders with, which the colour is computed on and
            # which the .X writes first
            mesh.uv_layers.active_index = next((i for i, l in enumerate(mesh.uv_layers) if l.active_render), 0)
            target.matrix_world = obj.matrix_world
            nodes, links = copy.node_tree.nodes, copy.node_tree.links
            source = nodes[shader_name].inputs[socket_name]  # a copy keeps the node names
            out = nodes.new("ShaderNodeOutputMaterial")
            emit = nodes.new("ShaderNodeEmission")
            links.new(source.links[0].from_socket, emit.inputs["Color"])
            links.new(emit.outputs["Emission"], out.inputs["Surface"])
            for n in nodes:
                if n.type == 'OUTPUT_MATERIAL':
                    n.is_active_output = n == out
            image = bpy.data.images.new("vorn bake", size[0], size[1], alpha=False)
            holder = nodes.new("ShaderNodeTexImage")
            holder.image = image
            nodes.active = holder
            scene = self._scene()
            scene.collection.objects.link(target)
            layer = scene.view_layers[0]
            layer.update()
            with bpy.context.temp_override(scene=scene, view_layer=layer, active_object=target, object=target,
                                           selected_objects=[target], selected_editable_objects=[target]):
                bpy.ops.object.bake(type='EMIT', margin=4, margin_type='EXTEND', use_clear=True)
            path = os.path.join(self.folder, self.file_name(stem))
            image.filepath_raw = path
            image.file_format = 'PNG'
            image.save()
            return path
        finally:
            bpy.data.objects.remove(target)
            bpy.data.meshes.remove(mesh)
            bpy.data.materials.remove(copy)
            if image is not None:
                bpy.data.images.remove(image)
