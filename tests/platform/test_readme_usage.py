"""The README's "Using it" section runs as written, in a fresh process."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def usage_code():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"^## Using it\n(.*?)^## ", text, re.S | re.M)
    assert section, "README.md has no 'Using it' section"
    blocks = re.findall(r"^```python\n(.*?)^```", section.group(1), re.S | re.M)
    assert blocks, "the 'Using it' section shows no Python code"
    return "\n".join(blocks)  # the blocks build on each other, as a reader runs them


def test_the_usage_section_runs(tmp_path):
    out = subprocess.run([sys.executable, "-c", usage_code()], cwd=tmp_path, capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    assert "SearchResult(rank=0, id='new'" in out.stdout  # the reloaded index found the added document
