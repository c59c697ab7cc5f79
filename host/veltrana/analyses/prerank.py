"""Preranked gene-set enrichment on the native `ranked` module.

The definitions are gseapy's prerank ones: the running score steps up by |score|^weight
(normalised over the set's genes) at the set's genes and down by 1/(genes outside it)
elsewhere; ES is its largest deviation from zero; the null draws, per permutation, as many
distinct random positions as the set has genes; NES divides ES by the mean of the
same-signed null scores; the nominal p is the share of same-signed null scores at least as
extreme; FDR q compares all sets' normalised null with the observed NES; the leading edge
is the set's genes up to the peak (from the peak on for a negative ES). The native module
scores a set from its sorted hit positions, without walking the ranking per permutation.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from veltrana.plugins import ranked


class NoGeneSetInRange(ValueError):
    """No gene set has the allowed number of the ranked genes."""


def checked_ranking(ranking: pd.Series) -> pd.Series:
    """The ranking sorted from the highest score down (ties keep their order); ValueError for
    scores that cannot be ranked or genes that appear twice."""
    if not isinstance(ranking, pd.Series):
        raise ValueError(f"the ranking must be a pandas Series of scores by gene, not {type(ranking).__name__}")
    scores = pd.to_numeric(ranking, errors="coerce").to_numpy(dtype=float)
    if len(scores) < 2:
        raise ValueError("the ranking needs at least two genes")
    if not np.isfinite(scores).all():
        bad = list(ranking.index[~np.isfinite(scores)][:5])
        raise ValueError(f"the ranking has missing or infinite scores (genes {bad})")
    genes = ranking.index.astype(str)
    if genes.has_duplicates:
        raise ValueError(f"the ranking names genes more than once: {list(genes[genes.duplicated()].unique()[:5])}")
    order = np.argsort(-scores, kind="stable")
    return pd.Series(scores[order], index=pd.Index(genes[order], name=ranking.index.name))


def gene_positions(genes: pd.Index, gene_sets: dict, min_size: int, max_size: int) -> dict[str, np.ndarray]:
    """Term -> sorted positions in the ranking of its genes, for the sets with min_size to
    max_size ranked genes (and some ranked gene outside them)."""
    where = {g: i for i, g in enumerate(genes)}
    kept = {}
    for term, members in gene_sets.items():
        hits = sorted({where[g] for g in set(map(str, members)) if g in where})
        if min_size <= len(hits) <= max_size and len(hits) < len(genes):
            kept[str(term)] = np.asarray(hits, dtype=np.int64)
    return kept


class Curves(Mapping):
    """Term -> {"RES": running score, "hits": positions}, drawn when asked for."""

    def __init__(self, metric: np.ndarray, hits: dict, weight: float):
        self._metric, self._hits, self._weight = metric, hits, weight

    def __getitem__(self, term):
        hits = self._hits[term]
        return {"RES": ranked.running_score(self._metric, hits, self._weight), "hits": hits.tolist()}

    def __iter__(self):
        return iter(self._hits)

    def __len__(self):
        return len(self._hits)


@dataclass
class Prerank:
    """A run's ranking, its table (gseapy's res2d columns) and the running scores."""
    ranking: pd.Series
    res2d: pd.DataFrame
    hits: dict = field(repr=False)
    weight: float = 1.0

    @property
    def results(self) -> Curves:
        return Curves(self.ranking.to_numpy(dtype=float), self.hits, self.weight)


def prerank(ranking: pd.Series, gene_sets: dict, permutations: int, seed: int, min_size: int = 15,
            max_size: int = 500, threads: int = 1, weight: float = 1.0) -> Prerank:
    """Scores every gene set with min_size to max_size genes of the ranking."""
    ranking = checked_ranking(ranking)
    if not 1 <= min_size <= max_size:
        raise ValueError(f"the set sizes must satisfy 1 <= min_size <= max_size, not {min_size}, {max_size}")
    hits = gene_positions(ranking.index, gene_sets, min_size, max_size)
    if not hits:
        raise NoGeneSetInRange(f"no gene set has {min_size} to {max_size} of the {len(ranking)} ranked genes")
    positions = np.concatenate(list(hits.values()))
    offsets = np.cumsum([0, *(len(h) for h in hits.values())]).astype(np.int64)
    found = ranked.prerank(ranking.to_numpy(dtype=float), positions, offsets, int(permutations), int(seed),
                           int(threads), float(weight))
    return Prerank(ranking, table(ranking, hits, found), hits, weight)


def table(ranking: pd.Series, hits: dict, found: dict) -> pd.DataFrame:
    """One row per set, by |NES| from the highest, as gseapy's res2d."""
    n, genes = len(ranking), ranking.index.to_numpy()
    rows = []
    for i, (term, h) in enumerate(hits.items()):
        peak, up = int(found["peak"][i]), found["es"][i] >= 0
        lead = h[h <= peak] if up else h[h >= peak][::-1]
        rows.append({"Term": term, "ES": found["es"][i], "NES": found["nes"][i], "NOM p-val": found["pval"][i],
                     "FDR q-val": found["fdr"][i], "Tag %": f"{len(lead)}/{len(h)}",
                     "Gene %": f"{((peak + 1) if up else (n - peak)) / n:.2%}",
                     "Lead_genes": ";".join(genes[lead])})
    frame = pd.DataFrame(rows)
    return frame.reindex(frame["NES"].abs().sort_values(ascending=False).index).reset_index(drop=True)
