"""The host's analysis services, one module per dashboard card."""
