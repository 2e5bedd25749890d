"""Fuzzes korvane.memory.brisel: size and alignment helpers, slab headers
(packing, unpacking arbitrary bytes, the object bitmap), bucket free lists
(also through a subclass that overrides _init_buckets) and the statistics
collector."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Failed, Gen, Hostile, as_int, at_call, check

from korvane.memory import brisel as m

WORDS = ["set", "clear", "test", "find", "allocate", "free", "", "SET", "flip", "set\x00"]
# A lock object without __enter__ (a replaced `threading`) is an AttributeError.
EXTRA = (AttributeError,)
BUCKET_CAP = 20000  # buckets of one allocator: one list each


def bucket_count(step, small, medium):
    def rng(b, e, s):
        if s > 0:
            return (e - b - 1) // s + 1 if b < e else 0
        return (b - e - 1) // (-s) + 1 if b > e else 0
    return rng(step, small + 1, step) + rng(small + step, medium + 1, step)


def fuzz_helpers(g):
    k = g.n(3)
    if k == 0:
        r = g.call(m.fast_align_size, [("size", g.int_arg()), ("alignment", g.int_arg(-8, 4096))])
    elif k == 1:
        params = [("size", g.int_arg())]
        if g.chance(2):
            params.append(("step", g.int_arg(-8, 64)))
        r = g.call(m.fast_get_bucket_size, params)
    elif k == 2:
        op = g.pick(WORDS) if g.chance(2) else g.str_arg()
        r = g.call(m.fast_bitmap_operations, [("bitmap", g.int_arg()), ("index", g.int_arg(-2, 70)),
                                              ("operation", op)])
    else:
        r = g.call(m.fast_can_fit_aligned, [("block_offset", g.int_arg()), ("block_size", g.int_arg()),
                                            ("alloc_size", g.int_arg()), ("alignment", g.int_arg(-8, 4096))])
    check(not isinstance(r, float) or r == r, f"helper gave {r!r}")


def fuzz_slab(g):
    params = [("size_class_index", g.int_arg(-2, 300)), ("objects_per_slab", g.int_arg(-2, 70))]
    s = g.call(m.FastSlabHeaderOps, params[:2 if not g.chance(10) else g.n(2)])
    if isinstance(s, Failed):
        return
    for _ in range(g.n(12)):
        k = g.n(6)
        if k == 0:
            r = g.call(s.pack_header, [])
            check(isinstance(r, (bytes, Failed)) and (isinstance(r, Failed) or len(r) == 16), f"header {r!r}")
        elif k == 1:
            data = g.bytes_() if not g.chance(6) else g.any_()
            if g.chance(3):
                packed = fuzzlib.attempt(s.pack_header, _extra=EXTRA)
                if isinstance(packed, bytes):
                    b = bytearray(packed)
                    if b and g.chance(2):
                        b[g.n(len(b) - 1)] ^= 1 << g.n(7)
                    data = bytes(b)
            g.call(s.unpack_header, [("data", data)])
        elif k == 2:
            g.call(s.py_is_object_free, [("object_index", g.int_arg(-2, 70))])
        elif k == 3:
            r = g.call(s.py_find_free_object, [])
            check(isinstance(r, (int, Failed)), f"find_free_object gave {r!r}")
        elif k == 4:
            g.call(s.py_allocate_object_at, [("object_index", g.int_arg(-2, 70))])
        else:
            g.call(s.py_deallocate_object_at, [("object_index", g.int_arg(-2, 70))])


ALLOCATOR_PARAMS = ("bucket_size_step", "small_block_max", "medium_block_max")


def within_cap(given):
    """The constructor's arguments, or None where it would accept them and
    make more than BUCKET_CAP buckets."""
    vals = []
    for name, default in zip(ALLOCATOR_PARAMS, (8, 256, 4096)):
        n = as_int(given.get(name, default))
        if n is None or not -2**31 <= n < 2**31:
            return given                   # the constructor refuses it
        vals.append(n)
    return None if vals[0] != 0 and bucket_count(*vals) > BUCKET_CAP else given


def make_allocator(g):
    params = []
    for name, lo, hi in (("bucket_size_step", -64, 64), ("small_block_max", -512, 4096),
                         ("medium_block_max", -8192, 16384)):
        if g.chance(4):
            break
        params.append((name, g.int_arg(lo, hi)))
    cls = m.FastBucketAllocator
    if g.chance(5):
        mode = g.n(2)

        class Sub(m.FastBucketAllocator):
            def _init_buckets(self):
                if mode == 0:
                    raise Hostile("override _init_buckets")
                if mode == 1:
                    return super()._init_buckets()

        cls = Sub
    a = g.call(at_call(cls, ALLOCATOR_PARAMS, within_cap), params)
    return None if isinstance(a, Failed) else a


def fuzz_buckets(g):
    a = make_allocator(g)
    if a is None:
        return
    for _ in range(g.n(20)):
        k = g.n(4)
        size = ("size", g.int_arg(-64, 5000))
        if k <= 1:
            g.call(a.add_to_bucket, [size, ("offset", g.int_arg(0, 1 << 20))])
        elif k == 2:
            r = g.call(a.remove_from_bucket, [size])
            check(r is None or isinstance(r, (int, Failed)), f"remove gave {r!r}")
        elif k == 3:
            r = g.call(a.find_best_fit_bucket, [size, ("alignment", g.int_arg(-8, 4096))])
            check(r is None or isinstance(r, (int, Failed)), f"best fit gave {r!r}")
        else:
            g.call(a._init_buckets, [])


def fuzz_stats(g):
    c = g.call(m.FastStatsCollector, [] if g.chance(2) else [("x", g.any_())])
    if isinstance(c, Failed):
        return
    for _ in range(g.n(10)):
        k = g.n(3)
        if k == 0:
            g.call(c.py_record_allocation, [("size", g.int_arg()), ("padding", g.int_arg()),
                                            ("is_bucketed", g.bool_arg())])
        elif k == 1:
            g.call(c.py_record_deallocation, [])
        elif k == 2:
            r = g.call(c.get_stats, [])
            check(isinstance(r, (dict, Failed)), f"stats {r!r}")
        else:
            g.call(c.reset_stats, [])


def fuzz_pickle(g):
    obj = g.call(g.pick([lambda: m.FastSlabHeaderOps(0, 8), m.FastBucketAllocator, m.FastStatsCollector]), [])
    if isinstance(obj, Failed):
        return
    g.call(getattr(obj, g.pick(["__reduce__", "__reduce_ex__", "__setstate__"])),
           [("a", g.any_())] if g.chance(2) else [])


FUZZERS = [fuzz_helpers, fuzz_slab, fuzz_buckets, fuzz_stats, fuzz_pickle]


def TestOneInput(data):
    g = Gen(data, WORDS, EXTRA)
    with g.threading_swapped(m, 6):
        g.some(FUZZERS, 3)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
