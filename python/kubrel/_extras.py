"""Imports of the optional libraries behind the command and the collection jobs.

`import kubrel` needs only NumPy; everything else comes with an extra of the distribution. A missing
library is reported with the `pip install` that brings it, not with a bare ImportError."""

import importlib
import os

# The extra of the distribution that installs each optional top-level module.
EXTRA_OF_MODULE = {
    "click": "cli",
    "rich": "cli",
    "pyarrow": "cli",
    "zarr": "cli",
    "PIL": "cli",
    "dask": "dask",
    "distributed": "dask",
}


class MissingExtra(ImportError):
    """An optional library is not installed; the message names the `pip install` that brings it."""


def require(module):
    """Imports and returns `module` (dotted names allowed), or raises MissingExtra."""
    top = module.partition(".")[0]
    try:
        return importlib.import_module(module)
    except ImportError as error:
        extra = EXTRA_OF_MODULE[top]
        raise MissingExtra(
            f"this needs {top}, which is not installed: pip install 'kubrel[{extra}]'"
        ) from error


def error_text(error):
    """The one-line message of a reading error, without the path (the caller shows it)."""
    if isinstance(error, OSError) and (error.strerror or error.errno):
        return error.strerror or os.strerror(error.errno)
    text = " ".join(str(error).split())
    if isinstance(error, ValueError) and text:
        return text
    # Anything else is not a verdict on the file; its type says where it came from.
    return f"{type(error).__name__}: {text}" if text else type(error).__name__
