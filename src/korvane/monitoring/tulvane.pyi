"""Counter aggregation: a fixed array of numbered counters with count, mean,
population variance, standard deviation, minimum and maximum."""

from typing import type_check_only, TypedDict

from typing_extensions import Self, disjoint_base

@type_check_only
class _CounterStats(TypedDict):
    count: int
    mean: float
    variance: float
    std: float
    min: float  # inf while the counter is empty
    max: float  # -inf while the counter is empty

@disjoint_base
class CounterAggregator:
    """``num_counters`` counters numbered from 0 (signed 32-bit; a negative
    count raises MemoryError).  A counter id outside the range raises
    IndexError."""

    def __new__(cls, num_counters: int = 1000) -> Self: ...
    def update(self, counter_id: int, value: float) -> None: ...
    def get_stats(self, counter_id: int) -> _CounterStats: ...
    def reset(self, counter_id: int) -> None: ...
    def reset_all(self) -> None: ...
    def get_all_stats(self) -> list[tuple[int, _CounterStats]]:
        """(counter id, stats) for every counter that holds values."""

def create_aggregator(num_counters: int = 1000) -> CounterAggregator: ...
