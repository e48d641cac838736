"""Result and parameter records shared by the indexes and the depth advisor.

Every record is a tuple subclass built by keyword only.  Search code makes
thousands of ``SearchResult`` per call from compiled code, so construction
cost matters: a keyword-only ``__new__`` that hands one tuple to
``tuple.__new__`` is as cheap as a plain namedtuple call and cheaper than a
slotted class or a frozen dataclass, which pay one ``object.__setattr__`` per
field (``bench/types_construction.py`` measures the alternatives).  Fields are
namedtuple's C-level getters; there are no setters and no instance dict, so
assigning or deleting any attribute raises ``AttributeError``.
"""

from collections import namedtuple

__all__ = ["SearchResult", "PredictionResult", "_Parameters"]

_tuple_new = tuple.__new__


def _keyword_args(self):
    # namedtuple pickles and copies through positional __new__ arguments,
    # which the keyword-only constructors refuse; hand them keywords instead.
    return (), dict(zip(self._fields, self))


class SearchResult(namedtuple("SearchResult", "rank id score")):
    """One ranked hit: 0-based ``rank`` in its row, document ``id``, ``score``."""

    __slots__ = ()

    def __new__(cls, *, rank, id, score):
        return _tuple_new(cls, (rank, id, score))

    __getnewargs_ex__ = _keyword_args


class PredictionResult(
    namedtuple("PredictionResult", "text_k vector_k top_k expected_recall")
):
    """Depths advised for a hybrid query and the recall expected from them.

    ``expected_recall`` is None when the model cannot vouch for the corpus size.
    """

    __slots__ = ()

    def __new__(cls, *, text_k, vector_k, top_k, expected_recall):
        return _tuple_new(cls, (text_k, vector_k, top_k, expected_recall))

    __getnewargs_ex__ = _keyword_args


def _describe(value):
    # Duck-typed so that this module does not need numpy to load.
    shape, dtype = getattr(value, "shape", None), getattr(value, "dtype", None)
    if shape is not None and dtype is not None:
        return f"<{dtype} array of shape {shape}>"
    return repr(value)


class _Parameters(namedtuple("_Parameters", "boundaries fit_values")):
    """Frozen quantisation of a vector index: the store's bin edges per
    dimension and the binary-code index's fit values, held as given (no copies).
    """

    __slots__ = ()

    def __new__(cls, *, boundaries, fit_values):
        return _tuple_new(cls, (boundaries, fit_values))

    __getnewargs_ex__ = _keyword_args

    # Tuple equality would compare the arrays element-wise, whose result has
    # no single truth value (and costs a pass over both arrays).  Two
    # parameter sets are equal when they hold the very same array objects,
    # which is what "frozen quantisation shared between indexes" means.
    # Anything else is unequal outright: returning NotImplemented would let
    # tuple comparison run element-wise against a plain tuple.
    def __eq__(self, other):
        return (
            isinstance(other, _Parameters)
            and self[0] is other[0]
            and self[1] is other[1]
        )

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash((id(self[0]), id(self[1])))

    # Bin edges are (dimensions, 256): show their kind and shape, not contents.
    def __repr__(self):
        return (
            f"{type(self).__name__}(boundaries={_describe(self[0])}, "
            f"fit_values={_describe(self[1])})"
        )
