"""Rank fusion."""
