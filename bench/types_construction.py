"""Construction cost of the immutable record forms considered for SearchResult.

Search code builds one SearchResult per hit by a keyword call, so the form
with the cheapest keyword construction wins, provided it is immutable and
refuses positional arguments.  Prints ns per construction and per field read,
and each form's construction time as a ratio to the form in use.

    python bench/types_construction.py
"""

import dataclasses
import sys
import timeit
from collections import namedtuple
from operator import itemgetter
from pathlib import Path

from timing import print_machine

try:
    from tarnix_engine._types import SearchResult
except ImportError:  # run from a source checkout without installing
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    from tarnix_engine._types import SearchResult

_tuple_new = tuple.__new__
_object_new = object.__new__
_object_setattr = object.__setattr__


class TupleProperty(tuple):
    """Tuple subclass, keyword-only __new__, property(itemgetter) fields."""

    __slots__ = ()

    def __new__(cls, *, rank, id, score):
        return _tuple_new(cls, (rank, id, score))

    rank = property(itemgetter(0))
    id = property(itemgetter(1))
    score = property(itemgetter(2))


class SlotsSetattr:
    """__slots__ class; __init__ goes around a refusing __setattr__."""

    __slots__ = ("rank", "id", "score")

    def __init__(self, *, rank, id, score):
        _object_setattr(self, "rank", rank)
        _object_setattr(self, "id", id)
        _object_setattr(self, "score", score)

    def __setattr__(self, name, value):
        raise AttributeError(name)

    def __delattr__(self, name):
        raise AttributeError(name)


class SlotsDescriptor:
    """__slots__ class; __new__ fills the slots through their descriptors."""

    __slots__ = ("rank", "id", "score")

    def __setattr__(self, name, value):
        raise AttributeError(name)

    def __delattr__(self, name):
        raise AttributeError(name)


_set_rank = SlotsDescriptor.rank.__set__
_set_id = SlotsDescriptor.id.__set__
_set_score = SlotsDescriptor.score.__set__


def _slots_descriptor_new(cls, *, rank, id, score):
    self = _object_new(cls)
    _set_rank(self, rank)
    _set_id(self, id)
    _set_score(self, score)
    return self


SlotsDescriptor.__new__ = _slots_descriptor_new


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True)
class FrozenDataclass:
    rank: int
    id: str
    score: float


# Reference only: accepts positional arguments, so it does not qualify.
PlainNamedtuple = namedtuple("PlainNamedtuple", "rank id score")

FORMS = [
    ("namedtuple subclass, keyword-only __new__ (in use)", SearchResult),
    ("tuple subclass, property(itemgetter) fields", TupleProperty),
    ("__slots__, object.__setattr__ in __init__", SlotsSetattr),
    ("__slots__, descriptor __set__ in __new__", SlotsDescriptor),
    ("frozen slotted keyword-only dataclass", FrozenDataclass),
    ("plain namedtuple (reference, positional allowed)", PlainNamedtuple),
]


def main(number=100_000, repeat=9):
    # Forms take turns within each round, so that load from other processes
    # falls on all of them alike; each figure is the best round.
    print_machine()
    timers = []
    for label, cls in FORMS:
        namespace = {"cls": cls, "obj": cls(rank=3, id="doc-17", score=0.75)}
        build = timeit.Timer("cls(rank=3, id='doc-17', score=0.75)", globals=namespace)
        read = timeit.Timer("obj.rank; obj.id; obj.score", globals=namespace)
        timers.append((label, build, read))
    best = {label: [float("inf"), float("inf")] for label, _, _ in timers}
    for _ in range(repeat):
        for label, build, read in timers:
            figures = best[label]
            figures[0] = min(figures[0], build.timeit(number) / number * 1e9)
            figures[1] = min(figures[1], read.timeit(number) / number * 1e9 / 3)
    rows = [(label, *best[label]) for label, _, _ in timers]
    chosen = rows[0][1]
    width = max(len(label) for label, _, _ in rows)
    print(f"{'form':<{width}}  build ns  ratio  read ns")
    for label, build, read in rows:
        print(f"{label:<{width}}  {build:8.1f}  {build / chosen:5.2f}  {read:7.1f}")


if __name__ == "__main__":
    main()
