"""Writes the counts that make_reference.R reads: a small seeded matrix with the awkward genes
every gene selection has to get right.

    python tests/seurat/make_data.py    # counts.mtx.gz, genes.txt, batches.txt in this folder

Cells are rows (the package's orientation); R transposes. Gene names are unpadded ("g1" ...)
so that R's ordering of names by string comparison ("g391" before "g79") is exercised.
"""

import gzip
from pathlib import Path

import numpy as np
import scipy.io
import scipy.sparse as sp

N_CELLS, N_GENES = 300, 500
HERE = Path(__file__).resolve().parent


def counts() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(20261208)
    batches = rng.integers(0, 3, N_CELLS)
    # Library sizes vary over cells and genes' means span four orders of magnitude, so the
    # mean-variance trend has a shape worth fitting.
    size = rng.lognormal(0.0, 0.4, N_CELLS)
    mu = 10 ** rng.uniform(-2.5, 1.5, N_GENES)
    shape = rng.uniform(0.3, 8.0, N_GENES)  # negative binomial dispersion per gene
    lam = rng.gamma(shape, (mu / shape)[None, :] * size[:, None])
    X = rng.poisson(lam).astype(np.float64)
    X[:, 0] = 0                       # g1: all zero
    X[:, 1] = 3                       # g2: constant, nonzero
    X[batches == 0, 2] = 0            # g3: all zero in batch 0 alone
    X[:, 3] = 0                       # g4: one huge count in one cell: its standardised
    X[7, 3] = 400                     #     value reaches the clip
    X[rng.random(N_CELLS) < 0.1, 3] = 1
    X[[11, 12], 4] = 1                # g5: nearly empty
    X[:, 5] = X[:, 6]                 # g6, g7: identical genes tie in every statistic
    return X, batches


def main() -> None:
    X, batches = counts()
    with gzip.GzipFile(HERE / "counts.mtx.gz", "wb", mtime=0) as f:  # the same bytes each run
        scipy.io.mmwrite(f, sp.coo_matrix(X), field="integer")
    (HERE / "genes.txt").write_text("".join(f"g{j + 1}\n" for j in range(N_GENES)))
    (HERE / "batches.txt").write_text("".join(f"{b}\n" for b in batches))


if __name__ == "__main__":
    main()
