"""The README's API overview examples, run as doctests (one test per module section)."""

import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def sections():
    text = README.read_text(encoding="utf-8")
    overview = re.search(r"^## API overview\n(.*?)(?=^## )", text, re.S | re.M)
    assert overview, "README has no '## API overview' section"
    parts = re.split(r"^### ", overview.group(1), flags=re.M)[1:]
    return [(part.split("\n", 1)[0], part) for part in parts]


SECTIONS = sections()


def test_every_module_has_a_section_with_an_example():
    import korvane

    titles = " ".join(title for title, _ in SECTIONS)
    for name, _ in korvane.NATIVE_MODULES:
        assert f"`{name}`" in titles, f"no API overview section for {name}"
    for title, body in SECTIONS:
        examples = doctest.DocTestParser().get_examples(body)
        assert 1 <= len(examples) <= 5, f"{title}: {len(examples)} examples"


@pytest.mark.parametrize("title,body", SECTIONS, ids=[t.split("`")[1] for t, _ in SECTIONS])
def test_section_examples(title, body):
    test = doctest.DocTestParser().get_doctest(body, {}, title, str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)
    assert runner.tries > 0
