"""`kubrel dataset`: a collection cut into windows for learning, stored as a Zarr group.

The output folder is a Zarr group with
- "windows": an array (n, window, window, window) of vocabulary indices, each window indexed
  [y, z, x] and stored as its own chunk, so that workers write their files' windows side by side;
- the index of the windows: "file" (n,), the number of each window's file in the attribute
  "files", and "origin" (n, 3), the window's x, y, z relative to that volume's minimum corner;
- attributes "window", "vocabulary" (the states: a value in "windows" is an index into it, 0 is
  "minecraft:air", which also pads the last windows of each volume), "files" (every path, in the
  collection's order) and "errors" (path to message, for the files that could not be read).
With `augment` 4, 8 or 24 each file gives the windows of each of its turned volumes in turn (the
quarter turns about y, each also mirrored, or every way a cube turns: see
`kubrel.transform.augmentations`), their states turned too; "origin" is then the window's place in
the turned volume, and the attribute "augment" says how many.
A file that fails only in the second pass keeps its windows, left as air, with "file" -1.

Two passes over the files: the first reads every palette, so that one vocabulary serves the whole
collection and each file's place in the array is known; the second cuts and writes the windows."""

import os
import uuid
import warnings

import numpy as np

import kubrel
from kubrel._extras import error_text, require
from kubrel.collection import runner
from kubrel.collection.files import (
    check_paths,
    check_regular,
    collect,
    name_bytes,
    shown,
    temporary_beside,
)
from kubrel.transform import TransformWarning, augmentations, transform
from kubrel.transform.turning import turn_palette
from kubrel.collection.windows import cut, smallest_unsigned, window_counts, window_origins

AIR = "minecraft:air"


def build_dataset(
    paths, output, *, window=32, augment=1, jobs=None, client=None, on_stage=None, on_done=None
):
    """Builds the dataset of the schematics under `paths` (folders and files) in the folder
    `output` and returns the files table (a `pyarrow.Table`). `jobs` local processes (default: the
    core count) or the Dask `client` read the files; the workers write to `output` themselves, so
    on a cluster it must be a folder they all see. `on_stage(description, total)` and
    `on_done(n)` report progress. A file that cannot be read gets its error in the files table."""
    if window < 1:
        raise ValueError(f"window must be at least 1, not {window}")
    check_request(paths, output)
    turns = augmentations(augment)
    output = os.path.abspath(os.fspath(output))
    files = list(collect(paths))
    located = [(path, os.path.abspath(path)) for path in files]

    _stage(on_stage, "reading palettes", len(files))
    states, sizes, errors = set(), {}, {}
    for path, (size, palette, error) in zip(
        files, runner.run(
            _survey, located, len(located), augment, jobs=jobs, client=client, on_done=on_done,
            lost=_lost,
        )
    ):
        if error is None:
            states.update(palette)
            sizes[path] = size
        else:
            errors[path] = error
    vocabulary = [AIR] + sorted(states - {AIR})

    plan, first = [], 0
    for path, location in located:
        if path in sizes:
            plan.append((path, location, first, sizes[path]))
            first += sum(
                int(np.prod(window_counts(turn.size(sizes[path]), window))) for turn in turns
            )
    _create_group(output, window, vocabulary, windows=first)

    build = uuid.uuid4().hex
    cutting = {"output": output, "window": window, "vocabulary": vocabulary, "build": build,
               "augment": augment}
    _stage(on_stage, "cutting windows", len(plan))
    cuts = runner.run(
        _cut, plan, len(plan), cutting, jobs=jobs, client=client, on_done=on_done, lost=_lost_cut
    )
    errors.update((item[0], error) for item, error in zip(plan, cuts) if error is not None)
    _write_index(output, files, plan, errors, window, turns)
    return files_table(output)


def _stage(on_stage, description, total):
    if on_stage:
        on_stage(description, total)


def check_request(paths, output):
    """Raises, before any file is read: ValueError unless `output` is free or holds a dataset
    (which is replaced: a folder that holds anything else is never wiped), and the OSError of a
    path of `paths` that does not exist, or of an `output` that cannot be written."""
    absolute = os.path.abspath(os.fspath(output))
    if os.path.exists(absolute) and not os.path.exists(os.path.join(absolute, "zarr.json")):
        raise ValueError(f"{absolute} exists and is not a dataset: not replacing it")
    check_paths([os.fspath(path) for path in paths])
    os.unlink(temporary_beside(output, ".kubrel-probe-", store=True))


def _survey(item, augment):
    """(size, palette, None) of one file (pass one), its states turned each way it is augmented
    by, or (None, None, its error)."""
    _path, location = item
    try:
        check_regular(location)
        volume = kubrel.load(location)
    # Any failure is this file's, not the job's.
    except Exception as error:  # noqa: BLE001
        return None, None, error_text(error)
    states = {s for turn in augmentations(augment) for s in turn_palette(volume.palette, turn)[0]}
    return tuple(volume.size), sorted(states), None


def _lost(_item, reason):
    """What _survey gives for a file whose reading ended its process."""
    return None, None, reason


def _lost_cut(_item, reason):
    """What _cut gives for a file whose reading ended its process."""
    return reason


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


# Each process opens the array once per build (the metadata read), then writes every file it is
# given. Kept by build, not by folder: a process that builds the same folder again (a notebook, or
# a worker forked from one) would otherwise write the new windows through the old array's shape.
_open_array = (None, None)


def _windows_array(cutting):
    global _open_array
    if _open_array[0] != cutting["build"]:
        zarr = require("zarr")
        array = zarr.open_array(store=cutting["output"], path="windows", mode="r+")
        _open_array = (cutting["build"], array)
    return _open_array[1]


def _cut(item, cutting):
    """Cuts one file into windows and writes them at its place in the array (pass two); returns
    None, or the error when the file cannot be read now (or changed since pass one)."""
    path, location, first, size = item
    try:
        volume = kubrel.load(location)
        if tuple(volume.size) != size:
            return "the file changed while the dataset was built"
        windows = _windows_array(cutting)
        index_of = cutting.get("index_of")
        if index_of is None:
            index_of = cutting["index_of"] = {s: i for i, s in enumerate(cutting["vocabulary"])}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", TransformWarning)  # such states stay as they were
            for turn in augmentations(cutting.get("augment", 1)):
                turned = transform(volume, turn)
                lookup = np.array([index_of[s] for s in turned.palette], dtype=windows.dtype)
                pieces = cut(lookup[turned.blocks], cutting["window"])
                windows[first : first + len(pieces)] = pieces
                first += len(pieces)
    except KeyError:
        return "the file changed while the dataset was built"
    # Any failure is this file's, not the job's.
    except Exception as error:  # noqa: BLE001
        return error_text(error)
    return None


def _write_index(output, files, plan, errors, window, turns):
    number_of = {path: number for number, path in enumerate(files)}
    file_numbers, origins = [], []
    for path, _location, _first, size in plan:
        # Every window has its row, also a failed file's: "file" -1 marks those left as air.
        number = -1 if path in errors else number_of[path]
        placed = [o for turn in turns for o in window_origins(turn.size(size), window)]
        file_numbers.extend([number] * len(placed))
        origins.extend(placed)
    zarr = require("zarr")
    group = zarr.open_group(store=output, mode="r+")
    count = len(file_numbers)
    group.create_array("file", shape=(count,), dtype=np.int32, chunks=(max(count, 1),))
    group.create_array("origin", shape=(count, 3), dtype=np.int32, chunks=(max(count, 1), 3))
    group["file"][:] = np.array(file_numbers, dtype=np.int32)
    group["origin"][:] = np.array(origins, dtype=np.int32).reshape(count, 3)
    group.attrs.update({"files": files, "errors": errors, "augment": len(turns)})


def files_table(output):
    """The files of the dataset in `output` as a `pyarrow.Table`: path (a name that is not UTF-8
    with its other bytes as \\xNN) and path_bytes (that name's exact bytes, else null),
    first_window and windows (its rows of the index; none for a file that could not be read),
    error."""
    pa = require("pyarrow")
    group = require("zarr").open_group(store=output, mode="r")
    files, errors = group.attrs["files"], group.attrs["errors"]
    numbers = group["file"][:]
    counts = np.bincount(numbers[numbers >= 0], minlength=len(files))
    # Each file's windows are contiguous, so the first of them is where its number first shows.
    present, first_shown = np.unique(numbers, return_index=True)
    firsts = np.full(len(files), -1, dtype=np.int64)
    firsts[present[present >= 0]] = first_shown[present >= 0]
    failed = np.array([path in errors for path in files], dtype=bool)
    return pa.table(
        {
            "path": [shown(path) for path in files],
            "path_bytes": pa.array([name_bytes(path) for path in files], pa.binary()),
            "first_window": pa.array(firsts, mask=failed | (counts == 0)),
            "windows": pa.array(counts.astype(np.int64), mask=failed),
            "error": [errors.get(path) for path in files],
        }
    )
