"""`kubrel scan`: one row per file of a collection, streamed to Parquet.

Rows go to the output in row groups as they arrive, so memory stays flat whatever the collection's
size. The output is written to a temporary file beside it and renamed into place when the job ends
(or is interrupted: the rows done so far are kept, and `resume` picks up from them)."""

import functools
import os
import tempfile

from kubrel._extras import require
from kubrel.collection import runner
from kubrel.collection.files import collect
from kubrel.collection.summary import COLUMNS, summarize

ROWS_PER_GROUP = 4096


@functools.cache
def schema():
    """The Parquet schema of the rows (the columns of summary.COLUMNS)."""
    pa = require("pyarrow")
    int32, int64, text = pa.int32(), pa.int64(), pa.string()
    types = {
        "path": text,
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
    already has (`kept`). Only a resumed scan keeps a set of paths: those of the output."""

    def __init__(self, paths, output=None, resume=False):
        self.paths = list(paths)
        self.output = None if output is None else os.fspath(output)
        self.resume_from = None
        self.done = frozenset()
        if resume and self.output and os.path.exists(self.output):
            self.resume_from = self.output
            self.done = frozenset(_paths_in(self.output))
        self.kept = len(self.done)
        # A first walk only counts, so that progress knows the total without a list of files.
        self.count = sum(1 for _ in self._files())

    def _files(self):
        return (path for path in collect(self.paths) if path not in self.done)

    def todo(self):
        """(path as shown, absolute path) of each file to read: workers open the absolute one,
        as a cluster's workers need not share this process's folder."""
        # os.path.abspath() would ask for the working folder once per file.
        folder = os.getcwd()
        return ((path, os.path.normpath(os.path.join(folder, path))) for path in self._files())


def scan(paths, output=None, *, jobs=None, resume=False, client=None, on_done=None):
    """Scans the schematics under `paths` (folders and files) and returns the rows as a
    `pyarrow.Table` (first column "path"; a file that cannot be read has its message in
    "error"). With `output`, the rows are streamed to that Parquet file and the table is read back
    from it; with `resume`, files already in `output` are not read again. `jobs` local processes
    (default: the core count) or the Dask `client` do the reading; `on_done(n)` reports progress."""
    plan = ScanPlan(paths, output, resume)
    if output is None:
        pa = require("pyarrow")
        batches = _run(plan, jobs, client, on_done)
        return pa.Table.from_batches(list(batches), schema=schema())
    write(plan, jobs=jobs, client=client, on_done=on_done)
    return require("pyarrow.parquet").read_table(plan.output, memory_map=True)


def write(plan, *, jobs=None, client=None, on_done=None):
    """Runs `plan` and writes its output file; returns how many rows have an error."""
    pq = require("pyarrow.parquet")
    folder = os.path.dirname(os.path.abspath(plan.output))
    handle, temporary = tempfile.mkstemp(prefix=".kubrel-scan-", suffix=".parquet", dir=folder)
    os.close(handle)
    failed = 0
    old_rows_copied = False
    try:
        # Leaving the block closes the file (its footer written), on an interrupt too.
        with pq.ParquetWriter(temporary, schema()) as writer:
            if plan.resume_from:
                for batch in pq.ParquetFile(plan.resume_from).iter_batches(ROWS_PER_GROUP):
                    writer.write_batch(batch)
            old_rows_copied = True
            for group in _row_groups(_run(plan, jobs, client, on_done)):
                failed += group.num_rows - group.column("error").null_count
                writer.write_table(group, row_group_size=ROWS_PER_GROUP)
    except KeyboardInterrupt:
        # Keep the rows done so far for a later resume, unless the old ones were not all copied.
        if old_rows_copied:
            os.replace(temporary, plan.output)
        else:
            os.unlink(temporary)
        raise
    except BaseException:
        os.unlink(temporary)
        raise
    os.replace(temporary, plan.output)
    return failed


def _paths_in(output):
    pq = require("pyarrow.parquet")
    return pq.read_table(output, columns=["path"]).column("path").to_pylist()


def _run(plan, jobs, client, on_done):
    """The rows of the files `plan` reads, as record batches made by the workers."""
    return runner.run(
        summarize,
        plan.todo(),
        plan.count,
        jobs=jobs,
        client=client,
        on_done=on_done,
        gather=record_batch,
    )


def record_batch(rows):
    """The rows (dicts of summary.COLUMNS) as one record batch."""
    return require("pyarrow").RecordBatch.from_pylist(rows, schema=schema())


def _row_groups(batches):
    """Joins the record batches into tables of at most ROWS_PER_GROUP rows, each written as one
    row group: a worker's batch is far smaller than a useful row group."""
    pa = require("pyarrow")
    group, rows = [], 0
    for batch in batches:
        while batch.num_rows:
            taken = batch.slice(0, ROWS_PER_GROUP - rows)
            group.append(taken)
            rows += taken.num_rows
            batch = batch.slice(taken.num_rows)
            if rows == ROWS_PER_GROUP:
                yield pa.Table.from_batches(group)
                group, rows = [], 0
    if group:
        yield pa.Table.from_batches(group)
