"""Which files a collection job reads: the schematics under the folders it is given."""

import os

# Suffixes that mark a schematic inside a folder; a file named on its own is read whatever its name.
SCHEMATIC_SUFFIXES = (".schem", ".schematic", ".nbt", ".kbr", ".litematic")


def collect(paths):
    """Yields the files of `paths` in a stable order, keeping nothing per file (a collection of
    any size walks in the same memory): each folder walked in sorted order (schematics only,
    symbolic links to folders not followed), each other path as given, so that a missing one
    becomes a row with its error. A folder inside another one given, a path given twice, and a
    schematic named beside a folder that holds it are read once."""
    paths = [os.fspath(path) for path in paths]
    folders = [os.path.abspath(path) for path in paths if os.path.isdir(path)]
    seen = set()
    for path in paths:
        absolute = os.path.abspath(path)
        if absolute in seen or _inside_any(absolute, folders, os.path.isdir(path)):
            continue
        seen.add(absolute)
        if os.path.isdir(path):
            yield from _walk(path)
        else:
            yield path


def _inside_any(absolute, folders, is_folder):
    """Whether a walk of one of `folders` reaches `absolute` already."""
    if not is_folder and not absolute.lower().endswith(SCHEMATIC_SUFFIXES):
        return False
    return any(absolute.startswith(folder + os.sep) for folder in folders)


def _walk(folder):
    for parent, subfolders, names in os.walk(folder):
        subfolders.sort()
        for name in sorted(names):
            if name.lower().endswith(SCHEMATIC_SUFFIXES):
                yield os.path.join(parent, name)
