"""Kernels shared by every index: 8-bit quantisation, binary codes with their
Hamming shortlist, the exact rerank over 8-bit codes, and query batching."""
