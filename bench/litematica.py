"""The Litematica part of the benchmark and its section of bench/README.md: `kubrel.load()` on the
largest Litematica files beside the core tool's floor (the file inflated in one call and its
packed indices unpacked, in C++), the core's own load, and the NumPy pipelines of the NBT
libraries (peers.py). A peer counts only when it gives the blocks `kubrel.load()` gives."""


import peers
from volume_bench import child, measure_peer
from volume_report import cell, met

FLOOR_GOAL = 1.5
PEER_GOAL = 20.0
LARGEST = 2
NUMPY_PEERS = [name for name, (_, pipeline, _) in peers.PEERS.items() if pipeline == "numpy"]


def ms(result):
    return f"{result['seconds'] * 1e3:,.1f} ms" if result and "seconds" in result else "—"


def run(corpus, runs, tool, measure, log):
    files = sorted(corpus.glob("*.litematic"), key=lambda p: p.stat().st_size)[-LARGEST:][::-1]
    rows = []
    for path in files:
        row = {"label": path.name, "load": measure(child("load", path, 0), runs,
                                                   first=child("load", path, 1)),
               "floor": measure([str(tool), "litematic-floor", str(path)], runs),
               "core": measure([str(tool), "litematic", str(path)], runs),
               "peers": {name: measure_peer(name, "numpy", path, runs, measure)
                         for name in NUMPY_PEERS}}
        rows.append(row)
        log(row)
    return rows


def goals(rows):
    lines = []
    for row in rows:
        load, floor = row["load"], row["floor"]
        if "seconds" not in load or "seconds" not in floor:
            lines.append(f"- {row['label']}: not measured ({load.get('error') or floor.get('error')}).")
            continue
        ratio = load["seconds"] / floor["seconds"]
        lines.append(f"- {row['label']} ({floor['positions']:,d} positions, {floor['bits']} bits "
                     f"per index): `kubrel.load()` {ms(load)} = {ratio:.2f}× the floor "
                     f"({ms(floor)}, of which inflating {floor['inflate_seconds'] * 1e3:,.1f} ms) "
                     f"(goal ≤ {FLOOR_GOAL}×): {met(ratio <= FLOOR_GOAL)}.")
        honest = [(r["seconds"], name) for name, r in row["peers"].items()
                  if "seconds" in r and r.get("digest") == load.get("digest")]
        if not honest:
            lines.append(f"- {row['label']}: no NumPy pipeline gave the same blocks.")
            continue
        seconds, name = min(honest)
        speedup = seconds / load["seconds"]
        lines.append(f"- {row['label']}: the fastest NumPy pipeline ({name}) {seconds * 1e3:,.1f} "
                     f"ms, `kubrel.load()` {speedup:,.1f}× faster (goal ≥ {PEER_GOAL:.0f}×): "
                     f"{met(speedup >= PEER_GOAL)}.")
    return lines


def section(rows):
    head = ["input", "non-air blocks", "kubrel.load()", "core load (no Python)", "floor",
            *NUMPY_PEERS, "same blocks"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in rows:
        load = row["load"]
        same = all(r.get("digest") == load.get("digest") for r in row["peers"].values()
                   if "seconds" in r)
        cells = [row["label"], f"{load.get('nonair', 0):,d}", cell(load), cell(row["core"]),
                 cell(row["floor"]), *(cell(row["peers"][name]) for name in NUMPY_PEERS)]
        cells.append("yes" if same else "**differ**")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join([
        "## Litematica",
        "",
        "The largest Litematica files of the corpus. The floor is the core tool's "
        "`litematic-floor` mode: the file inflated with ISA-L in one call and its packed indices "
        "unpacked into an array, nothing else. The NumPy pipelines load the document with the "
        "NBT library, unpack every region's indices at once and place them in the enclosing box "
        "(`bench/peers.py`). *Same blocks*: each pipeline's non-air blocks (count and coordinate "
        "sums per state) equal `kubrel.load()`'s. Each cell: time, peak memory above the "
        "process's baseline.",
        "",
        *goals(rows),
        "",
        *lines,
        "",
    ])
