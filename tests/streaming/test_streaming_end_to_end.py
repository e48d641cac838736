"""The streaming index over the real text and vector indexes and the real
fusion kernel."""

import numpy as np
import pytest

from fusion_reference import fuse_shards
from streaming_helpers import documents
from tarnix_engine._registry import load_engine_from_directory

BATCHES = (20, 15, 25)


@pytest.fixture(scope="module")
def corpus():
    return documents(sum(BATCHES), seed=7)


def grown(shard_flow, corpus, batches=BATCHES, index=None, start=0):
    texts, vectors = corpus
    index = index if index is not None else shard_flow._StreamingCore()
    for size in batches:
        index.add_batch(texts[start : start + size], vectors[start : start + size])
        start += size
    return index


def test_each_document_finds_itself_in_whichever_shard_it_lives(shard_flow, corpus):
    index = grown(shard_flow, corpus)
    texts, vectors = corpus
    probes = [0, 19, 20, 34, 35, 59]
    for p in probes:
        positions, scores = index.search(texts[p], vectors[p], k=5)
        assert positions[0] == p and scores[0] > scores[1]
    positions, _ = index.search([texts[p] for p in probes], vectors[probes], k=5, parallel=True)
    assert positions[:, 0].tolist() == probes


def _raw_hits_of_each_shard(folder, n_shards, texts, vectors, k):
    """Each saved shard's own text and vector hits, from its two indexes'
    public search_raw, stacked as the fusion takes them."""
    sides = []
    for s in range(n_shards):
        text = load_engine_from_directory(str(folder / f"shard_{s:04d}" / "text"))
        vector = load_engine_from_directory(str(folder / f"shard_{s:04d}" / "vector"))
        tpos, tscore = text.search_raw(texts, k=text.size)
        # A text that shares no term with the query scores 0 and is no hit.
        tpos = np.where(tscore > 0, tpos, -1)
        vpos, vdist = vector.search_raw(vectors, k=k)
        sides.append((tpos, tscore, vpos, vdist))
    width_t = max(side[0].shape[1] for side in sides)
    width_v = max(side[2].shape[1] for side in sides)
    stacked = [np.full((n_shards, len(texts), width_t), -1, dtype=np.int64),
               np.zeros((n_shards, len(texts), width_t)),
               np.full((n_shards, len(texts), width_v), -1, dtype=np.int64),
               np.zeros((n_shards, len(texts), width_v), dtype=np.float32)]
    for s, side in enumerate(sides):
        for array, part in zip(stacked, side):
            array[s, :, : part.shape[1]] = part
    return stacked


def test_search_is_the_fusion_of_every_shards_own_hits(shard_flow, corpus, tmp_path):
    # k is at least every shard's size, so each shard's two lists hold all
    # its documents whatever depths it chose, and the answer is the
    # reciprocal-rank fusion of those lists over all shards, in global
    # positions. Query texts and vectors come from different documents, so
    # the two sides disagree and both weights count.
    index = grown(shard_flow, corpus, index=shard_flow._StreamingCore(alpha_text=0.5, alpha_vector=1.0, rrf_k=5))
    index.save(str(tmp_path))
    texts, vectors = corpus
    query_texts = [texts[p] for p in (0, 7, 21, 33, 40, 58)]
    query_vectors = vectors[[44, 7, 3, 50, 12, 25]]
    k = max(BATCHES)
    tpos, tscore, vpos, vdist = _raw_hits_of_each_shard(tmp_path, len(BATCHES), query_texts, query_vectors, k)
    offsets = np.cumsum((0,) + BATCHES[:-1])
    expected = fuse_shards(vpos, vdist, tpos, tscore, offsets, top_k=k, rrf_k=5, alpha_distance=1.0, alpha_bm25=0.5)
    positions, scores = index.search(query_texts, query_vectors, k=k)
    assert np.array_equal(positions, expected[0]) and np.array_equal(scores, expected[1])
    top_shards = np.searchsorted(offsets, positions[:, :3], side="right") - 1
    assert set(top_shards.ravel().tolist()) == {0, 1, 2}  # the top hits come from every shard


def test_candidates_restrict_the_hits(shard_flow, corpus):
    index = grown(shard_flow, corpus)
    texts, vectors = corpus
    allowed = np.array([3, 21, 22, 40, 58, 58, -4, 1000])
    positions, _ = index.search(texts[:6], vectors[:6], k=4, candidates=allowed)
    assert set(positions[positions >= 0].tolist()) <= {3, 21, 22, 40, 58}
    everything = index.search(texts[:6], vectors[:6], k=8, candidates=np.arange(len(texts)))
    unrestricted = index.search(texts[:6], vectors[:6], k=8)
    assert np.array_equal(everything[0], unrestricted[0]) and np.allclose(everything[1], unrestricted[1])


def test_chunked_search_equals_one_chunk(shard_flow, corpus):
    index = grown(shard_flow, corpus)
    texts, vectors = corpus
    whole = index.search(texts[:10], vectors[:10], k=6)
    chunked = index.search(texts[:10], vectors[:10], k=6, batch_size=3)
    assert np.array_equal(whole[0], chunked[0]) and np.array_equal(whole[1], chunked[1])


def test_a_loaded_index_keeps_growing_with_the_frozen_quantisation(shard_flow, corpus, tmp_path):
    reference = grown(shard_flow, corpus)
    reference.save(str(tmp_path / "reference"))

    first_two = grown(shard_flow, corpus, BATCHES[:2])
    first_two.save(str(tmp_path / "saved"))
    loaded = shard_flow._StreamingCore.load(str(tmp_path / "saved"))
    assert (loaded.size, loaded.n_shards, loaded.is_trained) == (35, 2, True)
    assert np.array_equal(loaded.boundaries, first_two.boundaries)
    frozen = loaded.boundaries
    grown(shard_flow, corpus, BATCHES[2:], index=loaded, start=35)
    assert loaded.boundaries is frozen and loaded.size == 60
    loaded.save(str(tmp_path / "continued"))

    # Codes of the batch added after loading equal those of the index that
    # never left memory, and so do the answers.
    codes = np.load(tmp_path / "continued" / "all_bytes.npy")
    assert np.array_equal(codes, np.load(tmp_path / "reference" / "all_bytes.npy"))
    texts, vectors = corpus
    mine, theirs = loaded.search(texts[30:45], vectors[30:45], k=7), reference.search(texts[30:45], vectors[30:45], k=7)
    assert np.array_equal(mine[0], theirs[0]) and np.allclose(mine[1], theirs[1])


def test_a_batch_beyond_32_bit_offsets_is_refused(shard_flow, corpus, tmp_path, monkeypatch):
    import json
    import pathlib

    from tarnix_engine import _registry

    grown(shard_flow, corpus, BATCHES[:2]).save(str(tmp_path))
    config = json.loads((tmp_path / "config.json").read_text())
    config["shard_sizes"], config["cumulative_offsets"] = [2**31 - 100, 100], [0, 2**31 - 100]
    (tmp_path / "config.json").write_text(json.dumps(config))

    # Loading checks each shard against its saved size, so the loaded
    # indexes claim the faked sizes too.
    claimed = {"shard_0000": 2**31 - 100, "shard_0001": 100}
    real_load = _registry.load_engine_from_directory

    class Claiming:
        def __init__(self, inner, size):
            self._inner, self.size = inner, size

        def __getattr__(self, name):
            return getattr(self._inner, name)

    monkeypatch.setattr(
        _registry,
        "load_engine_from_directory",
        lambda path: Claiming(real_load(path), claimed[pathlib.Path(path).parent.name]),
    )
    index = shard_flow._StreamingCore.load(str(tmp_path))
    texts, vectors = corpus
    with pytest.raises(OverflowError, match="2147483647"):
        index.add_batch(texts[:3], vectors[:3])
    assert index.n_shards == 2
