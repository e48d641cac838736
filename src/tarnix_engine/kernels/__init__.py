"""Kernels shared by every index: quantisation and query batching."""
