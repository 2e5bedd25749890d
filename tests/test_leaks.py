"""A short run of tests/leakcheck.py: every public operation, fewer calls, all of them traced."""

import pytest

import leakcheck

CALLS = 600     # traced in two halves of 300: a 16-byte leak per call is 4800 bytes, over the bound


@pytest.mark.parametrize("make", leakcheck.MODULES, ids=lambda make: make.__name__[:-4])
def test_operations_keep_references_and_memory(make):
    problems = []
    for op in make():
        result = leakcheck.measure(op, min(CALLS, op.calls or CALLS), traced_share=100)
        # Resident size moves in pages: meaningful over the full run only.
        problems += [f"{op.label}: {p}" for p in leakcheck.failures_of(result, op, rss=False)]
    assert problems == []


def test_the_check_sees_a_leak():
    leaked = []
    obj = object()

    def leaky():
        leaked.append(obj)                      # a reference and a growing list

    def fresh():
        leaked.append([])                       # only memory

    for fn, what in [(leaky, "refcount"), (fresh, "traced memory")]:
        op = leakcheck.Op("test", fn.__name__, fn, watch=(obj,))
        problems = leakcheck.failures_of(leakcheck.measure(op, 1000, traced_share=100), op)
        assert any(p.startswith(what) for p in problems), problems
        leaked.clear()


def test_the_check_sees_a_missing_error():
    op = leakcheck.Op("test", "int('1')", int, ("1",), exc=ValueError)
    problems = leakcheck.failures_of(leakcheck.measure(op, 100), op)
    assert len(problems) == 1 and problems[0].endswith("calls did not raise")
