"""Runs the reading benchmark and writes bench/README.md with its table and bench/blocks_per_second.png.

Every measurement runs in a fresh process: the time from open() to the last block (or to the
boundary), and the peak memory of that process above what it held just before (ru_maxrss). Each
figure is the median of --runs runs. Reference figures come from the same run so that ratios hold
on a busy machine. Started by `make bench` (scripts/bench.sh), which builds what this needs.
"""

import argparse
import gzip
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

from measuring import OBJECT_FLOOR_MODES, child_result, object_floor, timed

HERE = pathlib.Path(__file__).resolve().parent
MODES = ("iter", "full", "boundary")
MODE_TITLES = {"iter": "iter_bulks()", "full": "read_full()", "boundary": "boundary()"}


class NamedPath(str):
    """A path whose `type` attribute names its format."""

    type = None


def child(path, mode, kind):
    """One measurement in this process; prints a JSON line."""
    if mode == "gzip":
        data = pathlib.Path(path).read_bytes()
        size, out = timed(lambda: len(gzip.decompress(data)))
        print(json.dumps({**out, "bytes": size}))
        return
    if mode in OBJECT_FLOOR_MODES:
        # `path` is the block count and `kind` the folder of the floor's module here.
        blocks, out = object_floor(int(path), mode, kind)
        print(json.dumps({**out, "blocks": blocks}))
        return
    import kubrel_rs

    source = path
    if kind != "auto":
        source = NamedPath(path)
        source.type = kind

    def read():
        blocks = 0
        with kubrel_rs.open(source) as reader:
            if mode == "iter":
                for bulk in reader.iter_bulks():
                    blocks += len(bulk)
            elif mode == "full":
                kept = reader.read_full()
                blocks = len(kept)
            else:
                reader.boundary()
        return blocks

    blocks, out = timed(read)
    print(json.dumps({**out, "blocks": blocks}))


def measure(argv, runs, first=None):
    """Median seconds and peak memory over `runs` fresh processes, plus the run's spread. `first`,
    when given, replaces argv for the first run (one that also reports what it read)."""
    results = []
    for n in range(runs):
        results.append(child_result(first if first and n == 0 else argv))
        if "error" in results[-1] or "absent" in results[-1]:
            return results[-1]
        if "seconds" not in results[-1]:
            return {"error": f"no time reported: {json.dumps(results[-1])[-200:]}"}
    seconds = [r["seconds"] for r in results]
    out = {k: v for k, v in results[0].items() if k not in ("seconds", "peak_kib")}
    out["seconds"] = statistics.median(seconds)
    out["spread"] = (max(seconds) - min(seconds)) / out["seconds"] if out["seconds"] else 0.0
    if all("cpu_seconds" in r for r in results):
        out["cpu_seconds"] = statistics.median(r["cpu_seconds"] for r in results)
    if "peak_kib" in results[0]:
        out["peak_mib"] = statistics.median(r["peak_kib"] for r in results) / 1024
    return out


def python_measure(path, mode, kind, runs):
    argv = [sys.executable, str(HERE / "run.py"), "--child", str(path), mode, kind]
    return measure(argv, runs)


def synthetic_inputs(data):
    return [
        ("Sponge terrain v2 (flat)", data / "terrain_v2.schem", "SPONGE"),
        ("Sponge terrain v3 (nested)", data / "terrain_v3.schem", "SPONGE"),
        ("KBR terrain", data / "terrain.kbr", "KBR"),
        ("Mojang structure 64^3", data / "structure.nbt", "MOJANG"),
        ("KBR single run (reference c)", data / "single_run.kbr", "KBR"),
    ]


def corpus_inputs(corpus):
    """Every file of the real corpus, named by its folder (legacy formats only detected)."""
    kinds = {"sponge": "SPONGE", "structure": "MOJANG"}
    found = []
    for path in sorted(corpus.glob("*/*")):
        if path.is_file():
            found.append((f"{path.parent.name}/{path.name}", path, kinds.get(path.parent.name)))
    return found


def run_input(label, path, named, runs, tool, zlib_tool=None):
    row = {"label": label, "path": str(path), "size": path.stat().st_size, "modes": {}}
    for mode in MODES:
        for kind in ("auto", named):
            if kind is None:
                continue
            key = f"{mode}/{'detected' if kind == 'auto' else 'named'}"
            row["modes"][key] = python_measure(path, mode, kind, runs)
    row["inflate"] = measure([str(tool), "inflate", str(path)], runs)
    if zlib_tool and zlib_tool.exists():
        row["inflate_zlib"] = measure([str(zlib_tool), "inflate", str(path)], runs)
    row["gzip"] = python_measure(path, "gzip", "auto", runs)
    return row


def ms(seconds):
    return f"{seconds * 1e3:,.1f}"


def rate(result):
    if "error" in result:
        return "refused"
    if not result.get("blocks"):
        return "—"
    return f"{result['blocks'] / result['seconds'] / 1e6:,.2f}"


def cell(result, with_rate=True):
    if "error" in result:
        return "refused"
    text = f"{ms(result['seconds'])} ms"
    if with_rate and result.get("blocks"):
        text += f", {rate(result)} M/s"
    return text + f", {result['peak_mib']:,.0f} MiB"


def table(rows):
    head = ["input", "blocks", "document"]
    for mode in MODES:
        head += [f"{MODE_TITLES[mode]} detected", f"{MODE_TITLES[mode]} named"]
    head += ["inflate (a)", "zlib-only (a)", "gzip.decompress (b)"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in rows:
        any_result = row["modes"].get("iter/detected", {})
        cells = [row["label"], f"{any_result.get('blocks', 0):,d}",
                 f"{row['inflate'].get('bytes', 0) / 2**20:,.1f} MiB"]
        for mode in MODES:
            for kind in ("detected", "named"):
                result = row["modes"].get(f"{mode}/{kind}")
                cells.append(cell(result, mode != "boundary") if result else "—")
        cells.append(f"{ms(row['inflate']['seconds'])} ms" if "seconds" in row["inflate"] else "—")
        zlib = row.get("inflate_zlib", {})
        both = "seconds" in zlib and row["inflate"].get("seconds")
        cells.append(f"{zlib['seconds'] / row['inflate']['seconds']:.2f}×" if both else "—")
        cells.append(f"{ms(row['gzip']['seconds'])} ms" if "seconds" in row["gzip"] else "—")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def chart(rows, target):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = [("iter/detected", "iter_bulks() detected"), ("iter/named", "iter_bulks() named"),
              ("full/detected", "read_full() detected"), ("full/named", "read_full() named")]
    rows = [r for r in rows if r["modes"].get("iter/detected", {}).get("blocks")]
    fig, ax = plt.subplots(figsize=(10, 0.9 * len(rows) + 1.5))
    height = 0.8 / len(series)
    for i, (key, title) in enumerate(series):
        values = []
        for row in rows:
            result = row["modes"].get(key, {})
            ok = result.get("blocks") and "error" not in result
            values.append(result["blocks"] / result["seconds"] / 1e6 if ok else 0)
        positions = [n + i * height for n in range(len(rows))]
        ax.barh(positions, values, height=height, label=title)
    ax.set_yticks([n + 0.4 - height / 2 for n in range(len(rows))])
    ax.set_yticklabels([r["label"] for r in rows])
    ax.invert_yaxis()
    ax.set_xlabel("million blocks per second (median of fresh processes)")
    ax.legend(loc="lower right", fontsize="small")
    ax.grid(axis="x", alpha=0.3)
    fig.tight_layout()
    fig.savefig(target, dpi=110)


def met(ok):
    return "met" if ok else "**not met**"


def goals(rows, fork):
    """The issue's goals on the flat Sponge terrain, with the figures of this run."""
    terrain = rows[0]
    m = terrain["modes"]
    document = terrain["inflate"]["bytes"] / 2**20
    iter_auto, iter_named = m["iter/detected"], m["iter/named"]
    full_auto = m["full/detected"]
    iter_ratio = iter_auto["seconds"] / iter_named["seconds"]
    full_ratio = full_auto["seconds"] / m["full/named"]["seconds"]
    iter_rate = iter_auto["blocks"] / iter_auto["seconds"]
    lines = [
        f"- `iter_bulks()` detected, bulks dropped: {ms(iter_auto['seconds'])} ms, "
        f"{rate(iter_auto)} M blocks/s (goal ≤ about 200 ms, above 30 M blocks/s): "
        f"{met(iter_auto['seconds'] <= 0.2 and iter_rate > 30e6)}.",
        f"- `read_full()` detected: {ms(full_auto['seconds'])} ms (goal ≤ about 430 ms): "
        f"{met(full_auto['seconds'] <= 0.43)}.",
        f"- detected against named: iter_bulks() {iter_ratio:.2f}×, read_full() {full_ratio:.2f}× "
        f"(goal ≤ 1.15×): {met(max(iter_ratio, full_ratio) <= 1.15)}.",
        f"- peak memory above baseline, named, bulks dropped: {iter_named['peak_mib']:,.0f} MiB = "
        f"{iter_named['peak_mib'] / document:.1f}× the {document:,.1f} MiB document (goal ≤ 3×): "
        f"{met(iter_named['peak_mib'] <= 3 * document)}; detected: "
        f"{iter_auto['peak_mib']:,.0f} MiB = {iter_auto['peak_mib'] / document:.1f}× (goal ≤ 5×): "
        f"{met(iter_auto['peak_mib'] <= 5 * document)}.",
        f"- references: inflating through the gzip chain (a) {ms(terrain['inflate']['seconds'])} ms, "
        f"`gzip.decompress` (b) {ms(terrain['gzip']['seconds'])} ms; iter_bulks() detected is "
        f"{iter_auto['seconds'] / terrain['inflate']['seconds']:.1f}× (a).",
    ]
    single = next((r for r in rows if r["label"].startswith("KBR single run")), None)
    if single and "seconds" in single["modes"].get("iter/named", {}):
        s = single["modes"]
        lines.append(
            f"- handing blocks to Python (c), the same count from one KBR run: iter_bulks() "
            f"{ms(s['iter/named']['seconds'])} ms, read_full() {ms(s['full/named']['seconds'])} ms; "
            f"the terrain's iter_bulks() detected is {iter_auto['seconds'] / s['iter/named']['seconds']:.2f}× (c).")
    if fork:
        lines.append(
            f"- reads through a fork served from the shared buffer: {fork['buffered_1_ns']:.0f} ns "
            f"for 1 byte, {fork['buffered_64_ns']:.0f} ns for 64 bytes, "
            f"{fork['buffered_8192_ns']:,.0f} ns for 8192 bytes "
            f"({8192 / fork['buffered_8192_ns']:.1f} GB/s); the leading fork's reads from the source: "
            f"{fork['leading_1024_ns']:.0f} ns per 1024 bytes.")
    return "\n".join(lines)


def machine():
    model = "unknown processor"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {model}, Python {platform.python_version()}"


def report(rows, corpus_rows, fork, started, load_before, runs, sections):
    spreads = [res["spread"] for row in rows + corpus_rows for res in row["modes"].values()
               if "spread" in res and res["seconds"] > 0.05]
    noise = (f"median spread (max − min over median) of the runs above 50 ms: "
             f"{statistics.median(spreads):.0%}, worst {max(spreads):.0%}") if spreads else ""
    load_after = os.getloadavg()
    text = [
        "# Reading benchmark",
        "",
        "Run it with `make bench` (builds a Release extension into `.venv-bench`, with the NBT "
        "libraries of the peers installed there only, the core tool into `build-bench/`, "
        "generates the inputs into `bench/data/` and rewrites this file and the chart).",
        "",
        f"Latest run: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime(started))}, {machine()}; "
        f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after; "
        f"each figure the median of {runs} fresh processes; {noise}.",
        "",
        "Each cell: time from `open()` to the end, blocks per second, and peak memory of the process "
        "above its baseline. *Detected* opens a path; *named* opens a path whose `type` attribute "
        "names the format. *Document* is the decompressed size. References: (a) the file inflated "
        "through the module's own gzip chain to its end (core tool, no Python), and beside it the "
        "time of the same through the core built with zlib as its only inflater, as a ratio to "
        "(a) (`-DKUBREL_INFLATERS=zlib`, as on a machine without ISA-L or libdeflate); (b) "
        "`gzip.decompress` of the file's bytes in Python; (c) the KBR single run row: the "
        "terrain's block count from one run of one state, the cost of handing blocks to Python.",
        "",
        "## Goals (flat Sponge terrain)",
        "",
        goals(rows, fork),
        *sections["floors"],
        "",
        "## Inputs",
        "",
        table(rows),
        "",
        "![blocks per second](blocks_per_second.png)",
        "",
    ]
    text += [part for part in (sections["volume"], sections["litematica"], sections["writing"])
             if part]
    if corpus_rows:
        text += ["## Real corpus", "", table(corpus_rows), ""]
    return "\n".join(text)


def biggest_corpus_rows(corpus_rows):
    """The real files with the most blocks, which the chart shows beside the generated inputs."""
    return sorted((r for r in corpus_rows if "blocks" in r["modes"].get("iter/detected", {})),
                  key=lambda r: -r["modes"]["iter/detected"]["blocks"])[:4]


def other_sections(readme):
    """The sections of a README this file wrote that are not the exact reader's: from the arrays'
    heading up to the real corpus's table."""
    text = readme.read_text() if readme.exists() else ""
    start, end = text.find("## Arrays:"), text.find("## Real corpus")
    return text[start:end].rstrip() + "\n" if 0 <= start < end else ""


def log(result):
    print(json.dumps(result), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=3, metavar=("PATH", "MODE", "TYPE"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--data", type=pathlib.Path, default=HERE / "data")
    parser.add_argument("--corpus", type=pathlib.Path, default=HERE.parent.parent / "shared" /
                        "corpus" / "real")
    parser.add_argument("--tool", type=pathlib.Path,
                        default=HERE.parent / "build-bench" / "bench" / "core" / "kubrel_bench")
    parser.add_argument("--zlib-tool", type=pathlib.Path,
                        default=HERE.parent / "build-zlib-bench" / "bench" / "core" / "kubrel_bench",
                        help="the core tool built with zlib alone (skipped when absent)")
    parser.add_argument("--only", help="measure only inputs whose label contains this text")
    parser.add_argument("--no-report", action="store_true", help="print, do not rewrite README")
    parser.add_argument("--part", choices=("reader", "volume", "litematica", "writing"),
                        help="measure only this part (kubrel.load() with its floor, peers and "
                        "threads; Litematica; writing) and print its section; `reader` measures "
                        "the exact reader's inputs, corpus and floors and rewrites their parts of "
                        "README, keeping its other sections as the last full run wrote them")
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    # Imported here, so that the children that time the exact reader do not load NumPy first.
    import litematica
    import reader_floors
    import volume_bench
    import volume_report
    import writing

    if args.part == "volume":
        load_now = os.getloadavg()[0]
        volume = volume_bench.run(args.data, args.corpus, args.runs, args.tool, measure, log)
        print(volume_report.section(volume, [], load_now, args.runs))
        return
    if args.part == "litematica":
        print(litematica.section(litematica.run(args.corpus.parent / "litematic", args.runs,
                                                args.tool, measure, log)))
        return
    if args.part == "writing":
        print(writing.section(writing.run(args.data, args.corpus, args.tool, log)))
        return

    started = time.time()
    load_before = os.getloadavg()
    fork = json.loads(subprocess.run([str(args.tool), "fork"], capture_output=True, text=True,
                                     check=True).stdout)
    rows, corpus_rows = [], []
    # One untimed read first: the first processes after a build ran measurably slower and noisier.
    python_measure(synthetic_inputs(args.data)[0][1], "iter", "auto", 2)
    for label, path, named in synthetic_inputs(args.data):
        if args.only and args.only not in label:
            continue
        rows.append(run_input(label, path, named, args.runs, args.tool, args.zlib_tool))
        print(json.dumps(rows[-1]), flush=True)
    if args.corpus.is_dir() and not args.only:
        for label, path, named in corpus_inputs(args.corpus):
            corpus_rows.append(run_input(label, path, named, args.runs, args.tool, args.zlib_tool))
            print(json.dumps(corpus_rows[-1]), flush=True)
    if args.no_report or args.only:
        return
    floors = reader_floors.run(rows, corpus_rows, args.runs, args.tool, measure, log,
                               [sys.executable, str(HERE / "run.py"), "--child"])
    if args.part == "reader":
        sections = {"floors": reader_floors.lines(rows, corpus_rows, floors),
                    "volume": other_sections(HERE / "README.md"), "litematica": "", "writing": ""}
        chart(rows + biggest_corpus_rows(corpus_rows), HERE / "blocks_per_second.png")
        (HERE / "README.md").write_text(report(rows, corpus_rows, fork, started, load_before,
                                               args.runs, sections))
        print(f"wrote the exact reader's parts of {HERE / 'README.md'}")
        return
    load_now = os.getloadavg()[0]
    volume = volume_bench.run(args.data, args.corpus, args.runs, args.tool, measure, log)
    litematic_rows = litematica.run(args.corpus.parent / "litematic", args.runs, args.tool,
                                    measure, log)
    written = writing.run(args.data, args.corpus, args.tool, log)
    sections = {"floors": reader_floors.lines(rows, corpus_rows, floors),
                "volume": volume_report.section(volume, rows + corpus_rows, load_now, args.runs),
                "litematica": litematica.section(litematic_rows),
                "writing": writing.section(written)}
    chart(rows + biggest_corpus_rows(corpus_rows), HERE / "blocks_per_second.png")
    (HERE / "README.md").write_text(report(rows, corpus_rows, fork, started, load_before,
                                           args.runs, sections))
    print(f"wrote {HERE / 'README.md'}")


if __name__ == "__main__":
    main()
