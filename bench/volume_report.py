"""The array section of bench/README.md: kubrel.load() beside its floor and the peer pipelines,
reads on threads, and each goal beside its figure, from what volume_bench.py measured."""

import peers
from volume_bench import LOOP_RUNS, NUMPY_RUNS, SLOW_SECONDS, THREAD_FILES

ABSENT = "not measured (module absent)"
LOAD_FLOOR_GOAL = 1.5
PEER_GOAL = 20.0
MEMORY_DOCUMENTS = 2.0
THREADS_GOAL = 0.6


def met(ok):
    return "met" if ok else "**not met**"


def ms(seconds):
    return f"{seconds * 1e3:,.1f} ms"


def timed(result):
    return result is not None and "seconds" in result and "error" not in result


def cell(result):
    if result is None:
        return "—"
    if "absent" in result:
        return "absent"
    if "error" in result:
        return "refused"
    if "peak_mib" not in result:
        return ms(result["seconds"])
    return f"{ms(result['seconds'])}, {result['peak_mib']:,.0f} MiB"


def agrees(result, reference):
    return timed(result) and "digest" in reference and result.get("digest") == reference["digest"]


def fastest_peer(row):
    """The fastest peer whose blocks equal the exact reader's: (name, result) or None."""
    honest = [(r["seconds"], name, r) for name, r in row["peers"].items()
              if agrees(r, row["reference"])]
    return min(honest)[1:] if honest else None


def same_blocks(row):
    reference = row["reference"]
    if "digest" not in reference:
        return "exact reader refuses it"
    readers = {"kubrel.load()": row["load"], **row["peers"]}
    differ = [name for name, r in readers.items() if timed(r) and not agrees(r, reference)]
    checked = [name for name, r in readers.items() if timed(r)]
    if differ:
        return "**differ:** " + ", ".join(differ)
    return f"yes, all {len(checked)} measured"


def document_mib(main):
    return main["inflate"]["bytes"] / 2**20 if main and "bytes" in main["inflate"] else None


def table(rows, main_rows):
    head = ["input", "non-air blocks", "document", "kubrel_rs iter_bulks()", "kubrel.load()",
            "core load (no Python)", "load floor", *peers.PEERS, "same blocks"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in rows:
        main = main_rows.get(row["path"])
        document = document_mib(main)
        iterated = main["modes"].get("iter/detected") if main else None
        cells = [row["label"], f"{row['reference'].get('nonair', 0):,d}",
                 f"{document:,.1f} MiB" if document is not None else "—", cell(iterated),
                 cell(row["load"]), cell(row["core"]), cell(row["floor"])]
        cells += [cell(row["peers"][name]) for name in peers.PEERS]
        cells.append(same_blocks(row))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def load_goals(rows, main_rows, threads):
    """The goals of kubrel.load(), each beside its figure."""
    terrain = rows[0]
    lines = []
    if not timed(terrain["load"]):
        lines.append(f"- `kubrel.load()` at most {LOAD_FLOOR_GOAL}× the load floor on the terrain: "
                     f"{ABSENT}.")
    elif not timed(terrain["floor"]):
        lines.append(f"- `kubrel.load()` on the terrain: {ms(terrain['load']['seconds'])}; the load "
                     "floor: not measured (absent from the core tool).")
    else:
        ratio = terrain["load"]["seconds"] / terrain["floor"]["seconds"]
        core = (f"; the core's own load without Python {ms(terrain['core']['seconds'])}"
                if timed(terrain["core"]) else "")
        lines.append(f"- `kubrel.load()` on the terrain: {ms(terrain['load']['seconds'])} = "
                     f"{ratio:.2f}× the load floor ({ms(terrain['floor']['seconds'])}; ISA-L "
                     f"inflate and id decode into an array{core}) (goal ≤ {LOAD_FLOOR_GOAL}×): "
                     f"{met(ratio <= LOAD_FLOOR_GOAL)}.")
    for row in rows:
        load, best = row["load"], fastest_peer(row)
        if not timed(load):
            lines.append(f"- {row['label']}: at least {PEER_GOAL:.0f}× faster than the fastest "
                         f"peer: {ABSENT}.")
            continue
        if best is None:
            lines.append(f"- {row['label']}: no peer read the same blocks.")
            continue
        if "digest" in row["reference"] and not agrees(load, row["reference"]):
            lines.append(f"- {row['label']}: `kubrel.load()` gives other blocks than the exact "
                         "reader: **not met**.")
            continue
        name, result = best
        speedup = result["seconds"] / load["seconds"]
        lines.append(f"- {row['label']}: `kubrel.load()` {ms(load['seconds'])}, fastest peer "
                     f"({name}) {ms(result['seconds'])}: {speedup:,.1f}× faster (goal ≥ "
                     f"{PEER_GOAL:.0f}×): {met(speedup >= PEER_GOAL)}.")
    for row in rows:
        load, document = row["load"], document_mib(main_rows.get(row["path"]))
        if not timed(load) or document is None:
            continue
        arrays = load["array_bytes"] / 2**20
        limit = arrays + MEMORY_DOCUMENTS * document
        lines.append(f"- {row['label']}: peak memory {load['peak_mib']:,.1f} MiB; arrays "
                     f"{arrays:,.1f} MiB + {MEMORY_DOCUMENTS:.0f}× the {document:,.1f} MiB document "
                     f"= {limit:,.1f} MiB (goal ≤ that): {met(load['peak_mib'] <= limit)}.")
    lines.append(thread_line(threads.get("load", {}), "`kubrel.load()`", THREADS_GOAL))
    return lines


def thread_line(result, what, goal=None):
    if "absent" in result:
        return f"- {THREAD_FILES} files read with {what} on threads: {ABSENT}."
    if "1" not in result:
        return f"- {THREAD_FILES} files read with {what} on threads: failed ({result.get('error')})."
    one = result["1"]
    text = (f"- {result['files']} files (the two terrains, alternately) read with {what} on 1, 2 "
            f"and 4 threads of a `ThreadPoolExecutor`: {ms(one)}, {ms(result['2'])}, "
            f"{ms(result['4'])}; 2 threads {result['2'] / one:.2f}×, 4 threads "
            f"{result['4'] / one:.2f}× one thread")
    if goal is None:
        return text + "."
    return text + f" (goal for 2 threads ≤ {goal}×): {met(result['2'] / one <= goal)}."


def reader_goals(rows, main_rows, threads):
    """What the exact reader's goals in this section need: threads, peers, structure speed."""
    lines = [thread_line(threads.get("iter", {}), "`kubrel_rs` `iter_bulks()` (path inputs)")]
    for row in rows:
        main = main_rows.get(row["path"])
        iterated = main["modes"].get("iter/detected") if main else None
        if not timed(iterated):
            continue
        ratios = []
        for pipeline, title in (("loop", "per-position loop"), ("numpy", "NumPy pipeline")):
            honest = [r["seconds"] for name, r in row["peers"].items()
                      if peers.PEERS[name][1] == pipeline and agrees(r, row["reference"])]
            if honest:
                ratio = min(honest) / iterated["seconds"]
                ratios.append(f"{ratio:,.1f}× faster than the fastest {title}" if ratio >= 1 else
                              f"{1 / ratio:,.1f}× slower than the fastest {title}")
        if ratios:
            lines.append(f"- {row['label']}: `kubrel_rs` `iter_bulks()` detected is "
                         + " and ".join(ratios) + ".")
    for row in rows:
        main = main_rows.get(row["path"])
        named = main["modes"].get("iter/named") if main else None
        document = document_mib(main)
        if main is None or not row["path"].endswith(".nbt") or not timed(named) or not document:
            continue
        rate = document * 2**20 / 1e6 / named["seconds"]
        lines.append(f"- {row['label']}: the structure read (`iter_bulks()` named) takes "
                     f"{rate:,.0f} MB/s of decompressed document (goal ≥ 300 MB/s): "
                     f"{met(rate >= 300)}.")
    return lines


def section(volume, main_rows, load_now, runs):
    by_path = {r["path"]: r for r in main_rows}
    rows, threads = volume["rows"], volume["threads"]
    floor = volume["floor_mode"]
    native = any(r["load"].get("via") == "kubrel._native.load" for r in rows)
    return "\n".join([
        "## Arrays: `kubrel.load()` beside its floor and the NBT libraries",
        "",
        f"Load average {load_now:.2f} when this part began. *Peers* are the pipelines a user "
        "writes with the package index's NBT libraries, nbtlib 2.0.4 and NBT 1.5.1 (both MIT, "
        "installed only into `.venv-bench`; `bench/peers.py`): a *loop* walks the ids one "
        "position at a time and keeps an (x, y, z, state) tuple per non-air block; *+ NumPy* "
        "decodes every id at once and maps it through the palette into the array that "
        "`kubrel.load()` gives. A loop runs in "
        f"{LOOP_RUNS} process, a NumPy pipeline in {min(NUMPY_RUNS, runs)} (in 1 when that one "
        f"takes over {SLOW_SECONDS:.0f} s), the others in {runs}. "
        + (f"The load floor is the core tool's `{floor}` mode: ISA-L inflate and the Sponge ids "
           "decoded into an array, in C++ (no floor for structures). " if floor
           else "The core tool of this build has no load floor. ")
        + "*Core load* is the core tool's own volume load, without Python. "
        + ("`kubrel.load()` is measured through `kubrel._native.load()`, as the package has no "
           "`load()` of its own in this build. " if native else "")
        + "*Same "
        "blocks*: the non-air blocks of each reader (count and coordinate sums per state) equal "
        "the exact reader's; only those count as the fastest peer. Each cell: time, peak memory "
        "above the process's baseline. Every process runs with `OPENBLAS_NUM_THREADS=1`: none "
        "of them uses BLAS, and NumPy's import otherwise leaves a BLAS thread spinning on the "
        "second core for about a tenth of a second, while the timed call runs.",
        "",
        "### Goals of `kubrel.load()`",
        "",
        *load_goals(rows, by_path, threads),
        "",
        "### The exact reader on threads, beside the peers, and on structures",
        "",
        *reader_goals(rows, by_path, threads),
        "",
        table(rows, by_path),
        "",
    ])
