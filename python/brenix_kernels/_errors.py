"""The exception users catch for a matrix whose stored entries cannot be read, on every path.

The native modules raise their own ``PanicException`` (a BaseException, which ``_core`` documents
and keeps): the public functions and :mod:`brenix_kernels.dask` turn it into what is defined here
before it reaches their caller. This module imports nothing, so that the package can export the
class without loading NumPy.
"""

from __future__ import annotations


class InvalidEntriesError(ValueError):
    """The stored entries of a sparse matrix are inconsistent with its shape: a column index not
    below the number of columns, row pointers that point past the stored entries, or fewer
    indices than values.

    The message is the native code's, for the first bad entry in storage order (``index out of
    bounds: the len is 10 but the index is 12``). It is a ValueError, and an Exception, so that
    it passes between the processes of a dask cluster and ``except ValueError`` catches it.
    """


# Where users find it, and how tracebacks and pickles name it.
InvalidEntriesError.__module__ = "brenix_kernels"


def public_error(error: BaseException) -> BaseException | None:
    """What the public functions raise for an internal failure of the native modules, with its
    message; None for any other exception.

    A bad entry is the input's fault: InvalidEntriesError. "capacity overflow" is a size that no
    allocation can meet: MemoryError, as for any other allocation that fails. Anything else (a
    worker pool that could not start, ...) is a failure of the machinery, not of the input:
    RuntimeError.
    """
    cls = type(error)
    if cls.__name__ != "PanicException" or not cls.__module__.startswith("brenix_kernels."):
        return None
    if isinstance(error, InvalidEntriesError):
        return None
    message = str(error.args[0]) if error.args else "internal failure of the native code"
    if message.startswith("index out of bounds"):
        return InvalidEntriesError(message)
    if message.startswith("capacity overflow"):
        return MemoryError(message)
    return RuntimeError(message)


def reraise_public(error: BaseException) -> None:
    """Raises the public form of a native failure (without the native traceback's chain), or
    returns for any other exception, which the caller re-raises as it is."""
    public = public_error(error)
    if public is not None:
        raise public.with_traceback(error.__traceback__) from None
