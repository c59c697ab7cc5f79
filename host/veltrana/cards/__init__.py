"""The cards and controls beside the described page: GSEA, Kaplan-Meier, missing values, the data
summary, the navigation bar, exports, on-demand pickers and failures told on the page."""
