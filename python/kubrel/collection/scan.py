"""`kubrel scan`: one row per file of a collection, streamed to Parquet.

Rows go to the output in row groups as they arrive, so memory stays flat whatever the collection's
size. The output is written to a temporary file beside it and renamed into place when the job ends,
or when it is interrupted: the rows finished so far are written first, and `resume` picks up from
them, matching files by their resolved paths."""

import contextlib
import functools
import os
import time

from kubrel._extras import require
from kubrel.collection import runner
from kubrel.collection.files import (
    check_paths,
    collect,
    resolver,
    stored_path,
    temporary_beside,
)
from kubrel.collection.summary import COLUMNS, lost_row, summarize

ROWS_PER_GROUP = 4096
# Rows held this long are written as a smaller row group, so that a slow scan does not keep a
# row group's worth of finished work only in memory.
SECONDS_PER_GROUP = 5.0


@functools.cache
def schema():
    """The Parquet schema of the rows (the columns of summary.COLUMNS)."""
    pa = require("pyarrow")
    int32, int64, text = pa.int32(), pa.int64(), pa.string()
    types = {
        "path": text,
        "path_bytes": pa.binary(),
        "bytes": int64,
        "sha256": text,
        "format": text,
        "version": int32,
        "data_version": int32,
        "size_x": int32,
        "size_y": int32,
        "size_z": int32,
        "origin_x": int64,
        "origin_y": int64,
        "origin_z": int64,
        "block_count": int64,
        "palette_size": int32,
        "block_entities": int64,
        "entities": int64,
        "counts": pa.map_(text, int64),
        "error": text,
    }
    return pa.schema([(name, types[name]) for name in COLUMNS])


class ScanPlan:
    """The files a scan reads (`todo()`, in order; `count` of them) and how many rows the output
    already has (`kept`). Only a resumed scan keeps a set of paths: those of the output, resolved.
    A path of `paths` that does not exist, and an output that cannot be written, raise their
    OSError here (naming the path), before any work."""

    def __init__(self, paths, output=None, resume=False):
        self.paths = [os.fspath(path) for path in paths]
        check_paths(self.paths)
        self.output = None if output is None else os.fspath(output)
        if self.output is not None:
            os.unlink(temporary_beside(self.output, self.prefix, ".parquet"))
        self.resume_from = None
        self.done = frozenset()
        self.kept = 0
        if resume and self.output and os.path.exists(self.output):
            self.resume_from = self.output
            stored = stored_paths(self.output, schema(), "path")
            self.kept = len(stored)
            self.done = frozenset(map(resolver(), stored))
        # A first walk only counts, so that progress knows the total without a list of files.
        self.count = sum(1 for _ in self.todo())

    schema = staticmethod(schema)
    prefix = ".kubrel-scan-"

    def batches(self, jobs, client, on_done):
        """The rows of the files this plan reads, as record batches made by the workers."""
        return runner.run(
            summarize,
            self.todo(),
            self.count,
            jobs=jobs,
            client=client,
            on_done=on_done,
            gather=record_batch,
            lost=lost_row,
        )

    def todo(self):
        """The absolute path of each file to read: workers open it, as a cluster's workers need
        not share this process's folder, and rows show it."""
        # os.path.abspath() would ask for the working folder once per file.
        folder = os.getcwd()
        paths = (os.path.normpath(os.path.join(folder, path)) for path in collect(self.paths))
        if not self.done:
            return paths
        resolve = resolver()
        return (path for path in paths if resolve(path) not in self.done)


def scan(paths, output=None, *, jobs=None, resume=False, client=None, on_done=None):
    """Scans the schematics under `paths` (folders and files) and returns the rows as a
    `pyarrow.Table` (first column "path"; a file that cannot be read has its message in
    "error"). With `output`, the rows are streamed to that Parquet file and the table is read back
    from it; with `resume`, files already in `output` are not read again. `jobs` local processes
    (default: the core count) or the Dask `client` do the reading; `on_done(n)` reports progress.
    An interrupt (KeyboardInterrupt) leaves the rows finished so far in `output`.

    >>> kubrel.scan(["builds/"], "stats.parquet").column("block_count")  # doctest: +SKIP
    """
    plan = ScanPlan(paths, output, resume)
    if output is None:
        pa = require("pyarrow")
        batches = plan.batches(jobs, client, on_done)
        return pa.Table.from_batches(list(batches), schema=schema())
    write(plan, jobs=jobs, client=client, on_done=on_done)
    return require("pyarrow.parquet").read_table(plan.output, memory_map=True)


def write(plan, *, jobs=None, client=None, on_done=None):
    """Runs `plan` (a scan's, or any with its `output`, `resume_from`, `schema()`, `prefix` and
    `batches()`) and writes its output file; returns how many rows have an error. The output
    that cannot be written raises its OSError (naming it) before any file is read. On an interrupt
    (or any other error of the run) the rows finished so far are written and the file put in
    place before the error goes on, unless the rows of the output resumed from were not all copied
    yet (that output is kept)."""
    pq = require("pyarrow.parquet")
    temporary = temporary_beside(plan.output, plan.prefix, ".parquet")
    try:
        with pq.ParquetWriter(temporary, plan.schema()) as writer:
            if plan.resume_from:
                for batch in pq.ParquetFile(plan.resume_from).iter_batches(ROWS_PER_GROUP):
                    writer.write_batch(batch)
            groups = _RowGroups(writer)
            # From here on the file is worth keeping, whatever ends the run: an interrupt, a
            # cluster that went away. A resume goes on from the rows it holds.
            try:
                for batch in plan.batches(jobs, client, on_done):
                    groups.add(batch)
            finally:
                groups.write(whole=True)
                writer.close()
                os.replace(temporary, plan.output)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    return groups.failed


def stored_paths(output, expected, column):
    """The paths in `column` of the rows of `output` (a job's output of schema `expected`), as
    files.stored_path() gives them back."""
    pq = require("pyarrow.parquet")
    if not pq.read_schema(output).equals(expected, check_metadata=False):
        raise ValueError(f"{output} holds other columns than this job's: run it again without --resume")
    table = pq.read_table(output, columns=[column, f"{column}_bytes"])
    return list(map(stored_path, table[column].to_pylist(), table[f"{column}_bytes"].to_pylist()))


def record_batch(rows):
    """The rows (dicts of summary.COLUMNS) as one record batch."""
    return require("pyarrow").RecordBatch.from_pylist(rows, schema=schema())


class _RowGroups:
    """Joins the record batches into row groups of ROWS_PER_GROUP rows (a worker's batch is far
    smaller than a useful row group), and writes what it holds as a smaller one once it has been
    held SECONDS_PER_GROUP, or when asked to write it whole (at the end, or on an interrupt)."""

    def __init__(self, writer):
        self.writer = writer
        self.held, self.rows = [], 0
        self.failed = 0
        self.since = time.monotonic()

    def add(self, batch):
        self.failed += batch.num_rows - batch.column("error").null_count
        self.held.append(batch)
        self.rows += batch.num_rows
        if self.rows >= ROWS_PER_GROUP:
            self.write(whole=False)
        elif time.monotonic() - self.since >= SECONDS_PER_GROUP:
            self.write(whole=True)

    def write(self, whole):
        """Writes the rows held (only whole row groups of them unless `whole`)."""
        if not self.rows:
            return
        rows = require("pyarrow").Table.from_batches(self.held)
        # Let go of the rows before writing them: an interrupt in between then loses the last rows
        # (a resume reads them again), but never writes any twice or leaves a gap before others.
        self.held, self.rows = [], 0
        size = rows.num_rows if whole else rows.num_rows - rows.num_rows % ROWS_PER_GROUP
        self.writer.write_table(rows.slice(0, size), row_group_size=ROWS_PER_GROUP)
        self.held, self.rows = rows.slice(size).to_batches(), rows.num_rows - size
        self.since = time.monotonic()
