"""Which files a collection job reads (the schematics under the folders it is given), and the
checks every job makes of its paths: that each one given exists, that a file is regular before it
is opened, and how a name that is not UTF-8 is shown."""

import errno
import functools
import os
import stat
import tempfile

# Suffixes that mark a schematic inside a folder; a file named on its own is read whatever its name.
SCHEMATIC_SUFFIXES = (".schem", ".schematic", ".nbt", ".kbr", ".litematic")


def check_paths(paths):
    """Raises the OSError (naming the path) of the first path of `paths` that does not exist: a
    job over a folder that is not there is a mistake of the request, not a row of the output."""
    for path in paths:
        os.stat(path)


def temporary_beside(path, prefix, suffix="", *, store=False):
    """Creates an empty temporary file in the folder of `path` and returns its path; the OSError
    when it cannot (a missing or read-only folder, a file `path` that is a folder) names `path`.
    Jobs call it before they read anything. A `store` (a folder a writer creates with the folders
    missing above it, or replaces) has it in the nearest folder that exists."""
    given, path = path, os.path.abspath(path)
    try:
        if not store and os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        folder = os.path.dirname(path)
        while store and not os.path.lexists(folder):
            folder = os.path.dirname(folder)
        handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=suffix, dir=folder)
    except OSError as error:
        raise type(error)(error.errno, error.strerror, given) from None
    os.close(handle)
    # The file replaces `path` in the end: it gets the mode of the one there, or of a new file.
    try:
        mode = os.stat(path).st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        mode = 0o666 & ~mask
    os.chmod(temporary, mode)
    return temporary


def collect(paths):
    """Yields the files of `paths` in a stable order, keeping nothing per file (a collection of
    any size walks in the same memory): each folder walked in sorted order (regular files named as
    schematics only, symbolic links to folders not followed), each other path as given, so that
    it becomes a row with its error when it cannot be read. A folder inside another one given, a
    path given twice (however spelled, through links too), and a schematic named beside a folder
    that holds it are read once."""
    paths = [os.fspath(path) for path in paths]
    folders = [os.path.realpath(path) for path in paths if os.path.isdir(path)]
    seen = set()
    for path in paths:
        real = os.path.realpath(path)
        if real in seen or _inside_any(real, folders, os.path.isdir(path)):
            continue
        seen.add(real)
        if os.path.isdir(path):
            yield from _walk(path)
        else:
            yield path


def _inside_any(real, folders, is_folder):
    """Whether a walk of one of `folders` reaches `real` already."""
    if not is_folder and not real.lower().endswith(SCHEMATIC_SUFFIXES):
        return False
    return any(real.startswith(folder + os.sep) for folder in folders)


def _walk(folder):
    """A folder's schematics, then its subfolders', each in sorted order. A FIFO or a device
    named like a schematic is left out: opening one could wait for ever."""
    try:
        with os.scandir(folder) as entries:
            entries = sorted(entries, key=lambda entry: entry.name)
    except OSError:
        return  # a folder that cannot be listed holds nothing this job can read
    subfolders = []
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                subfolders.append(entry.path)
            elif entry.name.lower().endswith(SCHEMATIC_SUFFIXES) and entry.is_file():
                yield entry.path
        except OSError:
            continue
    for subfolder in subfolders:
        yield from _walk(subfolder)


def open_regular(path):
    """`path` opened for reading as a binary file; a FIFO or a device raises ValueError without
    being waited for."""
    handle = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            raise ValueError("not a regular file")
        return os.fdopen(handle, "rb")
    except BaseException:
        os.close(handle)
        raise


def check_regular(path):
    """Raises ValueError when `path` is not a regular file (OSError when it cannot be looked at),
    before a reader that would wait on a FIFO opens it."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError("not a regular file")


def shown(path):
    """`path` as text every table can store: a name that is not UTF-8 shows its other bytes as
    \\xNN (its exact bytes are kept beside it, see name_bytes())."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def name_bytes(path):
    """The bytes of `path`'s name when shown() cannot give them back exactly, else None."""
    encoded = os.fsencode(path)
    return None if encoded.decode("utf-8", "backslashreplace") == path else encoded


def stored_path(text, exact):
    """The path a row stores as `text` (shown()) and `exact` (name_bytes())."""
    return text if exact is None else os.fsdecode(exact)


def resolver():
    """A function giving each path resolved (os.path.realpath), which resolves each folder once:
    a collection's files share few folders, and resolving each file's folders anew would cost a
    system call per folder of its path."""

    @functools.lru_cache(maxsize=4096)
    def folder(path):
        return os.path.realpath(path)

    def resolve(path):
        path = os.path.abspath(path)
        if os.path.islink(path):
            return os.path.realpath(path)
        parent, name = os.path.split(path)
        return os.path.join(folder(parent), name)

    return resolve
