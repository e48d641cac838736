"""Stop-word lists handed to the text index's tokeniser."""

__all__ = ["load_stopwords"]

# Lower case, as tokens are compared after lower-casing.  No apostrophes:
# the tokeniser splits "don't" into "don" and "t" and keeps only tokens of
# two or more word characters, so contraction stems are listed instead.
_ENGLISH = (
    # articles, determiners, quantifiers
    "a", "an", "the", "this", "that", "these", "those", "some", "any", "each",
    "every", "all", "both", "few", "more", "most", "other", "such", "no",
    "nor", "only", "own", "same", "than", "too", "very", "much", "many",
    # pronouns
    "i", "me", "my", "myself", "we", "us", "our", "ours", "ourselves", "you",
    "your", "yours", "yourself", "yourselves", "he", "him", "his", "himself",
    "she", "her", "hers", "herself", "it", "its", "itself", "they", "them",
    "their", "theirs", "themselves", "what", "which", "who", "whom", "whose",
    # auxiliaries and modals
    "am", "is", "are", "was", "were", "be", "been", "being", "have", "has",
    "had", "having", "do", "does", "did", "doing", "can", "could", "will",
    "would", "shall", "should", "may", "might", "must",
    # prepositions
    "about", "above", "across", "after", "against", "along", "among",
    "around", "at", "before", "behind", "below", "beneath", "beside",
    "between", "beyond", "by", "down", "during", "for", "from", "in", "into",
    "near", "of", "off", "on", "onto", "out", "over", "since", "through",
    "to", "toward", "towards", "under", "until", "up", "upon", "with",
    "within", "without",
    # conjunctions and adverbs
    "and", "but", "or", "so", "yet", "if", "then", "else", "because", "as",
    "while", "when", "where", "why", "how", "here", "there", "again",
    "further", "once", "also", "just", "now", "not", "whether", "though",
    "although", "unless",
    # what the tokeniser leaves of contractions
    "don", "doesn", "didn", "isn", "aren", "wasn", "weren", "hasn", "haven",
    "hadn", "won", "wouldn", "shouldn", "couldn", "mustn", "ll", "re", "ve",
)

_LANGUAGES = {"english": _ENGLISH}


def load_stopwords(lang="english"):
    """Return the stop words of ``lang`` as a new list (callers may change it).

    ``None`` means no stop words and returns an empty list.  A language
    without a list is a ``ValueError`` naming the supported ones.
    """
    if lang is None:
        return []
    words = _LANGUAGES.get(lang) if isinstance(lang, str) else None
    if words is None:
        raise ValueError(
            f"no stop words for language {lang!r}; "
            f"supported languages: {sorted(_LANGUAGES)}"
        )
    return list(words)
