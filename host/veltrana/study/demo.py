"""A deterministic demo dataset, realistic in shape.

Writes into a folder:
- protein_log2r_20210811.txt: proteins (rows) by samples, log2 ratios, ~15 % missing;
- glycoform_log2r_20210811.txt: glycoforms GENE_site_glycan (rows) by samples;
- clinical_information3.txt: one row per sample, Tumor/Normal status, numerical and
  categorical phenotypes, vital status and day counts for survival analysis;
- annotation_<source>.txt: feature, gene and protein name per feature;
- user/database/enrichment/demo_pathways.gmt: a small gene-set library over the demo genes.

Features are named after human gene symbols of the shipped GO library, so its enrichment
and GSEA work on the demo; the genes of a few GO terms (PLANTED) differ between Tumor and
Normal, the rest at random.
"""

from __future__ import annotations

import os

import numpy as np
import pandas as pd

from veltrana.genesets import load_library

PROTEIN_FILE = "protein_log2r_20210811.txt"
GLYCOFORM_FILE = "glycoform_log2r_20210811.txt"
INFO_FILE = "clinical_information3.txt"
GMT_FILE = "demo_pathways.gmt"

_GLYCANS = ["HexNAc(4)Hex(5)NeuAc(2)", "HexNAc(4)Hex(5)Fuc(1)", "HexNAc(2)Hex(9)", "HexNAc(5)Hex(6)NeuAc(1)",
            "HexNAc(2)Hex(5)", "HexNAc(3)Hex(4)Fuc(1)"]
# GO terms whose genes go up (+1) or down (-1) in Tumor: sizes inside the tested 15-500, and
# no other tested term made mostly of their genes, so that they, not a near-copy, rank first.
PLANTED = {"mismatch repair (GO:0006298)": 1, "cell redox homeostasis (GO:0045454)": 1,
           "cellular senescence (GO:0090398)": -1}
_LIBRARY = "GO_Biological_Process_offline"
_PATHWAYS = ["Glycolysis", "Complement cascade", "ECM organisation", "N-glycan biosynthesis", "Cell cycle",
             "Immune response", "Lipid metabolism", "Coagulation", "Apoptosis", "Oxidative stress",
             "DNA repair", "Angiogenesis"]


def _gene_names(rng, n: int) -> tuple[list[str], np.ndarray]:
    """`n` protein ids named after real gene symbols and their planted direction (0: none).

    The planted terms' genes come first (at most a third of `n`), then other genes of the
    library at random; past the library's genes, symbols repeat as GENE_2, GENE_3 (the
    gene is the part before the first underscore). Rows are shuffled."""
    library = load_library(_LIBRARY)
    planted = {}
    for term, direction in PLANTED.items():
        for gene in library[term]:
            planted.setdefault(gene, direction)
    planted = dict(list(planted.items())[: n // 3])
    pool = sorted({g for genes in library.values() for g in genes if "_" not in g} - planted.keys())
    others = list(rng.permutation(pool)[: n - len(planted)])
    names = [*planted, *others]
    for copy in range(2, 2 + (n - len(names)) // len(pool) + 1):
        names += [f"{g}_{copy}" for g in pool[: n - len(names)]]
    direction = np.array([planted.get(g, 0) for g in names], dtype=float)
    order = rng.permutation(n)
    return [names[i] for i in order], direction[order]


def _effects(rng, n: int, n_diff: int, planted=None) -> np.ndarray:
    """Per-feature Tumor effects: the planted ones, and `n_diff` others at random."""
    effect = np.zeros(n) if planted is None else planted * rng.uniform(0.8, 1.6, size=n)
    free = np.flatnonzero(effect == 0)
    chosen = rng.choice(free, size=min(n_diff, len(free)), replace=False)
    effect[chosen] = rng.choice([-1, 1], size=len(chosen)) * rng.uniform(0.8, 2.0, size=len(chosen))
    return effect


def _patients(tumor) -> list[str]:
    """Patient ids: each tumour sample its own patient; normal samples are the
    matched normal tissue of tumour patients, so paired tests have pairs."""
    tumour_idx = np.flatnonzero(tumor == 1)
    ids, next_tumour = [""] * len(tumor), 0
    for rank, i in enumerate(tumour_idx):
        ids[i] = f"P{rank + 1:03d}"
    for i in np.flatnonzero(tumor == 0):
        ids[i] = ids[tumour_idx[next_tumour % len(tumour_idx)]] if len(tumour_idx) else f"N{i + 1:03d}"
        next_tumour += 1
    return ids


def _matrix(rng, features, samples, tumor, effect, missing):
    n_f, n_s = len(features), len(samples)
    base = rng.normal(0.0, 0.6, size=(n_f, 1))
    spread = rng.uniform(0.3, 0.9, size=(n_f, 1))
    values = base + spread * rng.normal(size=(n_f, n_s))
    values = values + effect[:, None] * tumor[None, :]
    # Low-abundance features go missing more often, as in real measurements.
    p_missing = np.clip(missing * (1.5 - (values - values.min()) / np.ptp(values)), 0, 0.9)
    values[rng.random(values.shape) < p_missing] = np.nan
    return pd.DataFrame(np.round(values, 4), index=pd.Index(features, name="Feature"), columns=samples)


def write_demo(folder, n_samples: int = 100, n_proteins: int = 3000, n_glycoforms: int = 1000,
               seed: int = 20210811) -> dict:
    """Writes the demo dataset into `folder` and returns its `my_paths` (out_dir = folder/results)."""
    rng = np.random.default_rng(seed)
    os.makedirs(folder, exist_ok=True)
    samples = [f"S{i:03d}" for i in range(1, n_samples + 1)]
    tumor = (np.arange(n_samples) % 5 < 3).astype(float)  # 60 % tumour
    rng.shuffle(tumor)

    genes, planted = _gene_names(rng, n_proteins)
    protein = _matrix(rng, genes, samples, tumor, _effects(rng, n_proteins, n_proteins // 10, planted), 0.15)
    glyco_genes = rng.choice(genes[: n_proteins // 3], size=n_glycoforms)
    glyco_ids = []
    for i, g in enumerate(glyco_genes):
        glyco_ids.append(f"{g}_N{50 + (i * 37) % 900}_{_GLYCANS[i % len(_GLYCANS)]}")
    glyco_ids = list(dict.fromkeys(glyco_ids))
    glycoform = _matrix(rng, glyco_ids, samples, tumor, _effects(rng, len(glyco_ids), len(glyco_ids) // 8), 0.15)

    status = np.where(tumor == 1, "Tumor", "Normal")
    age = np.round(rng.normal(62, 9, n_samples)).astype(int)
    ca = np.round(np.exp(rng.normal(3 + 1.2 * tumor, 0.7)), 1)
    tumor_size = np.where(tumor == 1, np.round(rng.gamma(4, 0.9, n_samples), 1), np.nan)
    stage = np.where(tumor == 1, rng.choice(["I", "II", "III", "IV"], n_samples, p=[.2, .35, .3, .15]), "NA")
    gender = rng.choice(["Female", "Male"], n_samples)
    smoking = rng.choice(["Never", "Former", "Current"], n_samples, p=[.5, .3, .2])
    hazard = 0.0008 * np.exp(0.9 * tumor + 0.02 * (age - 60))
    death_day = rng.exponential(1 / hazard)
    follow_up = rng.uniform(200, 2500, n_samples)
    deceased = death_day < follow_up
    info = pd.DataFrame({
        "Sample_ID": samples,
        "Pathological_Status": status,
        "Tumor_Stage(Categorical)": stage,
        "Gender(Categorical)": gender,
        "Smoking(Categorical)": smoking,
        "Age(Numerical)": age,
        "CA19-9(Numerical)": ca,
        "Tumor_Size(Numerical)": tumor_size,
        "BMI(Numerical)": np.round(rng.normal(26, 4, n_samples), 1),
        "Vital Status (at time of last contact)": np.where(deceased, "Deceased", "Living"),
        "Days between date collection and last contact": np.round(np.minimum(death_day, follow_up)).astype(int),
        "Days between date collection and death": np.where(deceased, np.round(death_day), np.nan),
        "Patient_ID": _patients(tumor),
    }).set_index(pd.Index(samples, name="Sample"))
    info = info.drop(columns="Sample_ID").assign(Sample_ID=samples)

    protein.to_csv(os.path.join(folder, PROTEIN_FILE), sep="\t")
    glycoform.to_csv(os.path.join(folder, GLYCOFORM_FILE), sep="\t")
    info.to_csv(os.path.join(folder, INFO_FILE), sep="\t")

    for source, ids in (("Protein", genes), ("Glycoform", glyco_ids)):
        annot = pd.DataFrame({"Feature": ids, "Gene": [i.split("_", 1)[0] for i in ids],
                              "Protein": [f"{i.split('_', 1)[0]} protein" for i in ids]})
        annot.to_csv(os.path.join(folder, f"annotation_{source}.txt"), sep="\t", index=False)

    out_dir = os.path.join(folder, "results")
    gmt_dir = os.path.join(out_dir, "user", "database", "enrichment")
    os.makedirs(gmt_dir, exist_ok=True)
    with open(os.path.join(gmt_dir, GMT_FILE), "w") as fh:
        for k, name in enumerate(_PATHWAYS):
            members = rng.choice(genes, size=min(len(genes), int(rng.integers(25, 80))), replace=False)
            fh.write("\t".join([name, f"demo pathway {k + 1}", *members]) + "\n")
    return paths_for(folder, out_dir)


def paths_for(folder, out_dir=None) -> dict:
    """The `my_paths` of a data folder laid out like the demo."""
    folder = os.path.abspath(folder)
    paths = {
        "expression": {"Protein": os.path.join(folder, PROTEIN_FILE),
                       "Glycoform": os.path.join(folder, GLYCOFORM_FILE)},
        "info": os.path.join(folder, INFO_FILE),
        "out_dir": os.path.abspath(out_dir or os.path.join(folder, "results")),
    }
    annotation = {s: os.path.join(folder, f"annotation_{s}.txt") for s in paths["expression"]}
    annotation = {s: p for s, p in annotation.items() if os.path.exists(p)}
    if annotation:
        paths["annotation"] = annotation
    return paths
