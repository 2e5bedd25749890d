"""Leak check: every public operation of the nine native modules, many times over.

Each operation (a call with fixed arguments, or a short balanced sequence
such as push-then-pop) is warmed up, then run CALLS times in a row.  Around
the run it measures

  * the reference counts of its inputs, of its first result and of that
    result's items (a leaked reference to a shared object shows here);
  * the bytes traced by tracemalloc over a share of the calls, the smaller
    growth of its two halves (objects and PyMem_* blocks: a leaked fresh
    object or node shows here);
  * the resident size from /proc/self/statm (plain malloc/new blocks).

Calls expected to raise are run the same way and must raise their error
every time.  Exit status 1 when any operation exceeds a bound.

    python tests/leakcheck.py [--calls N] [--only SUBSTRING] [--verbose]
"""

import argparse
from array import array
import gc
import logging
import math
import os
import sys
import time
import tracemalloc
from itertools import repeat
from types import SimpleNamespace

from standins import RecordStore, cuda_registry

# Of each operation's calls, this percentage runs under tracemalloc (which
# doubles the cost of a call); the rest is measured by resident size.  The
# reference counts are compared across all calls.
TRACED_SHARE = 20
# A correct operation leaves every count exactly where it was; the slack is
# for interpreter caches (free lists, interned values) filled on the way.
REFCOUNT_BOUND = 2
SINGLETON_BOUND = 8     # None, True, 0, ...: see measure()
# Per operation.  A leak of the smallest block on every call would be
# 16 bytes per traced call (tracemalloc) or 32 bytes per call (malloc) and
# exceed these bounds many times over.
TRACED_BOUND = 4096
RSS_BOUND = 1 << 20
CALLS = 100_000
WARMUP = 200
TRACED_WARMUP = 20
# Calls that start a process (the GPU tool fallback).  The interpreter's own
# subprocess machinery keeps filling caches (the attribute cache holds the
# exception names it decodes) for some thousand calls: a pure-Python loop of
# the same subprocess.run call grows by up to 16 KiB and moves the counts of
# None and the small ints by up to a dozen, either way.  A reference lost
# or kept by every call would move a count by the number of calls.
TOOL_CALLS = 1000
TOOL_TRACED_BOUND = 24 << 10
TOOL_REFCOUNT_BOUND = 32

_PAGE = os.sysconf("SC_PAGE_SIZE")
_SINGLETONS = (None, True, False, Ellipsis, NotImplemented, 0, 1, -1, "", ())


def _is_shared(x):
    """An object the interpreter itself uses all over: None, True, small ints..."""
    return any(x is s for s in _SINGLETONS) or (type(x) is int and -5 <= x <= 256)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


class Op:
    __slots__ = ("module", "name", "fn", "args", "kwargs", "exc", "watch", "calls", "warmup", "setup", "teardown",
                 "traced_bound", "refcount_bound")

    def __init__(self, module, name, fn, args=(), kwargs=None, exc=None, watch=(), calls=None, warmup=WARMUP,
                 setup=None, teardown=None, traced_bound=TRACED_BOUND, refcount_bound=REFCOUNT_BOUND):
        self.module, self.name, self.fn, self.args = module, name, fn, tuple(args)
        self.kwargs, self.exc, self.watch, self.calls = dict(kwargs or {}), exc, tuple(watch), calls
        self.warmup, self.setup, self.teardown = warmup, setup, teardown
        self.traced_bound, self.refcount_bound = traced_bound, refcount_bound

    @property
    def label(self):
        if self.exc is None:
            return f"{self.module}: {self.name}"
        names = "/".join(e.__name__ for e in (self.exc if isinstance(self.exc, tuple) else (self.exc,)))
        return f"{self.module}: {self.name} -> {names}"


def _run(op, n):
    fn, args, kwargs, exc = op.fn, op.args, op.kwargs, op.exc
    if exc is None:
        if kwargs:
            for _ in repeat(None, n):
                fn(*args, **kwargs)
        else:
            for _ in repeat(None, n):
                fn(*args)
        return 0
    missed = 0
    for _ in repeat(None, n):
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            missed += 1
    return missed


def _items(obj):
    if isinstance(obj, dict):
        return [*obj.keys(), *obj.values()]
    if isinstance(obj, (tuple, list)):
        return list(obj)
    return []


def _refcounts(objects, out):
    # Into a preallocated array: no int objects are kept that could hold
    # references to the small ints being watched.
    i = 0
    for x in objects:
        out[i] = sys.getrefcount(x)
        i += 1


def measure(op, calls, traced_share=TRACED_SHARE):
    """Runs `op` and returns a dict of its deltas."""
    if op.setup:
        op.setup()
    try:
        n = op.calls or calls
        traced_calls = max(1, n * traced_share // 100)
        missed = _run(op, min(op.warmup, n))
        first = op.fn(*op.args, **op.kwargs) if op.exc is None else None
        mine = [op.fn, *op.args, *op.kwargs.values(), *op.watch, first, *_items(first)]
        watched = [x for x in mine if not _is_shared(x)]
        own = len(watched)
        watched += [x for x in mine if _is_shared(x)] + list(_SINGLETONS)
        before, after = array("q", bytes(8 * len(watched))), array("q", bytes(8 * len(watched)))
        gc.collect()
        gc.freeze()     # collections below look at new objects only: a large heap costs nothing
        sizes = array("q", bytes(8 * 5))    # resident and traced sizes: no int objects held
        start = time.perf_counter()
        _refcounts(watched, before)
        sizes[0] = rss_bytes()
        missed += _run(op, n - traced_calls)
        gc.collect()
        sizes[1] = rss_bytes()
        tracemalloc.start()
        # Frames and caches that the interpreter keeps once made are made
        # again under tracing: let the first calls make them.
        missed += _run(op, min(TRACED_WARMUP, n))
        gc.collect()
        sizes[2] = tracemalloc.get_traced_memory()[0]
        missed += _run(op, traced_calls // 2)
        gc.collect()
        sizes[3] = tracemalloc.get_traced_memory()[0]
        missed += _run(op, traced_calls - traced_calls // 2)
        gc.collect()
        sizes[4] = tracemalloc.get_traced_memory()[0]
        _refcounts(watched, after)
        seconds = time.perf_counter() - start
    finally:
        gc.unfreeze()
        tracemalloc.stop()
        if op.teardown:
            op.teardown()
    deltas = [a - b for a, b in zip(after, before)]
    # The interpreter's singletons and small ints are referenced from
    # everywhere: their counts move by a few whenever some cache lets go.
    worst = max(deltas[:own], key=abs)
    shared = max(deltas[own:], key=abs)
    return {"calls": n, "traced_calls": traced_calls, "refcount": worst, "shared_refcount": shared,
            "shared_culprit": None if shared == 0 else repr(watched[own + deltas[own:].index(shared)]),
            # A leak grows both halves; a cache filled once grows one.
            "traced": min(sizes[3] - sizes[2], sizes[4] - sizes[3]), "rss": sizes[1] - sizes[0], "missed": missed, "seconds": seconds,
            "culprit": None if worst == 0 else repr(watched[deltas.index(worst)])[:60]}


def failures_of(result, op, rss=True):
    out = []
    if result["missed"]:
        out.append(f"{result['missed']} calls did not raise")
    if abs(result["refcount"]) > op.refcount_bound:
        out.append(f"refcount {result['refcount']:+d} on {result['culprit']}")
    if abs(result["shared_refcount"]) > max(SINGLETON_BOUND, op.refcount_bound):
        out.append(f"refcount {result['shared_refcount']:+d} on {result['shared_culprit']}")
    if result["traced"] > op.traced_bound:
        out.append(f"traced memory +{result['traced']} B")
    if rss and result["rss"] > RSS_BOUND:
        out.append(f"resident size +{result['rss']} B")
    return out


# ====================================================================== operations

def _reduce_ops(module, objects):
    """Copying and pickling are refused by every extension type."""
    ops = []
    for obj in objects:
        name = type(obj).__name__
        ops.append(Op(module, f"{name}.__reduce_ex__", obj.__reduce_ex__, (2,), exc=TypeError))
        ops.append(Op(module, f"{name}.__setstate__", obj.__setstate__, ({},), exc=TypeError))
    return ops


def varnok_ops():
    from korvane.memory import varnok as v
    big = 10**12
    c = v.AtomicCounter(big)
    ops = [
        Op("varnok", "AtomicCounter()", v.AtomicCounter, (big,)),
        Op("varnok", "AtomicCounter(kw)", v.AtomicCounter, kwargs={"initial_value": 2.5}),
        Op("varnok", "AtomicCounter('5')", v.AtomicCounter, ("5",), exc=TypeError),
        Op("varnok", "AtomicCounter(2**63)", v.AtomicCounter, (2**63,), exc=OverflowError),
        Op("varnok", "AtomicCounter(nan)", v.AtomicCounter, (math.nan,), exc=ValueError),
        Op("varnok", "AtomicCounter(1, 2)", v.AtomicCounter, (1, 2), exc=TypeError),
    ]
    for prefix in ("", "py_"):
        ops += [
            Op("varnok", f"AtomicCounter.{prefix}load", getattr(c, prefix + "load")),
            Op("varnok", f"AtomicCounter.{prefix}store", getattr(c, prefix + "store"), (big,)),
            Op("varnok", f"AtomicCounter.{prefix}increment", getattr(c, prefix + "increment")),
            Op("varnok", f"AtomicCounter.{prefix}increment(big)", getattr(c, prefix + "increment"), (big,)),
            Op("varnok", f"AtomicCounter.{prefix}decrement", getattr(c, prefix + "decrement"), (big,)),
            Op("varnok", f"AtomicCounter.{prefix}compare_and_swap", getattr(c, prefix + "compare_and_swap"),
               (big, big + 1)),
            Op("varnok", f"AtomicCounter.{prefix}fetch_and_add", getattr(c, prefix + "fetch_and_add"), (0,)),
        ]
    ops += [
        Op("varnok", "AtomicCounter.store(None)", c.store, (None,), exc=TypeError),
        Op("varnok", "AtomicCounter.increment(2**64)", c.increment, (2**64,), exc=OverflowError),
        Op("varnok", "AtomicCounter.decrement(nan)", c.decrement, (math.nan,), exc=ValueError),
        Op("varnok", "AtomicCounter.compare_and_swap(x, 'y')", c.compare_and_swap, (1, "y"), exc=TypeError),
        Op("varnok", "AtomicCounter.fetch_and_add()", c.fetch_and_add, exc=TypeError),
        Op("varnok", "AtomicCounter.load(x=1)", c.load, kwargs={"x": 1}, exc=TypeError),
    ]

    w = v.AtomicCounterWrapper(big)
    ops += [
        Op("varnok", "AtomicCounterWrapper()", v.AtomicCounterWrapper, (big,)),
        Op("varnok", "AtomicCounterWrapper.load", w.load),
        Op("varnok", "AtomicCounterWrapper.store", w.store, (big,)),
        Op("varnok", "AtomicCounterWrapper.increment", w.increment, (big,)),
        Op("varnok", "AtomicCounterWrapper.decrement", w.decrement),
        Op("varnok", "AtomicCounterWrapper.compare_and_swap", w.compare_and_swap, (0, 1)),
        Op("varnok", "AtomicCounterWrapper.fetch_and_add", w.fetch_and_add, (0,)),
        Op("varnok", "AtomicCounterWrapper('1')", v.AtomicCounterWrapper, ("1",), exc=TypeError),
        Op("varnok", "AtomicCounterWrapper(2**63)", v.AtomicCounterWrapper, (2**63,), exc=OverflowError),
        Op("varnok", "AtomicCounterWrapper.increment([])", w.increment, ([],), exc=TypeError),
        Op("varnok", "AtomicCounterWrapper.increment(2.0**64)", w.increment, (2.0**64,), exc=OverflowError),
        Op("varnok", "AtomicCounterWrapper.fetch_and_add()", w.fetch_and_add, exc=TypeError),
    ]

    x, y = object(), object()
    p = v.AtomicPointer(x)

    def swap_back():
        p.compare_and_swap(x, y)
        p.compare_and_swap(y, x)

    def store_two():
        p.store(y)
        p.store(x)

    ops += [
        Op("varnok", "AtomicPointer()", v.AtomicPointer, (x,)),
        Op("varnok", "AtomicPointer.load", p.load, watch=(x, y)),
        Op("varnok", "AtomicPointer.store", store_two, watch=(x, y)),
        Op("varnok", "AtomicPointer.store(same)", p.store, (x,), watch=(y,)),
        Op("varnok", "AtomicPointer.compare_and_swap", swap_back, watch=(x, y)),
        Op("varnok", "AtomicPointer.compare_and_swap(miss)", p.compare_and_swap, (y, y), watch=(x,)),
        Op("varnok", "AtomicPointer.get_version", p.get_version),
        Op("varnok", "AtomicPointer.store()", p.store, exc=TypeError),
    ]

    s = v.LockFreeStack()
    item = object()
    s.push(object())                            # a bottom item, so pops leave the stack non-empty

    def push_pop():
        s.push(item)
        s.pop()

    empty = v.LockFreeStack()
    ops += [
        Op("varnok", "LockFreeStack()", v.LockFreeStack, (1, 2), {"key": item}),
        Op("varnok", "LockFreeStack.push+pop", push_pop, watch=(item,)),
        Op("varnok", "LockFreeStack.pop(empty)", empty.pop),
        Op("varnok", "LockFreeStack.is_empty", s.is_empty),
        Op("varnok", "LockFreeStack.size", s.size),
        Op("varnok", "LockFreeStack.push()", s.push, exc=TypeError),
    ]

    def fill_and_drop():
        t = v.LockFreeStack()
        t.push(item)
        t.push(item)
        t.push(item)

    ops.append(Op("varnok", "LockFreeStack dealloc with items", fill_and_drop, watch=(item,)))

    st = v.LockFreeStatistics()
    counter = st.bytes_reserved
    ops += [
        Op("varnok", "LockFreeStatistics()", v.LockFreeStatistics),
        Op("varnok", "LockFreeStatistics.record_allocation", st.record_allocation, (big, False, 8, 200)),
        Op("varnok", "LockFreeStatistics.record_deallocation", st.record_deallocation, (big, 40)),
        Op("varnok", "LockFreeStatistics.py_record_allocation", st.py_record_allocation, (64, True, 1, 2)),
        Op("varnok", "LockFreeStatistics.py_record_deallocation", st.py_record_deallocation, (64, 3)),
        Op("varnok", "LockFreeStatistics._update_peaks", st._update_peaks, (big, big)),
        Op("varnok", "LockFreeStatistics.get_snapshot", st.get_snapshot),
        Op("varnok", "LockFreeStatistics.reset", st.reset),
        Op("varnok", "LockFreeStatistics.bytes_reserved (get)", getattr, (st, "bytes_reserved")),
        Op("varnok", "LockFreeStatistics.bytes_reserved (set)", setattr, (st, "bytes_reserved", counter)),
        Op("varnok", "LockFreeStatistics.record_allocation('1')", st.record_allocation, ("1",), exc=TypeError),
        Op("varnok", "LockFreeStatistics.py_record_allocation(2**63)", st.py_record_allocation, (2**63, True),
           exc=OverflowError),
        Op("varnok", "LockFreeStatistics.record_allocation(2**63)", st.record_allocation, (2**63,),
           exc=OverflowError),
        Op("varnok", "LockFreeStatistics.py_record_deallocation()", st.py_record_deallocation, exc=TypeError),
        Op("varnok", "LockFreeStatistics._update_peaks(1, None)", st._update_peaks, (1, None), exc=TypeError),
    ]

    def del_set():
        del st.bytes_reserved
        st.bytes_reserved = counter

    ops.append(Op("varnok", "LockFreeStatistics.bytes_reserved (del+set)", del_set, watch=(counter,)))
    for name in ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                 "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
                 "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"):
        ops.append(Op("varnok", f"LockFreeStatistics.{name} (get+set)",
                      lambda name=name: setattr(st, name, getattr(st, name))))

    timer = v.PerformanceTimer()
    ops += [
        Op("varnok", "PerformanceTimer()", v.PerformanceTimer),
        Op("varnok", "PerformanceTimer.start", timer.start),
        Op("varnok", "PerformanceTimer.elapsed_ns", timer.elapsed_ns),
        Op("varnok", "PerformanceTimer.elapsed_us", timer.elapsed_us),
        Op("varnok", "PerformanceTimer.elapsed_ms", timer.elapsed_ms),
        Op("varnok", "PerformanceTimer.start(1)", timer.start, (1,), exc=TypeError),
    ]
    ops += _reduce_ops("varnok", [c, p, s, st, timer])
    return ops


def brisel_ops():
    from korvane.memory import brisel as b
    h = b.FastSlabHeaderOps(3, 8)
    data = h.pack_header()
    bad_crc = data[:6] + b"\x34\x12" + data[8:]
    big_off = 10**6 + 8
    a = b.FastBucketAllocator(8, 16, 32)
    a.add_to_bucket(16, 1)                      # never taken: a non-empty bucket for every lookup

    def add_remove():
        a.add_to_bucket(24, big_off)
        a.remove_from_bucket(24)

    def add_best_fit():
        a.add_to_bucket(32, big_off)
        a.find_best_fit_bucket(25, 8)

    stats = b.FastStatsCollector()
    logging.getLogger("korvane.memory.brisel").disabled = True     # the corruption warning
    ops = [
        Op("brisel", "fast_align_size", b.fast_align_size, (13, 8)),
        Op("brisel", "fast_get_bucket_size", b.fast_get_bucket_size, (2**31 - 1,)),
        Op("brisel", "fast_bitmap_operations(set)", b.fast_bitmap_operations, (2**64 - 2, 0, "set")),
        Op("brisel", "fast_bitmap_operations(is_set)", b.fast_bitmap_operations, (10, 1, "is_set")),
        Op("brisel", "fast_bitmap_operations(clear)", b.fast_bitmap_operations, (10, 1, "clear")),
        Op("brisel", "fast_bitmap_operations(find_first)", b.fast_bitmap_operations, (12, 0, "find_first")),
        Op("brisel", "fast_can_fit_aligned", b.fast_can_fit_aligned, (1, 64, 56, 8)),
        Op("brisel", "fast_align_size(5, 3)", b.fast_align_size, (5, 3), exc=ValueError),
        Op("brisel", "fast_align_size(2**31, 8)", b.fast_align_size, (2**31, 8), exc=OverflowError),
        Op("brisel", "fast_align_size('1', 8)", b.fast_align_size, ("1", 8), exc=TypeError),
        Op("brisel", "fast_get_bucket_size(5, 0)", b.fast_get_bucket_size, (5, 0), exc=ValueError),
        Op("brisel", "fast_get_bucket_size(1, 2, 3)", b.fast_get_bucket_size, (1, 2, 3), exc=TypeError),
        Op("brisel", "fast_bitmap_operations(toggle)", b.fast_bitmap_operations, (1, 0, "toggle"),
           exc=ValueError),
        Op("brisel", "fast_bitmap_operations(None)", b.fast_bitmap_operations, (1, 0, None), exc=ValueError),
        Op("brisel", "fast_bitmap_operations(b'set')", b.fast_bitmap_operations, (1, 0, b"set"), exc=TypeError),
        Op("brisel", "fast_bitmap_operations(-1)", b.fast_bitmap_operations, (-1, 0, "set"), exc=OverflowError),
        Op("brisel", "fast_can_fit_aligned(.., -2**31-1)", b.fast_can_fit_aligned, (0, 0, 0, -2**31 - 1),
           exc=OverflowError),

        Op("brisel", "FastSlabHeaderOps()", b.FastSlabHeaderOps, (3, 8)),
        Op("brisel", "FastSlabHeaderOps.pack_header", h.pack_header),
        Op("brisel", "FastSlabHeaderOps.unpack_header", h.unpack_header, (data,)),
        Op("brisel", "FastSlabHeaderOps.unpack_header(corrupt)", h.unpack_header, (bad_crc,),
           teardown=lambda: h.unpack_header(data)),
        Op("brisel", "FastSlabHeaderOps.py_is_object_free", h.py_is_object_free, (7,)),
        Op("brisel", "FastSlabHeaderOps.py_find_free_object", h.py_find_free_object),
        Op("brisel", "FastSlabHeaderOps.py_allocate_object_at", h.py_allocate_object_at, (1,)),
        Op("brisel", "FastSlabHeaderOps.py_deallocate_object_at", h.py_deallocate_object_at, (1,)),
        Op("brisel", "FastSlabHeaderOps(2**31, 8)", b.FastSlabHeaderOps, (2**31, 8), exc=OverflowError),
        Op("brisel", "FastSlabHeaderOps(1)", b.FastSlabHeaderOps, (1,), exc=TypeError),
        Op("brisel", "FastSlabHeaderOps.unpack_header(short)", h.unpack_header, (b"\0" * 14,), exc=ValueError),
        Op("brisel", "FastSlabHeaderOps.unpack_header(None)", h.unpack_header, (None,), exc=TypeError),
        Op("brisel", "FastSlabHeaderOps.unpack_header(bytearray)", h.unpack_header, (bytearray(16),),
           exc=TypeError),
        Op("brisel", "FastSlabHeaderOps.py_allocate_object_at(2**31)", h.py_allocate_object_at, (2**31,),
           exc=OverflowError),

        Op("brisel", "FastBucketAllocator()", b.FastBucketAllocator, (8, 16, 32)),
        Op("brisel", "FastBucketAllocator._init_buckets", b.FastBucketAllocator(8, 16, 32)._init_buckets),
        Op("brisel", "FastBucketAllocator.add_to_bucket+remove_from_bucket", add_remove, watch=(big_off,)),
        Op("brisel", "FastBucketAllocator.add_to_bucket+find_best_fit_bucket", add_best_fit, watch=(big_off,)),
        Op("brisel", "FastBucketAllocator.add_to_bucket(refused)", a.add_to_bucket, (60, big_off)),
        Op("brisel", "FastBucketAllocator.remove_from_bucket(empty)", a.remove_from_bucket, (8,)),
        Op("brisel", "FastBucketAllocator.find_best_fit_bucket(put back)", a.find_best_fit_bucket, (16, 2**20)),
        Op("brisel", "FastBucketAllocator(0)", b.FastBucketAllocator, (0,), exc=ValueError),
        Op("brisel", "FastBucketAllocator(medium=2**31)", b.FastBucketAllocator, kwargs={"medium_block_max": 2**31},
           exc=OverflowError),
        Op("brisel", "FastBucketAllocator(1, 2, 3, 4)", b.FastBucketAllocator, (1, 2, 3, 4), exc=TypeError),
        Op("brisel", "FastBucketAllocator.add_to_bucket(.., 2**31)", a.add_to_bucket, (16, 2**31),
           exc=OverflowError),
        Op("brisel", "FastBucketAllocator.find_best_fit_bucket('x', 8)", a.find_best_fit_bucket, ("x", 8),
           exc=TypeError),

        Op("brisel", "FastStatsCollector()", b.FastStatsCollector, (1,), {"key": 2}),
        Op("brisel", "FastStatsCollector.py_record_allocation", stats.py_record_allocation, (64, 8, True)),
        Op("brisel", "FastStatsCollector.py_record_deallocation", stats.py_record_deallocation),
        Op("brisel", "FastStatsCollector.get_stats", stats.get_stats),
        Op("brisel", "FastStatsCollector.reset_stats", stats.reset_stats),
        Op("brisel", "FastStatsCollector.py_record_allocation(2**31)", stats.py_record_allocation,
           (2**31, 0, True), exc=OverflowError),
        Op("brisel", "FastStatsCollector.get_stats(1)", stats.get_stats, (1,), exc=TypeError),
    ]
    ops += _reduce_ops("brisel", [h, a, stats])
    return ops


def talvorn_ops():
    from korvane.memory import talvorn as tv
    from korvane.memory.halvet import MemoryBlock
    T = tv.FastRedBlackTree
    t = T()
    base = [MemoryBlock(i * 4096, 64 * (i % 7 + 1)) for i in range(40)]
    for blk in base:
        t.insert(blk.size, blk)
    fresh = MemoryBlock(10**7, 1000)            # a size of its own: a node of its own
    chained = MemoryBlock(10**7 + 4096, 128)    # a size present: a chain entry
    big = 2**40

    def insert_delete_node():
        t.insert(1000, fresh)
        t.delete(1000, fresh)

    def insert_delete_chain():
        t.insert(128, chained)
        t.delete(128, chained)

    def insert_remove_ge():
        t.insert(big, fresh)
        t.remove_ge(big)

    def fill_clear():
        u = T(1)
        u.insert(1, fresh)
        u.insert(1, chained)
        u.insert(2, fresh)
        u.clear()

    def fill_drop():
        u = T(1)
        u.insert(1, fresh)
        u.insert(1, chained)
        u.insert(2, fresh)

    class Angry:
        def __eq__(self, other):
            raise KeyError("no")

    angry_tree = T()
    angry = Angry()
    angry_tree.insert(5, angry)
    angry_tree.insert(5, fresh)
    ops = [
        Op("talvorn", "FastRedBlackTree()", T),
        Op("talvorn", "FastRedBlackTree(rate)", T, (7,)),
        Op("talvorn", "FastRedBlackTree.insert+delete (node)", insert_delete_node, watch=(fresh,)),
        Op("talvorn", "FastRedBlackTree.insert+delete (chain)", insert_delete_chain, watch=(chained,)),
        Op("talvorn", "FastRedBlackTree.insert+remove_ge", insert_remove_ge, watch=(fresh,)),
        Op("talvorn", "FastRedBlackTree.clear", fill_clear, watch=(fresh, chained)),
        Op("talvorn", "FastRedBlackTree dealloc with blocks", fill_drop, watch=(fresh, chained)),
        Op("talvorn", "FastRedBlackTree.find_best_fit", t.find_best_fit, (100,)),
        Op("talvorn", "FastRedBlackTree.find_best_fit(miss)", t.find_best_fit, (big, 8)),
        Op("talvorn", "FastRedBlackTree.find_best_fit(-1)", t.find_best_fit, (-1,)),
        Op("talvorn", "FastRedBlackTree.find_all_exact", t.find_all_exact, (128,)),
        Op("talvorn", "FastRedBlackTree.find_all_exact(miss)", t.find_all_exact, (100,)),
        Op("talvorn", "FastRedBlackTree.delete(miss)", t.delete, (128, fresh)),
        Op("talvorn", "FastRedBlackTree.remove_ge(miss)", t.remove_ge, (big,)),
        Op("talvorn", "FastRedBlackTree.size", t.size),
        Op("talvorn", "len(FastRedBlackTree)", len, (t,)),
        Op("talvorn", "bool(FastRedBlackTree)", bool, (t,)),
        Op("talvorn", "repr(FastRedBlackTree)", repr, (t,)),
        Op("talvorn", "FastRedBlackTree.get_stats", t.get_stats),
        Op("talvorn", "FastRedBlackTree.get_size_distribution", t.get_size_distribution),
        Op("talvorn", "FastRedBlackTree.reset_circuit_breaker", t.reset_circuit_breaker),
        Op("talvorn", "FastRedBlackTree.get_statistics", t.get_statistics),
        Op("talvorn", "FastRedBlackTree._sanitize_size", T._sanitize_size, (big,)),
        Op("talvorn", "FastRedBlackTree(-1)", T, (-1,), exc=OverflowError),
        Op("talvorn", "FastRedBlackTree('1')", T, ("1",), exc=TypeError),
        Op("talvorn", "FastRedBlackTree(rate=1)", T, kwargs={"rate": 1}, exc=TypeError),
        Op("talvorn", "FastRedBlackTree.insert(-1)", t.insert, (-1, fresh), exc=ValueError),
        Op("talvorn", "FastRedBlackTree.insert(2**64)", t.insert, (2**64, fresh), exc=OverflowError),
        Op("talvorn", "FastRedBlackTree.insert('8')", t.insert, ("8", fresh), exc=TypeError),
        Op("talvorn", "FastRedBlackTree.insert(8)", t.insert, (8,), exc=TypeError),
        Op("talvorn", "FastRedBlackTree.find_best_fit(2**64)", t.find_best_fit, (2**64,), exc=OverflowError),
        Op("talvorn", "FastRedBlackTree.find_best_fit(8, '1')", t.find_best_fit, (8, "1"), exc=TypeError),
        Op("talvorn", "FastRedBlackTree.remove_ge(2**64)", t.remove_ge, (2**64,), exc=OverflowError),
        Op("talvorn", "FastRedBlackTree.find_all_exact([])", t.find_all_exact, ([],), exc=TypeError),
        Op("talvorn", "FastRedBlackTree.delete(None)", t.delete, (None, fresh), exc=TypeError),
        Op("talvorn", "FastRedBlackTree.delete(raising __eq__)", angry_tree.delete, (5, fresh), exc=KeyError,
           watch=(angry,)),
        Op("talvorn", "FastRedBlackTree.clear(1)", t.clear, (1,), exc=TypeError),
        Op("talvorn", "FastRedBlackTree._sanitize_size(-5)", T._sanitize_size, (-5,), exc=ValueError),
    ]
    ops += _reduce_ops("talvorn", [t])
    return ops


class _FailingStore:
    def get_metrics(self, func_id):
        raise RuntimeError("store down")


def quendar_ops():
    from korvane.jit import quendar as qd
    cfg = qd.PolicyConfig()
    fm = qd.FunctionMetrics(call_count=500, compile_count=3, avg_speedup=2.5)
    q = qd.Quendar(cfg)
    store = RecordStore(fm)
    compiled = RecordStore(qd.FunctionMetrics(compile_count=1, avg_speedup=3.0))
    plain = RecordStore(SimpleNamespace(call_count=150, compile_count=1, avg_speedup=1.5, last_compiled=1.0))
    duck = SimpleNamespace(initial_threshold=50, min_threshold=5, max_threshold=500, learning_rate=0.5,
                           target_speedup=2.0)
    fid = "module.function"
    logger = logging.getLogger("korvane.jit.quendar")
    old_level = [logger.level]

    def log_on():
        old_level[0] = logger.level
        logger.setLevel(logging.DEBUG)
        logger.addHandler(logging.NullHandler())
        logger.propagate = False

    def log_off():
        logger.setLevel(old_level[0])
        logger.handlers[:] = [h for h in logger.handlers if not isinstance(h, logging.NullHandler)]
        logger.propagate = True

    ops = [
        Op("quendar", "PolicyConfig()", qd.PolicyConfig, (50, 5, 60, 1, 3)),
        Op("quendar", "PolicyConfig(0 min)", qd.PolicyConfig, kwargs={"min_threshold": 0}, exc=ValueError),
        Op("quendar", "PolicyConfig(nan rate)", qd.PolicyConfig, kwargs={"learning_rate": math.nan}, exc=ValueError),
        Op("quendar", "PolicyConfig(2**31)", qd.PolicyConfig, kwargs={"max_threshold": 2**31}, exc=OverflowError),
        Op("quendar", "PolicyConfig('5')", qd.PolicyConfig, kwargs={"min_threshold": "5"}, exc=TypeError),
        Op("quendar", "PolicyConfig(6 args)", qd.PolicyConfig, (1, 2, 3, 4, 5, 6), exc=TypeError),
        Op("quendar", "FunctionMetrics()", qd.FunctionMetrics, kwargs={"call_count": 2**40, "avg_speedup": 1.5}),
        Op("quendar", "FunctionMetrics(-1)", qd.FunctionMetrics, kwargs={"call_count": -1}, exc=OverflowError),
        Op("quendar", "FunctionMetrics('x')", qd.FunctionMetrics, kwargs={"avg_speedup": "x"}, exc=TypeError),
        Op("quendar", "Quendar()", qd.Quendar),
        Op("quendar", "Quendar(config)", qd.Quendar, (cfg,)),
        Op("quendar", "Quendar(duck config)", qd.Quendar, (duck,)),
        Op("quendar", "Quendar.config", getattr, (q, "config")),
        Op("quendar", "Quendar.get_threshold", q.get_threshold, (fid,)),
        Op("quendar", "Quendar.get_threshold(None)", q.get_threshold, (None,)),
        Op("quendar", "Quendar.should_compile", q.should_compile, (fid, store)),
        Op("quendar", "Quendar.should_compile(plain record)", q.should_compile, (fid, plain)),
        Op("quendar", "Quendar.update", q.update, (fid, compiled)),
        Op("quendar", "Quendar.update(plain record)", q.update, ("other", plain)),
        Op("quendar", "Quendar.update (debug log on)", q.update, (fid, compiled), setup=log_on, teardown=log_off),
        Op("quendar", "Quendar.get_statistics", q.get_statistics),
        Op("quendar", "Quendar.get_threshold(1)", q.get_threshold, (1,), exc=TypeError),
        Op("quendar", "Quendar.should_compile(None record)", q.should_compile, (fid, RecordStore(None)),
           exc=AttributeError),
        Op("quendar", "Quendar.should_compile(-1 calls)", q.should_compile,
           (fid, RecordStore(SimpleNamespace(call_count=-1, compile_count=1, avg_speedup=1.0))), exc=OverflowError),
        Op("quendar", "Quendar.should_compile('1' calls)", q.should_compile,
           (fid, RecordStore(SimpleNamespace(call_count="1", compile_count=1, avg_speedup=1.0))), exc=TypeError),
        Op("quendar", "Quendar.update(2**32 compiles)", q.update,
           (fid, RecordStore(SimpleNamespace(compile_count=2**32, avg_speedup=1.0))), exc=OverflowError),
        Op("quendar", "Quendar.update(failing store)", q.update, (fid, _FailingStore()), exc=RuntimeError),
        Op("quendar", "Quendar.config (set)", setattr, (q, "config", cfg), exc=AttributeError),
        Op("quendar", "get_quendar", qd.get_quendar),
        Op("quendar", "reset_quendar", qd.reset_quendar),
        Op("quendar", "create_function_metrics", qd.create_function_metrics, (5, 1, 2.0, 3.0, 4.0)),
        Op("quendar", "create_policy_config", qd.create_policy_config, (100, 10, 1000)),
        Op("quendar", "create_function_metrics('x')", qd.create_function_metrics, ("x",), exc=TypeError),
        Op("quendar", "create_policy_config(None)", qd.create_policy_config, (None,), exc=TypeError),
        Op("quendar", "create_policy_config(bad)", qd.create_policy_config, (5,), exc=ValueError),
    ]
    for name in ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"):
        ops.append(Op("quendar", f"PolicyConfig.{name} (get+set)",
                      lambda name=name: setattr(cfg, name, getattr(cfg, name))))
    for name in ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled",
                 "last_compile_time"):
        ops.append(Op("quendar", f"FunctionMetrics.{name} (get+set)",
                      lambda name=name: setattr(fm, name, getattr(fm, name))))
    ops += [
        Op("quendar", "PolicyConfig.max_threshold = 2**31", setattr, (cfg, "max_threshold", 2**31),
           exc=OverflowError),
        Op("quendar", "PolicyConfig.learning_rate = 'x'", setattr, (cfg, "learning_rate", "x"), exc=TypeError),
        Op("quendar", "FunctionMetrics.call_count = -1", setattr, (fm, "call_count", -1), exc=OverflowError),
        Op("quendar", "del FunctionMetrics.avg_speedup", delattr, (fm, "avg_speedup"),
           exc=NotImplementedError),
    ]
    ops += _reduce_ops("quendar", [cfg, fm, q])
    return ops


CODE = ("import numpy as np\nimport pandas as pd\nfrom sklearn.ensemble import RandomForest\n\n"
        "def chunk_workload(data, lock):\n    total = 0\n    for i in range(1024):\n"
        "        total += np.matmul(data[i], data.T).sum() + df.groupby('k').mean()\n"
        "        model.fit(x); model.predict(y)  # \u0130 \u212a non-ASCII\n    return total\n") * 3


def meravin_ops():
    from korvane.plugins.analyzer import meravin as m
    code, name = CODE, "chunk_workload"
    f17 = (0.5, 0.4, 0.3, 0.9, 0.8, 0.1, 0.1, 0.1, 3, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)
    return [
        Op("meravin", "quick_framework_score", m.quick_framework_score, (code, "numpy")),
        Op("meravin", "quick_framework_score(unknown)", m.quick_framework_score, (code, "tensorflow")),
        Op("meravin", "calculate_gpu_suitability", m.calculate_gpu_suitability, (0.5, 0.5, 0.5, True, " 8 .6")),
        Op("meravin", "calculate_gpu_suitability(junk)", m.calculate_gpu_suitability, (0.5, 0.5, 0.5, True, "abc")),
        Op("meravin", "estimate_gpu_speedup", m.estimate_gpu_speedup, (0.7, 0.4, True)),
        Op("meravin", "calculate_parallelization_potential", m.calculate_parallelization_potential,
           (0.5, 0.2, 0.1, 0.3)),
        Op("meravin", "score_indicators", m.score_indicators, (code, name)),
        Op("meravin", "score_indicators(None name)", m.score_indicators, (code, None)),
        Op("meravin", "normalize_scores", m.normalize_scores, (7, 3, 5, 17, 2**31 - 1)),
        Op("meravin", "score_framework_patterns", m.score_framework_patterns, (code,)),
        Op("meravin", "determine_workload_pattern", m.determine_workload_pattern, f17),
        Op("meravin", "update_adaptive_threshold", m.update_adaptive_threshold, (0.5, 0.8, 0.1, 0.1, 0.9)),
        Op("meravin", "quick_framework_score(None)", m.quick_framework_score, (None, "numpy"), exc=TypeError),
        Op("meravin", "quick_framework_score(b'')", m.quick_framework_score, (b"", "numpy"), exc=TypeError),
        Op("meravin", "score_framework_patterns(None)", m.score_framework_patterns, (None,), exc=TypeError),
        Op("meravin", "score_indicators(code, 1)", m.score_indicators, (code, 1), exc=TypeError),
        Op("meravin", "calculate_gpu_suitability(8.6)", m.calculate_gpu_suitability, (0.5, 0.5, 0.5, True, 8.6),
           exc=TypeError),
        Op("meravin", "calculate_gpu_suitability('x' float)", m.calculate_gpu_suitability,
           (0.5, 0.5, "x", True, "8.0"), exc=TypeError),
        Op("meravin", "calculate_gpu_suitability(huge capability)", m.calculate_gpu_suitability,
           (0.5, 0.5, 0.0, True, "99999999999.5"), exc=OverflowError),
        Op("meravin", "normalize_scores(2**31)", m.normalize_scores, (1, 1, 1, 2**31, 1), exc=OverflowError),
        Op("meravin", "normalize_scores('3')", m.normalize_scores, (1, 1, 1, "3", 1), exc=TypeError),
        Op("meravin", "determine_workload_pattern(16 args)", m.determine_workload_pattern, f17[:16], exc=TypeError),
        Op("meravin", "update_adaptive_threshold(None)", m.update_adaptive_threshold, (None, 0.8, 0.1, 0.1, 0.9),
           exc=TypeError),
    ]


def pelgrun_ops():
    from korvane.gpu import pelgrun as p
    shape = (1000, 1000, 3)
    long_msg = "RuntimeError: CUDA error: out of memory; " * 20 + "Tried to allocate 2.00 GiB"
    wide_msg = "Speicher erschöpft – Ünïcödé " * 10 + "CUDA_ERROR_OUT_OF_MEMORY"
    return [
        Op("pelgrun", "estimate_allocation_bytes", p.estimate_allocation_bytes, (shape, 8, 1.5)),
        Op("pelgrun", "estimate_allocation_bytes(saturated)", p.estimate_allocation_bytes, ((2**31 - 1,) * 3, 8)),
        Op("pelgrun", "calculate_safe_limit", p.calculate_safe_limit, (2**64 - 1, 0.5)),
        Op("pelgrun", "decide_allocation_strategy(direct)", p.decide_allocation_strategy, (800, 1000, 0.2, False)),
        Op("pelgrun", "decide_allocation_strategy(chunked)", p.decide_allocation_strategy, (2**64 - 1, 100, 0.99,
                                                                                           True)),
        Op("pelgrun", "decide_allocation_strategy(cpu)", p.decide_allocation_strategy, (1000, 1000, 0.5, [])),
        Op("pelgrun", "decide_allocation_strategy(none)", p.decide_allocation_strategy, (0, 0, 0.2, True)),
        Op("pelgrun", "compute_chunk_shapes", p.compute_chunk_shapes, ((10, 4), 8, 64)),
        Op("pelgrun", "compute_chunk_shapes(one)", p.compute_chunk_shapes, ((1000,), 4, 2**40)),
        Op("pelgrun", "calculate_optimal_chunks", p.calculate_optimal_chunks, (10**9, 10**8, 0.2, 1, 1000)),
        Op("pelgrun", "is_oom_error", p.is_oom_error, (long_msg, "RuntimeError")),
        Op("pelgrun", "is_oom_error(non-ASCII)", p.is_oom_error, (wide_msg, "CudaAPIError")),
        Op("pelgrun", "is_oom_error(type only)", p.is_oom_error, ("", "cupy.cuda.memory.OutOfMemoryError")),
        Op("pelgrun", "is_chunkable_operation", p.is_chunkable_operation, ("random.randn",)),
        Op("pelgrun", "is_chunkable_operation(None)", p.is_chunkable_operation, (None,)),
        Op("pelgrun", "score_gpu_suitability", p.score_gpu_suitability, (800, "zeros", 1000, 0.0)),
        Op("pelgrun", "calculate_memory_pressure", p.calculate_memory_pressure, (3, 4)),
        Op("pelgrun", "recommend_headroom", p.recommend_headroom, (0.9,)),
        Op("pelgrun", "estimate_allocation_bytes(None)", p.estimate_allocation_bytes, (None, 4), exc=TypeError),
        Op("pelgrun", "estimate_allocation_bytes([1])", p.estimate_allocation_bytes, ([1], 4), exc=TypeError),
        Op("pelgrun", "estimate_allocation_bytes((2**31,))", p.estimate_allocation_bytes, ((2**31,), 4),
           exc=OverflowError),
        Op("pelgrun", "estimate_allocation_bytes(('3',))", p.estimate_allocation_bytes, (("3",), 4), exc=TypeError),
        Op("pelgrun", "estimate_allocation_bytes(.., -1)", p.estimate_allocation_bytes, ((3,), -1), exc=ValueError),
        Op("pelgrun", "calculate_safe_limit(-1)", p.calculate_safe_limit, (-1, 0.5), exc=OverflowError),
        Op("pelgrun", "decide_allocation_strategy(.., -5)", p.decide_allocation_strategy, (1, -5, 0.5, True),
           exc=OverflowError),
        Op("pelgrun", "compute_chunk_shapes(.., 0, ..)", p.compute_chunk_shapes, ((10, 4), 0, 64), exc=ValueError),
        Op("pelgrun", "compute_chunk_shapes((2**31, 4))", p.compute_chunk_shapes, ((2**31, 4), 8, 64),
           exc=OverflowError),
        Op("pelgrun", "compute_chunk_shapes((4, -2))", p.compute_chunk_shapes, ((4, -2), 8, 64), exc=OverflowError),
        Op("pelgrun", "compute_chunk_shapes(None)", p.compute_chunk_shapes, (None, 8, 64), exc=TypeError),
        Op("pelgrun", "calculate_optimal_chunks(1, -1)", p.calculate_optimal_chunks, (1, -1, 0.5),
           exc=OverflowError),
        Op("pelgrun", "is_oom_error(x, b'y')", p.is_oom_error, ("x", b"y"), exc=TypeError),
        Op("pelgrun", "is_oom_error(None, x)", p.is_oom_error, (None, "x"), exc=TypeError),
        Op("pelgrun", "is_chunkable_operation(1)", p.is_chunkable_operation, (1,), exc=TypeError),
        Op("pelgrun", "score_gpu_suitability(-1)", p.score_gpu_suitability, (-1, None, 10, 0.1), exc=OverflowError),
        Op("pelgrun", "score_gpu_suitability(.., 3, ..)", p.score_gpu_suitability, (1, 3, 1, 0.0), exc=TypeError),
        Op("pelgrun", "calculate_memory_pressure(-1)", p.calculate_memory_pressure, (-1, 4), exc=OverflowError),
        Op("pelgrun", "recommend_headroom(None)", p.recommend_headroom, (None,), exc=TypeError),
        Op("pelgrun", "recommend_headroom(3 args)", p.recommend_headroom, (0.1, 0.2, 0.3), exc=TypeError),
    ]


def dorvask_ops():
    from korvane.plugins.analyzer import dorvask as d
    hist = [(float(i), 1.0 + (i % 5) * 0.1) for i in range(120)]
    mixed = [[0, 1], range(3, 5), (True, 2.0)] + [(i, 7.0) for i in range(5, 12)]
    keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
    patterns = [dict(zip(keys, (0.2, 0.3, 0.4)))] * 3 + [dict(zip(keys, (0.9, 0.8, 0.7)))] * 3
    names = ["cpu", "memory", "cpu", "gpu", "cpu", "io"]
    many = [f"p{i % 20}" for i in range(60)]
    bad_pair = [(float(i), 1.0) for i in range(12)]
    bad_pair[5] = (1, 2, 3)
    none_value = [(float(i), 1.0) for i in range(12)]
    none_value[5] = (1, None)
    return [
        Op("dorvask", "detect_performance_degradation", d.detect_performance_degradation, (hist, 2.0, 0.1, 10.0)),
        Op("dorvask", "calculate_performance_trend", d.calculate_performance_trend, (hist, 10.0)),
        Op("dorvask", "calculate_performance_trend(odd pairs)", d.calculate_performance_trend, (mixed, 0.0)),
        Op("dorvask", "detect_workload_characteristics_change", d.detect_workload_characteristics_change,
           (patterns, 0.3)),
        Op("dorvask", "detect_dominant_pattern", d.detect_dominant_pattern, (names, 5)),
        Op("dorvask", "detect_dominant_pattern(large window)", d.detect_dominant_pattern, (many, 50)),
        Op("dorvask", "is_adaptation_beneficial", d.is_adaptation_beneficial, ("a", "b", 0.9, 0.8, 0.5, 1)),
        Op("dorvask", "should_skip_adaptation", d.should_skip_adaptation, (1.0, 2.0, 5.0)),
        Op("dorvask", "detect_memory_pressure", d.detect_memory_pressure, (9.0, 10.0)),
        Op("dorvask", "detect_fragmentation_threshold", d.detect_fragmentation_threshold, (0.5,)),
        Op("dorvask", "calculate_adaptation_urgency", d.calculate_adaptation_urgency, (0.5, 0.5, 0.5, True)),
        Op("dorvask", "score_pool_recommendation", d.score_pool_recommendation, (0.5, 0.5, 0.5, 0.5)),
        Op("dorvask", "predict_resource_requirements", d.predict_resource_requirements, (hist, 60.0)),
        Op("dorvask", "detect_performance_degradation(bad pair)", d.detect_performance_degradation,
           (bad_pair, 1.0, 0.1, 0.0), exc=ValueError),
        Op("dorvask", "calculate_performance_trend(None value)", d.calculate_performance_trend, (none_value, 0.0),
           exc=TypeError),
        Op("dorvask", "calculate_performance_trend(tuple)", d.calculate_performance_trend, ((), 0.0), exc=TypeError),
        Op("dorvask", "predict_resource_requirements(bad pair)", d.predict_resource_requirements, (bad_pair, 1.0),
           exc=ValueError),
        Op("dorvask", "predict_resource_requirements(None)", d.predict_resource_requirements, (None, 1.0),
           exc=TypeError),
        Op("dorvask", "detect_workload_characteristics_change([[]])", d.detect_workload_characteristics_change,
           (patterns[:5] + [[]],), exc=TypeError),
        Op("dorvask", "detect_workload_characteristics_change('x' value)", d.detect_workload_characteristics_change,
           (patterns[:5] + [dict(patterns[0], cpu_intensity="x")],), exc=TypeError),
        Op("dorvask", "detect_dominant_pattern(['a', 1])", d.detect_dominant_pattern, (["a", 1],), exc=TypeError),
        Op("dorvask", "detect_dominant_pattern(large, 1)", d.detect_dominant_pattern, (many + [1], 50),
           exc=TypeError),
        Op("dorvask", "detect_dominant_pattern(2**31)", d.detect_dominant_pattern, (["a"], 2**31), exc=OverflowError),
        Op("dorvask", "is_adaptation_beneficial(b'a')", d.is_adaptation_beneficial, (b"a", "b", 1, 1, 1, 1),
           exc=TypeError),
        Op("dorvask", "calculate_adaptation_urgency('0')", d.calculate_adaptation_urgency, (0, 0, "0", True),
           exc=TypeError),
        Op("dorvask", "score_pool_recommendation(3 args)", d.score_pool_recommendation, (1, 2, 3), exc=TypeError),
    ]


def oskarel_ops():
    from korvane.native import oskarel as o
    key = "korvane.gpu.mirrast"
    saved = {}

    def use(mod):
        def setup():
            saved["mod"] = sys.modules.get(key, saved)
            sys.modules[key] = mod
        return setup

    def restore():
        old = saved.pop("mod", saved)
        if old is saved:
            sys.modules.pop(key, None)
        else:
            sys.modules[key] = old

    def patch(name, value):
        def setup():
            use(good)()
            saved[name] = getattr(o, name)
            setattr(o, name, value)

        def teardown():
            setattr(o, name, saved.pop(name))
            restore()
        return setup, teardown

    def no_tool(mod):
        def setup():
            use(mod)()
            saved["PATH"] = os.environ.get("PATH")
            os.environ["PATH"] = "/nonexistent"
        return setup

    def tool_back():
        if saved["PATH"] is None:
            os.environ.pop("PATH", None)
        else:
            os.environ["PATH"] = saved["PATH"]
        del saved["PATH"]
        restore()

    def boom():
        raise RuntimeError("boom")

    def tool_op(name, registry):
        return Op("oskarel", name, o.detect_gpu_backends, calls=TOOL_CALLS, warmup=TOOL_CALLS,
                  traced_bound=TOOL_TRACED_BOUND, refcount_bound=TOOL_REFCOUNT_BOUND, setup=no_tool(registry),
                  teardown=tool_back)

    good = cuda_registry()
    fallback = patch("detect_python_version", boom)
    short = patch("detect_python_version", lambda: ("3.10",))
    return [
        Op("oskarel", "detect_physical_cores", o.detect_physical_cores),
        Op("oskarel", "detect_numa_nodes", o.detect_numa_nodes),
        Op("oskarel", "detect_python_version", o.detect_python_version),
        Op("oskarel", "detect_gpu_backends", o.detect_gpu_backends, setup=use(good), teardown=restore),
        # Without a working registry every call starts the tool (a process): far fewer calls.
        tool_op("detect_gpu_backends(registry fails midway)", cuda_registry("best")),
        tool_op("detect_gpu_backends(broken registry)", cuda_registry("detect")),
        tool_op("detect_gpu_backends(no registry, no tool)", None),
        Op("oskarel", "detect_capabilities", o.detect_capabilities, setup=use(good), teardown=restore),
        Op("oskarel", "detect_capabilities(fallback report)", o.detect_capabilities, setup=fallback[0],
           teardown=fallback[1]),
        Op("oskarel", "detect_capabilities(short pair)", o.detect_capabilities, setup=short[0], teardown=short[1]),
        Op("oskarel", "detect_physical_cores(1)", o.detect_physical_cores, (1,), exc=TypeError),
        Op("oskarel", "detect_numa_nodes(x=1)", o.detect_numa_nodes, kwargs={"x": 1}, exc=TypeError),
        Op("oskarel", "detect_gpu_backends(1)", o.detect_gpu_backends, (1,), exc=TypeError),
        Op("oskarel", "detect_python_version(1)", o.detect_python_version, (1,), exc=TypeError),
        Op("oskarel", "detect_capabilities(1)", o.detect_capabilities, (1,), exc=TypeError),
    ]


def tulvane_ops():
    from korvane.monitoring import tulvane as tl
    agg = tl.CounterAggregator(64)
    for i in range(0, 64, 3):
        agg.update(i, float(i))
    return [
        Op("tulvane", "CounterAggregator()", tl.CounterAggregator),
        Op("tulvane", "CounterAggregator(0)", tl.CounterAggregator, (0,)),
        Op("tulvane", "create_aggregator", tl.create_aggregator, (64,)),
        Op("tulvane", "CounterAggregator.update", agg.update, (3, 2.5)),
        Op("tulvane", "CounterAggregator.get_stats", agg.get_stats, (3,)),
        Op("tulvane", "CounterAggregator.get_stats(empty)", agg.get_stats, (4,)),
        Op("tulvane", "CounterAggregator.reset", agg.reset, (5,)),
        Op("tulvane", "CounterAggregator.reset_all", tl.CounterAggregator(64).reset_all),
        Op("tulvane", "CounterAggregator.get_all_stats", agg.get_all_stats),
        Op("tulvane", "CounterAggregator(-1)", tl.CounterAggregator, (-1,), exc=MemoryError),
        Op("tulvane", "CounterAggregator(2**31)", tl.CounterAggregator, (2**31,), exc=OverflowError),
        Op("tulvane", "CounterAggregator('10')", tl.CounterAggregator, ("10",), exc=TypeError),
        Op("tulvane", "CounterAggregator(1, 2)", tl.CounterAggregator, (1, 2), exc=TypeError),
        Op("tulvane", "create_aggregator(-1)", tl.create_aggregator, (-1,), exc=MemoryError),
        Op("tulvane", "CounterAggregator.update(64)", agg.update, (64, 1.0), exc=IndexError),
        Op("tulvane", "CounterAggregator.update(2**31)", agg.update, (2**31, 1.0), exc=OverflowError),
        Op("tulvane", "CounterAggregator.update(0, 'x')", agg.update, (0, "x"), exc=TypeError),
        Op("tulvane", "CounterAggregator.get_stats(-1)", agg.get_stats, (-1,), exc=IndexError),
        Op("tulvane", "CounterAggregator.reset('0')", agg.reset, ("0",), exc=TypeError),
        Op("tulvane", "CounterAggregator.reset_all(0)", agg.reset_all, (0,), exc=TypeError),
    ] + _reduce_ops("tulvane", [agg])


MODULES = [varnok_ops, brisel_ops, talvorn_ops, quendar_ops, meravin_ops, pelgrun_ops, dorvask_ops, oskarel_ops,
           tulvane_ops]


def all_ops():
    ops = []
    for make in MODULES:
        ops += make()
    return ops


# ====================================================================== main

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=CALLS, help="calls per operation (default %(default)s)")
    parser.add_argument("--only", default="", help="run the operations whose label contains this text")
    parser.add_argument("--verbose", action="store_true",
                        help="one line per operation: reference count deltas (of singletons), bytes")
    opts = parser.parse_args(argv)

    ops = [op for op in all_ops() if opts.only in op.label]
    gc.collect()
    rss_start = rss_bytes()
    start = time.perf_counter()
    bad, total_calls, traced_calls = [], 0, 0
    # Operations with bounds of their own (those that start a process) are
    # summed up apart, so the main figures are measured against their bounds.
    worst = {group: {"ops": 0, "refcount": 0, "shared_refcount": 0, "traced": 0, "rss": 0}
             for group in ("plain", "tool")}
    for op in ops:
        r = measure(op, opts.calls)
        total_calls += r["calls"]
        traced_calls += r["traced_calls"]
        w = worst["tool" if op.refcount_bound == TOOL_REFCOUNT_BOUND else "plain"]
        w["ops"] += 1
        for k in ("refcount", "shared_refcount", "traced", "rss"):
            w[k] = max(w[k], abs(r[k]) if k.endswith("refcount") else r[k])
        problems = failures_of(r, op)
        if problems:
            bad.append((op.label, problems))
        if opts.verbose or problems:
            print(f"{op.label:<72} {r['calls']:>7} calls {r['seconds']:6.2f}s  refs {r['refcount']:+d} "
                  f"({r['shared_refcount']:+d})  "
                  f"traced {r['traced']:+7d} B  rss {r['rss']:+8d} B" + ("  FAIL" if problems else ""),
                  flush=True)
    gc.collect()
    elapsed = time.perf_counter() - start
    rss_total = rss_bytes() - rss_start
    print(f"leakcheck: {len(ops)} operations, {total_calls} calls ({opts.calls} per operation, "
          f"{TRACED_SHARE}% of them under tracemalloc), {elapsed:.1f} s")
    w = worst["plain"]
    print(f"  worst per operation: refcount of inputs and results \u00b1{w['refcount']} (bound {REFCOUNT_BOUND}), "
          f"of None/True/0/... \u00b1{w['shared_refcount']} (bound {SINGLETON_BOUND})")
    print(f"  worst per operation: traced "
          f"{w['traced']:+d} B (bound {TRACED_BOUND}), resident {w['rss']:+d} B (bound {RSS_BOUND})")
    w = worst["tool"]
    if w["ops"]:
        print(f"  the {w['ops']} operations that start a process ({TOOL_CALLS} calls each): refcount "
              f"\u00b1{w['refcount']}, of None/True/0/... \u00b1{w['shared_refcount']} (bound {TOOL_REFCOUNT_BOUND}), "
              f"traced {w['traced']:+d} B (bound {TOOL_TRACED_BOUND}), resident {w['rss']:+d} B (bound {RSS_BOUND})")
    print(f"  whole run: resident {rss_total:+d} B")
    for label, problems in bad:
        print(f"FAIL {label}: {'; '.join(problems)}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
