"""Offline tooling beside the package (tuning, embeddings); the package never imports it."""
