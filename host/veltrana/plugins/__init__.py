"""The plug-in layer: the native modules vistro, layout, plotweave, survival, preprocess and ranked,
and the host modules they import by name (callbacks, defaults, paths, tables, pca1, toolkit, vocabulary)."""
