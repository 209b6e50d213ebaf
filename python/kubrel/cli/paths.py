"""What every writing command checks before any work: that its output is none of the files it
reads, however either path is spelled (relative or absolute, through `..`, symbolic or hard
links), unless it is asked to rewrite in place."""

import os
import re

import click

from kubrel.cli.output import UserError

in_place_option = click.option(
    "--in-place",
    is_flag=True,
    help="Allow the output to be one of the files read, replacing it.",
)


class _Output:
    """An output path that exists: the file (or folder) it names, for comparing inputs with."""

    def __init__(self, path, info):
        self.path = path
        self.info = info
        self.folder = os.path.realpath(path) + os.sep if os.path.isdir(path) else None

    def takes(self, path):
        """Whether writing the output would replace the file `path`: the same file (same device
        and inode), or, for a folder that the output replaces whole, one inside it."""
        try:
            info = os.stat(path)
        except OSError:
            # A file that cannot be looked at is not read either: it gets its error instead.
            return False
        if os.path.samestat(info, self.info):
            return True
        return self.folder is not None and os.path.realpath(path).startswith(self.folder)


def refuse_overwrite(outputs, inputs, in_place):
    """Raises UserError naming the first output that is one of `inputs` (paths of the files the
    command reads, an iterable walked at most once), unless `in_place`. An output that does not
    exist yet cannot be a file that is read, so then `inputs` is not walked at all."""
    if in_place:
        return
    existing = []
    for output in outputs:
        try:
            existing.append(_Output(output, os.stat(output)))
        except OSError:
            continue
    if not existing:
        return
    for path in inputs:
        for output in existing:
            if output.takes(path):
                raise UserError(
                    f"{output.path}: is the input {path}; add --in-place to replace it"
                )


def pieces_at(stem):
    """The existing files that structure pieces named after `stem` (`<stem>_<x>_<y>_<z>.nbt`)
    would replace."""
    folder = os.path.dirname(stem)
    name = re.compile(re.escape(os.path.basename(stem)) + r"_\d+_\d+_\d+\.nbt")
    try:
        names = os.listdir(folder or ".")
    except OSError:
        return []
    return [os.path.join(folder, found) for found in names if name.fullmatch(found)]
