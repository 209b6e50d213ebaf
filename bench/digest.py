"""What the benchmark compares between readers so that every timed pipeline is shown to give the
same blocks: for each non-air state (canonical text), its count and the sums of its x, y and z.
Structure void is left out, since a volume also uses it for the positions a structure does not
list. Computed after the timing, never inside it.
"""

import hashlib
import json

import numpy as np

from peers import AIR, VOID, canonical

SKIPPED = AIR | {VOID}


def finish(table):
    """A short stable form of {state: [count, sx, sy, sz]}: the non-air count and a hash."""
    kept = {s: [int(v) for v in values] for s, values in table.items() if s not in SKIPPED}
    text = json.dumps(sorted(kept.items()), separators=(",", ":"))
    return {"nonair": sum(v[0] for v in kept.values()),
            "digest": hashlib.sha256(text.encode()).hexdigest()[:16]}


def of_tuples(blocks):
    """blocks: (x, y, z, state text) tuples, any iterable."""
    table = {}
    for x, y, z, state in blocks:
        entry = table.get(state)
        if entry is None:
            entry = table[state] = [0, 0, 0, 0]
        entry[0] += 1
        entry[1] += x
        entry[2] += y
        entry[3] += z
    merged = {}
    for state, values in table.items():
        total = merged.setdefault(canonical(state), [0, 0, 0, 0])
        for k in range(4):
            total[k] += values[k]
    return finish(merged)


def of_array(blocks, palette):
    """blocks indexed [y, z, x] with palette indices."""
    flat = blocks.ravel()
    n = len(palette)
    counts = np.bincount(flat, minlength=n)
    size_y, size_z, size_x = blocks.shape
    sums = []
    for axis, extent in ((2, size_x), (0, size_y), (1, size_z)):
        shape = [1, 1, 1]
        shape[axis] = extent
        coords = np.broadcast_to(np.arange(extent, dtype=np.float64).reshape(shape), blocks.shape)
        sums.append(np.bincount(flat, weights=coords.ravel(), minlength=n))
    table = {}
    for i, state in enumerate(palette):
        total = table.setdefault(canonical(state), [0, 0, 0, 0])
        total[0] += int(counts[i])
        for k in range(3):
            total[k + 1] += int(round(sums[k][i]))
    return finish(table)


def of_result(result):
    """The digest of a peer pipeline's result (see peers.py)."""
    if result[0] == "tuples":
        return of_tuples(result[1])
    return of_array(result[1], result[2])


def of_reader(path):
    """The reference: every block the exact reader hands out."""
    import kubrel_rs

    def blocks():
        with kubrel_rs.open(str(path)) as reader:
            for bulk in reader.iter_bulks():
                for block in bulk:
                    p = block.position()
                    yield p.x(), p.y(), p.z(), str(block.state())

    return of_tuples(blocks())


def of_volume(volume):
    return of_array(np.asarray(volume.blocks), list(volume.palette))
