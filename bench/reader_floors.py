"""The exact reader beside its floors, for bench/README.md. The floor of a Sponge read is what no
reader can skip: the file inflated with ISA-L and its ids decoded into an array (the core tool's
`floor` mode), plus handing one object per block to Python. That last part is measured twice: by
the KBR single run (c), our own reader's objects with nothing left to decode, and plainly, by one
untracked object of a block object's size made in C per block (bench/core/object_floor.cpp), kept in
a list for read_full() and made in dropped lists of 1024 for iter_bulks(). Detection is set beside
the named format on every kind of file. The structure parser's rate is the core tool's read of a
structure file (inflate, NBT events, block list walk, no Python). Every ratio here compares CPU
times (medians of the same run): on a machine shared with other work, wall time measures the
others as much as the reader."""

import pathlib
from volume_report import met

ITER_GOAL = 1.4
FULL_GOAL = 1.25
DETECTED_GOAL = 1.15
DOCUMENTS_HELD = 1.5
STRUCTURE_GOAL_MB_S = 300
LARGE_STRUCTURE = 256 * 1024  # bytes of document: the real structures worth a rate


def listed_blocks(path):
    """How many entries a structure's block list holds, air included."""
    import nbtlib

    return len(nbtlib.load(path).get("blocks", []))


def spent(result):
    """The CPU time of a measurement where it was taken, else its wall time."""
    return result.get("cpu_seconds", result["seconds"])


def row_of(rows, label):
    """The row whose label starts with `label`, or None."""
    return next((r for r in rows if r["label"].startswith(label)), None)


def run(rows, corpus_rows, runs, tool, measure, log, child):
    """`child`: the argv that runs one measurement of run.py in a fresh process, up to its
    arguments."""
    terrain = row_of(rows, "Sponge terrain v2")
    out = {"floor": measure([str(tool), "floor", terrain["path"]], runs) if terrain else None,
           "structures": [], "objects": {}}
    blocks = terrain["modes"].get("full/named", {}).get("blocks") if terrain else None
    if blocks:
        for mode in ("objects-full", "objects-iter"):
            out["objects"][mode] = measure([*child, str(blocks), mode, str(tool.parent)], runs)
    for row in rows + corpus_rows:
        path = pathlib.Path(row["path"])
        document = row["inflate"].get("bytes", 0)
        if path.suffix != ".nbt" or document < LARGE_STRUCTURE or "legacy" in row["label"]:
            continue
        read = measure([str(tool), "read", str(path), "mojang", "3"], runs)
        out["structures"].append({"label": row["label"], "document": document,
                                  "listed": listed_blocks(path), "read": read})
    log(out)
    return out


def kind_of(label):
    """The kind of file a row reads, for detection's figures; None for the legacy files."""
    for prefix, kind in (("structure/", "structures"), ("Mojang", "structures"),
                         ("sponge/v1", "Sponge v1"), ("sponge/v2", "Sponge v2"),
                         ("Sponge terrain v2", "Sponge v2"), ("sponge/v3", "Sponge v3"),
                         ("Sponge terrain v3", "Sponge v3"), ("KBR", "KBR")):
        if label.startswith(prefix):
            return kind
    return None


def detection_lines(rows):
    """Detected against named, per kind of file: the worst file and the median of each read."""
    ratios = {}
    for row in rows:
        kind = kind_of(row["label"])
        for mode in ("iter", "full"):
            detected = row["modes"].get(f"{mode}/detected", {})
            named = row["modes"].get(f"{mode}/named", {})
            if kind and "seconds" in detected and named.get("seconds"):
                ratios.setdefault(kind, {}).setdefault(mode, []).append(
                    (spent(detected) / spent(named), row["label"]))
    out = []
    for kind in ("structures", "Sponge v1", "Sponge v2", "Sponge v3", "KBR"):
        parts, worst_all = [], 0.0
        for mode, title in (("iter", "iter_bulks()"), ("full", "read_full()")):
            found = sorted(ratios.get(kind, {}).get(mode, []))
            if not found:
                continue
            worst, label = found[-1]
            worst_all = max(worst_all, worst)
            parts.append(f"{title} worst {worst:.2f}× ({label}), median "
                         f"{found[len(found) // 2][0]:.2f}× of {len(found)}")
        if parts:
            out.append(f"- detected against named, {kind}: {'; '.join(parts)} (goal ≤ "
                       f"{DETECTED_GOAL}×): {met(worst_all <= DETECTED_GOAL)}.")
    return out


def lines(rows, corpus_rows, floors):
    terrain, single = row_of(rows, "Sponge terrain v2"), row_of(rows, "KBR single run")
    floor = floors.get("floor") or {}
    objects = floors.get("objects", {})
    out = []
    if terrain and single and "seconds" in floor:
        t, s = terrain["modes"], single["modes"]
        document = terrain["inflate"]["bytes"] / 2**20
        for mode, title, goal in (("iter", "iter_bulks()", ITER_GOAL),
                                  ("full", "read_full()", FULL_GOAL)):
            named = spent(t[f"{mode}/named"])
            ours = spent(floor) + spent(s[f"{mode}/named"])
            text = (f"- `{title}` named on the terrain: {named * 1e3:,.1f} ms of CPU = "
                    f"{named / ours:.2f}× its floor with our objects ({spent(floor) * 1e3:,.1f} "
                    f"ms inflate and id decode + {spent(s[f'{mode}/named']) * 1e3:,.1f} ms of "
                    f"objects (c))")
            plain = objects.get(f"objects-{mode}", {})
            if "seconds" in plain:
                bare = spent(floor) + spent(plain)
                text += (f", {named / bare:.2f}× the plain floor ({spent(floor) * 1e3:,.1f} ms + "
                         f"{spent(plain) * 1e3:,.1f} ms of plain objects)")
                ratio = named / (ours if mode == "iter" else bare)
                which = "its floor (c)" if mode == "iter" else "the plain floor"
            else:
                text += "; the plain floor: not measured"
                ratio, which = named / ours, "its floor (c)"
            detected = spent(t[f"{mode}/detected"])
            out.append(f"{text}; detected {detected * 1e3:,.1f} ms = {detected / named:.2f}× named "
                       f"(goal ≤ {goal}× {which}, detected ≤ {DETECTED_GOAL}× named): "
                       f"{met(ratio <= goal and detected / named <= DETECTED_GOAL)}.")
        peak, objects_peak = t["full/named"]["peak_mib"], s["full/named"]["peak_mib"]
        limit = objects_peak + DOCUMENTS_HELD * document
        out.append(f"- `read_full()` named, peak memory: {peak:,.1f} MiB; the objects alone (c) "
                   f"{objects_peak:,.1f} MiB + {DOCUMENTS_HELD}× the {document:,.1f} MiB document = "
                   f"{limit:,.1f} MiB (goal ≤ that): {met(peak <= limit)}.")
    else:
        out.append("- the exact reader's floors: not measured (terrain, single run or floor "
                   "absent).")
    out += detection_lines(rows + corpus_rows)
    for s in floors.get("structures", []):
        if "seconds" not in s["read"]:
            continue
        rate = s["document"] / s["read"]["seconds"] / 1e6
        out.append(f"- {s['label']} ({s['listed']:,d} listed blocks, {s['document'] / 2**20:,.1f} "
                   f"MiB of document): the core's structure read (inflate, parse, block list) "
                   f"{s['read']['seconds'] * 1e3:,.1f} ms = {rate:,.0f} MB/s (goal ≥ "
                   f"{STRUCTURE_GOAL_MB_S} MB/s): {met(rate >= STRUCTURE_GOAL_MB_S)}.")
    return out
