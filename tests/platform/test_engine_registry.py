import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tarnix_engine import _registry
from tarnix_engine._registry import (
    _ENGINE_MODULES,
    _ENGINE_REGISTRY,
    _populate,
    load_engine_from_directory,
    register_engine,
)

# Each fake index module imports the registry while it loads, as the real
# index modules do, and records how it was loaded.
FAKE_MODULES = {
    "fake_plain": """
        import tarnix_engine._registry

        class FakeCore:
            @classmethod
            def load(cls, directory, base_dir=None):
                return (cls, directory, base_dir)
    """,
    "fake_self_registering": """
        from tarnix_engine._registry import register_engine

        @lambda cls: register_engine("self_registering", cls)
        class FakeCore:
            @classmethod
            def load(cls, directory):
                return (cls, directory)
    """,
    "fake_broken": """
        import no_such_dependency_of_an_index
    """,
}


@pytest.fixture
def fake_engines(tmp_path, monkeypatch):
    src = tmp_path / "src"
    src.mkdir()
    for name, code in FAKE_MODULES.items():
        (src / f"{name}.py").write_text(textwrap.dedent(code))
    monkeypatch.syspath_prepend(str(src))
    for name in FAKE_MODULES:
        monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.setattr(
        _registry,
        "_ENGINE_MODULES",
        {
            "plain": ("fake_plain", "FakeCore"),
            "self_registering": ("fake_self_registering", "FakeCore"),
            "broken": ("fake_broken", "FakeCore"),
            "absent": ("fake_not_installed", "FakeCore"),
        },
    )
    saved = dict(_ENGINE_REGISTRY)
    _ENGINE_REGISTRY.clear()
    yield tmp_path
    _ENGINE_REGISTRY.clear()
    _ENGINE_REGISTRY.update(saved)


def saved_folder(root, config, name="idx"):
    folder = root / name
    folder.mkdir()
    if config is not None:
        (folder / "config.json").write_text(json.dumps(config))
    return folder


def test_importing_the_registry_imports_no_index_module():
    code = """
        import sys, tarnix_engine
        before = set(sys.modules)
        import tarnix_engine._registry as registry
        added = {m for m in set(sys.modules) - before if m.startswith("tarnix_engine")}
        assert added == {"tarnix_engine._registry", "tarnix_engine._persistence"}, added
        assert type(registry._ENGINE_REGISTRY) is dict
    """
    src = str(Path(_registry.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([src, os.environ.get("PYTHONPATH", "")]))
    subprocess.run([sys.executable, "-c", textwrap.dedent(code)], check=True, env=env)


@pytest.mark.parametrize("as_path", [False, True])
def test_load_picks_the_class_and_hands_it_the_folder_as_text(fake_engines, as_path):
    folder = saved_folder(fake_engines, {"index_type": "plain", "other": 1})
    cls, directory, base_dir = load_engine_from_directory(folder if as_path else str(folder))
    assert cls.__module__ == "fake_plain"
    assert directory == str(folder) and type(directory) is str and base_dir is None
    assert list(_ENGINE_REGISTRY.items()) == [("plain", cls)]
    assert _ENGINE_REGISTRY.get("plain", None) is cls


def test_a_module_that_registers_itself_is_not_registered_twice(fake_engines):
    folder = saved_folder(fake_engines, {"index_type": "self_registering"})
    cls, _ = load_engine_from_directory(str(folder))
    assert list(_ENGINE_REGISTRY.items()) == [("self_registering", cls)]


@pytest.mark.parametrize(
    ("config", "error", "pattern"),
    [
        (None, FileNotFoundError, r"'.*idx' holds no config\.json"),
        ({"index_type": "nonesuch"}, ValueError, r"unknown index type 'nonesuch' in '.*idx'"),
        ({"index_type": "absent"}, ImportError, r"'absent' in '.*idx' needs the module 'fake_not_installed'"),
        ({"index_type": "broken"}, ModuleNotFoundError, r"no_such_dependency_of_an_index"),
        ({"version": 2}, ValueError, r"config\.json in '.*idx' names no index type"),
        ({"index_type": ["plain"]}, ValueError, r"names no index type"),
    ],
    ids=["no-config", "unknown", "module-absent", "module-broken", "no-type", "type-not-str"],
)
def test_load_errors(fake_engines, config, error, pattern):
    folder = saved_folder(fake_engines, config)
    with pytest.raises(error, match=pattern):
        load_engine_from_directory(str(folder))


def test_populate_skips_absent_modules_and_raises_for_broken_ones(fake_engines):
    _populate(["plain", "absent", "unlisted"])
    assert list(_ENGINE_REGISTRY) == ["plain"]
    with pytest.raises(ModuleNotFoundError, match="no_such_dependency_of_an_index"):
        _populate()


def test_register_engine_keeps_names_and_classes_one_to_one(fake_engines):
    class A: ...
    class B: ...
    assert register_engine("a", A) is A
    assert register_engine("a", A) is A
    with pytest.raises(ValueError, match="'a' is already registered to"):
        register_engine("a", B)
    with pytest.raises(ValueError, match="already registered as 'a'"):
        register_engine("b", A)
    assert _ENGINE_REGISTRY == {"a": A}


def test_every_installed_index_class_comes_back_from_its_own_name():
    # Imports whichever index modules this installation has; a module that
    # exists but fails to import fails here.
    _populate()
    by_class = {cls: name for name, cls in _ENGINE_REGISTRY.items()}
    assert len(by_class) == len(_ENGINE_REGISTRY)
    for name, cls in _ENGINE_REGISTRY.items():
        module, attr = _ENGINE_MODULES.get(name, (cls.__module__, cls.__name__))
        assert (cls.__module__, cls.__name__) == (module, attr)
