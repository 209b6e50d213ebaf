"""The writing part of the benchmark and its section of bench/README.md: the terrain saved as
Sponge v3 and as KBR beside ISA-L compressing the same document (the core tool's `save` mode,
best of 5 inside the tool), and every real file converted to KBR and back to Sponge v3 through
`kubrel.convert` (volume_children.py), with the sizes of both formats."""

import statistics
import tempfile

from measuring import child_result
from volume_bench import child
from volume_report import met

SAVE_GOAL = 2.0
TOOL_RUNS = 3


def run(data, corpus, tool, log):
    saves = [child_result([str(tool), "save", str(data / "terrain_v2.schem")])
             for _ in range(TOOL_RUNS)]
    saves = [s for s in saves if "error" not in s] or saves[:1]
    log(saves)
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for path in sorted(p for p in corpus.glob("*/*") if p.is_file()):
            rows.append({"label": f"{path.parent.name}/{path.name}",
                         **child_result(child("convert", path, folder))})
            log(rows[-1])
    return {"saves": saves, "rows": rows}


def median_of(saves, key):
    return statistics.median(s[key] for s in saves)


def save_goals(saves):
    if "error" in saves[0]:
        return [f"- saving the terrain: not measured ({saves[0]['error']})."]
    floor = median_of(saves, "floor_seconds")
    lines = [f"- ISA-L compressing the terrain's {saves[0]['document_bytes'] / 2**20:,.1f} MiB "
             f"Sponge document at level {saves[0]['level']} (the floor): {floor * 1e3:,.1f} ms."]
    for key, title in (("sponge_v3", "Sponge v3"), ("kbr", "KBR")):
        seconds = median_of(saves, f"{key}_seconds")
        ratio = seconds / floor
        lines.append(f"- saving the terrain as {title}: {seconds * 1e3:,.1f} ms = {ratio:.2f}× the "
                     f"floor (goal ≤ {SAVE_GOAL:.0f}×): {met(ratio <= SAVE_GOAL)}; "
                     f"{saves[0][f'{key}_bytes']:,d} bytes.")
    smaller = saves[0]["kbr_bytes"] < saves[0]["sponge_v3_bytes"]
    lines.append(f"- the terrain's KBR file against its Sponge v3 file: {saves[0]['kbr_bytes']:,d} "
                 f"against {saves[0]['sponge_v3_bytes']:,d} bytes (goal: smaller): {met(smaller)}.")
    return lines


def corpus_lines(rows):
    done = [r for r in rows if "to_kbr" in r]
    if not done:
        return ["- the real corpus: not measured."]
    kbr, sponge = sum(r["kbr_bytes"] for r in done), sum(r["sponge_bytes"] for r in done)
    same = sum(r["same"] for r in done)
    return [
        f"- the real corpus, {len(done)} files read (of {len(rows)}): KBR {kbr:,d} bytes against "
        f"Sponge v3 {sponge:,d} bytes (goal: smaller): {met(kbr < sponge)}.",
        f"- round trip to KBR and back to Sponge v3: {sum(r['to_kbr'] for r in done):,.2f} s and "
        f"{sum(r['to_sponge'] for r in done):,.2f} s in all; the same blocks back in {same} of "
        f"{len(done)} files.",
    ]


def table(rows):
    head = ["input", "to KBR", "back to Sponge v3", "KBR bytes", "Sponge v3 bytes",
            "left out (KBR)", "same blocks"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        if "to_kbr" not in r:
            lines.append(f"| {r['label']} | refused | | | | | |")
            continue
        lines.append(f"| {r['label']} | {r['to_kbr'] * 1e3:,.1f} ms | {r['to_sponge'] * 1e3:,.1f} "
                     f"ms | {r['kbr_bytes']:,d} | {r['sponge_bytes']:,d} | {r['dropped']:,d} | "
                     f"{'yes' if r['same'] else '**no**'} |")
    return "\n".join(lines)


def section(writing):
    return "\n".join([
        "## Writing",
        "",
        f"The core tool's `save` mode, {TOOL_RUNS} runs (medians of each one's best of 5), and "
        "`kubrel.convert` of every real file to KBR and back to Sponge v3, one fresh process per "
        "file (each step's time includes its load; block entities and entities are left out, as "
        "KBR holds none). *Same blocks*: the Sponge file read back holds the source's non-air "
        "blocks (count and coordinate sums per state).",
        "",
        *save_goals(writing["saves"]),
        *corpus_lines(writing["rows"]),
        "",
        table(writing["rows"]),
        "",
    ])
