"""The installed distribution and the package it installed agree."""

import importlib.metadata
import pathlib

import pytest

import korvane


def test_distribution_version_is_korvane_version():
    # The wheel's version (its name, `pip show`) is read from korvane/__init__.py
    # at build time; `python -m korvane` prints korvane.__version__.
    try:
        dist = importlib.metadata.distribution("korvane")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("korvane is imported from the source tree, not installed")
    installed = pathlib.Path(dist.locate_file("korvane/__init__.py")).resolve()
    if installed != pathlib.Path(korvane.__file__).resolve():
        pytest.skip(f"the korvane imported ({korvane.__file__}) is not the one installed ({installed})")
    assert dist.version == korvane.__version__
