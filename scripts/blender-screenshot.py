# Takes docs/blender-export-options.png: Blender's export file browser with the add-on's options.
#   BLENDER_USER_CONFIG=$(mktemp -d) xvfb-run -a -s "-screen 0 1280x960x24" blender --factory-startup --python scripts/blender-screenshot.py
# (Debian's xvfb; Blender draws with Mesa's software renderer; an empty config folder shows the defaults.)

import os
import sys

import bpy

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(root, "blender"))
import io_scene_vorn  # noqa: E402

io_scene_vorn.register()
bpy.context.preferences.view.filebrowser_display_type = 'SCREEN'  # the browser in the main window
shot = os.path.join(root, "out", "blender-screen.png")
target = os.path.join(root, "docs", "blender-export-options.png")


def open_browser():
    win = bpy.context.window_manager.windows[0]
    with bpy.context.temp_override(window=win, area=win.screen.areas[0]):
        bpy.ops.export_scene.vorn_x('INVOKE_DEFAULT', filepath="/tmp/scene.x")


def show_options():
    for area in bpy.context.window_manager.windows[0].screen.areas:
        if area.type == 'FILE_BROWSER':
            area.spaces.active.show_region_tool_props = True
            area.tag_redraw()


def take():
    win = bpy.context.window_manager.windows[0]
    os.makedirs(os.path.dirname(shot), exist_ok=True)
    with bpy.context.temp_override(window=win, area=win.screen.areas[0]):
        bpy.ops.screen.screenshot(filepath=shot)
    # the options panel and the buttons under it
    image = bpy.data.images.load(shot)
    w, h = image.size
    x0, width, height = w - 300, 300, h - 40
    pixels = list(image.pixels)
    rows = [pixels[(y * w + x0) * 4:(y * w + x0 + width) * 4] for y in range(0, height)]
    crop = bpy.data.images.new("crop", width, height)
    crop.pixels = [v for row in rows for v in row]
    crop.filepath_raw = target
    crop.file_format = 'PNG'
    crop.save()
    bpy.ops.wm.quit_blender()


bpy.app.timers.register(lambda: open_browser() or None, first_interval=2.0)
bpy.app.timers.register(lambda: show_options() or None, first_interval=5.0)
bpy.app.timers.register(lambda: take() or None, first_interval=9.0)
