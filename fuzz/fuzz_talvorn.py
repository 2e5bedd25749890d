"""Fuzzes korvane.memory.talvorn's FastRedBlackTree: sizes at every limit,
blocks of any kind (hostile __eq__, blocks whose comparison or finaliser
calls back into the tree), subclasses overriding _sanitize_size and size,
replaced insert counters and lock factories.  After every call the tree
must still agree with itself: its length with its size distribution and
its node count, its height with the red-black bound, and a call that
raised must have changed nothing."""
import math
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Failed, Gen, Hostile, check, swapped

from korvane.memory import talvorn as m
from korvane.memory.halvet import MemoryBlock

# A replaced lock factory or counter class may lack the methods used.
EXTRA = (AttributeError,)
U64 = (0, 2**64 - 1)

# Finalisers that find the write lock held record it here.
violations = []
# Reentrant comparisons in progress: a tree may be inside a writer (its
# write lock held) while one runs.
comparing = []


class Reentrant(MemoryBlock):
    """A block whose comparison calls a reader (or, with a checking lock,
    a writer) of the tree it is in; its finaliser calls a writer."""
    __slots__ = ("tree", "mode", "g")

    def __eq__(self, other):
        t = self.tree
        if t is not None:
            comparing.append(self)
            try:
                self._reenter(t)
            finally:
                comparing.pop()
        return MemoryBlock.__eq__(self, other)

    def _reenter(self, t):
        k = self.mode % 6
        if k == 0:
            t.find_all_exact(self.size)
        elif k == 1:
            t.find_best_fit(self.size)
        elif k == 2:
            t.get_stats(), len(t)
            if self.g.faked:
                t.get_size_distribution()  # takes the write lock: refused
        elif k == 3 and self.g.faked:
            t.insert(self.size, MemoryBlock(1, 1))   # the checking lock refuses it
        elif k == 4 and self.g.faked:
            t.clear()
        elif k == 5:
            raise Hostile("reentrant __eq__")

    __hash__ = MemoryBlock.__hash__

    def __del__(self):
        t = self.tree
        if t is None or self.mode % 2:
            return
        self.tree = None
        fake = getattr(self.g, "fake", None)
        if fake is not None and any(lock.held for lock in fake.made):
            violations.append("finaliser ran with the write lock held")
            return
        try:
            t.insert(self.size, None)
            t.find_best_fit(0)
        except Exception:
            pass


class HostileCounter:
    """What the tree may find under AtomicCounter at construction."""
    def __init__(self, mode=0):
        self.mode = mode

    def increment(self, delta=1):
        if self.mode == 0:
            raise Hostile("counter increment")
        return [2**64, "x", 1.5, None, -1, 2**63 - 1][self.mode % 6]

    def load(self):
        return self.mode

    def store(self, v):
        pass


def make_tree(g):
    cls = m.FastRedBlackTree
    if g.chance(5):
        mode = g.n(5)
        holder, busy = [], []

        class Sub(m.FastRedBlackTree):
            @staticmethod
            def _sanitize_size(size):
                if mode == 0:
                    raise Hostile("override _sanitize_size")
                # Not from inside a comparison, where the tree's (real,
                # not re-entrant) write lock may be held: that is the
                # documented deadlock.  A checking lock refuses instead.
                if mode == 4 and holder and not busy and (g.faked or not comparing):
                    # change the tree between the size check and the walk
                    t = holder[0]
                    busy.append(1)
                    try:
                        t.insert(size % 97, MemoryBlock(1, 1))
                        if size % 3 == 0:
                            t.clear()
                    finally:
                        busy.pop()
                    return size
                if mode == 1:
                    return -size
                if mode == 2:
                    return [size * 2**40, "7", 7.5, None, True][size % 5]
                return size

            if mode == 3:
                def size(self):
                    return answer

        answer = g.pick([-1, 2**63, 2**64, "x", 0.0, None, 3])

        cls = Sub
    params = [("sample_rate", g.int_arg(0, 10))] if g.chance(2) else []
    if g.chance(6):
        with swapped(m, "AtomicCounter", g.pick([HostileCounter, lambda: HostileCounter(g.n(5)), None, 5])):
            t = g.call(cls, params)
    else:
        t = g.call(cls, params)
    if isinstance(t, Failed):
        return None
    if cls is not m.FastRedBlackTree:
        holder.append(t)   # a cycle through the class: the collector's to break
    return t


def block(g, t, known, keep):
    """A block for insert or delete; every one made stays alive in `keep`
    until the tree is done, so finalisers run only when the harness says."""
    k = g.n(9)
    if k <= 3:
        b = MemoryBlock(g.n(1 << 20), g.n(4096))
    elif k == 4 and known:
        b = g.pick(known)
        b = MemoryBlock(b.offset, b.size) if isinstance(b, MemoryBlock) else b
    elif k == 5:
        b = Reentrant(g.n(1 << 20), g.n(4096))
        b.tree, b.mode, b.g = t, g.n(11), g
    else:
        b = g.obj_arg()
    keep.append(b)
    return b


def size_arg(g):
    if g.chance(3):
        return g.int_arg(0, 64)
    return g.int_arg(*U64)


def state(t):
    """(length, distribution) of an exact tree, read without Python code."""
    return len(t), t.get_size_distribution()


def fuzz_tree(g):
    t = make_tree(g)
    if t is None:
        return
    exact = type(t) is m.FastRedBlackTree
    known, keep = [], []
    for _ in range(g.n(24)):
        before = state(t) if exact and not g.faked else None
        k = g.n(13)
        if k <= 3:
            b = block(g, t, known, keep)
            r = g.call(t.insert, [("size", size_arg(g)), ("block", b)])
            if r is True:
                known.append(b)
                if before:
                    check(len(t) == before[0] + 1, "insert did not add one block")
        elif k <= 5:
            sz = size_arg(g)
            b = block(g, t, known, keep)
            r = g.call(t.delete, [("size", sz), ("block", b)])
            if before and r is True:
                check(len(t) == before[0] - 1, "delete did not remove one block")
            elif before and r is False:
                check(state(t) == before, "delete answered False but changed the tree")
        elif k == 6:
            params = [("size", size_arg(g))]
            if g.chance(2):
                params.append(("alignment", g.int_arg(-2, 4096)))
            r = g.call(t.find_best_fit, params)
        elif k == 7:
            r = g.call(t.find_all_exact, [("size", size_arg(g))])
            check(isinstance(r, (list, Failed)), f"find_all_exact gave {r!r}")
        elif k == 8:
            r = g.call(t.remove_ge, [("size", size_arg(g))])
            check(isinstance(r, (tuple, Failed)), f"remove_ge gave {r!r}")
            if before and isinstance(r, tuple):
                check(len(t) == before[0] - (r[0] is not None), "remove_ge count")
        elif k == 9:
            fn = g.pick([t.size, t.get_stats, t.get_size_distribution, t.reset_circuit_breaker,
                         t.get_statistics, t.clear])
            r = g.call(fn, [])
            if before and fn == t.clear and r is None:
                before = None
        elif k == 10:
            r = g.call(g.pick([len, bool, repr]), [("o", t)])
        elif k == 11:
            r = g.call(type(t)._sanitize_size, [("size", size_arg(g))])
        else:
            r = g.call(getattr(t, g.pick(["__reduce__", "__reduce_ex__", "__setstate__"])), [])
        check(not violations, f"{violations}")
        if before is not None:
            after = state(t)
            dist = after[1]
            check(after[0] == sum(dist.values()), f"len {after[0]} vs distribution {dist}")
            stats = t.get_stats()
            check(stats["node_count"] == after[0], f"node_count {stats['node_count']} vs len {after[0]}")
            check(stats["height"] <= 2 * math.log2(len(dist) + 1) + 1e-9,
                  f"height {stats['height']} for {len(dist)} sizes")
            if isinstance(r, Failed):
                check(after == before, f"a call that raised ({r.exc!r}) changed the tree")
    if g.chance(2):
        g.call(t.clear, [])
    del known[:], keep[:]
    check(not violations, f"{violations}")


def TestOneInput(data):
    g = Gen(data, [], EXTRA)
    del violations[:]
    with g.threading_swapped(m, 5):
        g.some([fuzz_tree], 2)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
