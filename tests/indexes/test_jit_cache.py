"""What numba compiles for the text search is kept on disk between processes."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# One fresh process: a tiny text search, then what the serial kernel's cache did.
SCRIPT = textwrap.dedent(
    """
    import json
    from bm25s.numba import retrieve_utils
    from tarnix_engine.indexes._term_scoring import _RelevanceCore

    ix = _RelevanceCore()
    ix.add(["a", "b", "c"], ["red apples grow", "green pears ripen", "blue plums fall"])
    hits = [h.id for h in ix.search("green pears", 1)]
    kernel = retrieve_utils._retrieve_internal_jitted_serial
    stats = kernel.stats
    print(json.dumps({"hits": hits, "cache": type(kernel._cache).__name__,
                      "cache_hits": sum(stats.cache_hits.values()),
                      "cache_misses": sum(stats.cache_misses.values())}))
    """
)


def run_fresh(env):
    full = {k: v for k, v in os.environ.items() if not k.startswith("NUMBA_CACHE") and k != "XDG_CACHE_HOME"}
    full.update(env)
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=full, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


def cached_entries(folder):
    return [name for _, _, names in os.walk(folder) for name in names if name.endswith(".nbi")]


@pytest.mark.parametrize(
    "env, folder",
    [
        pytest.param({"XDG_CACHE_HOME": "{tmp}/xdg"}, "{tmp}/xdg/tarnix_engine/numba", id="user-cache-folder"),
        pytest.param({"XDG_CACHE_HOME": "{tmp}/xdg", "NUMBA_CACHE_DIR": "{tmp}/numba"}, "{tmp}/numba",
                     id="numba-cache-dir-wins"),
        # A regular file where the folder should be: nothing can be written, even as root.
        pytest.param({"XDG_CACHE_HOME": "{tmp}/file"}, None, id="unwritable-folder"),
    ],
)
def test_second_process_loads_the_compiled_kernels(tmp_path, env, folder):
    (tmp_path / "file").write_text("not a folder")
    env = {k: v.format(tmp=tmp_path) for k, v in env.items()}
    first = run_fresh(env)
    assert first["hits"] == ["b"]
    if folder is None:
        assert first["cache"] == "NullCache"
        return
    folder = folder.format(tmp=tmp_path)
    assert cached_entries(folder), f"nothing cached in {folder}"
    assert not cached_entries(tmp_path / "xdg") or folder.startswith(str(tmp_path / "xdg"))
    second = run_fresh(env)
    assert second["hits"] == ["b"]
    assert second["cache_hits"] >= 1 and second["cache_misses"] == 0, second
