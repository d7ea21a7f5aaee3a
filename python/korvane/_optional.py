"""Optional dependencies, imported when first needed.

`import korvane` needs nothing beyond the standard library and the native
module; the executor's libraries come with the package's extras. A missing
one raises `MissingDependency`, whose message is one line naming the extra
that brings it.
"""

from __future__ import annotations

import functools
import importlib
from types import ModuleType

# module -> (what pip calls it, the extra that installs it)
_EXTRAS = {
    "numpy": ("numpy", "run"),
    "numexpr": ("numexpr", "run"),
    "pandas": ("pandas", "run"),
    "pyarrow": ("pyarrow", "run"),
    "onnxruntime": ("onnxruntime", "run"),
    "dask": ("dask[distributed]", "dask"),
    "dask.dataframe": ("dask[distributed]", "dask"),
}


class MissingDependency(ImportError):
    """An optional library the call needs is not installed."""


def need(module: str) -> ModuleType:
    """`module`, imported; `MissingDependency` if it is not installed."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package, extra = _EXTRAS.get(module, (module, "run"))
        raise MissingDependency(
            f"korvane: {package} is not installed; install the extra: pip install 'korvane_core[{extra}]'"
        ) from None


@functools.cache
def have(module: str) -> bool:
    """Whether `module` can be imported (asked once per process: a failed import is not cached by Python)."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
