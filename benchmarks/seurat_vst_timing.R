# R Seurat's vst selection, timed once on a count matrix written as raw arrays.
#
#   Rscript benchmarks/seurat_vst_timing.R DIR
#
# DIR holds shape.txt (cells, genes, stored entries) and the CSR arrays of a cells x genes
# matrix as little-endian binaries: indptr.bin and indices.bin (int32), data.bin (float32).
# The same arrays are the CSC arrays of the genes x cells matrix Seurat takes, so they become a
# dgCMatrix without a transpose. Only FindVariableFeatures and the top-n_top ordering are timed,
# not reading or building the matrix. Writes DIR/seurat_vst.bin (mean, variance, expected
# variance, standardised variance, float64, one block of genes each; then the selected genes'
# 1-based positions in rank order, as float64) and prints the seconds and the package versions.
# Run it through seurat_vst_timing.py, which writes the arrays and compares the results.

args <- commandArgs(trailingOnly = TRUE)
if (length(args) < 1) stop("usage: seurat_vst_timing.R DIR [n_top]")
dir <- args[1]
n_top <- if (length(args) >= 2) as.integer(args[2]) else 2000L

suppressPackageStartupMessages({
  library(Matrix)
  library(Seurat)
})

shape <- scan(file.path(dir, "shape.txt"), what = numeric(), quiet = TRUE)
n_cells <- shape[1]
n_genes <- shape[2]
nnz <- shape[3]

read_raw <- function(name, what, n) {
  con <- file(file.path(dir, name), "rb")
  on.exit(close(con))
  readBin(con, what = what, n = n, size = 4, endian = "little")
}
p <- read_raw("indptr.bin", "integer", n_cells + 1)
i <- read_raw("indices.bin", "integer", nnz)
x <- read_raw("data.bin", "numeric", nnz)  # float32 read as double: the counts exactly
counts <- sparseMatrix(i = i, p = p, x = x, dims = c(n_genes, n_cells), index1 = FALSE,
                       dimnames = list(paste0("g", seq_len(n_genes)), paste0("c", seq_len(n_cells))))
rm(p, i, x)
invisible(gc())

start <- proc.time()[["elapsed"]]
hvf <- FindVariableFeatures(counts, selection.method = "vst", verbose = FALSE)
top <- head(order(hvf$vst.variance.standardized, decreasing = TRUE), n_top)
seconds <- proc.time()[["elapsed"]] - start

con <- file(file.path(dir, "seurat_vst.bin"), "wb")
writeBin(c(hvf$vst.mean, hvf$vst.variance, hvf$vst.variance.expected,
           hvf$vst.variance.standardized, as.numeric(top)), con, size = 8, endian = "little")
close(con)
cat(sprintf("seconds %.6f\n", seconds))
cat(sprintf("versions R %s, Seurat %s, Matrix %s\n", getRversion(), packageVersion("Seurat"),
            packageVersion("Matrix")))
