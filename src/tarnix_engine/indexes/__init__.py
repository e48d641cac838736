"""Index engines: vector, text and streaming hybrid."""
