"""Writes the intersphinx inventories of docs/_inventories: the objects of other projects that
these pages refer to, with their addresses in those projects' documentation (conf.py has the base
addresses). The documentation builds without a network, so the inventories are kept here rather
than downloaded; add an object below when a page refers to a new one, and run

    pip install sphobjinv && python docs/_inventories/make_inventories.py
"""

from pathlib import Path

import sphobjinv as soi

# project: (version, [(name, role, address within its documentation; "$" stands for the name)])
OBJECTS = {
    "numpy": ("2", [
        ("numpy.ndarray", "class", "reference/generated/numpy.ndarray.html#$"),
        ("numpy.lib.format.open_memmap", "function",
         "reference/generated/numpy.lib.format.open_memmap.html#$"),
    ]),
    "scipy": ("1", [
        *((f"scipy.sparse.{name}", "class", f"reference/generated/scipy.sparse.{name}.html#$")
          for name in ("csr_matrix", "csr_array", "csc_matrix", "csc_array")),
        ("scipy.sparse.csr_matrix.sum_duplicates", "method",
         "reference/generated/scipy.sparse.csr_matrix.sum_duplicates.html#$"),
    ]),
    "pandas": ("2", [
        ("pandas.DataFrame", "class", "reference/api/pandas.DataFrame.html#$"),
        ("pandas.Categorical", "class", "reference/api/pandas.Categorical.html#$"),
    ]),
    "anndata": ("0.12", [
        ("anndata.AnnData", "class", "generated/anndata.AnnData.html#$"),
        ("anndata.io.read_h5ad", "function", "generated/anndata.io.read_h5ad.html#$"),
        ("anndata.io.sparse_dataset", "function", "generated/anndata.io.sparse_dataset.html#$"),
    ]),
    "dask": ("2025", [
        ("dask.array.Array", "class", "generated/dask.array.Array.html#$"),
        ("dask.array.from_zarr", "function", "generated/dask.array.from_zarr.html#$"),
    ]),
}


def main():
    here = Path(__file__).parent
    for project, (version, objects) in OBJECTS.items():
        inventory = soi.Inventory()
        inventory.project, inventory.version = project, version
        inventory.objects.extend(soi.DataObjStr(name=name, domain="py", role=role, priority="1",
                                                uri=uri, dispname="-")
                                 for name, role, uri in objects)
        soi.writebytes(here / f"{project}.inv", soi.compress(inventory.data_file(contract=True)))


if __name__ == "__main__":
    main()
