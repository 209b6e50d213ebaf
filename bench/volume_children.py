"""One measurement of the array side of the benchmark, run by bench/run.py in a fresh process;
prints one JSON line.

  volume_children.py peer NAME PATH DIGEST   a peer pipeline of peers.py
  volume_children.py load PATH DIGEST        kubrel.load()
  volume_children.py reference PATH          the exact reader's blocks, as a digest
  volume_children.py threads API PATH...     the paths read on 1, 2 and 4 threads (API: iter, load)
  volume_children.py convert PATH DIR        PATH converted to KBR and back to Sponge v3 in DIR

DIGEST 1 adds the digest of what was read (digest.py), computed after the time and peak memory
were taken. A module that cannot be imported prints {"absent": "..."}.
"""

import importlib
import json
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import digest
import peers
from measuring import timed

THREADS = (1, 2, 4)
THREAD_REPEATS = 5


def import_or_report(name):
    try:
        return importlib.import_module(name)
    except ImportError as error:
        print(json.dumps({"absent": f"{name}: {error}"}))
        sys.exit(0)


def peer(name, path, with_digest):
    library, _, function = peers.PEERS[name]
    import_or_report("nbtlib" if library == "nbtlib" else "nbt.nbt")
    result, out = timed(function, path)
    if with_digest == "1":
        out.update(digest.of_result(result))
    return out


class NativeVolume:
    """The native module's dict seen as a volume: what is measured while the package's load() is
    not there yet."""

    def __init__(self, parts):
        self.blocks, self.palette = parts["blocks"], parts["palette"]


def loader():
    """kubrel.load, or the native module's load where the package has none yet: (function, how)."""
    kubrel = import_or_report("kubrel")
    if hasattr(kubrel, "load"):
        return kubrel.load, "kubrel.load"
    native = import_or_report("kubrel._native")
    return (lambda path: NativeVolume(native.load(path))), "kubrel._native.load"


def load(path, with_digest):
    function, how = loader()
    volume, out = timed(function, path)
    out["via"] = how
    out["array_bytes"] = int(volume.blocks.nbytes)
    out["positions"] = int(volume.blocks.size)
    if with_digest == "1":
        out.update(digest.of_volume(volume))
    return out


def threads(api, paths):
    """Seconds to read every path once on a pool of n threads, for each n (median of repeats)."""
    if api == "load":
        function, how = loader()

        def work(path):
            return function(path).blocks.size
    else:
        kubrel_rs, how = import_or_report("kubrel_rs"), "kubrel_rs"

        def work(path):
            count = 0
            with kubrel_rs.open(path) as reader:
                for bulk in reader.iter_bulks():
                    count += len(bulk)
            return count

    work(paths[0])  # the files into the page cache, the module's first-use costs paid
    out = {"files": len(paths), "via": how}
    for n in THREADS:
        runs = []
        for _ in range(THREAD_REPEATS):
            with ThreadPoolExecutor(max_workers=n) as pool:
                start = time.perf_counter()
                list(pool.map(work, paths))
                runs.append(time.perf_counter() - start)
        out[str(n)] = statistics.median(runs)
    return out


def convert(path, folder):
    """The round trip PATH -> KBR -> Sponge v3, each step timed (load and save together), the
    sizes of the KBR file and of the Sponge v3 file saved straight from PATH's volume, and
    whether the Sponge file read back holds the blocks PATH held. KBR holds no block entities or
    entities, so they are left out (and counted)."""
    kubrel = import_or_report("kubrel")
    stem = os.path.join(folder, "round_trip")
    try:
        dropped, out = timed(lambda: kubrel.convert(path, stem + ".kbr", drop_entities=True))
    except ValueError as error:
        return {"error": str(error)}
    _, back = timed(kubrel.convert, stem + ".kbr", stem + ".schem")
    source = kubrel.load(path)
    source.save(stem + "_direct.schem", drop_entities=True)
    return {"to_kbr": out["seconds"], "to_sponge": back["seconds"],
            "kbr_bytes": os.path.getsize(stem + ".kbr"),
            "sponge_bytes": os.path.getsize(stem + "_direct.schem"),
            "dropped": dropped["block_entities"] + dropped["entities"],
            "same": digest.of_volume(source) == digest.of_volume(kubrel.load(stem + ".schem"))}


def main(argv):
    mode = argv[0]
    if mode == "peer":
        out = peer(argv[1], argv[2], argv[3])
    elif mode == "load":
        out = load(argv[1], argv[2])
    elif mode == "reference":
        import_or_report("kubrel_rs")
        out = digest.of_reader(argv[1])
    elif mode == "threads":
        out = threads(argv[1], argv[2:])
    elif mode == "convert":
        out = convert(argv[1], argv[2])
    else:
        raise SystemExit(f"unknown mode {mode}")
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1:])
