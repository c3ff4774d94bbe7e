"""Native per-gene kernels for single-cell expression matrices.

The functions live in :mod:`brenix_kernels._core`; see its docstrings.
"""
