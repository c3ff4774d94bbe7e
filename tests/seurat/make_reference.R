# Writes R Seurat's gene selections on the counts make_data.py wrote, as the tables the tests
# compare against. Run from anywhere, after make_data.py:
#
#     Rscript tests/seurat/make_reference.R
#
# Every number is written with 17 significant digits, so that the tests read R's doubles back
# exactly. Gene names stay as given ("g1" ...): none holds an underscore, which Seurat would
# rename.
suppressPackageStartupMessages({
  library(Matrix)
  library(Seurat)
})

here <- local({
  arg <- grep("^--file=", commandArgs(trailingOnly = FALSE), value = TRUE)
  dirname(normalizePath(sub("^--file=", "", arg)))
})
path <- function(name) file.path(here, name)
num <- function(x) sprintf("%.17g", x)

N_VST <- 150     # genes selected by vst and by dispersion
N_BATCH <- 120   # genes selected in each batch (variable_genes takes one n_top for both)
N_INTEGRATE <- 120
N_INTEGRATE_MVP <- 60

genes <- readLines(path("genes.txt"))
batches <- as.integer(readLines(path("batches.txt")))
counts <- t(as(readMM(gzfile(path("counts.mtx.gz"))), "CsparseMatrix"))  # genes x cells
counts <- as(counts, "dgCMatrix")
dimnames(counts) <- list(genes, paste0("c", seq_len(ncol(counts))))

write_table <- function(df, name) {
  out <- data.frame(gene = rownames(df), lapply(df, num), check.names = FALSE)
  con <- gzfile(path(name), "w")
  write.table(out, con, sep = "\t", quote = FALSE, row.names = FALSE)
  close(con)
}
write_order <- function(features, name) writeLines(features, path(name))

new_object <- function(m) {
  suppressWarnings(CreateSeuratObject(counts = m, min.cells = 0, min.features = 0))
}

# vst on the counts, with the default clip (sqrt(n_cells), reached by g4) and a low one that
# many genes reach.
for (clip in list(list("auto", ""), list(4, "_clip4"))) {
  stats <- FindVariableFeatures(counts, selection.method = "vst", clip.max = clip[[1]],
                                verbose = FALSE)
  names(stats) <- sub("^vst\\.", "", names(stats))
  write_table(stats, paste0("vst", clip[[2]], ".tsv.gz"))
  obj <- FindVariableFeatures(new_object(counts), selection.method = "vst",
                              clip.max = clip[[1]], nfeatures = N_VST, verbose = FALSE)
  write_order(VariableFeatures(obj), paste0("vst", clip[[2]], "_selected.txt"))
}

# mean.var.plot and dispersion on R's log-normalised values, which are written too (in the
# order of the stored entries, cell by cell: the CSR order of the cells x genes counts), so that
# the tests feed exactly these doubles.
obj <- NormalizeData(new_object(counts), normalization.method = "LogNormalize",
                     scale.factor = 1e4, verbose = FALSE)
data <- GetAssayData(obj, slot = "data")
stopifnot(identical(data@i, counts@i), identical(data@p, counts@p))
con <- gzfile(path("lognorm_values.txt.gz"), "w")
writeLines(num(data@x), con)
close(con)
for (bins in list(list(20, ""), list(60, "_bins60"))) {
  stats <- FindVariableFeatures(data, selection.method = "mvp", num.bin = bins[[1]],
                                verbose = FALSE)
  names(stats) <- sub("^mvp\\.", "", names(stats))
  write_table(stats, paste0("mvp", bins[[2]], ".tsv.gz"))
  sel <- FindVariableFeatures(obj, selection.method = "mvp", num.bin = bins[[1]],
                              verbose = FALSE)
  write_order(VariableFeatures(sel), paste0("mvp", bins[[2]], "_selected.txt"))
}
sel <- FindVariableFeatures(obj, selection.method = "disp", nfeatures = N_VST, verbose = FALSE)
write_order(VariableFeatures(sel), "disp_selected.txt")

# Batches: vst within each batch, then the features chosen for integrating them.
objects <- lapply(sort(unique(batches)), function(b) {
  m <- counts[, batches == b]
  obj <- FindVariableFeatures(new_object(m), selection.method = "vst", nfeatures = N_BATCH,
                              verbose = FALSE)
  stats <- FindVariableFeatures(m, selection.method = "vst", verbose = FALSE)
  names(stats) <- sub("^vst\\.", "", names(stats))
  write_table(stats, sprintf("vst_batch%d.tsv.gz", b))
  write_order(VariableFeatures(obj), sprintf("vst_batch%d_selected.txt", b))
  obj
})
write_order(SelectIntegrationFeatures(objects, nfeatures = N_INTEGRATE, verbose = FALSE),
            "integration_selected.txt")
# The same with mean.var.plot in each batch, whose selections are all the genes within the
# cut-offs, however many.
objects <- lapply(sort(unique(batches)), function(b) {
  obj <- NormalizeData(new_object(counts[, batches == b]), verbose = FALSE)
  FindVariableFeatures(obj, selection.method = "mvp", verbose = FALSE)
})
write_order(SelectIntegrationFeatures(objects, nfeatures = N_INTEGRATE_MVP, verbose = FALSE),
            "integration_mvp_selected.txt")
writeLines(c(sprintf("R %s, Seurat %s, LC_COLLATE %s", getRversion(), packageVersion("Seurat"),
                     Sys.getlocale("LC_COLLATE")),
             sprintf("n_vst %d, n_batch %d, n_integrate %d, n_integrate_mvp %d", N_VST, N_BATCH,
                     N_INTEGRATE, N_INTEGRATE_MVP)),
           path("VERSIONS.txt"))
