"""How many of the worker pool's threads a call uses, and the pool's controller for threadpoolctl.

The pool's size is fixed when it starts (README, Threads); what changes at run time is a
process-wide limit on how many of its workers one pass over a matrix uses. The native side keeps
it (``_arrays.thread_limit``) and exports it to C as ``brenix_kernels_get_num_threads`` and
``brenix_kernels_set_num_threads``, which threadpoolctl's controller calls. Nothing here imports
NumPy or starts a thread.
"""

import operator
import warnings

from . import _arrays

__all__ = ["get_num_threads", "set_num_threads", "threads"]


def _count(n):
    """n as a thread count (an integer >= 1), or TypeError / ValueError."""
    if isinstance(n, bool):  # an int to Python, but never meant as a count
        raise TypeError("the number of threads must be an integer, not bool")
    try:
        n = operator.index(n)
    except TypeError:
        raise TypeError(f"the number of threads must be an integer, not "
                        f"{type(n).__name__}") from None
    if n < 1:
        raise ValueError(f"the number of threads must be at least 1, not {n}")
    return min(n, 2**63)  # clamped below anyway: no pool has that many


def get_num_threads():
    """How many of the worker pool's threads one call may use.

    Returns
    -------
    int
        The limit set by :func:`set_num_threads` or :func:`threads`, or the pool's size when
        none is set.

    Examples
    --------
    >>> import brenix_kernels as bk
    >>> bk.get_num_threads() >= 1
    True
    """
    return _arrays.thread_limit()


def set_num_threads(n):
    """Limit every later call, from any Python thread, to ``n`` of the pool's workers.

    The limit is process-wide, as threadpoolctl expects of a thread pool: a call started in one
    Python thread uses the limit in force as each of its passes starts, and results never depend
    on it. The pool's size stays what the environment set (README, Threads); ``n`` above it
    means all of it. With ``n = 1`` one worker runs the pieces of a call one after another while
    the calling thread waits, as it waits for the workers of any call.

    Parameters
    ----------
    n : int
        At least 1; more than the pool's size is taken as the pool's size.

    Returns
    -------
    None

    Raises
    ------
    TypeError
        If ``n`` is not an integer (``bool`` included).
    ValueError
        If ``n`` is less than 1.

    Examples
    --------
    >>> import brenix_kernels as bk
    >>> previous = bk.get_num_threads()
    >>> bk.set_num_threads(1)
    >>> bk.get_num_threads()
    1
    >>> bk.set_num_threads(previous)
    """
    _arrays.set_thread_limit(_count(n))


class threads:
    """Context manager: calls made inside use at most ``n`` of the pool's workers.

    It sets the limit on entry, as :func:`set_num_threads` does (process-wide, clamped to the
    pool's size), and puts back the limit it found on exit, also when the block raises. The
    limit is the process's, not the thread's: blocks that overlap in several Python threads
    each put back what they found, which may be another block's limit, so set it from one
    thread (calls running meanwhile are never harmed: any limit gives the same bits).

    Parameters
    ----------
    n : int
        At least 1; more than the pool's size is taken as the pool's size.

    Returns
    -------
    threads
        ``with`` gives the limit in force inside the block (``n`` clamped to the pool's size).

    Raises
    ------
    TypeError
        If ``n`` is not an integer (``bool`` included), when the manager is made.
    ValueError
        If ``n`` is less than 1, when the manager is made.

    Examples
    --------
    >>> import numpy as np
    >>> import brenix_kernels as bk
    >>> x = np.log1p(np.arange(12.0).reshape(4, 3))
    >>> with bk.threads(1) as n:
    ...     means, variances = bk.mean_var(x)
    >>> n
    1
    """

    def __init__(self, n):
        self._n = _count(n)
        self._previous = []  # a stack, so that one manager may be entered again inside itself

    def __enter__(self):
        self._previous.append(_arrays.thread_limit())
        return _arrays.set_thread_limit(self._n)

    def __exit__(self, *exc_info):
        _arrays.set_thread_limit(self._previous.pop())
        return False


# --- threadpoolctl -------------------------------------------------------------------------------

_GET, _SET = "brenix_kernels_get_num_threads", "brenix_kernels_set_num_threads"


def register_controller(threadpoolctl):
    """Tell threadpoolctl (the module, imported) how to find and limit the pool.

    threadpoolctl lists the shared objects the process has loaded and takes each whose file name
    starts with a controller's prefix and that exports one of its symbols; the pool is in the
    shared object of ``_core``, which importing this module loads, so that the pool is listed
    from now on. A threadpoolctl without ``register`` is left as it is.
    """
    register = getattr(threadpoolctl, "register", None)
    base = getattr(threadpoolctl, "LibController", None)
    if register is None or base is None:
        return
    try:
        register(_controller_class(base))
    except Exception as error:  # the pool unlisted is better than a failed import of threadpoolctl
        warnings.warn(f"brenix_kernels could not register its thread pool with threadpoolctl: "
                      f"{error!r}", RuntimeWarning, stacklevel=2)


def _controller_class(base):
    class BrenixController(base):
        user_api = "brenix_kernels"
        internal_api = "brenix"
        # The file is _core.<ABI tag>.so, a name other packages' extensions have too: the
        # exported symbols tell ours (threadpoolctl makes a controller before it checks them,
        # so get_version must work on any file).
        filename_prefixes = ("_core.",)
        check_symbols = (_GET, _SET)

        def get_num_threads(self):
            get = getattr(self.dynlib, _GET, None)
            return None if get is None else get()

        def set_num_threads(self, num_threads):
            set_ = getattr(self.dynlib, _SET, None)
            if set_ is not None:
                set_(min(num_threads, 2**31 - 1))  # a C int; the C function clamps again

        def get_version(self):
            from . import __version__

            return __version__

    return BrenixController
