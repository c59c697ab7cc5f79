"""The Veltrana dashboard page: card builders and build_layout."""

import dash.html
import plotly.graph_objects


default_figure_height: int = 500

sample_expression_path: str = 'protein_log2r_20210811.txt'

sample_glycoform_path: str = 'glycoform_log2r_20210811.txt'

sample_information_path: str = 'clinical_information3.txt'

info_df: None = None

phenotypes: list = []

groups: list = []

default_phenotype: str = 'Pathological_Status'

def build_default_fig(height: int | None = 500) -> plotly.graph_objects.Figure:
    """
    An empty figure with 20-pixel margins on a LightSteelBlue paper, as placeholder.
    """

def build_dcc_store_card(paths: dict[str, object] | None) -> dash.html.Div:
    """
    The card of in-memory stores; `paths` becomes the data of the "Paths" store.
    """

def build_input_card() -> dash.html.Div:
    """The card that shows the data paths in use."""

def build_profile_control_card() -> dash.html.Div:
    """The phenotype picker."""

def build_profile_distr_card() -> dash.html.Div:
    """The distribution of the chosen phenotype."""

def build_profile_corr_card() -> dash.html.Div:
    """The correlation between phenotypes."""

def build_profile_card() -> dash.html.Div:
    """The profiling row: picker and two figures."""

def build_preproc_control_card() -> dash.html.Div:
    """Source picker, the four preprocessing settings and the refresh button."""

def build_preproc_figure_card() -> dash.html.Div:
    """The sample-distribution figure."""

def build_preprocess_card() -> dash.html.Div:
    """The preprocessing row: controls and figure."""

def build_qc_control_card() -> dash.html.Div:
    """Source and sample pickers."""

def build_qc_corr_card() -> dash.html.Div:
    """The sample correlation matrix."""

def build_qc_cv_card() -> dash.html.Div:
    """The histogram of coefficients of variation."""

def build_qc_card() -> dash.html.Div:
    """The quality-control row: pickers and two figures."""

def build_annotation_control_card() -> dash.html.Div:
    """The annotation source picker."""

def build_annotation_table_card() -> dash.html.Div:
    """The identification table, with a placeholder until a source is chosen."""

def build_annotation_card() -> dash.html.Div:
    """The annotation row: picker and table."""

def build_diff_control_card() -> dash.html.Div:
    """
    Sources, phenotype, test, thresholds and groups of the differential analysis, and its run button.
    """

def build_diff_volcano_card() -> dash.html.Div:
    """The volcano plot of one source's result."""

def build_diff_boxplot_card() -> dash.html.Div:
    """The box plot of one feature in both groups."""

def build_diff_card() -> dash.html.Div:
    """The differential-expression row: controls, volcano, box plot."""

def build_decomposition_control_card() -> dash.html.Div:
    """Sources and method of the decomposition, and its run button."""

def build_decomposition_figure_control_card() -> dash.html.Div:
    """The source and phenotype pickers of the PCA figures."""

def build_decomposition_figure_panels_card() -> dash.html.Div:
    """The PCA scores and variance-ratio figures."""

def build_decomposition_figure_card() -> dash.html.Div:
    """The right column: figure pickers above the two figures."""

def build_decomposition_card() -> dash.html.Div:
    """The decomposition row: controls and figures."""

def build_clustering_control_card() -> dash.html.Div:
    """
    Sources, phenotype and number of clusters of the feature clustering, and its run button.
    """

def build_clustering_figure_card() -> dash.html.Div:
    """The source picker and heatmap of the clustering result."""

def build_clustering_card() -> dash.html.Div:
    """The feature-clustering row: controls and heatmap."""

def build_association_control_card() -> dash.html.Div:
    """
    The association controls: source, phenotype, samples, feature set and the run button.
    """

def build_association_correlation_card() -> dash.html.Div:
    """The phenotype-feature correlation figure."""

def build_association_roc_card() -> dash.html.Div:
    """The feature picker and the ROC figure of one feature."""

def build_association_survival_card() -> dash.html.Div:
    """A Kaplan-Meier figure card (not placed on the page)."""

def build_association_figure_card() -> dash.html.Div:
    """The correlation and ROC cards side by side."""

def build_association_card() -> dash.html.Div:
    """The association row: controls and figures."""

def build_enrich_control_card() -> dash.html.Div:
    """
    The enrichment controls: data source, feature set and gene-set library.
    """

def build_enrich_ora_card() -> dash.html.Div:
    """The over-representation (ORA) figure."""

def build_enrich_gsea_card() -> dash.html.Div:
    """A GSEA figure card (not placed on the page)."""

def build_enrich_card() -> dash.html.Div:
    """The enrichment row: controls and the ORA figure."""

def build_genz_control_card() -> dash.html.Div:
    """
    Data source, phenotype and phenotype-group pickers of the glycosylation-enzymes card.
    """

def build_genz_figure_card() -> dash.html.Div:
    """
    The pathways and correlation-cluster figures of the glycosylation-enzymes card.
    """

def build_genz_card() -> dash.html.Div:
    """The glycosylation-enzymes card: pickers beside figures."""

def build_layout(paths: dict[str, object] | None = None) -> dash.html.Div:
    """
    The dashboard page: the store card (with `paths` as the "Paths" data), the input card and the analysis cards.
    """

def main() -> None:
    """Serve the bare page, without callbacks, in debug mode."""
