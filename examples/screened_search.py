"""Metadata filters and role grants in front of a text index.

Indexes the package descriptions of the dpkg status file behind a
ScreenedSearch. Each package gets metadata (its kind: "library",
"development" or "program", and the length of its name) and roles: every
package is granted to "staff", and development packages to "developers" as
well. It then searches with a filter written as SQL, as a dict and as a
chain, and with roles, and saves and reloads the pair.
"""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the checkout, for tools/
from tools.dpkg_corpus import documents  # noqa: E402
from text_search import show  # noqa: E402

from tarnix_engine._screened_search import ScreenedSearch  # noqa: E402
from tarnix_engine.indexes._term_scoring import _RelevanceCore  # noqa: E402


def kind_of(name):
    if name.endswith("-dev"):
        return "development"
    return "library" if name.startswith("lib") else "program"


def main() -> None:
    ids, texts = documents()
    if not ids:
        print("no /var/lib/dpkg/status on this machine: nothing to index")
        return
    metadata = [{"kind": kind_of(name), "name_length": len(name)} for name in ids]
    roles = [["staff", "developers"] if kind_of(name) == "development" else ["staff"] for name in ids]
    index = ScreenedSearch(_RelevanceCore())
    index.add(ids, texts, metadata=metadata, roles=roles)
    print(f"indexed {index.size:,} packages behind a pre-filter store")

    query = ["compression library"]
    show("no restriction", index.search(query, 3)[0])
    show("filter: kind = 'library'", index.search(query, 3, filter="kind = 'library'")[0])
    show("filter: {'kind': 'development'}", index.search(query, 3, filter={"kind": "development"})[0])
    short = index.row_screen.where("name_length", "<=", 6)
    show("chain: where('name_length', '<=', 6)", index.search(query, 3, filter=short)[0])
    show("roles: ['developers']", index.search(query, 3, roles=["developers"])[0])
    print(f"  roles [] allow nothing: {index.search(query, 3, roles=[])[0]}")

    with tempfile.TemporaryDirectory() as folder:
        index.save(folder + "/packages")
        again = ScreenedSearch.load(folder + "/packages")
        same = again.search(query, 3, roles=["developers"]) == index.search(query, 3, roles=["developers"])
        print(f"saved and reloaded: {again!r}, same answers: {same}")


if __name__ == "__main__":
    main()
