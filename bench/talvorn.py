"""Free-block tree: our calls against the interpreter's floor and pure Python.

100000 blocks over 10000 distinct sizes.  For each operation it prints the
time per call and two ratios: against the floor for the same call shape
(a method of a builtin with as many arguments, doing next to nothing) and
against the same free list written in pure Python, on
sortedcontainers.SortedKeyList (skipped when the package is missing) and on
bisect over a sorted list of sizes.  Never asserts times.

    PYTHONPATH=src python bench/talvorn.py
"""
import sys
import time
import tracemalloc

from korvane._tour._common import interleaved
from korvane._tour.talvorn import BisectFreeList, free_list_workload
from korvane.memory.talvorn import FastRedBlackTree

try:
    from sortedcontainers import SortedKeyList
except ImportError:  # the comparison is skipped
    SortedKeyList = None

N_BLOCKS = 100_000
N_SIZES = 10_000
N_OPS = 20_000
REPEAT = 5


class SortedFreeList:
    """The free list on SortedKeyList, as a user would write it."""

    def __init__(self):
        self._blocks = SortedKeyList(key=lambda b: b.size)

    def insert(self, size, block):
        self._blocks.add(block)
        return True

    def find_best_fit(self, size):
        i = self._blocks.bisect_key_left(size)
        return self._blocks[i] if i < len(self._blocks) else None

    def delete(self, size, block):
        try:
            self._blocks.remove(block)
        except ValueError:
            return False
        return True

    def remove_ge(self, size):
        i = self._blocks.bisect_key_left(size)
        if i == len(self._blocks):
            return None, None
        block = self._blocks.pop(i)
        return block.size, block


BATCH = 500


def timed(fn, obj, items):
    """Per-batch times (ns) of fn(obj, batch) over consecutive batches."""
    out = []
    for i in range(0, len(items), BATCH):
        batch = items[i:i + BATCH]
        t0 = time.perf_counter_ns()
        fn(obj, batch)
        out.append(time.perf_counter_ns() - t0)
    return out


def per_call(fn, make, items):
    """ns per call: the sum over batches of each batch's best of REPEAT runs
    (short batches keep a busy machine's preemptions out of the result).
    `make()` gives the object to run on; for state-neutral loops it may
    return the same one each time.  The runs of one case follow each other:
    each free list takes several MB, and taking turns with the others would
    time a tree the others have pushed out of the caches."""
    (runs,) = interleaved([lambda: timed(fn, make(), items)], REPEAT, collect=False)
    return sum(map(min, zip(*runs))) / len(items)


def loop_find(obj, reqs):
    for r in reqs:
        obj.find_best_fit(r)


def loop_floor1(d, reqs):
    for r in reqs:
        d.get(r)


def loop_pair(obj, pairs):
    for s, b in pairs:
        obj.insert(s, b)
        obj.delete(s, b)


def loop_floor2(d, pairs):
    for s, b in pairs:
        d.get(s, b)
        d.get(s, b)


def loop_remove(obj, reqs):
    for r in reqs:
        obj.remove_ge(r)


def build(cls, sizes, blocks):
    obj = cls()
    for s, b in zip(sizes, blocks):
        obj.insert(s, b)
    return obj


def main():
    # The free list of `python -m korvane`, with further blocks to insert and delete.
    data = free_list_workload(N_BLOCKS, N_SIZES, N_OPS, extra=True)
    sizes, blocks, reqs, extra = data.sizes, data.blocks, data.reqs, data.extra

    impls = [("tree", FastRedBlackTree)]
    if SortedKeyList is not None:
        impls.append(("SortedKeyList", SortedFreeList))
    impls.append(("bisect", BisectFreeList))

    results = {}
    empty = {}
    floor = {"find_best_fit": per_call(loop_floor1, lambda: empty, reqs),
             "insert+delete": per_call(loop_floor2, lambda: empty, extra),
             "remove_ge": per_call(loop_floor1, lambda: empty, reqs)}
    for name, cls in impls:
        obj = build(cls, sizes, blocks)
        results[name] = {
            "find_best_fit": per_call(loop_find, lambda: obj, reqs),
            "insert+delete": per_call(loop_pair, lambda: obj, extra),
            # remove_ge takes blocks out: a fresh copy for each run
            "remove_ge": per_call(loop_remove, lambda: build(cls, sizes, blocks), reqs),
        }
    small = FastRedBlackTree()
    small.insert(64, blocks[0])
    hot = per_call(loop_find, lambda: small, [10] * N_OPS)

    print(f"free-block tree: {N_BLOCKS} blocks over {N_SIZES} distinct sizes, {N_OPS} calls per run, "
          f"best of {REPEAT}; Python {sys.version.split()[0]}")
    print("floor: dict.get(k) for one-argument calls, two dict.get(k, v) for a pair")
    header = f"{'operation':<15}{'tree ns':>9}{'floor ns':>10}{'x floor':>9}"
    others = [n for n, _ in impls if n != "tree"]
    for n in others:
        header += f"{n + ' ns':>18}{'speed-up':>10}"
    print(header)
    for op in ("find_best_fit", "insert+delete", "remove_ge"):
        ours = results["tree"][op]
        line = f"{op:<15}{ours:>9.0f}{floor[op]:>10.0f}{ours / floor[op]:>9.2f}"
        for n in others:
            line += f"{results[n][op]:>18.0f}{results[n][op] / ours:>10.1f}"
        print(line)
    print(f"find_best_fit on a one-node tree (the call without the walk): {hot:.0f} ns, "
          f"{hot / floor['find_best_fit']:.2f} x floor")

    # Native memory per block: the tree's nodes are the only allocations of
    # inserts into a new tree (the blocks exist already).
    tracemalloc.start()
    t = FastRedBlackTree()
    m0 = tracemalloc.get_traced_memory()[0]
    for s, b in zip(sizes, blocks):
        t.insert(s, b)
    tree_bytes = (tracemalloc.get_traced_memory()[0] - m0) / N_BLOCKS
    mem = [f"tree {tree_bytes:.1f}"]
    for name, cls in impls[1:]:
        m0 = tracemalloc.get_traced_memory()[0]
        obj = build(cls, sizes, blocks)
        mem.append(f"{name} {(tracemalloc.get_traced_memory()[0] - m0) / N_BLOCKS:.1f}")
        del obj
    tracemalloc.stop()
    print("memory per block (bytes, besides the block objects): " + ", ".join(mem))


if __name__ == "__main__":
    main()
