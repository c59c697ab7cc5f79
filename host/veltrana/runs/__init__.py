"""The result store: immutable runs keyed by their inputs, their locks and their progress."""
