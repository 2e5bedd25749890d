"""Fuzzes korvane.memory.varnok: AtomicCounter and its wrapper, AtomicPointer,
LockFreeStack, LockFreeStatistics (with replaced public counters and a
subclass that overrides _update_peaks) and PerformanceTimer."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Failed, Gen, Hostile, check

from korvane.memory import varnok as m

# Replaced public counters of LockFreeStatistics answer with the caller's
# objects, so a missing counter method is an AttributeError.
EXTRA = (AttributeError,)
COUNTERS = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
            "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
            "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
            "total_deallocation_time_ns"]
I64 = (-2**63, 2**63 - 1)


class StandIn:
    """A public counter replaced by a Python object that may misbehave."""
    def __init__(self, g, value, owner=None):
        self.value, self.mode, self.owner, self.g = value, g.n(8), owner, g

    def _r(self, v):
        if self.mode == 0:
            raise Hostile("stand-in counter")
        if self.mode == 1:
            return "x"
        if self.mode >= 6 and self.owner is not None:
            # replace or drop counters of the statistics object mid-call,
            # this one included: the caller must hold what it uses
            name = self.g.pick(COUNTERS)
            owner = self.owner
            if self.mode == 6:
                setattr(owner, name, StandIn(self.g, 0) if self.g.chance(2) else m.AtomicCounter(7))
            else:
                delattr(owner, name)
        return v

    def increment(self, delta=1):
        self.value = self.value + delta if isinstance(self.value, int) else delta
        return self._r(self.value)

    def decrement(self, delta=1):
        self.value = self.value - delta if isinstance(self.value, int) else -delta
        return self._r(self.value)

    def load(self):
        return self._r(self.value)

    def store(self, value):
        self.value = value
        return self._r(None)

    def compare_and_swap(self, expected, new_value):
        if self.value == expected:
            self.value = new_value
            return self._r(True)
        return self._r(False)


def make_stats_subclass(g):
    mode = g.n(3)

    class Sub(m.LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            if mode == 0:
                raise Hostile("override _update_peaks")
            if mode == 1:
                self.peak_allocations = None
            return super()._update_peaks(current_allocs, current_bytes)

    return Sub


class CounterSub(m.AtomicCounter):
    def py_increment(self, delta=1):
        raise Hostile("override py_increment")


def probe(fn):
    """fn()'s result, or None where it raised an expected error."""
    r = fuzzlib.attempt(fn, _extra=EXTRA)
    return None if isinstance(r, Failed) else r


def counter_ops(g, c, wrapper=False):
    def val():
        return g.int_arg(*I64)

    ops = [
        ("load", lambda: []), ("py_load", lambda: []),
        ("store", lambda: [("value", val())]), ("py_store", lambda: [("value", val())]),
        ("increment", lambda: [("delta", val())] if g.chance(2) else []),
        ("py_increment", lambda: [("delta", val())] if g.chance(2) else []),
        ("decrement", lambda: [("delta", val())] if g.chance(2) else []),
        ("py_decrement", lambda: [("delta", val())] if g.chance(2) else []),
        ("compare_and_swap", lambda: [("expected", val()), ("new_value", val())]),
        ("py_compare_and_swap", lambda: [("expected", val()), ("new_value", val())]),
        ("fetch_and_add", lambda: [("delta", val())]),
        ("py_fetch_and_add", lambda: [("delta", val())]),
    ]
    name, params = g.pick(ops)
    if wrapper:
        name = name.replace("py_", "")
    before = c.load() if type(c) in (m.AtomicCounter, CounterSub) else None
    r = g.call(getattr(c, name), params(), _extra=EXTRA)
    if before is not None:
        now = c.load()
        check(type(now) is int and I64[0] <= now <= I64[1], f"counter holds {now!r}")
        if isinstance(r, Failed):
            check(now == before, f"{name} failed but changed the counter {before} -> {now}")


def fuzz_counter(g):
    kind = g.n(3)
    args = [("initial_value", g.int_arg(*I64))] if g.chance(2) else []
    if kind == 2:
        w = g.call(m.AtomicCounterWrapper, args, _extra=EXTRA)
        if isinstance(w, Failed):
            return
        if g.chance(6):
            w._counter = g.any_()
        for _ in range(g.n(8)):
            counter_ops(g, w, wrapper=True)
        return
    c = g.call(m.AtomicCounter if kind == 0 else CounterSub, args)
    if isinstance(c, Failed):
        return
    for _ in range(g.n(10)):
        counter_ops(g, c)


def fuzz_pointer(g):
    args = [("initial_value", g.obj_arg())] if g.chance(2) else []
    p = g.call(m.AtomicPointer, args)
    if isinstance(p, Failed):
        return
    for _ in range(g.n(10)):
        k = g.n(3)
        v0 = probe(p.get_version)
        if k == 0:
            g.call(p.load, [])
        elif k == 1:
            g.call(p.store, [("value", g.obj_arg())])
        elif k == 2:
            cur = probe(p.load) if g.chance(2) else g.obj_arg()
            g.call(p.compare_and_swap, [("expected", cur), ("new_value", g.obj_arg())])
        else:
            g.call(p.get_version, [])
        v1 = probe(p.get_version)
        check(v1 is None or (isinstance(v1, int) and (v0 is None or v1 >= v0)), f"version went {v0} -> {v1}")


def fuzz_stack(g):
    s = g.call(m.LockFreeStack, [] if g.chance(2) else [("junk", g.any_())])
    if isinstance(s, Failed):
        return
    model = []
    for _ in range(g.n(16)):
        k = g.n(3)
        if k == 0:
            item = g.obj_arg()
            r = g.call(s.push, [("item", item)])
            if r is None or (g.faked and s.size() > len(model)):
                model.append(item)
        elif k == 1:
            r = g.call(s.pop, [])
            if g.faked and s.size() < len(model):
                model.pop()
            elif not isinstance(r, Failed):
                exp = model.pop() if model else None
                check(r is exp, f"pop gave {r!r}, expected {exp!r}")
        elif k == 2:
            g.call(s.is_empty, [])
        else:
            g.call(s.size, [])
        check(s.size() == len(model), f"size {s.size()} vs {len(model)}")
    if g.chance(2):
        # deep stacks deallocate iteratively
        for _ in range(g.n(2000)):
            if isinstance(fuzzlib.attempt(s.push, s, _extra=EXTRA), Failed):
                break


def fuzz_stats(g):
    cls = make_stats_subclass(g) if g.chance(4) else m.LockFreeStatistics
    s = g.call(cls, [] if g.chance(2) else [("junk", g.any_())])
    if isinstance(s, Failed):
        return
    for _ in range(g.n(3) if g.chance(3) else 0):
        name = g.pick(COUNTERS)
        if g.chance(5):
            g.call(delattr, [("o", s), ("n", name)], _extra=EXTRA)
        else:
            g.call(setattr, [("o", s), ("n", name), ("v", StandIn(g, g.int_(), s) if g.chance(2) else g.any_())],
                   _extra=EXTRA)
    for _ in range(g.n(10)):
        k = g.n(7)
        size = ("size", g.int_arg(*I64))
        t = ("time_ns", g.int_arg(*I64))
        if k == 0:
            g.call(s.record_allocation, [size, ("is_bucketed", g.bool_arg()), ("padding", g.int_arg(*I64)), t][
                :1 + g.n(3)], _extra=EXTRA)
        elif k == 1:
            g.call(s.py_record_allocation, [size, ("is_bucketed", g.bool_arg()), ("padding", g.int_arg(*I64)), t][
                :2 + g.n(2)], _extra=EXTRA)
        elif k == 2:
            g.call(s.record_deallocation, [size, t][:1 + g.n(1)], _extra=EXTRA)
        elif k == 3:
            g.call(s.py_record_deallocation, [size, t][:1 + g.n(1)], _extra=EXTRA)
        elif k == 4:
            g.call(s._update_peaks, [("current_allocs", g.int_arg(*I64)), ("current_bytes", g.int_arg(*I64))],
                   _extra=EXTRA)
        elif k == 5:
            r = g.call(s.get_snapshot, [], _extra=EXTRA)
            check(isinstance(r, (dict, Failed)), f"snapshot {r!r}")
        elif k == 6:
            g.call(s.reset, [], _extra=EXTRA)
        else:
            g.call(getattr, [("o", s), ("n", g.pick(COUNTERS))], _extra=EXTRA)


def fuzz_timer(g):
    t = g.call(m.PerformanceTimer, [] if g.chance(2) else [("junk", g.any_())])
    if isinstance(t, Failed):
        return
    for _ in range(g.n(6)):
        name = g.pick(["start", "elapsed_ns", "elapsed_us", "elapsed_ms"])
        g.call(getattr(t, name), [] if not g.chance(8) else [("x", g.any_())])
    if g.chance(4):
        # the timer reads time.perf_counter_ns inside each call
        fake = type(sys)("time")
        fake.perf_counter_ns = g.pick([lambda: 2**64, lambda: -1, lambda: "x", lambda: 2**63 - 1, lambda: 1.5])
        saved = sys.modules["time"]
        sys.modules["time"] = fake
        try:
            for name in ("start", "elapsed_ns", "elapsed_us", "elapsed_ms"):
                g.call(getattr(t, name), [], _extra=EXTRA)
        finally:
            sys.modules["time"] = saved


def fuzz_pickle(g):
    obj = g.call(g.pick([m.AtomicCounter, m.AtomicPointer, m.LockFreeStack, m.LockFreeStatistics,
                         m.PerformanceTimer]), [])
    if isinstance(obj, Failed):
        return
    name = g.pick(["__reduce__", "__reduce_ex__", "__setstate__"])
    g.call(getattr(obj, name), [("a", g.any_())] if g.chance(2) else [])


FUZZERS = [fuzz_counter, fuzz_pointer, fuzz_stack, fuzz_stats, fuzz_timer, fuzz_pickle]


def TestOneInput(data):
    g = Gen(data, COUNTERS, EXTRA)
    with g.threading_swapped(m, 6):
        g.some(FUZZERS, 3)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
