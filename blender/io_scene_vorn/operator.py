# The export operator and the add-on's preferences.

import os
import shutil
import tempfile
import time

import bpy
from bpy.props import BoolProperty, EnumProperty, FloatProperty, IntProperty, StringProperty
from bpy_extras.io_utils import ExportHelper

from . import document, runner, settings

ENCODINGS = [('TEXT', "Text", "Readable text encoding"),
             ('BINARY', "Binary", "Binary encoding"),
             ('COMPRESSED', "Compressed", "Binary encoding, compressed")]
KEY_TYPES = [('MATRIX', "Matrix", "One matrix per key"),
             ('SRT', "SRT", "Separate scale, rotation and translation keys")]
TEXTURE_FORMATS = [('DDS', "DDS", ""), ('PNG', "PNG", ""), ('TGA', "TGA", ""), ('JPG', "JPEG", ""),
                   ('BMP', "BMP", "")]

# operator property -> settings key; enums are stored by their index, booleans as 0 or 1
SETTING_KEYS = [
    ("file_type", "XFileType", ENCODINGS, 1),
    ("use_normals", "Normal", None, 1),
    ("use_decl_data", "DeclData", None, 0),
    ("use_tangents", "Tangent", None, 0),
    ("use_bitangents", "BiTangent", None, 0),
    ("use_uv_sets", "TexCoords", None, 1),
    ("remove_duplicate_uv_sets", "MultiTexCoordsOptimize", None, 0),
    ("use_vertex_colors", "VertexColor", None, 0),
    ("use_materials", "Mtl", None, 1),
    ("use_skin", "Skin", None, 1),
    ("use_bones", "Bones", None, 1),
    ("use_empties", "Dummy", None, 0),
    ("use_other", "OTHER", None, 0),
    ("use_animation", "Animation", None, 1),
    ("key_type", "KeyType", KEY_TYPES, 1),
    ("use_key_frames", "KeyFrames", None, 0),
    ("key_optimize", "KeyOptimizeLevel", None, 3),
    ("use_space_scale", "SpaceScaleEnable", None, 0),
    ("copy_textures", "TextureFiles", None, 1),
    ("overwrite_textures", "OverwriteTexture", None, 1),
    ("convert_textures", "TextureConvert", None, 0),
    ("texture_format", "TextureFormat", TEXTURE_FORMATS, 0),
    ("use_scene_root", "SceneRoot", None, 0),
    ("right_handed", "RightHand", None, 0),
]

last_timings = {}


def settings_path():
    return os.path.join(settings.config_folder(), settings.FILE_NAME)


def load_settings(op, path):
    values = settings.read(path)
    for prop, key, items, default in SETTING_KEYS:
        v = settings.as_int(values, key, default)
        if items is not None:
            setattr(op, prop, items[v if 0 <= v < len(items) else 0][0])
        elif prop == "key_optimize":
            op.key_optimize = min(3, max(1, v))
        else:
            setattr(op, prop, v != 0)
    scale = settings.as_float(values, "SpaceScale", 1.0)
    op.space_scale = scale if scale > 0 else 1.0
    op.scene_root_name = values.get("SceneRootName", "")


def settings_of(op):
    out = {}
    for prop, key, items, _ in SETTING_KEYS:
        v = getattr(op, prop)
        if items is not None:
            out[key] = str([i[0] for i in items].index(v))
        else:
            out[key] = str(int(v))
    out["SpaceScale"] = settings.format_float(op.space_scale)
    out["SceneRootName"] = op.scene_root_name
    return out


class VornPreferences(bpy.types.AddonPreferences):
    bl_idname = __package__

    vorn_path: StringProperty(
        name="vorn executable", subtype='FILE_PATH', default="",
        description="The vorn program that writes the .x file; empty: the one installed with the add-on, "
                    "else the one on PATH")

    def draw(self, context):
        self.layout.prop(self, "vorn_path")
        found = runner.find_vorn(self.vorn_path)
        self.layout.label(text=f"Using: {found}" if found else "vorn not found", icon='NONE' if found else 'ERROR')


class ExportVorn(bpy.types.Operator, ExportHelper):
    """Export the scene to a DirectX .x file through the Vorn exporter"""
    bl_idname = "export_scene.vorn_x"
    bl_label = "Export DirectX (.x)"
    bl_options = {'PRESET'}

    filename_ext = ".x"
    filter_glob: StringProperty(default="*.x", options={'HIDDEN'})

    file_type: EnumProperty(name="Format", items=ENCODINGS, default='BINARY')
    use_selection: BoolProperty(name="Selected Only", default=False,
                                description="Export only the selected objects (and what they need)")
    use_normals: BoolProperty(name="Normals", default=True, description="Blender's own split normals")
    use_decl_data: BoolProperty(name="Vertex Declaration", default=False,
                                description="Normals, UVs and colours in one DeclData block per mesh, "
                                            "with tangents and bitangents when asked for")
    use_tangents: BoolProperty(name="Tangents", default=False, description="Written in the vertex declaration")
    use_bitangents: BoolProperty(name="Bitangents", default=False, description="Written in the vertex declaration")
    use_uv_sets: BoolProperty(name="UV Maps", default=True, description="Every UV map as a texture coordinate set")
    remove_duplicate_uv_sets: BoolProperty(name="Merge Equal UVs", description="Write a UV map equal to an earlier one once", default=False)
    use_vertex_colors: BoolProperty(name="Vertex Colours", default=False,
                                    description="The render colour attribute as vertex colours and alpha")
    use_materials: BoolProperty(name="Materials", default=True)
    use_skin: BoolProperty(name="Skin Weights", default=True,
                           description="Armature modifiers as skins with their vertex group weights")
    use_bones: BoolProperty(name="Bones", default=True)
    use_empties: BoolProperty(name="Empties", default=False, description="Export empties and armature objects")
    use_other: BoolProperty(name="Cameras and Lights", default=False,
                            description="Export cameras, lights and other objects as frames")
    use_animation: BoolProperty(name="Animation", default=True,
                                description="One animation set per NLA strip or timeline marker")
    key_type: EnumProperty(name="Keys", items=KEY_TYPES, default='SRT')
    use_key_frames: BoolProperty(name="Keep Blender's Keys", default=False,
                                 description="Keys at Blender's keyframes instead of every frame")
    key_optimize: IntProperty(name="Key Reduction", default=3, min=1, max=3)
    use_space_scale: BoolProperty(name="Scale", default=False)
    space_scale: FloatProperty(name="Scale Factor", default=1.0, min=1e-6, soft_max=1000.0)
    apply_unit_scale: BoolProperty(name="Apply Unit Scale", default=True,
                                   description="Multiply by the scene's unit scale")
    copy_textures: BoolProperty(name="Copy Textures", default=True,
                                description="Copy texture files beside the .x file")
    overwrite_textures: BoolProperty(name="Overwrite Textures", default=True)
    convert_textures: BoolProperty(name="Convert Textures", default=False)
    texture_format: EnumProperty(name="Texture Format", items=TEXTURE_FORMATS, default='DDS')
    use_scene_root: BoolProperty(name="Scene Root", default=False,
                                 description="One frame above all exported objects")
    scene_root_name: StringProperty(name="Root Name", default="")
    right_handed: BoolProperty(name="Right-handed", default=False)

    def invoke(self, context, event):
        load_settings(self, settings_path())
        return ExportHelper.invoke(self, context, event)

    def draw(self, context):
        layout = self.layout
        layout.use_property_split = True
        layout.use_property_decorate = False
        layout.prop(self, "file_type")
        col = layout.column(heading="Include")
        col.prop(self, "use_selection")
        col.prop(self, "use_materials")
        col.prop(self, "use_bones")
        col.prop(self, "use_skin")
        col.prop(self, "use_empties")
        col.prop(self, "use_other")
        col = layout.column(heading="Vertices")
        col.prop(self, "use_normals")
        col.prop(self, "use_decl_data")
        sub = col.column()
        sub.enabled = self.use_decl_data  # tangents exist only in the declaration
        sub.prop(self, "use_tangents")
        sub.prop(self, "use_bitangents")
        col.prop(self, "use_uv_sets")
        col.prop(self, "remove_duplicate_uv_sets")
        col.prop(self, "use_vertex_colors")
        col = layout.column(heading="Animation")
        col.prop(self, "use_animation")
        sub = col.column()
        sub.active = self.use_animation
        sub.prop(self, "key_type")
        sub.prop(self, "use_key_frames")
        sub.prop(self, "key_optimize")
        col = layout.column(heading="Textures")
        col.prop(self, "copy_textures")
        sub = col.column()
        sub.active = self.copy_textures
        sub.prop(self, "overwrite_textures")
        sub.prop(self, "convert_textures")
        sub.prop(self, "texture_format")
        col = layout.column(heading="Space")
        col.prop(self, "use_space_scale")
        sub = col.column()
        sub.active = self.use_space_scale
        sub.prop(self, "space_scale")
        col.prop(self, "apply_unit_scale")
        col.prop(self, "right_handed")
        col.prop(self, "use_scene_root")
        sub = col.column()
        sub.active = self.use_scene_root
        sub.prop(self, "scene_root_name")

    def execute(self, context):
        prefs = context.preferences.addons.get(__package__)
        vorn = runner.find_vorn(prefs.preferences.vorn_path if prefs else "")
        if vorn is None:
            self.report({'ERROR'}, "vorn not found: set its path in the add-on's preferences")
            return {'CANCELLED'}
        config_dir = settings.config_folder()
        try:
            settings.write(os.path.join(config_dir, settings.FILE_NAME), settings_of(self))
        except OSError as e:
            self.report({'WARNING'}, f"settings not saved: {e}")
        if context.object is not None and context.object.mode != 'OBJECT':
            bpy.ops.object.mode_set(mode='OBJECT')

        started = time.perf_counter()
        keep = os.environ.get("VORN_KEEP_DOCUMENT")
        # the document lives only for the export: in memory where the system offers a RAM folder
        ram = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
        folder = keep or tempfile.mkdtemp(prefix="vorn-blender-", dir=ram)
        os.makedirs(folder, exist_ok=True)
        # UV maps are read also for textures alone (their channels), colours only when written
        bake = None
        if self.copy_textures and self.use_materials:  # computed colours become images to copy
            values = settings.read(settings_path())
            bake = (settings.as_int(values, "ProcMapX", 256), settings.as_int(values, "ProcMapY", 256))
        writer = document.SceneWriter(context, folder, use_animation=self.use_animation,
                                      uvs=self.use_uv_sets or self.use_materials, colours=self.use_vertex_colors,
                                      bake=bake)
        if (self.use_tangents or self.use_bitangents) and not self.use_decl_data:
            writer.warnings.append("tangents and bitangents are written only with Vertex Declaration on")
        try:
            try:
                doc = writer.write()
            except Exception as e:  # a scene the writer cannot read: a report, not a traceback
                import traceback
                traceback.print_exc()
                self.report({'ERROR'}, f"cannot read the scene: {e}; nothing was written")
                return {'CANCELLED'}
            sets = []
            scale = self.space_scale if self.use_space_scale else 1.0
            if self.apply_unit_scale:
                scale *= context.scene.unit_settings.scale_length
            # always said: the settings file may hold a scale of its own
            if scale != 1.0:
                sets += ["SpaceScaleEnable=1", "SpaceScale=" + settings.format_float(scale)]
            else:
                sets += ["SpaceScaleEnable=0"]
            clips = document.clip_list(context.scene, writer.clip_sources(self.use_selection)) if self.use_animation else None
            if clips:
                sets += runner.clip_settings(clips)
            document_seconds = time.perf_counter() - started
            status, lines = runner.run_export(vorn, doc, self.filepath, config_dir, sets, self.use_selection,
                                              timings=bool(os.environ.get("VORN_TIMINGS")))
        finally:
            if not keep:
                shutil.rmtree(folder, ignore_errors=True)
        last_timings.clear()
        last_timings.update(writer.timings.parts)
        last_timings["scene document"] = document_seconds
        last_timings["vorn"] = time.perf_counter() - started - document_seconds
        last_timings["vorn output"] = lines
        if status != 0:  # what the add-on left out may be why nothing was written
            self.report({'ERROR'}, "\n".join(writer.warnings + lines) or f"vorn failed (exit status {status})")
            return {'CANCELLED'}
        for line in writer.warnings + lines:
            if not line.startswith("timings:"):
                self.report({'WARNING'}, line)
        self.report({'INFO'}, f"Exported {self.filepath}")
        return {'FINISHED'}
