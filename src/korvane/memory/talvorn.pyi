"""Free-block tree: a red-black tree of native nodes keyed by block size.

The tree holds block objects by strong reference, returns them unchanged and
compares them only with ``==``; in the package they are ``MemoryBlock``s.
Sizes are ``int`` (another number is converted with ``int()``); a negative
size is refused by ``_sanitize_size`` with ValueError "Invalid size: ...".
"""

from typing import type_check_only, TypedDict

from typing_extensions import NotRequired, Self, disjoint_base

from korvane.memory.halvet import MemoryBlock

__test__: dict[str, str]

# True when ``AtomicCounter`` could be imported from korvane.memory.varnok;
# the tree then keeps atomic insert counters.
ATOMIC_AVAILABLE: bool

@type_check_only
class _TreeStats(TypedDict):
    total_blocks: int
    total_insertions: int
    total_deletions: int
    total_searches: int
    bucket_hits: int
    tree_hits: int
    operation_count: int
    # present from the first reset_circuit_breaker() until clear()
    circuit_breaker_trips: NotRequired[int]
    node_count: int
    height: int
    sampled_operations: int
    is_valid: bool

@disjoint_base
class FastRedBlackTree:
    """Size-keyed free-block tree with same-size chains and validated lock-free reads.

    ``sample_rate`` (unsigned 32-bit) is the sampling period of the insert
    statistics; 0 disables sampling.
    """

    def __new__(cls, sample_rate: int = 100) -> Self: ...
    @staticmethod
    def _sanitize_size(size: int) -> int: ...
    def insert(self, size: int, block: MemoryBlock) -> bool: ...
    def find_best_fit(self, size: int, alignment: int = 1) -> MemoryBlock | None:
        """The block of the smallest size >= ``size``; None if there is none or
        ``size`` is negative.  ``alignment`` is checked and otherwise unused."""
    def find_all_exact(self, size: int) -> list[MemoryBlock]: ...
    def delete(self, size: int, block: MemoryBlock) -> bool:
        """Remove one block equal to ``block`` of that size; False if none."""
    def size(self) -> int: ...
    def __len__(self, /) -> int: ...
    def __bool__(self, /) -> bool: ...
    def remove_ge(self, size: int) -> tuple[int, MemoryBlock] | tuple[None, None]:
        """Remove and return the best-fit (size, block), or (None, None)."""
    def get_stats(self) -> _TreeStats: ...
    def clear(self) -> None: ...
    def get_size_distribution(self) -> dict[int, int]:
        """Distinct size -> number of blocks of that size."""
    def reset_circuit_breaker(self) -> None: ...
    def get_statistics(self) -> dict[int, list[float]]:
        """Always empty: no timings are kept in sampling mode."""
