"""Native per-gene kernels for single-cell expression matrices.

The functions live in :mod:`brenix_kernels._core`; see its docstrings.
:mod:`brenix_kernels.dask` (extra ``dask``) runs them over chunked arrays.
"""

import importlib.abc
import importlib.machinery
import importlib.metadata
import importlib.util
import sys

# The one version is the project's, in pyproject.toml; an installed package
# carries it in its metadata.
try:
    __version__ = importlib.metadata.version(__name__)
except importlib.metadata.PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"


class _BlocksFinder(importlib.abc.MetaPathFinder):
    """Finds ``brenix_kernels._blocks`` and ``._arrays``, whose init functions are in the shared object of ``_core``.

    The modules share one object file so that they share one worker pool; the interpreter loads
    a further module from an already loaded shared object by its own init function, given a loader
    that points there.
    """

    def find_spec(self, fullname, path=None, target=None):
        if fullname not in (__name__ + "._blocks", __name__ + "._arrays"):
            return None
        core = importlib.util.find_spec(__name__ + "._core")
        if core is None or core.origin is None:
            return None
        loader = importlib.machinery.ExtensionFileLoader(fullname, core.origin)
        return importlib.util.spec_from_file_location(fullname, core.origin, loader=loader)


if not any(isinstance(finder, _BlocksFinder) for finder in sys.meta_path):
    sys.meta_path.append(_BlocksFinder())
