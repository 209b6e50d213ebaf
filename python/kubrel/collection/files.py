"""Which files a collection job reads: the schematics under the folders it is given."""

import os

# Suffixes that mark a schematic inside a folder; a file named on its own is read whatever its name.
SCHEMATIC_SUFFIXES = (".schem", ".schematic", ".nbt", ".kbr", ".litematic")


def collect(paths):
    """The files of `paths` in a stable order: each folder walked in sorted order (schematics
    only, symbolic links to folders not followed), each other path kept as given, so that a
    missing one becomes a row with its error. Duplicates are dropped."""
    found = {}
    for path in map(os.fspath, paths):
        if os.path.isdir(path):
            for folder, subfolders, names in os.walk(path):
                subfolders.sort()
                for name in sorted(names):
                    if name.lower().endswith(SCHEMATIC_SUFFIXES):
                        found.setdefault(os.path.join(folder, name))
        else:
            found.setdefault(path)
    return list(found)
