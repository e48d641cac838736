"""Real passages and queries for benchmarks: this machine's manual pages.

A passage is a paragraph (joined up to about 120 words) of a page's
DESCRIPTION section, read straight from the roff source; a query is the
summary of the page's NAME line ("compress or expand files"). Queries come
from held-out pages, whose passages are left out of the corpus. Without
manual pages, the package descriptions of the dpkg status file serve
instead (a held-out package's summary as the query).
"""

import gzip
import re
from pathlib import Path

import numpy as np

from ..dpkg_corpus import read_packages

MAN_DIR = Path("/usr/share/man/man1")

_ESCAPES = [
    (re.compile(r"\\f(\[[^\]]*\]|\(..|.)"), ""),   # font changes
    (re.compile(r"\\s[+-]?\d+"), ""),             # size changes
    (re.compile(r"\\\*(\[[^\]]*\]|\(..|.)"), ""),  # strings
    (re.compile(r"\\\((..)"), " "),               # special characters
    (re.compile(r"\\\[[^\]]*\]"), " "),
    (re.compile(r"\\[&|^%:]"), ""),
    (re.compile(r"\\[-e]"), "-"),
    (re.compile(r"\\(.)"), r"\1"),
]
_BREAKS = {"PP", "P", "LP", "TP", "IP", "HP", "SH", "SS", "sp", "br", "nf", "fi", "RS", "RE", "TH", "Sh", "Pp"}
_TEXT_MACROS = {"B", "I", "BR", "IR", "RB", "RI", "BI", "IB", "SM", "SB", "Nm", "Ar", "Fl", "Xr"}


def _clean(text):
    for pattern, repl in _ESCAPES:
        text = pattern.sub(repl, text)
    return " ".join(text.replace('"', " ").split())


def read_page(path):
    """(summary, [paragraphs of DESCRIPTION]) of one roff page, or None."""
    try:
        raw = gzip.decompress(path.read_bytes()).decode("utf-8", errors="replace")
    except (OSError, EOFError):
        return None
    section, summary, paragraphs, current = None, None, [], []

    def flush():
        if section == "DESCRIPTION" and current:
            paragraphs.append(" ".join(current))
        current.clear()

    for line in raw.splitlines():
        if line.startswith((".\\\"", "'\\\"")):
            continue
        if line.startswith((".", "'")):
            macro, _, rest = line[1:].strip().partition(" ")
            if macro in ("SH", "Sh"):
                flush()
                section = _clean(rest).upper()
                continue
            if macro in _BREAKS:
                flush()
                continue
            if macro not in _TEXT_MACROS:
                continue
            line = rest
        text = _clean(line)
        if not text:
            flush()
        elif section == "NAME" and summary is None and " - " in text:
            summary = text.split(" - ", 1)[1].strip()
        elif section == "DESCRIPTION":
            current.append(text)
    flush()
    if not summary or not paragraphs:
        return None
    return summary, paragraphs


def _passages(paragraphs, words=120):
    out, current = [], []
    for p in paragraphs:
        current.extend(p.split())
        if len(current) >= 30:
            out.append(" ".join(current[:words]))
            current = []
    if len(current) >= 8:
        out.append(" ".join(current[:words]))
    return out


def real_corpus(n_queries=500, limit=None, seed=3):
    """(passages, queries, description of the source): passages of the kept
    pages (at most `limit`), queries from `n_queries` held-out pages."""
    rng = np.random.default_rng(seed)
    pages = []
    if MAN_DIR.is_dir():
        for path in sorted(MAN_DIR.glob("*.gz")):
            page = read_page(path)
            if page is not None:
                pages.append((page[0], _passages(page[1])))
    source = f"manual-page passages ({MAN_DIR})"
    pages = [p for p in pages if p[1]]
    if len(pages) < 2 * n_queries:
        pages = [(p.summary, [f"{p.summary}. {p.description}".strip()]) for p in read_packages()]
        source = "package descriptions (dpkg status)"
    order = rng.permutation(len(pages))
    held = set(order[: min(n_queries, len(pages) // 5)].tolist())
    queries = [pages[i][0] for i in sorted(held)]
    passages = [text for i in order[len(held):] for text in pages[i][1]]
    if limit is not None:
        passages = passages[:limit]
    return passages, queries, source
