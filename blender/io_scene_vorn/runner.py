# Finding and running `vorn`.

import os
import shutil
import subprocess

ADDON_DIR = os.path.dirname(os.path.abspath(__file__))


def find_vorn(preferred=""):
    """The vorn executable: the preference when set, else the one installed beside the
    add-on, else the one on PATH; None when there is none."""
    candidates = []
    if preferred:
        candidates.append(os.path.expanduser(preferred))
    env = os.environ.get("VORN_EXECUTABLE")
    if env:
        candidates.append(env)
    candidates.append(os.path.join(ADDON_DIR, "bin", "vorn"))
    bundled = candidates[-1]
    if os.path.isfile(bundled) and not os.access(bundled, os.X_OK):
        try:  # installing from a zip drops the executable bit
            os.chmod(bundled, 0o755)
        except OSError:
            pass
    for c in candidates:
        if os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    return shutil.which("vorn")


def clip_settings(clips):
    sets = [f"AnimationCount={len(clips)}"]
    for i, (name, start, end) in enumerate(clips):
        sets += [f"Animation{i}_Name={name}", f"Animation{i}_StartKey={start}", f"Animation{i}_EndKey={end}"]
    return sets


def run_export(vorn, document, output, config_dir, sets, selected, timings=False):
    """Runs the export; returns (exit status, stderr lines)."""
    args = [vorn, "export", document, output, "--silent", "--config-dir", config_dir]
    if selected:
        args.append("--selected")
    if timings:
        args.append("--timings")
    for s in sets:
        args += ["--set", s]
    try:
        done = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as e:
        return 2, [f"cannot run {vorn}: {e}"]
    text = (done.stderr + done.stdout).decode("utf-8", errors="replace")
    return done.returncode, [line for line in text.splitlines() if line.strip()]
