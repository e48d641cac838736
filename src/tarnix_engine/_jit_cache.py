"""On-disk cache of what numba compiles for bm25s's kernels.

bm25s compiles its retrieval kernels with numba the first time a process
searches, several seconds every process. Turning on numba's own per-function
cache for those dispatchers makes that cost once per machine instead.

The cache lives in NUMBA_CACHE_DIR when the user set it (numba's own rule), and
otherwise in $XDG_CACHE_HOME/tarnix_engine/numba (~/.cache/tarnix_engine/numba),
never next to bm25s's sources. Nothing global in numba is changed: only
bm25s's dispatchers get a cache, and only those that have none yet. When no
folder can be written, the dispatchers stay uncached and compile as before.
"""

import os

_MODULES = ("bm25s.numba.retrieve_utils", "bm25s.numba.selection", "bm25s.scoring")


def cache_folder():
    """The folder numba writes the package's compiled kernels to."""
    from numba.core import config

    if config.CACHE_DIR:
        return config.CACHE_DIR
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tarnix_engine", "numba")


def _cache_class():
    from numba.core import caching

    class PackageLocator(caching._SourceFileBackedLocatorMixin, caching._CacheLocator):
        def __init__(self, py_func, py_file):
            self._py_file = py_file
            self._lineno = py_func.__code__.co_firstlineno
            self._cache_path = os.path.join(cache_folder(), self.get_suitable_cache_subpath(py_file))

        def get_cache_path(self):
            return self._cache_path

    class PackageCacheImpl(caching.CompileResultCacheImpl):
        # numba's own first choice (NUMBA_CACHE_DIR) is kept; ours replaces
        # the in-tree and user-wide ones. A NUMBA_CACHE_LOCATOR_CLASSES the
        # user set still overrides both, inside numba.
        _locator_classes = [caching.UserProvidedCacheLocator, PackageLocator]

    class PackageFunctionCache(caching.FunctionCache):
        _impl_class = PackageCacheImpl

    return PackageFunctionCache


def enable(*objects):
    """Give bm25s's module-level dispatchers, and those among `objects`'
    attributes (a BM25 model compiles its own), an on-disk cache. Never raises."""
    try:
        import importlib

        from numba.core.caching import NullCache
        from numba.core.dispatcher import Dispatcher

        cache_class = _cache_class()
        found = []
        for name in _MODULES:
            found.extend(vars(importlib.import_module(name)).values())
        for obj in objects:
            found.extend(vars(obj).values())
        for dispatcher in found:
            if isinstance(dispatcher, Dispatcher) and isinstance(dispatcher._cache, NullCache):
                try:
                    dispatcher._cache = cache_class(dispatcher.py_func)
                except (OSError, RuntimeError):
                    return  # no writable folder: every dispatcher stays uncached
    except Exception:  # noqa: BLE001 - a cache is an optimisation, never a failure
        return
