"""Runs the array side of the benchmark: kubrel.load(), its floor in the core tool, the peer
pipelines of peers.py and reads on threads, each in fresh processes (volume_children.py). What
is absent (the kubrel package, a mode of the core tool) is recorded as absent, not measured.
"""

import pathlib
import subprocess
import sys

import peers
from measuring import child_result

HERE = pathlib.Path(__file__).resolve().parent
CHILD = HERE / "volume_children.py"
# A per-position loop over a large input takes tens of seconds: one run of it shows where it
# stands. A NumPy pipeline runs three times, unless its first run (the one that also reports what
# it read) already takes longer than SLOW_SECONDS.
LOOP_RUNS = 1
NUMPY_RUNS = 3
SLOW_SECONDS = 5.0
THREAD_FILES = 8


def volume_inputs(data, corpus):
    """The generated terrain and structure, and the largest real Sponge and structure files."""
    found = [("Sponge terrain v2 (flat)", data / "terrain_v2.schem"),
             ("Mojang structure 64^3", data / "structure.nbt")]
    for kind in ("sponge", "structure"):
        files = sorted((p for p in (corpus / kind).glob("*") if p.is_file()),
                       key=lambda p: p.stat().st_size) if (corpus / kind).is_dir() else []
        if files:
            found.append((f"{kind}/{files[-1].name}", files[-1]))
    return found


def tool_modes(tool):
    """The modes the core tool's usage line names (the tool prints it for no arguments)."""
    if not tool.exists():
        return set()
    done = subprocess.run([str(tool)], capture_output=True, text=True)
    words = done.stderr.replace("|", " ").split()
    return {w for w in words if w.replace("-", "").replace("_", "").isalpha()}


def floor_mode(modes):
    """The core tool's mode for the load floor: a floor that is not the writer's, a load floor
    first."""
    floors = sorted(m for m in modes if "floor" in m.lower() and "writ" not in m.lower())
    return next((m for m in floors if "load" in m.lower()), floors[0] if floors else None)


def child(*args):
    return [sys.executable, str(CHILD), *map(str, args)]


def run_input(label, path, runs, tool, modes, measure):
    """modes: the core tool's modes that apply (the load floor, the core's own volume load)."""
    row = {"label": label, "path": str(path), "peers": {}}
    row["reference"] = child_result(child("reference", path))
    row["load"] = measure(child("load", path, 0), runs, first=child("load", path, 1))
    for key, mode in modes.items():
        if mode is None:
            row[key] = {"absent": f"no {key} mode in the core tool"}
        elif key == "floor" and path.suffix != ".schem":
            row[key] = None  # the floor decodes Sponge ids only
        else:
            row[key] = measure([str(tool), mode, str(path)], runs)
    for name, (_, pipeline, _) in peers.PEERS.items():
        row["peers"][name] = measure_peer(name, pipeline, path, runs, measure)
    return row


def measure_peer(name, pipeline, path, runs, measure):
    checked = measure(child("peer", name, path, 1), 1)
    count = LOOP_RUNS if pipeline == "loop" else min(NUMPY_RUNS, runs)
    if count == 1 or "seconds" not in checked or checked["seconds"] > SLOW_SECONDS:
        return checked
    timed = measure(child("peer", name, path, 0), count)
    return {**timed, **{k: v for k, v in checked.items() if k in ("nonair", "digest")}}


def run_threads(data):
    """The flat and nested terrains, alternately, as eight files for each API."""
    paths = [data / ("terrain_v2.schem" if n % 2 == 0 else "terrain_v3.schem")
             for n in range(THREAD_FILES)]
    return {api: child_result(child("threads", api, *paths)) for api in ("iter", "load")}


def run(data, corpus, runs, tool, measure, log):
    available = tool_modes(tool)
    modes = {"floor": floor_mode(available), "core": "volume" if "volume" in available else None}
    rows = []
    for label, path in volume_inputs(data, corpus):
        rows.append(run_input(label, path, runs, tool, modes, measure))
        log(rows[-1])
    threads = run_threads(data)
    log(threads)
    return {"rows": rows, "threads": threads, "floor_mode": modes["floor"]}
