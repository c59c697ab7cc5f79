"""The plug-in layer: the native modules vistro, layout, plotweave, survival, preprocess and ranked,
and the host modules callbacks, defaults, pca1 and toolkit that they import."""
