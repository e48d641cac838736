"""Package descriptions of this machine, read from the dpkg status file.

A small real corpus for the examples and benchmarks: every installed Debian
package gives one document whose id is the package name and whose text is
its one-line summary followed by its long description.
"""

from pathlib import Path
from typing import NamedTuple

DPKG_STATUS = Path("/var/lib/dpkg/status")


class Package(NamedTuple):
    name: str
    summary: str  # the one-line description
    description: str  # the long description as running text


def _stanzas(text):
    stanza = []
    for line in text.splitlines():
        if line.strip():
            stanza.append(line)
        elif stanza:
            yield stanza
            stanza = []
    if stanza:
        yield stanza


def read_packages(path=DPKG_STATUS):
    """Every package of the status file that has a description, in file order.

    A package listed twice (several architectures) is kept once. Returns an
    empty list when the file does not exist (a system without dpkg).
    """
    path = Path(path)
    if not path.exists():
        return []
    packages, seen = [], set()
    for stanza in _stanzas(path.read_text(encoding="utf-8", errors="replace")):
        name, summary, body, in_description = None, None, [], False
        for line in stanza:
            if line.startswith((" ", "\t")):
                if in_description:
                    # " ." stands for an empty line of the long description.
                    body.append("" if line.strip() == "." else line.strip())
                continue
            in_description = False
            key, _, value = line.partition(":")
            if key == "Package":
                name = value.strip()
            elif key == "Description":
                summary, in_description = value.strip(), True
        if name and summary and name not in seen:
            seen.add(name)
            packages.append(Package(name, summary, " ".join(part for part in body if part)))
    return packages


def documents(path=DPKG_STATUS):
    """(ids, texts) for an index: package names and "summary. description"."""
    packages = read_packages(path)
    ids = [p.name for p in packages]
    texts = [f"{p.summary}. {p.description}".strip() for p in packages]
    return ids, texts
