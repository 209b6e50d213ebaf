"""One row of `kubrel scan`: what a file is and what it holds, or why it cannot be read.

Runs in the workers, so it needs only `kubrel` itself."""

import hashlib

import kubrel
from kubrel._extras import error_text
from kubrel.collection.files import name_bytes, open_regular, shown
from kubrel.facts import facts

# The columns of a row, in order; scan.py gives their types.
COLUMNS = (
    "path",
    "path_bytes",
    "bytes",
    "sha256",
    "format",
    "version",
    "data_version",
    "size_x",
    "size_y",
    "size_z",
    "origin_x",
    "origin_y",
    "origin_z",
    "block_count",
    "palette_size",
    "block_entities",
    "entities",
    "counts",
    "error",
)


def summarize(path, _shared=None):
    """The row of one file (a dict of COLUMNS); `path` is the file's absolute path, stored as
    files.shown() and files.name_bytes() give it. A file that cannot be read gives a row with its
    size and hash when it could be read as bytes, and the reader's message in "error"."""
    row = _named(path)
    try:
        with open_regular(path) as file:
            data = file.read()
        row["bytes"] = len(data)
        row["sha256"] = hashlib.sha256(data).hexdigest()
        volume = kubrel.load(data)
        counts = volume.counts()
        described = facts(volume, counts)
    # A row per failing file, whatever failed: one unreadable file must not end a long job.
    except Exception as error:  # noqa: BLE001
        row["error"] = error_text(error)
        return row
    row.update((key, described[key]) for key in described if key in row)
    row.update(zip(("size_x", "size_y", "size_z"), described["size"]))
    row.update(zip(("origin_x", "origin_y", "origin_z"), described["origin"]))
    row["counts"] = sorted(counts.items())
    return row


def lost_row(path, reason):
    """The row of a file whose reading ended the process that read it (`reason` says how)."""
    row = _named(path)
    row["error"] = reason
    return row


def _named(path):
    row = dict.fromkeys(COLUMNS)
    row["path"] = shown(path)
    row["path_bytes"] = name_bytes(path)
    return row
