"""Free-block tree: our calls against the interpreter's floor and pure Python.

100000 blocks over 10000 distinct sizes.  For each operation it prints the
time per call and two ratios: against the floor for the same call shape
(a method of a builtin with as many arguments, doing next to nothing) and
against the same free list written in pure Python, on
sortedcontainers.SortedKeyList (skipped when the package is missing) and on
bisect over a sorted list of sizes.  Never asserts times.

Then the tree in threads: lookups, and insert+delete pairs, at 1, 2 and 4
threads on one shared tree and on one tree per thread, as throughput (all
threads' calls per wall second) and as CPU time per call (the threads' CPU
time over their calls: flat from 1 to 2 threads where nothing is shared,
whatever else the machine runs); and one or two readers looking up while a
writer inserts and deletes.  With the interpreter lock the threads take
turns; without it (a free-threaded build, PYTHON_GIL=0) they run at once.

    PYTHONPATH=src python bench/talvorn.py [--threads-only]
"""
import functools
import random
import statistics
import sys
import threading
import time
import tracemalloc

from korvane._tour._common import in_threads, interleaved
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


# ------------------------------------------------------------- threads

T_BLOCKS = 20_000
T_SIZES = 10_000
T_CALLS = 1_000_000   # lookups per thread (insert+delete: a fifth as many calls)
T_ROUNDS = 3
WRITER_PAUSE = 0.0001  # the paced writer sleeps this long after each insert+delete pair


def thread_data(n_threads, seed=7):
    """A tree's blocks, and for each thread its own requests and its own
    blocks to insert and delete (objects no other thread touches, so that
    reference counts of the inputs are not what the threads contend on)."""
    from korvane.memory.halvet import MemoryBlock

    rng = random.Random(seed)
    sizes = [rng.randrange(16, 16 * T_SIZES * 4, 16) for _ in range(T_BLOCKS)]
    blocks = [MemoryBlock(i * 64, s) for i, s in enumerate(sizes)]
    top = max(sizes)
    reqs = [[rng.randrange(top + 1) for _ in range(T_CALLS)] for _ in range(n_threads)]
    pairs = [[(s, MemoryBlock(10**9 + t * T_CALLS + i, s)) for i, s in
              enumerate(rng.randrange(16, top, 16) for _ in range(1000))] for t in range(n_threads)]
    return sizes, blocks, reqs, pairs


def full_tree(sizes, blocks):
    t = FastRedBlackTree()
    for s, b in zip(sizes, blocks):
        t.insert(s, b)
    return t


def threaded(n, work):
    """(calls per wall second, CPU ns per call) of `n` threads running
    work(i) -> calls made, released together."""
    calls = [0] * n
    cpu = [0.0] * n

    def run(i):
        c0 = time.thread_time()
        calls[i] = work(i)
        cpu[i] = time.thread_time() - c0

    seconds = in_threads(n, run)
    return sum(calls) / seconds, sum(cpu) / sum(calls) * 1e9


def lookup_fn(tree, direct):
    """tree.find_best_fit, or (direct) the same method called through a
    partial that holds the tree: each call then takes no reference to the
    tree.  On 3.13t every thread's reference to a shared object is an atomic
    operation on its header, so the plain way has the threads contend for
    the tree's reference count, the direct way leaves only the tree's own
    synchronisation (and the blocks returned)."""
    return functools.partial(FastRedBlackTree.find_best_fit, tree) if direct else tree.find_best_fit


def lookups(find, reqs):
    for r in reqs:
        find(r)
    return len(reqs)


def churn(tree, pairs):
    ins, dele = tree.insert, tree.delete
    for _ in range(T_CALLS // 5 // 2 // len(pairs)):
        for s, b in pairs:
            ins(s, b)
            dele(s, b)
    return T_CALLS // 5 // 2 // len(pairs) * 2 * len(pairs)


def readers_with_writer(tree, reqs, pairs, n_readers, pause, direct):
    """Lookups per wall second of `n_readers` readers while one writer
    inserts and deletes until they are done (sleeping `pause` after each
    pair, or never); and the writer's pairs per second."""
    left = [n_readers]
    done = threading.Lock()
    writes = [0]

    def work(i):
        if i == n_readers:
            n = 0
            ins, dele = tree.insert, tree.delete
            while left[0]:
                s, b = pairs[n % len(pairs)]
                ins(s, b)
                dele(s, b)
                n += 1
                if pause:
                    time.sleep(pause)
            writes[0] = n
            return 0
        count = lookups(lookup_fn(tree, direct), reqs[i])
        with done:
            left[0] -= 1
        return count

    rate, _ = threaded(n_readers + 1, work)
    return rate, writes[0] * rate / (n_readers * T_CALLS)


def thread_benchmarks():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\nthreads: {T_BLOCKS} blocks over up to {T_SIZES} sizes; {T_CALLS} lookups or {T_CALLS // 5} "
          f"insert/delete calls per thread; median of {T_ROUNDS} rounds; interpreter lock {'on' if gil else 'off'}")
    print("trees: shared (one tree, plain calls), shared* (one tree, called without taking a reference "
          "to it), own (one tree per thread)")
    sizes, blocks, reqs, pairs = thread_data(4)
    trees = [full_tree(sizes, blocks) for _ in range(4)]
    modes = {"shared": (lambda i: trees[0], False), "shared*": (lambda i: trees[0], True),
             "own": (lambda i: trees[i], False)}
    cases = {}
    for _ in range(T_ROUNDS):
        for n in (1, 2, 4):
            for mode, (pick, direct) in modes.items():
                r = cases.setdefault((n, mode), {"find_best_fit": [], "insert+delete": []})
                r["find_best_fit"].append(threaded(n, lambda i: lookups(lookup_fn(pick(i), direct), reqs[i])))
                if not direct:
                    r["insert+delete"].append(threaded(n, lambda i: churn(pick(i), pairs[i])))
    for op in ("find_best_fit", "insert+delete"):
        print(f"{op:<15}{'threads':>8}{'tree':>10}{'calls/s':>13}{'x 1 thread':>12}{'CPU ns/call':>13}")
        for mode in modes:
            if not cases[(1, mode)][op]:
                continue
            one = statistics.median(rate for rate, _ in cases[(1, mode)][op])
            for n in (1, 2, 4):
                rate = statistics.median(r for r, _ in cases[(n, mode)][op])
                cpu = statistics.median(c for _, c in cases[(n, mode)][op])
                print(f"{'':<15}{n:>8}{mode:>10}{rate:>13,.0f}{rate / one:>12.2f}{cpu:>13.0f}")

    print("readers alongside a writer on one tree: lookups per second of all readers")
    tree = trees[0]
    for direct in (False, True):
        for pause in (WRITER_PAUSE, None):
            rates = {1: [], 2: []}
            wrates = {1: [], 2: []}
            for _ in range(T_ROUNDS):
                for n in (1, 2):
                    rate, wrate = readers_with_writer(tree, reqs, pairs[3], n, pause, direct)
                    rates[n].append(rate)
                    wrates[n].append(wrate)
            one, two = statistics.median(rates[1]), statistics.median(rates[2])
            writer = f"sleeping {pause * 1e6:.0f} us after each pair" if pause else "never sleeping"
            print(f"  {'shared*' if direct else 'shared'}, writer {writer}: 1 reader {one:,.0f}/s "
                  f"(writer {statistics.median(wrates[1]):,.0f} pairs/s), 2 readers {two:,.0f}/s "
                  f"(writer {statistics.median(wrates[2]):,.0f} pairs/s): x{two / one:.2f}")


if __name__ == "__main__":
    if "--threads-only" not in sys.argv[1:]:
        main()
    thread_benchmarks()
