"""`kubrel world scan`: block counts of whole worlds, one task per region file, streamed to Parquet.

A region file is the unit of work, of output and of resume: every row names the region file it
counts, so a resumed scan skips the region files its output already holds, and memory stays flat
however many worlds there are (a task holds one region file's counts, the output only a row group).
Rows count per region file for the whole of it (`by="world"`), per y level, or per chunk section;
a world's totals are the sum of its rows."""

import functools
import os

from kubrel._extras import require
from kubrel.collection import runner
from kubrel.collection.files import check_paths, name_bytes, resolver, shown
from kubrel.collection.scan import stored_paths

BY = ("world", "y", "chunk")
# Chunk errors a row names; the others it counts.
CHUNK_ERRORS_SHOWN = 3

COLUMNS = (
    "world",
    "world_bytes",
    "dimension",
    "region",
    "region_bytes",
    "y",
    "chunk_x",
    "section_y",
    "chunk_z",
    "blocks",
    "counts",
    "error",
)


@functools.cache
def schema():
    """The Parquet schema of the rows."""
    pa = require("pyarrow")
    int32, int64, text = pa.int32(), pa.int64(), pa.string()
    types = {
        "world": text,
        "world_bytes": pa.binary(),
        "dimension": text,
        "region": text,
        "region_bytes": pa.binary(),
        "y": int32,
        "chunk_x": int32,
        "section_y": int32,
        "chunk_z": int32,
        "blocks": int64,
        "counts": pa.map_(text, int64),
        "error": text,
    }
    return pa.schema([(name, types[name]) for name in COLUMNS])


def find_worlds(paths):
    """Yields the world folders (those holding level.dat) given in `paths` or under them, each
    folder walked in sorted order; a world's own subfolders are not searched for more worlds."""
    seen = set()
    for path in paths:
        for world in _worlds_under(os.fspath(path)):
            real = os.path.realpath(world)
            if real not in seen:
                seen.add(real)
                yield world


def _worlds_under(folder):
    if os.path.isfile(os.path.join(folder, "level.dat")):
        yield folder
        return
    try:
        with os.scandir(folder) as entries:
            names = sorted(entry.name for entry in entries if entry.is_dir(follow_symlinks=False))
    except OSError:
        return
    for name in names:
        yield from _worlds_under(os.path.join(folder, name))


class WorldScanPlan:
    """The region files a world scan reads (`todo()`, in order; `count` of them): every region file
    of every dimension of every world under `paths`. Folders that do not exist, an output that
    cannot be written, and a `by` that is not one of BY raise before any work."""

    prefix = ".kubrel-world-scan-"
    schema = staticmethod(schema)

    def __init__(self, paths, output=None, resume=False, by="world", legacy=False):
        from kubrel.collection.files import temporary_beside

        if by not in BY:
            raise ValueError(f"by must be one of {', '.join(BY)}, not {by!r}")
        self.paths = [os.fspath(path) for path in paths]
        check_paths(self.paths)
        self.by = by
        self.legacy = legacy
        self.output = None if output is None else os.fspath(output)
        if self.output is not None:
            os.unlink(temporary_beside(self.output, self.prefix, ".parquet"))
        self.resume_from = None
        self.done = frozenset()
        self.kept = 0
        if resume and self.output and os.path.exists(self.output):
            self.resume_from = self.output
            stored = stored_paths(self.output, schema(), "region")
            self.done = frozenset(map(resolver(), stored))
            self.kept = len(self.done)
        self.worlds = list(find_worlds(self.paths))
        if not self.worlds:
            raise ValueError(f"no world (a folder holding level.dat) in {', '.join(self.paths)}")
        self.count = sum(1 for _ in self.todo())

    def todo(self):
        """(world, dimension, region file) of every region file to count, absolute paths."""
        import kubrel

        resolve = resolver()
        for world_path in self.worlds:
            world = kubrel.open_world(world_path)
            for dimension in world.dimensions:
                for region in world.region_files(dimension):
                    region = os.path.abspath(region)
                    if not self.done or resolve(region) not in self.done:
                        yield os.path.abspath(world_path), dimension, region

    def batches(self, jobs, client, on_done):
        """The rows of the region files, as record batches made by the workers."""
        return runner.run(
            count_rows,
            self.todo(),
            self.count,
            (self.by, self.legacy),
            jobs=jobs,
            client=client,
            on_done=on_done,
            gather=record_batch,
            lost=lost_rows,
        )


def count_rows(item, options):
    """The rows of one region file (a list of dicts of COLUMNS). Damaged chunks are named in the
    rows' "error" beside the counts of the others; a file that cannot be read at all gives one row
    with its error."""
    from kubrel._extras import error_text
    from kubrel.world import count_region

    by, legacy = options
    try:
        counted = count_region(item[2], by=by, legacy_world=item[0] if legacy else None)
    # One unreadable region file must not end a scan of a thousand.
    except Exception as error:  # noqa: BLE001
        return lost_rows(item, error_text(error))
    error = _chunk_errors(counted.errors)
    states = counted.states
    rows = []
    keys = [None] if counted.keys is None else counted.keys
    for key, counts in zip(keys, counted.counts):
        row = _named(item)
        row.update(_key_columns(by, key))
        row["blocks"] = int(counts.sum())
        row["counts"] = [(states[i], int(counts[i])) for i in counts.nonzero()[0]]
        row["error"] = error
        rows.append(row)
    if not rows:  # a region file with no chunks still marks the file as scanned
        row = _named(item)
        row.update(blocks=0, counts=[], error=error)
        rows.append(row)
    return rows


def _chunk_errors(errors):
    """The messages of the chunks that could not be read (each names its chunk), the first few of
    them: a region file of old chunks fails every one of them alike."""
    if not errors:
        return None
    shown_errors = [message for _, _, message in errors[:CHUNK_ERRORS_SHOWN]]
    more = len(errors) - len(shown_errors)
    return "; ".join(shown_errors) + (f"; and {more} more chunks" if more else "")


def _key_columns(by, key):
    if by == "y":
        return {"y": int(key)}
    if by == "chunk":
        return dict(zip(("chunk_x", "section_y", "chunk_z"), map(int, key)))
    return {}


def lost_rows(item, reason):
    """The row of a region file whose counting failed, or ended the process that counted it."""
    row = _named(item)
    row["error"] = reason
    return [row]


def record_batch(results):
    """The rows of several region files (lists of dicts) as one record batch."""
    rows = [row for rows in results for row in rows]
    return require("pyarrow").RecordBatch.from_pylist(rows, schema=schema())


def _named(item):
    world, dimension, region = item
    row = dict.fromkeys(COLUMNS)
    row.update(world=shown(world), world_bytes=name_bytes(world), dimension=dimension)
    row.update(region=shown(region), region_bytes=name_bytes(region))
    return row


def scan_worlds(paths, output=None, *, by="world", legacy=False, jobs=None, resume=False,
                client=None, on_done=None):
    """Counts the blocks of every world under `paths` per state, one row per region file (or per y
    level, or chunk section, with `by`), and returns the rows as a `pyarrow.Table`; chunks from
    before 1.13 count as numbered states with `legacy` (see `open_world`). With `output`
    the rows are streamed to that Parquet file, and `resume` skips the region files it holds.

    >>> t = kubrel.scan_worlds(["saves/"], by="y")  # doctest: +SKIP
    >>> t.group_by(["dimension", "y"]).aggregate([("blocks", "sum")])  # doctest: +SKIP
    """
    from kubrel.collection.scan import write

    plan = WorldScanPlan(paths, output, resume, by, legacy)
    if output is None:
        batches = plan.batches(jobs, client, on_done)
        return require("pyarrow").Table.from_batches(list(batches), schema=schema())
    write(plan, jobs=jobs, client=client, on_done=on_done)
    return require("pyarrow.parquet").read_table(plan.output, memory_map=True)
