"""
Preranked gene-set enrichment: scores, permutation null, NES, p and FDR.
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def prerank(metric: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], positions: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], offsets: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], permutations: int, seed: int, threads: int = 1, weight: float = 1.0) -> dict:
    """
    Scores each gene set of a ranking (scores sorted from the highest down; set s at
    positions[offsets[s]:offsets[s + 1]], increasing). Returns a dict of arrays, one
    value per set: es, nes, pval, fdr, leading_edge (genes of the set up to the peak)
    and peak (the position where the running score peaks). The null draws the set's
    size of distinct random positions per permutation, from a generator seeded by the
    seed and the set's index: the numbers do not depend on `threads`.
    """

def running_score(metric: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], hits: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], weight: float = 1.0) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
    """
    The running enrichment score at every position of the ranking for one set.
    """
