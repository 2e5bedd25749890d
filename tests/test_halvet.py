import pytest

from korvane.memory.halvet import MemoryBlock


def test_value_semantics():
    a, b, c = MemoryBlock(0, 64), MemoryBlock(0, 64), MemoryBlock(64, 64)
    assert a == b and a is not b and hash(a) == hash(b)
    assert a != c and a != MemoryBlock(0, 65) and a != (0, 64)
    assert len({a, b, c}) == 2
    assert (a.offset, a.size, c.end) == (0, 64, 128)
    assert repr(c) == "MemoryBlock(offset=64, size=64)"


@pytest.mark.parametrize("offset, size, exc", [
    (-1, 8, ValueError), (0, -8, ValueError), (0.0, 8, TypeError), (0, "8", TypeError), (True, 8, TypeError),
])
def test_bad_arguments(offset, size, exc):
    with pytest.raises(exc):
        MemoryBlock(offset, size)


def test_read_only_fields():
    b = MemoryBlock(8, 8)
    with pytest.raises(AttributeError):
        b.size = 16
    with pytest.raises(AttributeError):
        b.other = 1
