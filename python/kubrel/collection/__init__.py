"""Jobs over whole collections of schematics, in local processes or on a Dask cluster: `scan`
(one row per file, to Parquet) and `build_dataset` (windows for learning, to Zarr). They need the
`cli` extra (pyarrow, zarr), and a cluster needs the `dask` extra."""

from kubrel.collection.dataset import build_dataset
from kubrel.collection.scan import scan

__all__ = ["build_dataset", "scan"]
