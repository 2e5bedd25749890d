"""Replays the fuzz harnesses (fuzz/fuzz_<module>.py) on fixed inputs.

Every input kept under fuzz/regressions/<module>/ (a crash file of the
fuzzer, named after what it found) runs through its harness, which fails on
a crash, a sanitizer report, an exception outside the expected ones or a
broken invariant.  A fixed set of pseudo-random inputs runs as well, so the
harnesses and their oracles stay in working order between fuzzing runs.
Needs atheris (for its FuzzedDataProvider); skipped without it.
"""
import importlib
import random
import sys
from pathlib import Path

import pytest

atheris = pytest.importorskip("atheris")

# Hostile objects return a bool from __index__ on purpose.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
MODULES = ["varnok", "brisel", "talvorn", "quendar", "meravin", "pelgrun", "dorvask", "oskarel", "tulvane"]


def harness(mod):
    if str(FUZZ) not in sys.path:
        sys.path.insert(0, str(FUZZ))
    return importlib.import_module(f"fuzz_{mod}")


def kept_inputs():
    out = []
    for mod in MODULES:
        for f in sorted((FUZZ / "regressions" / mod).glob("*")):
            if f.is_file():
                out.append(pytest.param(mod, f, id=f"{mod}/{f.name}"))
    return out


@pytest.mark.parametrize("mod, path", kept_inputs())
def test_kept_input(mod, path):
    harness(mod).TestOneInput(path.read_bytes())


@pytest.mark.parametrize("mod", MODULES)
def test_random_inputs(mod):
    h = harness(mod)
    rnd = random.Random(f"korvane-fuzz-{mod}")
    for _ in range(300):
        h.TestOneInput(rnd.randbytes(rnd.randrange(0, 800)))
