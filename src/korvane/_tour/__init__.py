"""The measured tour of `python -m korvane`: one small file per module.

Each file gives the workload its module exists for, the run on the native
module and the same work in plain Python, and a `run(quick)` that returns
what was computed and what it cost.  The bench scripts in bench/ import the
same workloads and plain-Python versions.  The native module is imported
inside `run`, so a missing one surfaces there as ImportError.
"""

import importlib

from korvane import NATIVE_MODULES

# Short name of each tour, in the order of korvane.NATIVE_MODULES.
TOURS = tuple(full.rsplit(".", 1)[1] for full, _ in NATIVE_MODULES)


def load(name):
    """The tour file of module `name` (a short name from TOURS)."""
    if name not in TOURS:
        raise KeyError(name)
    return importlib.import_module(f"{__name__}.{name}")
