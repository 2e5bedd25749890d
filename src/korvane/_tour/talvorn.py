"""talvorn: a free list of blocks served by best fit.

The pool's free blocks go into the tree, then requests of random sizes are
answered: first looked up (find_best_fit), then served, each taking the
smallest block that fits out of the list (remove_ge).  The plain-Python
free list keeps the distinct sizes sorted with bisect and the blocks of
each size in a dict of lists.  With threads, several readers look up best
fits in one full tree at once.
"""

import bisect
import random
from types import SimpleNamespace

from ._common import clock, compare, report, rounds, scaling_report, thread_scaling

NAME = "talvorn"
MODULE = "korvane.memory.talvorn"

# Why a ratio may be below 1.
NOTES = {"insert": "plain Python's insert is mostly dict.get and list.append, both C "
                   "(and bisect.insort, also C, for a new size)"}


class BisectFreeList:
    """Sorted distinct sizes plus a dict of same-size lists."""

    def __init__(self):
        self._sizes = []
        self._by_size = {}

    def insert(self, size, block):
        chain = self._by_size.get(size)
        if chain is None:
            bisect.insort(self._sizes, size)
            self._by_size[size] = [block]
        else:
            chain.append(block)
        return True

    def find_best_fit(self, size):
        i = bisect.bisect_left(self._sizes, size)
        return self._by_size[self._sizes[i]][0] if i < len(self._sizes) else None

    def _drop(self, size, chain, index):
        block = chain.pop(index)
        if not chain:
            del self._by_size[size]
            del self._sizes[bisect.bisect_left(self._sizes, size)]
        return block

    def delete(self, size, block):
        chain = self._by_size.get(size)
        if chain is None:
            return False
        try:
            i = chain.index(block)
        except ValueError:
            return False
        self._drop(size, chain, i)
        return True

    def remove_ge(self, size):
        i = bisect.bisect_left(self._sizes, size)
        if i == len(self._sizes):
            return None, None
        s = self._sizes[i]
        return s, self._drop(s, self._by_size[s], 0)


def free_list_workload(n_blocks, n_sizes, n_requests, seed=2024, extra=False):
    """`n_blocks` blocks over `n_sizes` distinct sizes (multiples of 16) in
    random order, and `n_requests` request sizes up to the largest block.
    With `extra`, also `n_requests` (size, block) pairs of further blocks."""
    from korvane.memory.halvet import MemoryBlock

    rng = random.Random(seed)
    size_pool = sorted(rng.sample(range(16, 16 * n_sizes * 4, 16), n_sizes))
    sizes = [size_pool[i % n_sizes] for i in range(n_blocks)]
    rng.shuffle(sizes)
    blocks = [MemoryBlock(i * 64, s) for i, s in enumerate(sizes)]
    top = size_pool[-1]
    reqs = [rng.randrange(top + 1) for _ in range(n_requests)]
    data = SimpleNamespace(size_pool=size_pool, sizes=sizes, blocks=blocks, reqs=reqs)
    if extra:
        data.extra = [(s, MemoryBlock((n_blocks + i) * 64, s)) for i, s in
                      enumerate(rng.choice(size_pool) for _ in range(n_requests))]
    return data


def _serve(free_list, data):
    times = {}
    t0 = clock()
    for s, b in zip(data.sizes, data.blocks):
        free_list.insert(s, b)
    times["insert"] = clock() - t0
    t0 = clock()
    found = [free_list.find_best_fit(r) for r in data.reqs]
    times["find_best_fit"] = clock() - t0
    t0 = clock()
    served = [free_list.remove_ge(r) for r in data.reqs]
    times["remove_ge"] = clock() - t0
    # Sizes only: blocks of one size may come back in another order.
    return times, ([None if b is None else b.size for b in found], [s for s, _ in served])


def run(quick=False):
    from korvane.memory.talvorn import FastRedBlackTree

    n_blocks, n_sizes, n_requests = (20_000, 2_000, 5_000) if quick else (100_000, 10_000, 20_000)
    data = free_list_workload(n_blocks, n_sizes, n_requests)
    native, python, res_native, res_python = compare(
        lambda d: _serve(FastRedBlackTree(), d), lambda d: _serve(BisectFreeList(), d), data,
        rounds=rounds(quick))
    found, served = res_native
    hits = [(s, r) for s, r in zip(served, data.reqs) if s is not None]
    result = {
        "blocks": n_blocks,
        "distinct_sizes": n_sizes,
        "requests": n_requests,
        "best_fit_found": sum(s is not None for s in found),
        "served": len(hits),
        "missed": n_requests - len(hits),
        "mean_slack_bytes": sum(s - r for s, r in hits) / len(hits) if hits else 0.0,
        "blocks_left": n_blocks - len(hits),
    }
    workload = (f"{n_blocks} free blocks over {n_sizes} sizes inserted, then {n_requests} "
                "random requests looked up and served by best fit")
    ops = {"insert": n_blocks, "find_best_fit": n_requests, "remove_ge": n_requests}
    return report(workload, result, res_native == res_python, ops, native, python, NOTES)


def _lookups(free_list, share):
    find = free_list.find_best_fit
    return [find(r) for r in share]


def threads(quick=False):
    """Best-fit lookups shared by 1, 2 and 4 reader threads on one tree."""
    from korvane.memory.talvorn import FastRedBlackTree

    n_blocks, n_sizes, n_requests = 20_000, 2_000, 10_000 if quick else 20_000
    data = free_list_workload(n_blocks, n_sizes, n_requests)
    full = {}
    for name, cls in (("native", FastRedBlackTree), ("python", BisectFreeList)):
        full[name] = cls()
        for s, b in zip(data.sizes, data.blocks):
            full[name].insert(s, b)
    want = [None if b is None else b.size for b in _lookups(full["python"], data.reqs)]

    def right(_, results):
        # Thread i looked up reqs[i::n]: put the answers back in order.
        got = [None] * len(want)
        for i, found in enumerate(results):
            got[i::len(results)] = [None if b is None else b.size for b in found]
        return got == want

    rates, agree = thread_scaling({side: (lambda t=t: t) for side, t in full.items()}, _lookups, data.reqs, right)
    return scaling_report(f"{n_requests} best-fit lookups in a tree of {n_blocks} blocks", "find_best_fit",
                          n_requests, rates, agree)


def summary(result):
    r = result
    return (f"served {r['served']} of {r['requests']} requests ({r['missed']} found no block), "
            f"mean slack {r['mean_slack_bytes']:.1f} bytes; {r['blocks_left']} blocks left")
