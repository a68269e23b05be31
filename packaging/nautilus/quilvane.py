"""GNOME Files menu items that hand the selected files to Quilvane."""

import shutil
import subprocess

import gi

try:
    gi.require_version("Nautilus", "4.0")
except ValueError:
    gi.require_version("Nautilus", "3.0")
from gi.repository import GObject, Nautilus  # noqa: E402

SIGNED_TYPE = "application/pkcs7-mime"


def local_paths(files):
    """The selection's paths, or None when any item is not a local file."""
    paths = []
    for item in files:
        if item.is_directory():
            return None
        location = item.get_location()
        path = location.get_path() if location is not None else None
        if path is None:
            return None
        paths.append(path)
    return paths


def run(option, paths):
    # An argument list, never a shell: a path may hold any character. Paths
    # from GIO are absolute, so none can be taken for an option.
    subprocess.Popen(["quilvane", option, *paths])


class QuilvaneMenu(GObject.GObject, Nautilus.MenuProvider):
    def get_file_items(self, *args):
        # Nautilus 43 passes (files); earlier versions pass (window, files).
        files = args[-1]
        if not files or shutil.which("quilvane") is None:
            return []
        paths = local_paths(files)
        if not paths:
            return []
        entries = [("sign", "--sign", "Sign with Quilvane")]
        if all(item.is_mime_type(SIGNED_TYPE) for item in files):
            entries += [
                ("verify", "--verify", "Verify with Quilvane"),
                ("cosign", "--cosign", "Add a Signature with Quilvane"),
            ]
        items = []
        for name, option, label in entries:
            item = Nautilus.MenuItem(name="QuilvaneMenu::" + name, label=label,
                                     icon="org.quilvane.Quilvane")
            item.connect("activate", lambda _item, o=option: run(o, paths))
            items.append(item)
        return items
