"""What the batching policy decides on this machine.

Every search core asks the same two questions before it runs: how many threads
one call may use, and how many queries go into each chunk of a large batch.
"""

import os

from tarnix_engine.kernels import _batching


def main() -> None:
    available = _batching._resolve_available_memory_bytes()
    print(f"cores visible: {os.cpu_count()}")
    print(f"memory available to this process: {'unknown' if available is None else f'{available / 2**30:.1f} GiB'}")
    print(f"byte budget of one automatic chunk: {_batching._resolve_batch_byte_budget() / 2**20:.0f} MiB")
    # A vector search at k=10 over 384 dimensions with a 4096-row shortlist.
    bytes_per_query = 8 * (6 * 10 + 4096 + 2 * 384)
    print(f"\nvector search, {bytes_per_query} scratch bytes per query:")
    for n_queries in (100, 10_000, 1_000_000):
        threads = _batching.resolve_num_threads(True, n_queries)
        width = _batching.resolve_batch_size(n_queries, bytes_per_query, num_threads=threads)
        chunks = -(-n_queries // width)
        print(f"  {n_queries:>9,} queries: {threads} threads, chunks of {width:,} ({chunks} chunk{'s' if chunks > 1 else ''})")


if __name__ == "__main__":
    main()
