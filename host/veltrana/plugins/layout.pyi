"""The Veltrana dashboard page: card builders and build_layout."""



default_figure_height: int = 500

sample_expression_path: str = 'protein_log2r_20210811.txt'

sample_glycoform_path: str = 'glycoform_log2r_20210811.txt'

sample_information_path: str = 'clinical_information3.txt'

info_df: None = None

phenotypes: list = []

groups: list = []

default_phenotype: str = 'Pathological_Status'

def build_default_fig(height: object = 500) -> object:
    """
    An empty figure with 20-pixel margins on a LightSteelBlue paper, as placeholder.
    """

def build_dcc_store_card(paths: object | None) -> object:
    """
    The card of in-memory stores; `paths` becomes the data of the "Paths" store.
    """

def build_input_card() -> object:
    """The card that shows the data paths in use."""

def build_profile_control_card() -> object:
    """The phenotype picker."""

def build_profile_distr_card() -> object:
    """The distribution of the chosen phenotype."""

def build_profile_corr_card() -> object:
    """The correlation between phenotypes."""

def build_profile_card() -> object:
    """The profiling row: picker and two figures."""

def build_preproc_control_card() -> object:
    """Source picker, the four preprocessing settings and the refresh button."""

def build_preproc_figure_card() -> object:
    """The sample-distribution figure."""

def build_preprocess_card() -> object:
    """The preprocessing row: controls and figure."""

def build_qc_control_card() -> object:
    """Source and sample pickers."""

def build_qc_corr_card() -> object:
    """The sample correlation matrix."""

def build_qc_cv_card() -> object:
    """The histogram of coefficients of variation."""

def build_qc_card() -> object:
    """The quality-control row: pickers and two figures."""

def build_annotation_control_card() -> object:
    """The annotation source picker."""

def build_annotation_table_card() -> object:
    """The identification table, with a placeholder until a source is chosen."""

def build_annotation_card() -> object:
    """The annotation row: picker and table."""

def build_diff_control_card() -> object:
    """
    Sources, phenotype, test, thresholds and groups of the differential analysis, and its run button.
    """

def build_diff_volcano_card() -> object:
    """The volcano plot of one source's result."""

def build_diff_boxplot_card() -> object:
    """The box plot of one feature in both groups."""

def build_diff_card() -> object:
    """The differential-expression row: controls, volcano, box plot."""

def build_decomposition_control_card() -> object:
    """Sources and method of the decomposition, and its run button."""

def build_decomposition_figure_control_card() -> object:
    """The source and phenotype pickers of the PCA figures."""

def build_decomposition_figure_panels_card() -> object:
    """The PCA scores and variance-ratio figures."""

def build_decomposition_figure_card() -> object:
    """The right column: figure pickers above the two figures."""

def build_decomposition_card() -> object:
    """The decomposition row: controls and figures."""

def build_clustering_control_card() -> object:
    """
    Sources, phenotype and number of clusters of the feature clustering, and its run button.
    """

def build_clustering_figure_card() -> object:
    """The source picker and heatmap of the clustering result."""

def build_clustering_card() -> object:
    """The feature-clustering row: controls and heatmap."""

def build_association_control_card() -> object:
    """
    The association controls: source, phenotype, samples, feature set and the run button.
    """

def build_association_correlation_card() -> object:
    """The phenotype-feature correlation figure."""

def build_association_roc_card() -> object:
    """The feature picker and the ROC figure of one feature."""

def build_association_survival_card() -> object:
    """A Kaplan-Meier figure card (not placed on the page)."""

def build_association_figure_card() -> object:
    """The correlation and ROC cards side by side."""

def build_association_card() -> object:
    """The association row: controls and figures."""

def build_enrich_control_card() -> object:
    """
    The enrichment controls: data source, feature set and gene-set library.
    """

def build_enrich_ora_card() -> object:
    """The over-representation (ORA) figure."""

def build_enrich_gsea_card() -> object:
    """A GSEA figure card (not placed on the page)."""

def build_enrich_card() -> object:
    """The enrichment row: controls and the ORA figure."""

def build_genz_control_card() -> object:
    """
    Data source, phenotype and phenotype-group pickers of the glycosylation-enzymes card.
    """

def build_genz_figure_card() -> object:
    """
    The pathways and correlation-cluster figures of the glycosylation-enzymes card.
    """

def build_genz_card() -> object:
    """The glycosylation-enzymes card: pickers beside figures."""

def build_layout(paths: object | None = None) -> object:
    """
    The dashboard page: the store card (with `paths` as the "Paths" data), the input card and the analysis cards.
    """

def main() -> None:
    """Serve the bare page, without callbacks, in debug mode."""
