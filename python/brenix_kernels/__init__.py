"""Native per-gene kernels for single-cell expression matrices.

The functions to call are :func:`hvg_seurat_stats`, :func:`mean_var` and :func:`scale`: they take
dense NumPy arrays, SciPy CSR and CSC matrices (and hand dask arrays to
:mod:`brenix_kernels.dask`, extra ``dask``). :func:`variable_genes` selects genes from their
statistics as R Seurat does (extra ``selection``), and :func:`plot_variable_genes` draws its table
(extra ``plot``). :mod:`brenix_kernels._core` is the low-level
layer under them: four functions over a dense array or a CSR matrix's int64 ``indices`` and
``data``. All of them run on one pool of worker threads per process: :func:`threads`,
:func:`set_num_threads` and :func:`get_num_threads` limit how many of its workers a call uses, and
threadpoolctl, when imported, lists the pool and limits it too.

A sparse matrix whose stored entries do not fit its shape raises :class:`InvalidEntriesError`, a
ValueError, from every public function, whether the matrix is in memory, in a dask array or in a
file.
"""

import importlib.abc
import importlib.machinery
import importlib.metadata
import importlib.util
import sys
from typing import TYPE_CHECKING

from ._errors import InvalidEntriesError

if TYPE_CHECKING:
    from ._plot import plot_variable_genes
    from ._public import hvg_seurat_stats, mean_var, scale, vst_stats
    from ._selection import variable_genes
    from ._threads import get_num_threads, set_num_threads, threads

__all__ = ["hvg_seurat_stats", "mean_var", "scale", "vst_stats", "variable_genes",
           "plot_variable_genes", "threads", "get_num_threads", "set_num_threads",
           "InvalidEntriesError"]

# The module each public name lives in (the others: _public).
_HOMES = {"variable_genes": "_selection", "plot_variable_genes": "_plot", "threads": "_threads",
          "get_num_threads": "_threads", "set_num_threads": "_threads"}

# The one version is the project's, in pyproject.toml; an installed package
# carries it in its metadata.
try:
    __version__ = importlib.metadata.version(__name__)
except importlib.metadata.PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"


# The public functions are imported on first use, not with the package: `import
# brenix_kernels._core` loads no NumPy (the module's own promise), and would if this file did.
def __getattr__(name):
    if name in __all__:
        home = importlib.import_module(f"{__name__}.{_HOMES.get(name, '_public')}")
        value = getattr(home, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))


class _BlocksFinder(importlib.abc.MetaPathFinder):
    """Finds ``brenix_kernels._blocks`` and ``brenix_kernels._arrays``, whose init functions are in
    the shared object of ``_core``.

    The modules share one object file so that they share one worker pool; the interpreter loads
    a second module from an already loaded shared object by its own init function, given a loader
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


def _register_pool(threadpoolctl):
    try:
        from . import _threads
    except ImportError:  # the extension does not load here (a sub-interpreter): no pool to list
        return
    _threads.register_controller(threadpoolctl)


class _RegisterWithThreadpoolctl(importlib.abc.MetaPathFinder):
    """Registers the pool's controller with threadpoolctl (``_threads.register_controller``) once
    threadpoolctl has been imported.

    Importing threadpoolctl with the package would add its own import (ctypes, dataclasses,
    inspect) to every import of this one, used or not. This finder only amends the file loader
    that imports threadpoolctl so that the controller is registered once the module has run. A
    threadpoolctl that another finder loads (from a zip file, say) is imported unamended.
    """

    def __init__(self):
        self.used = False

    def find_spec(self, fullname, path=None, target=None):
        if fullname != "threadpoolctl" or self.used:
            return None
        found = importlib.machinery.PathFinder.find_spec(fullname, path)
        loader = found.loader if found is not None else None
        if not isinstance(loader, importlib.machinery.SourceFileLoader |
                          importlib.machinery.SourcelessFileLoader):
            return None
        self.used = True
        run = loader.exec_module

        def exec_module(module):
            run(module)
            # Not in find_spec: the import system is walking sys.meta_path then.
            if self in sys.meta_path:
                sys.meta_path.remove(self)
            _register_pool(module)

        loader.exec_module = exec_module  # this loader object serves this one import
        return found


if "threadpoolctl" in sys.modules:
    _register_pool(sys.modules["threadpoolctl"])
elif not any(isinstance(finder, _RegisterWithThreadpoolctl) for finder in sys.meta_path):
    sys.meta_path.insert(0, _RegisterWithThreadpoolctl())
