"""Blocks of a memory pool.

A `MemoryBlock` names a region of a pool by its offset and its size in
bytes.  Blocks are values: two blocks are equal when they name the same
region, so a free list can find a block again from an equal copy.
"""

__all__ = ["MemoryBlock"]


def _index(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative: {value}")
    return value


class MemoryBlock:
    """A region of `size` bytes starting at `offset` within a memory pool."""

    __slots__ = ("_offset", "_size", "__weakref__")

    def __init__(self, offset: int, size: int) -> None:
        self._offset = _index("offset", offset)
        self._size = _index("size", size)

    @property
    def offset(self) -> int:
        """Start of the block within its pool."""
        return self._offset

    @property
    def size(self) -> int:
        """Length of the block in bytes."""
        return self._size

    @property
    def end(self) -> int:
        """First offset past the block."""
        return self._offset + self._size

    def __eq__(self, other: object) -> bool:
        if isinstance(other, MemoryBlock):
            return self._offset == other._offset and self._size == other._size
        return NotImplemented

    def __hash__(self) -> int:
        return hash((self._offset, self._size))

    def __repr__(self) -> str:
        return f"MemoryBlock(offset={self._offset}, size={self._size})"
