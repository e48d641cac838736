"""The package's declared dependencies and its own description agree with
what is installed and tested."""

import pkgutil
import re
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement

import tarnix_engine

ROOT = Path(__file__).resolve().parents[2]
DECLARED = [Requirement(r) for r in tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["dependencies"]]
PINNED = dict(
    line.split("==", 1)
    for line in (ROOT / "requirements" / "constraints.txt").read_text().splitlines()
    if "==" in line and not line.startswith("#")
)


@pytest.mark.parametrize("requirement", DECLARED, ids=str)
def test_the_tested_versions_are_inside_the_declared_bounds(requirement):
    assert requirement.name in PINNED, f"{requirement.name} is declared but never pinned for the tests"
    assert requirement.specifier.contains(PINNED[requirement.name]), (requirement, PINNED[requirement.name])


MODULES = sorted(
    m.name
    for m in pkgutil.walk_packages(tarnix_engine.__path__, "tarnix_engine.")
    if m.name != "tarnix_engine._support_probe"  # a test-only build of the support layer
)


@pytest.mark.parametrize("module", MODULES)
def test_the_package_docstring_names_every_module(module):
    last = module.rsplit(".", 1)[-1]
    assert re.search(rf"(?<![\w]){re.escape(last)}(?![\w])", tarnix_engine.__doc__), (
        f"tarnix_engine's docstring says nothing of {module}"
    )
