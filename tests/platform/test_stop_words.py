import pytest

from tarnix_engine._stopwords import load_stopwords


def test_english_is_the_default_and_a_clean_word_list():
    words = load_stopwords()
    assert words == load_stopwords("english")
    assert isinstance(words, list) and 100 <= len(words) <= 250
    assert len(set(words)) == len(words)
    assert all(w == w.lower() and w.isalpha() for w in words)
    assert {"the", "and", "of", "is"} <= set(words)


def test_each_call_returns_a_list_of_its_own():
    words = load_stopwords()
    words.clear()
    assert "the" in load_stopwords()


def test_none_means_no_stop_words():
    assert load_stopwords(None) == []


@pytest.mark.parametrize("lang", ["klingon", "English", "", 3])
def test_unknown_language_names_it_and_the_supported_ones(lang):
    with pytest.raises(ValueError, match=rf"{lang!r}.*\['english'\]"):
        load_stopwords(lang)


def test_the_tokeniser_drops_them():
    bm25s = pytest.importorskip("bm25s")
    tokens = bm25s.tokenize(
        ["The cat and the hat don't sit on it"],
        stopwords=load_stopwords(),
        show_progress=False,
        return_ids=False,
    )
    assert tokens == [["cat", "hat", "sit"]]
