"""The exact reader beside its floors, for bench/README.md. The floor of a Sponge read is what no
reader can skip: the file inflated with ISA-L and its ids decoded into an array (the core tool's
`floor` mode), plus handing one object per block to Python, which the KBR single run (c) measures
with nothing left to decode (kept in a list for read_full()). The structure parser's rate is the
core tool's read of a structure file (inflate, NBT events, block list walk, no Python)."""

import pathlib
from volume_report import met

ITER_GOAL = 1.4
FULL_GOAL = 1.25
DOCUMENTS_HELD = 1.5
STRUCTURE_GOAL_MB_S = 300
LARGE_STRUCTURE = 256 * 1024  # bytes of document: the real structures worth a rate


def listed_blocks(path):
    """How many entries a structure's block list holds, air included."""
    import nbtlib

    return len(nbtlib.load(path).get("blocks", []))


def row_of(rows, label):
    """The row whose label starts with `label`, or None."""
    return next((r for r in rows if r["label"].startswith(label)), None)


def run(rows, corpus_rows, runs, tool, measure, log):
    terrain = row_of(rows, "Sponge terrain v2")
    out = {"floor": measure([str(tool), "floor", terrain["path"]], runs) if terrain else None,
           "structures": []}
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


def lines(rows, floors):
    terrain, single = row_of(rows, "Sponge terrain v2"), row_of(rows, "KBR single run")
    floor = floors.get("floor") or {}
    out = []
    if terrain and single and "seconds" in floor:
        t, s = terrain["modes"], single["modes"]
        document = terrain["inflate"]["bytes"] / 2**20
        for mode, title, goal in (("iter", "iter_bulks()", ITER_GOAL),
                                  ("full", "read_full()", FULL_GOAL)):
            total = floor["seconds"] + s[f"{mode}/named"]["seconds"]
            ratio = t[f"{mode}/named"]["seconds"] / total
            out.append(f"- `{title}` named on the terrain: {t[f'{mode}/named']['seconds'] * 1e3:,.1f} "
                       f"ms = {ratio:.2f}× its floor ({floor['seconds'] * 1e3:,.1f} ms inflate and "
                       f"id decode + {s[f'{mode}/named']['seconds'] * 1e3:,.1f} ms of objects (c)) "
                       f"(goal ≤ {goal}×): {met(ratio <= goal)}.")
        peak, objects = t["full/named"]["peak_mib"], s["full/named"]["peak_mib"]
        limit = objects + DOCUMENTS_HELD * document
        out.append(f"- `read_full()` named, peak memory: {peak:,.1f} MiB; the objects alone (c) "
                   f"{objects:,.1f} MiB + {DOCUMENTS_HELD}× the {document:,.1f} MiB document = "
                   f"{limit:,.1f} MiB (goal ≤ that): {met(peak <= limit)}.")
    else:
        out.append("- the exact reader's floors: not measured (terrain, single run or floor "
                   "absent).")
    for s in floors.get("structures", []):
        if "seconds" not in s["read"]:
            continue
        rate = s["document"] / s["read"]["seconds"] / 1e6
        out.append(f"- {s['label']} ({s['listed']:,d} listed blocks, {s['document'] / 2**20:,.1f} "
                   f"MiB of document): the core's structure read (inflate, parse, block list) "
                   f"{s['read']['seconds'] * 1e3:,.1f} ms = {rate:,.0f} MB/s (goal ≥ "
                   f"{STRUCTURE_GOAL_MB_S} MB/s): {met(rate >= STRUCTURE_GOAL_MB_S)}.")
    return out
