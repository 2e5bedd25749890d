"""Slab headers, size classes, bucket free lists and allocation statistics.

Integer parameters are signed 32-bit (the bitmap unsigned 64-bit): any object
with ``__int__`` is accepted at run time, a value outside the range raises
OverflowError.  The stubs ask for ``int``.
"""

from typing import Literal, overload, type_check_only, TypedDict

from typing_extensions import Self, disjoint_base

__test__: dict[str, str]

@disjoint_base
class FastSlabHeaderOps:
    """A 16-byte little-endian slab header (struct format "<BBLHQ"):
    size class index, flags (0x10 in use, 0x80 corrupt), epoch, CRC-16 of the
    first six bytes and the free-object bitmap (bit i set: object i is free).
    """

    def __new__(cls, size_class_index: int, objects_per_slab: int) -> Self: ...
    def pack_header(self) -> bytes:
        """The 16-byte form with a freshly computed checksum."""
    def unpack_header(self, data: bytes) -> None:
        """Load the header from ``data``; a checksum mismatch sets the 0x80 flag."""
    def py_is_object_free(self, object_index: int) -> bool: ...
    def py_find_free_object(self) -> int:
        """Lowest free object index, or -1 when none is free."""
    def py_allocate_object_at(self, object_index: int) -> None: ...
    def py_deallocate_object_at(self, object_index: int) -> None: ...

@disjoint_base
class FastBucketAllocator:
    """Size-class free lists: bucket size -> list of block offsets."""

    def __new__(cls, bucket_size_step: int = 8, small_block_max: int = 256, medium_block_max: int = 4096) -> Self: ...
    def _init_buckets(self) -> None: ...
    def add_to_bucket(self, size: int, offset: int) -> bool:
        """True if the offset was stored (False: no bucket for ``size``)."""
    def remove_from_bucket(self, size: int) -> int | None:
        """An offset from the bucket of ``size``, or None."""
    def find_best_fit_bucket(self, size: int, alignment: int) -> int | None:
        """An offset from the smallest non-empty bucket that fits, or None."""

@type_check_only
class _CollectorStats(TypedDict):
    total_allocations: int
    total_deallocations: int
    bucketed_allocations: int
    fallback_allocations: int
    bucketed_allocation_ratio: str  # "33.3%"
    alignment_padding_bytes: int

@disjoint_base
class FastStatsCollector:
    """Allocation counters under a lock; the constructor takes no parameters."""

    def __new__(cls) -> Self: ...
    def py_record_allocation(self, size: int, padding: int, is_bucketed: bool) -> None: ...
    def py_record_deallocation(self) -> None: ...
    def get_stats(self) -> _CollectorStats: ...
    def reset_stats(self) -> None: ...

def fast_align_size(size: int, alignment: int) -> int:
    """``size`` rounded up to a multiple of ``alignment`` (a power of 2, else ValueError)."""

def fast_get_bucket_size(size: int, step: int = 8) -> int:
    """``size`` rounded up to a multiple of ``step`` (division truncating toward zero)."""

@overload
def fast_bitmap_operations(bitmap: int, index: int, operation: Literal["is_set"]) -> bool: ...
@overload
def fast_bitmap_operations(bitmap: int, index: int, operation: Literal["set", "clear", "find_first"]) -> int: ...
@overload
def fast_bitmap_operations(bitmap: int, index: int, operation: str) -> bool | int:
    """"is_set" -> bool; "set" / "clear" -> the new bitmap; "find_first" -> lowest
    set bit or -1 (``index`` ignored); any other name raises ValueError."""

def fast_can_fit_aligned(block_offset: int, block_size: int, alloc_size: int, alignment: int) -> bool:
    """Whether ``alloc_size`` bytes at the aligned offset end strictly before the block's end."""
