"""Converting a collection: each schematic under the folders given written in one format under an
output folder, in the layout it had, by the runner's processes."""

import os

import kubrel
from kubrel._extras import error_text
from kubrel.collection.files import check_regular, collect, shown

# The suffix each writable format gives the files it writes.
SUFFIX = {"sponge": ".schem", "structure": ".nbt", "kbr": ".kbr", "litematic": ".litematic"}


def targets(paths, output, format):
    """(source, target, earlier) for every schematic under `paths`: a folder's files keep their
    path below it, below `output`; a file named on its own goes straight into `output`. Each
    target has the format's suffix in place of the source's. `earlier` is the source that
    already has the same target (castle.schem beside castle.nbt), else None: that file is not
    written, rather than written over the other's."""
    items, claimed = [], {}
    # An output folder inside a folder converted holds no sources: a second run would convert
    # the first one's targets.
    inside_output = os.path.realpath(output) + os.sep
    for path in paths:
        folder = os.path.isdir(path)
        for source in collect([path]):
            if folder and os.path.realpath(source).startswith(inside_output):
                continue
            below = os.path.relpath(source, path) if folder else os.path.basename(source)
            target = os.path.join(output, os.path.splitext(below)[0] + SUFFIX[format])
            key = os.path.normcase(os.path.abspath(target))
            items.append((source, target, claimed.get(key)))
            claimed.setdefault(key, source)
    return items


def up_to_date(source, target):
    """Whether `target` exists and was written after `source` last changed: a run that stopped
    midway then does only what it had not done yet."""
    try:
        return os.stat(target).st_mtime_ns >= os.stat(source).st_mtime_ns
    except OSError:
        return False


def convert_one(pair, options):
    """("written" | "kept" | "error", source, target, what: the parts the format could not hold
    or the error's message) for one item of targets(); never raises for the file's own faults.
    `options` go to Volume.save, with "resume" to keep a target that is up to date."""
    source, target, earlier = pair
    if earlier is not None:
        return ("error", shown(source), shown(target), f"also the target of {shown(earlier)}")
    options = dict(options)
    if options.pop("resume") and up_to_date(source, target):
        return ("kept", shown(source), shown(target), "")
    try:
        check_regular(source)
        if os.path.exists(target) and os.path.samefile(source, target):
            raise ValueError("the target is the source itself")
        volume = kubrel.load(source)
        os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        written = volume.save(target, **options)
    except (OSError, ValueError) as error:
        return ("error", shown(source), shown(target), error_text(error))
    left_out = list(written.get("not_kept", ()))
    if written["block_entities"] or written["entities"]:
        left_out.insert(0, f"{written['block_entities']} block entities and {written['entities']} entities")
    return ("written", shown(source), shown(target), "left out " + "; ".join(left_out) if left_out else "")


def lost(pair, reason):
    """The result of a file whose reading ended the process that read it."""
    source, target, _earlier = pair
    return ("error", shown(source), shown(target), reason)
