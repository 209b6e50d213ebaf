"""`kubrel dataset`: a collection cut into windows for learning, stored as a Zarr group.

The output folder is a Zarr group with
- "windows": an array (n, window, window, window) of vocabulary indices, each window indexed
  [y, z, x] and stored as its own chunk, so that workers write their files' windows side by side;
- attributes "window" and "vocabulary" (the states; a value in "windows" is an index into it, 0 is
  "minecraft:air", which also pads the last windows of each volume);
and beside it, in the same folder, two Parquet tables: "index.parquet" (one row per window: its
index in "windows", the file, and the window's origin x, y, z relative to the volume's minimum
corner) and "files.parquet" (one row per file: its size, first window, window count and, for a file
that could not be read, the error).

Two passes over the files: the first reads every palette, so that one vocabulary serves the whole
collection and each file's place in the array is known; the second cuts and writes the windows."""

import os

import numpy as np

import kubrel
from kubrel._extras import error_text, require
from kubrel.collection import runner
from kubrel.collection.files import collect
from kubrel.collection.windows import cut, smallest_unsigned, window_counts, window_origins

AIR = "minecraft:air"
INDEX_ROWS_PER_GROUP = 65536


def build_dataset(paths, output, *, window=32, jobs=None, client=None, on_stage=None, on_done=None):
    """Builds the dataset of the schematics under `paths` (folders and files) in the folder
    `output` and returns the files table (a `pyarrow.Table`). `jobs` local processes (default: the
    core count) or the Dask `client` read the files; the workers write to `output` themselves, so
    on a cluster it must be a folder they all see. `on_stage(description, total)` and
    `on_done(n)` report progress. A file that cannot be read gets its error in the files table."""
    if window < 1:
        raise ValueError(f"window must be at least 1, not {window}")
    output = os.path.abspath(os.fspath(output))
    _check_replaceable(output)
    files = collect(paths)
    located = [(path, os.path.abspath(path)) for path in files]

    _stage(on_stage, "reading palettes", len(files))
    surveys = list(runner.run(_survey, located, jobs=jobs, client=client, on_done=on_done))
    states = set().union(*(survey["palette"] for survey in surveys if survey["error"] is None))
    vocabulary = [AIR] + sorted(states - {AIR})

    plan, first = [], 0
    for (path, location), survey in zip(located, surveys):
        if survey["error"] is None:
            count = int(np.prod(window_counts(survey["size"], window)))
            plan.append((path, location, first, tuple(survey["size"])))
            first += count
    _create_group(output, window, vocabulary, windows=first)

    cutting = {"output": output, "window": window, "vocabulary": vocabulary}
    _stage(on_stage, "cutting windows", len(plan))
    cuts = runner.run(_cut, plan, cutting, jobs=jobs, client=client, on_done=on_done)
    errors = dict(_write_index(output, plan, cuts, window))
    errors.update((s["path"], s["error"]) for s in surveys if s["error"] is not None)
    return _write_files_table(output, files, plan, errors, window)


def _stage(on_stage, description, total):
    if on_stage:
        on_stage(description, total)


def _check_replaceable(output):
    # Replacing an earlier dataset is fine; wiping a folder that holds something else is not.
    if os.path.exists(output) and not os.path.exists(os.path.join(output, "zarr.json")):
        raise ValueError(f"{output} exists and is not a dataset: not replacing it")


def _survey(item, _shared):
    """The size and palette of one file (pass one), or its error."""
    path, location = item
    try:
        volume = kubrel.load(location)
    # Any failure is this file's, not the job's.
    except Exception as error:  # noqa: BLE001
        return {"path": path, "size": None, "palette": None, "error": error_text(error)}
    return {"path": path, "size": tuple(volume.size), "palette": volume.palette, "error": None}


def _create_group(output, window, vocabulary, windows):
    zarr = require("zarr")
    group = zarr.open_group(store=output, mode="w")
    group.attrs.update({"window": window, "vocabulary": vocabulary})
    group.create_array(
        "windows",
        shape=(windows, window, window, window),
        chunks=(1, window, window, window),
        dtype=smallest_unsigned(len(vocabulary)),
        fill_value=0,
    )


# Each worker process opens the array once (the metadata read), then writes every file it is given.
_open_arrays = {}


def _windows_array(output):
    if output not in _open_arrays:
        zarr = require("zarr")
        _open_arrays[output] = zarr.open_array(store=output, path="windows", mode="r+")
    return _open_arrays[output]


def _cut(item, cutting):
    """Cuts one file into windows and writes them at its place in the array (pass two); returns
    None, or the error when the file cannot be read now (or changed since pass one)."""
    path, location, first, size = item
    try:
        volume = kubrel.load(location)
        if tuple(volume.size) != size:
            return "the file changed while the dataset was built"
        windows = _windows_array(cutting["output"])
        index_of = cutting.get("index_of")
        if index_of is None:
            index_of = cutting["index_of"] = {s: i for i, s in enumerate(cutting["vocabulary"])}
        lookup = np.array([index_of[state] for state in volume.palette], dtype=windows.dtype)
        pieces = cut(lookup[volume.blocks], cutting["window"])
        windows[first : first + len(pieces)] = pieces
    except KeyError:
        return "the file changed while the dataset was built"
    # Any failure is this file's, not the job's.
    except Exception as error:  # noqa: BLE001
        return error_text(error)
    return None


def _write_index(output, plan, cuts, window):
    """Streams the index table as the cut results arrive; yields (path, error) of failed files."""
    pa, pq = require("pyarrow"), require("pyarrow.parquet")
    schema = pa.schema(
        [("window", pa.int64()), ("file", pa.string())]
        + [(axis, pa.int32()) for axis in ("x", "y", "z")]
    )
    columns = {name: [] for name in schema.names}
    with pq.ParquetWriter(os.path.join(output, "index.parquet"), schema) as writer:
        for (path, _location, first, size), error in zip(plan, cuts):
            if error is not None:
                yield path, error
                continue
            for offset, origin in enumerate(window_origins(size, window)):
                columns["window"].append(first + offset)
                columns["file"].append(path)
                for axis, value in zip("xyz", origin):
                    columns[axis].append(value)
            if len(columns["window"]) >= INDEX_ROWS_PER_GROUP:
                writer.write_table(pa.table(columns, schema=schema))
                columns = {name: [] for name in schema.names}
        writer.write_table(pa.table(columns, schema=schema))


def _write_files_table(output, files, plan, errors, window):
    pa, pq = require("pyarrow"), require("pyarrow.parquet")
    placed = {path: (first, size) for path, _location, first, size in plan}
    rows = []
    for path in files:
        first, size = placed.get(path, (None, None))
        error = errors.get(path)
        rows.append(
            {
                "path": path,
                "size_x": size and size[0],
                "size_y": size and size[1],
                "size_z": size and size[2],
                "first_window": None if error or first is None else first,
                "windows": None if error or size is None else int(np.prod(window_counts(size, window))),
                "error": error,
            }
        )
    schema = pa.schema(
        [("path", pa.string())]
        + [(f"size_{axis}", pa.int32()) for axis in "xyz"]
        + [("first_window", pa.int64()), ("windows", pa.int64()), ("error", pa.string())]
    )
    table = pa.Table.from_pylist(rows, schema=schema)
    pq.write_table(table, os.path.join(output, "files.parquet"))
    return table
