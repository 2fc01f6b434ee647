# The exporter's settings file, vorn_max_config.ini, shared with vorn: one section [Option]
# of key=value lines. The add-on changes only the keys it shows and keeps every other line.

import os

SECTION = "Option"
FILE_NAME = "vorn_max_config.ini"


def config_folder():
    import bpy
    return bpy.utils.user_resource('CONFIG', path="vorn", create=True)


def read(path):
    """The [Option] values of the file as a dict of strings; empty when it cannot be read."""
    values = {}
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return values
    section = None
    for line in lines:
        s = line.strip()
        if s.startswith("[") and s.endswith("]"):
            section = s[1:-1].strip()
        elif section == SECTION and "=" in s and not s.startswith(";"):
            key, _, value = s.partition("=")
            values.setdefault(key.strip(), value.strip())
    return values


def write(path, updates):
    """Sets the keys of `updates` in the file, keeping its other lines and their order; the
    file is replaced whole, so a failed write leaves the old one."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    pending = dict(updates)
    out, section, option_end = [], None, None
    for line in lines:
        s = line.strip()
        if s.startswith("[") and s.endswith("]"):
            if section == SECTION:
                option_end = len(out)
            section = s[1:-1].strip()
            out.append(line)
            continue
        if section == SECTION and "=" in s:
            key = s.partition("=")[0].strip()
            if key in pending:
                out.append(f"{key}={pending.pop(key)}")
                continue
        out.append(line)
    if section == SECTION:
        option_end = len(out)
    if option_end is None:
        out.append(f"[{SECTION}]")
        option_end = len(out)
    out[option_end:option_end] = [f"{k}={v}" for k, v in pending.items()]
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out) + "\n")
    os.replace(tmp, path)


def as_int(values, key, default):
    try:
        return int(values.get(key, default))
    except ValueError:
        return default


def as_float(values, key, default):
    # as the exporter reads it: leading number, else 0
    text = values.get(key)
    if text is None:
        return default
    try:
        return float(text)
    except ValueError:
        return 0.0


def format_float(x):
    return "%g" % x
