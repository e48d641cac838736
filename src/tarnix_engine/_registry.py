"""Map from saved index type names to index classes, and loading by folder.

Design: ``_ENGINE_REGISTRY`` is a plain dict, filled lazily.  The index
modules import this one while they load (the streaming index takes the dict
itself at import), so importing it must not import them back: the table
``_ENGINE_MODULES`` only names where each class lives, and ``_populate``
imports a module when one of its names is first needed.  A module may also
register its class itself with ``register_engine`` at its own load.  Either
way every class sits under exactly one name, so walking ``items()`` and
inverting the dict gives each class its own name back.

A name whose module is not part of this installation is skipped (loading
such a folder is an ``ImportError`` that names the module); any other
failure while importing a module (a missing dependency, a broken build) is
raised, since hiding it would only turn up later as an "unknown index type".
"""

import importlib
import os
import sys
from pathlib import Path

from tarnix_engine._persistence import read_config

__all__ = ["_ENGINE_REGISTRY", "load_engine_from_directory", "register_engine"]

# index type name -> (module, class name)
_ENGINE_MODULES = {
    "tarnix": ("tarnix_engine.indexes._tarnix_impl", "_TarnixCore"),
    "vectorstore": ("tarnix_engine.indexes._tarnix_impl", "_VectorStore"),
    "relevance": ("tarnix_engine.indexes._term_scoring", "_RelevanceCore"),
    "streaming_hybrid": ("tarnix_engine.indexes._shard_flow", "_StreamingCore"),
    "filtered": ("tarnix_engine._screened_search", "ScreenedSearch"),
    "row_screen": ("tarnix_engine._row_screen", "RowScreen"),
}

_ENGINE_REGISTRY = {}


def register_engine(name, cls):
    """Register ``cls`` as the class of index type ``name``; returns ``cls``.

    Registering the same pair again is a no-op.  A name already taken by
    another class, or a class already registered under another name, is a
    ``ValueError``: the streaming index saves a class under the name it
    finds by inverting this dict, so both directions must be unambiguous.
    """
    current = _ENGINE_REGISTRY.get(name)
    if current is cls:
        return cls
    if current is not None:
        raise ValueError(
            f"index type {name!r} is already registered to {current.__qualname__}"
        )
    for other, registered in _ENGINE_REGISTRY.items():
        if registered is cls:
            raise ValueError(
                f"{cls.__qualname__} is already registered as {other!r}"
            )
    _ENGINE_REGISTRY[name] = cls
    return cls


def _module_is_absent(exc, module):
    missing = exc.name or ""
    return module == missing or module.startswith(missing + ".")


def _populate(names=None):
    """Register the classes of ``names`` (every known name by default)."""
    for name in _ENGINE_MODULES if names is None else names:
        if name in _ENGINE_REGISTRY or name not in _ENGINE_MODULES:
            continue
        module_name, class_name = _ENGINE_MODULES[name]
        try:
            module = importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            if _module_is_absent(exc, module_name):
                continue
            raise
        # The module may have registered itself while it loaded.
        if name not in _ENGINE_REGISTRY:
            register_engine(name, getattr(module, class_name))


def _populate_imported():
    """Register the listed classes whose modules are already imported.

    Naming a class that exists in memory needs nothing more, and nothing is
    imported, so a broken module that nobody loaded cannot fail the caller.
    """
    _populate([name for name, (module, _) in _ENGINE_MODULES.items() if module in sys.modules])


def load_engine_from_directory(path):
    """Load the index saved in folder ``path``, of the class that saved it.

    The class is chosen by the "index_type" of the folder's config.json and
    its ``load`` is called with the folder as a string.
    """
    directory = os.fsdecode(path)
    config = Path(directory) / "config.json"
    if not config.is_file():
        raise FileNotFoundError(
            f"{directory!r} holds no config.json, so it is not a saved index folder"
        )
    index_type = read_config(config).get("index_type")
    if not isinstance(index_type, str):
        raise ValueError(
            f"config.json in {directory!r} names no index type "
            f"('index_type' is {index_type!r})"
        )
    _populate((index_type,))
    cls = _ENGINE_REGISTRY.get(index_type)
    if cls is not None:
        return cls.load(directory)
    if index_type in _ENGINE_MODULES:
        module_name = _ENGINE_MODULES[index_type][0]
        raise ImportError(
            f"index type {index_type!r} in {directory!r} needs the module "
            f"{module_name!r}, which this installation lacks",
            name=module_name,
        )
    known = sorted(set(_ENGINE_REGISTRY) | set(_ENGINE_MODULES))
    raise ValueError(
        f"unknown index type {index_type!r} in {directory!r}; known types: {known}"
    )
