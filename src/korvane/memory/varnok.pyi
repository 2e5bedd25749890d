"""Concurrency primitives: lock-free counters, a versioned object slot, a
stack with an atomic size, allocation statistics and a nanosecond timer.

Integer parameters of the extension types are signed 64-bit: any object with
``__int__`` is accepted at run time (a float is truncated), a value outside
the range raises OverflowError.  The stubs ask for ``int``.
"""

from typing import type_check_only, TypedDict

from typing_extensions import Self, disjoint_base

CYTHON_ATOMICS_AVAILABLE: bool

@disjoint_base
class AtomicCounter:
    """Lock-free signed 64-bit counter; arithmetic wraps modulo 2**64."""

    def __new__(cls, initial_value: int = 0) -> Self: ...
    def load(self) -> int: ...
    def store(self, value: int) -> None: ...
    def increment(self, delta: int = 1) -> int:
        """Add ``delta`` and return the new value."""
    def decrement(self, delta: int = 1) -> int:
        """Subtract ``delta`` and return the new value."""
    def compare_and_swap(self, expected: int, new_value: int) -> bool: ...
    def fetch_and_add(self, delta: int) -> int:
        """Add ``delta`` and return the value before the addition."""
    # The same function objects under a second name.
    py_load = load
    py_store = store
    py_increment = increment
    py_decrement = decrement
    py_compare_and_swap = compare_and_swap
    py_fetch_and_add = fetch_and_add

@disjoint_base
class AtomicPointer:
    """Slot holding one object (or None) and a version that counts replacements."""

    def __new__(cls, initial_value: object = None) -> Self: ...
    def load(self) -> object: ...
    def store(self, value: object) -> None: ...
    def compare_and_swap(self, expected: object, new_value: object) -> bool:
        """Replace the held object when it *is* ``expected`` (identity, not equality)."""
    def get_version(self) -> int: ...

@disjoint_base
class LockFreeStack:
    """LIFO stack of objects; ``size()`` reads an atomic counter without the lock.

    The constructor takes no parameters (extra arguments are ignored).
    """

    def __new__(cls) -> Self: ...
    def push(self, item: object) -> None: ...
    def pop(self) -> object:
        """The top item, or None when the stack is empty."""
    def is_empty(self) -> bool: ...
    def size(self) -> int: ...

@type_check_only
class _Snapshot(TypedDict):
    total_allocations: int
    total_deallocations: int
    current_allocations: int
    bytes_allocated: int
    bytes_reserved: int
    peak_allocations: int
    peak_bytes_allocated: int
    bucketed_allocations: int
    fallback_allocations: int
    bucketed_allocation_ratio: str  # "12.5%"
    alignment_padding_bytes: int
    average_allocation_time_ns: float
    average_deallocation_time_ns: float
    allocation_mode: str

@disjoint_base
class LockFreeStatistics:
    """Allocation statistics in atomic counters.

    ``record_*`` update only the public counters below; ``py_record_*`` update
    the native counters and three public ones each.  The constructor takes no
    parameters (extra arguments are ignored).
    """

    total_allocations: AtomicCounter
    total_deallocations: AtomicCounter
    current_allocations: AtomicCounter
    bytes_allocated: AtomicCounter
    bytes_reserved: AtomicCounter
    peak_allocations: AtomicCounter
    peak_bytes_allocated: AtomicCounter
    bucketed_allocations: AtomicCounter
    fallback_allocations: AtomicCounter
    alignment_padding_bytes: AtomicCounter
    total_allocation_time_ns: AtomicCounter
    total_deallocation_time_ns: AtomicCounter
    def __new__(cls) -> Self: ...
    def py_record_allocation(self, size: int, is_bucketed: bool, padding: int = 0, time_ns: int = 0) -> None: ...
    def py_record_deallocation(self, size: int, time_ns: int = 0) -> None: ...
    def _update_peaks(self, current_allocs: int, current_bytes: int) -> None: ...
    def record_allocation(self, size: int, is_bucketed: bool = True, padding: int = 0, time_ns: int = 0) -> None: ...
    def record_deallocation(self, size: int, time_ns: int = 0) -> None: ...
    def get_snapshot(self) -> _Snapshot: ...
    def reset(self) -> None: ...

@disjoint_base
class PerformanceTimer:
    """Stopwatch over ``time.perf_counter_ns()``; no parameters."""

    def __new__(cls) -> Self: ...
    def start(self) -> None: ...
    def elapsed_ns(self) -> int: ...
    def elapsed_us(self) -> float: ...
    def elapsed_ms(self) -> float: ...

class AtomicCounterWrapper:
    """Plain Python class delegating to an ``AtomicCounter`` (older callers)."""

    _counter: AtomicCounter
    def __init__(self, initial_value: int = 0) -> None: ...
    def load(self) -> int: ...
    def store(self, value: int) -> None: ...
    def increment(self, delta: int = 1) -> int: ...
    def decrement(self, delta: int = 1) -> int: ...
    def compare_and_swap(self, expected: int, new_value: int) -> bool: ...
    def fetch_and_add(self, delta: int) -> int: ...
