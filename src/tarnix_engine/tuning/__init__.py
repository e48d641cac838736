"""Depth advisor and its tuned model files."""
