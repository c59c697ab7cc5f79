"""Benchmark: reading a search engine's protein table against the plain text matrix of the same values.

A DIA-NN protein-group matrix (8,000 protein groups x 500 runs by default: five annotation columns,
raw intensities with six significant digits, 20 % zeros) is read as the dashboard reads it (the
run columns parsed, zeros missing, log2) and, as the reference, the same intensities written as a
plain matrix read by the strict loader. Both in this process, interleaved; the two matrices must
hold the same values (log2 of the plain one). Prints medians and the ratio ours / reference.

    PYTHONPATH=host python3 bench/instrument_files.py [--proteins N] [--runs N] [--repeats N]
"""

import argparse
import os
import statistics
import tempfile
import time

import numpy as np

from veltrana.study import instruments, loader


def write(folder: str, proteins: int, runs: int) -> tuple[str, str]:
    rng = np.random.default_rng(1)
    values = np.exp(rng.normal(15, 2, (proteins, runs))) * (rng.random((proteins, runs)) > 0.2)
    names = [f"/data/plasma/run_{i:04d}.raw" for i in range(runs)]
    cells = [[f"{v:.6g}" if v else "0" for v in row] for row in values]
    engine, plain = os.path.join(folder, "report.pg_matrix.tsv"), os.path.join(folder, "plain.tsv")
    with open(engine, "w") as fh:
        fh.write("\t".join(["Protein.Group", "Protein.Ids", "Protein.Names", "Genes", "First.Protein.Description",
                            *names]) + "\n")
        for i, row in enumerate(cells):
            fh.write("\t".join([f"P{i:05d}", f"P{i:05d}", f"PROT{i}_HUMAN", f"G{i}", "a protein", *row]) + "\n")
    with open(plain, "w") as fh:
        fh.write("\t".join(["Feature", *[f"run_{i:04d}" for i in range(runs)]]) + "\n")
        for i, row in enumerate(cells):
            fh.write("\t".join([f"P{i:05d}", *row]) + "\n")
    return engine, plain


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--proteins", type=int, default=8000)
    parser.add_argument("--runs", type=int, default=500)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        engine, plain = write(folder, args.proteins, args.runs)
        ours, reference = [], []
        for _ in range(args.repeats):
            start = time.perf_counter()
            read = instruments._read(engine).matrix  # not the kept reading: a parse each time
            ours.append(time.perf_counter() - start)
            start = time.perf_counter()
            base = loader.read_expression(plain)
            reference.append(time.perf_counter() - start)
        with np.errstate(divide="ignore"):
            expected = np.log2(np.where(base.to_numpy() == 0, np.nan, base.to_numpy()))
        assert np.array_equal(read.to_numpy(), expected, equal_nan=True), "the readings differ"
        a, b = statistics.median(ours), statistics.median(reference)
        print(f"DIA-NN pg_matrix {args.proteins} x {args.runs}: {a:.2f} s; plain matrix of the same values "
              f"(strict loader): {b:.2f} s; ours / reference = {a / b:.2f}")


if __name__ == "__main__":
    main()
