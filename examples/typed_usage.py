"""A small program over the nine native modules, type-checked with `mypy --strict`.

It plans a GPU allocation, keeps free blocks in the size tree, asks the
compilation policy for a decision and aggregates timings; every value's type
comes from the modules' stubs.
"""

from __future__ import annotations

from korvane.gpu import pelgrun
from korvane.jit import quendar
from korvane.memory import brisel, talvorn, varnok
from korvane.memory.halvet import MemoryBlock
from korvane.monitoring import tulvane
from korvane.native import oskarel
from korvane.plugins.analyzer import dorvask, meravin

GPU_CHUNKED = 1


class Metrics:
    def __init__(self, calls: int) -> None:
        self.call_count = calls
        self.compile_count = 0
        self.avg_speedup = 1.0


class Store:
    """The telemetry store the compilation policy reads."""

    def __init__(self) -> None:
        self.calls: dict[str | None, int] = {}

    def get_metrics(self, func_id: str | None) -> Metrics:
        return Metrics(self.calls.get(func_id, 0))


def plan(shape: tuple[int, ...], available: int) -> list[tuple[int, ...]]:
    needed = pelgrun.estimate_allocation_bytes(shape, 4)
    strategy, limit, chunks, reason = pelgrun.decide_allocation_strategy(needed, available, 0.2, True)
    print(f"{reason} ({chunks} chunks under {limit} bytes)")
    if strategy != GPU_CHUNKED:
        return [shape]
    return pelgrun.compute_chunk_shapes(shape, 4, limit)


def free_blocks() -> MemoryBlock | None:
    tree = talvorn.FastRedBlackTree(sample_rate=1)
    offset = 0
    for size in (64, 256, 4096):
        size = brisel.fast_align_size(size, 64)
        tree.insert(size, MemoryBlock(offset, size))
        offset += size
    stats = tree.get_stats()
    print("tree blocks:", stats["total_blocks"], "height:", stats["height"], "valid:", stats["is_valid"])
    return tree.find_best_fit(200)


def main() -> None:
    cores: int = oskarel.detect_physical_cores()
    report = oskarel.detect_capabilities()
    print("cores:", cores, "cuda:", report["cuda_available"])

    for piece in plan((4096, 1024), 8 << 20):
        print("chunk", piece)
    block = free_blocks()
    if block is not None:
        print("best fit:", block.offset, block.size)

    counter = varnok.AtomicCounter()
    store = Store()
    policy = quendar.Quendar(quendar.create_policy_config(initial_threshold=10))
    for _ in range(12):
        store.calls["hot"] = counter.increment()
    print("compile hot:", policy.should_compile("hot", store))

    cpu, memory, parallel, gpu, large = meravin.normalize_scores(4, 2, 1, 0, 0)
    print("cpu intensity:", cpu, "pattern:", dorvask.detect_dominant_pattern(["cpu", "cpu", "io"]))

    timings = tulvane.create_aggregator(4)
    for value in (1.5, 2.5, 3.5):
        timings.update(0, value)
    summary = timings.get_stats(0)
    mean: float = summary["mean"]
    print("mean:", mean, "max:", summary["max"], memory + parallel + gpu + large >= 0)


if __name__ == "__main__":
    main()
