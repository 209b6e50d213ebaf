"""Jobs over whole collections of schematics, in local processes or on a Dask cluster: `scan`
(one row per file, to Parquet), `scan_worlds` (block counts of world saves, to Parquet) and
`build_dataset` (windows for learning, to Zarr). They need the
`cli` extra (pyarrow, zarr), and a cluster needs the `dask` extra."""

from kubrel.collection.dataset import build_dataset
from kubrel.collection.scan import scan
from kubrel.collection.world_scan import scan_worlds

__all__ = ["build_dataset", "scan", "scan_worlds"]
