# File > Export > DirectX (.x) through the Vorn exporter: the add-on writes the scene as a
# vorn scene document and runs `vorn export` on it.

bl_info = {
    "name": "Vorn DirectX (.x) exporter",
    "author": "Vorn",
    "version": (2, 2, 8),
    "blender": (3, 4, 0),
    "location": "File > Export > DirectX (.x)",
    "description": "Exports meshes, materials, skins and animation sets to DirectX .x files through vorn",
    "category": "Import-Export",
}

if "bpy" in locals():
    import importlib
    importlib.reload(settings)
    importlib.reload(document)
    importlib.reload(runner)
    importlib.reload(operator)
else:
    from . import settings, document, runner, operator

import bpy


def menu_export(self, context):
    self.layout.operator(operator.ExportVorn.bl_idname, text="DirectX (.x)")


classes = (operator.VornPreferences, operator.ExportVorn)


def register():
    for cls in classes:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_export.append(menu_export)


def unregister():
    bpy.types.TOPBAR_MT_file_export.remove(menu_export)
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)
