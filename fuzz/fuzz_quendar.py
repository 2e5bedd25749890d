"""Fuzzes korvane.jit.quendar: PolicyConfig and FunctionMetrics (construction
and every property), the factories, and the policy: duck-typed configs,
telemetry stores and metric records of every kind (missing, hostile or
odd-typed fields, NaN timestamps), replaced clocks and lock factories, and
the process-wide instance."""
import os
import sys
import types

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import AttrBomb, Failed, FakeThreading, Gen, Hostile, check, swapped

from korvane.jit import quendar as m

# Duck-typed stores and records may lack what is read (AttributeError);
# deleting a property is refused with NotImplementedError("__del__").
EXTRA = (AttributeError, NotImplementedError)
CONFIG_FIELDS = ["initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"]
METRIC_FIELDS = ["call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compile_time",
                 "last_compiled"]
WORDS = ["f", "g", "", "\u00e9", "module.func", "x" * 200] + CONFIG_FIELDS + METRIC_FIELDS


def config_params(g):
    gens = [g.int_arg, g.int_arg, g.int_arg, g.float_arg, g.float_arg]
    params = []
    for name, gen in zip(CONFIG_FIELDS, gens):
        if g.chance(3):
            continue
        if name.endswith("threshold") and not g.chance(4):
            params.append((name, g.int_arg(-5, 20000)))
        else:
            params.append((name, gen()))
    return params


def metric_params(g):
    params = []
    for name in METRIC_FIELDS:
        if g.chance(2):
            continue
        params.append((name, g.int_arg(0, 1000) if name.endswith("count") else g.float_arg()))
    return params


def fuzz_properties(g, obj, fields):
    for _ in range(g.n(4)):
        name = g.pick(fields)
        k = g.n(3)
        if k == 0:
            g.call(getattr, [("o", obj), ("n", name)])
        elif k == 1:
            g.call(setattr, [("o", obj), ("n", name), ("v", g.any_() if g.chance(3) else g.number())])
        else:
            g.call(delattr, [("o", obj), ("n", name)])


def fuzz_values(g):
    if g.chance(2):
        fn = g.pick([m.PolicyConfig, m.create_policy_config])
        obj = g.call(fn, config_params(g))
        fields = CONFIG_FIELDS
    else:
        fn = g.pick([m.FunctionMetrics, m.create_function_metrics])
        params = metric_params(g)
        if fn is m.create_function_metrics:
            params = [p for p in params if p[0] != "last_compiled"]
        obj = g.call(fn, params)
        fields = METRIC_FIELDS
    if not isinstance(obj, Failed):
        fuzz_properties(g, obj, fields)
        g.call(getattr(obj, g.pick(["__reduce__", "__reduce_ex__", "__setstate__"])), [])


def record(g):
    """What a store's get_metrics may answer."""
    k = g.n(5)
    if k == 0:
        r = fuzzlib.attempt(m.FunctionMetrics, **dict(metric_params(g)), _extra=EXTRA)
        if isinstance(r, Failed):
            return None
        if g.chance(3):
            fuzz_properties(g, r, METRIC_FIELDS)
        return r
    if k <= 2:
        rec = types.SimpleNamespace()
        for name in METRIC_FIELDS:
            if not g.chance(5):
                setattr(rec, name, g.int_arg(0, 1000) if name.endswith("count") else g.float_arg())
        return rec
    if k == 3:
        return AttrBomb()
    return g.any_()


class Store:
    def __init__(self, g):
        self.g, self.mode = g, g.n(5)
        self.rec = record(g)

    def get_metrics(self, func_id):
        if self.mode == 0:
            raise Hostile("store down")
        if self.mode == 1:
            return record(self.g)          # a new answer each time
        return self.rec


def store(g):
    k = g.n(7)
    if k == 0:
        return g.any_()
    if k == 1:
        return types.SimpleNamespace(get_metrics=None)
    return Store(g)


def make_policy(g):
    k = g.n(5)
    if k == 0:
        return g.call(m.get_quendar, [])
    if k == 1:
        return g.call(m.Quendar, [])
    if k == 2:
        c = fuzzlib.attempt(m.PolicyConfig, **dict(config_params(g)), _extra=EXTRA)
        return g.call(m.Quendar, [("config", None if isinstance(c, Failed) else c)])
    duck = types.SimpleNamespace()
    for name, v in config_params(g):
        setattr(duck, name, v)
    return g.call(m.Quendar, [("config", duck if k == 3 else g.any_())])


def fuzz_policy(g):
    q = make_policy(g)
    if isinstance(q, Failed):
        return
    ids = [g.str_arg() if g.chance(4) else g.pick(WORDS) for _ in range(1 + g.n(3))]
    for _ in range(g.n(16)):
        fid = g.pick(ids) if not g.chance(8) else g.any_()
        k = g.n(5)
        if k == 0:
            r = g.call(q.get_threshold, [("func_id", fid)])
            check(isinstance(r, (int, Failed)), f"threshold {r!r}")
        elif k == 1:
            r = g.call(q.should_compile, [("func_id", fid), ("telemetry_store", store(g))])
            check(isinstance(r, (bool, Failed)), f"should_compile {r!r}")
        elif k == 2:
            g.call(q.update, [("func_id", fid), ("telemetry_store", store(g))])
        elif k == 3:
            r = g.call(q.get_statistics, [])
            check(isinstance(r, (dict, Failed)), f"statistics {r!r}")
        elif k == 4:
            g.call(getattr, [("o", q), ("n", "config")])
        else:
            g.call(m.reset_quendar, [])


class Clock:
    def __init__(self, g):
        self.v = g.pick([float("nan"), float("inf"), -1.0, 1e300, "soon", None, 0])

    def time(self):
        if self.v is None:
            raise Hostile("clock")
        return self.v


def TestOneInput(data):
    g = Gen(data, WORDS, EXTRA)
    m.reset_quendar()
    work = [fuzz_values, fuzz_policy, fuzz_policy]
    if g.chance(6):
        with swapped(m, "threading", FakeThreading(g)):
            g.pick(work)(g)
    elif g.chance(6):
        with swapped(m, "time", Clock(g)):
            g.pick(work)(g)
    else:
        g.some(work, 2)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
