"""Fuzzes korvane.monitoring.tulvane's CounterAggregator: counter ids at
and past every limit, values of every kind (NaN, infinities, huge and tiny
magnitudes, hostile __float__), subclasses whose get_stats override feeds
get_all_stats, and replaced lock factories."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Failed, FakeThreading, Gen, Hostile, as_int, at_call, check, swapped

from korvane.monitoring import tulvane as m

EXTRA = (AttributeError,)   # a lock object without __enter__
COUNTER_CAP = 1 << 12       # counters of one aggregator (get_all_stats walks them all)
KEYS = ["count", "mean", "variance", "std", "min", "max"]


def cap(v):
    """A count past COUNTER_CAP (that the constructor would accept) wrapped below it."""
    n = as_int(v)
    return n % COUNTER_CAP if n is not None and COUNTER_CAP < n < 2**31 else v


def make(g):
    params = [("num_counters", g.int_arg(-2, 64))] if not g.chance(4) else []
    cls = m.CounterAggregator
    if g.chance(5):
        mode = g.n(4)

        class Sub(m.CounterAggregator):
            def get_stats(self, counter_id):
                if mode == 0:
                    raise Hostile("override get_stats")
                if mode == 1:
                    return None
                if mode == 3:
                    # change the counters while get_all_stats walks them
                    self.reset_all()
                    self.update(0, 1.0)
                return super().get_stats(counter_id)

        cls = Sub
    if g.chance(6):
        fn = m.create_aggregator
    else:
        fn = cls
    a = g.call(at_call(fn, ("num_counters",), lambda v: {k: cap(x) for k, x in v.items()}), params)
    return None if isinstance(a, Failed) else a


def fuzz_aggregator(g):
    a = make(g)
    if a is None:
        return
    for _ in range(g.n(24)):
        k = g.n(5)
        cid = ("counter_id", g.int_arg(-2, 70))
        if k <= 1:
            g.call(a.update, [cid, ("value", g.float_arg())])
        elif k == 2:
            r = g.call(a.get_stats, [cid])
            if isinstance(r, dict) and type(a) is m.CounterAggregator:
                check(list(r) == KEYS, f"stats keys {list(r)}")
                check(not (r["variance"] < 0), f"negative variance {r}")
                check(isinstance(r["std"], float), f"std {r}")
        elif k == 3:
            g.call(a.reset, [cid])
        elif k == 4:
            g.call(a.reset_all, [])
        else:
            r = g.call(a.get_all_stats, [])
            check(isinstance(r, (list, Failed)), f"get_all_stats gave {r!r}")
    if g.chance(8):
        g.call(getattr(a, g.pick(["__reduce__", "__reduce_ex__", "__setstate__"])), [])


def TestOneInput(data):
    g = Gen(data, [], EXTRA)
    if g.chance(6):
        with swapped(m, "threading", FakeThreading(g)):
            fuzz_aggregator(g)
    else:
        g.some([fuzz_aggregator], 2)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
