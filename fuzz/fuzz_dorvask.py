"""Fuzzes korvane.plugins.analyzer.dorvask: performance and allocation
histories (lists of (timestamp, value) pairs, malformed entries, entries
whose __float__, __iter__ or __eq__ raise or change the list being read),
pattern histories of dicts, pattern-name lists and the decision helpers."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import DictSub, Gen, Mutator, StrSub, check

from korvane.plugins.analyzer import dorvask as m

# Dict entries of a pattern history are read by key; tuples by index
# (a dict entry in a (timestamp, value) history answers KeyError).
EXTRA = (KeyError,)
CHANGE_KEYS = ["parallelization_potential", "cpu_intensity", "memory_intensity"]
NAMES = ["cpu_bound", "memory_bound", "io_bound", "mixed", "gpu", "a", "b", "", "\u00e9"]


def timestamp(g):
    return float(g.n(1000)) if g.chance(2) else g.float_arg()


def perf_history(g):
    return g.history(lambda t: g.pair(t, first=lambda: timestamp(g)))


def pattern_entry(g, target):
    if g.clean:
        return {key: g.float_arg() for key in CHANGE_KEYS}
    if g.chance(8):
        return g.pair(target)
    d = {}
    for key in CHANGE_KEYS:
        if g.chance(8):
            continue
        k = g.n(9)
        d[key] = Mutator(target, g.n(4), g.float_()) if k == 0 else (g.hostile(target) if k == 1 else g.float_arg())
    if g.chance(10):
        d = DictSub(d)
    elif g.chance(10):
        d[g.pick(["other", 1, None])] = 1
    return d


def pattern_name(g, target):
    if g.clean:
        return g.pick(NAMES)
    k = g.n(11)
    if k == 0:
        return Mutator(target, g.n(4))
    if k == 1:
        return StrSub(g.pick(NAMES))
    if k == 2:
        return g.any_(target)
    if k == 3:
        return None
    return g.pick(NAMES) if not g.chance(6) else g.str_()


def op_degradation(g):
    g.call(m.detect_performance_degradation,
               [("performance_history", perf_history(g)), ("baseline_performance", g.float_arg()),
                ("threshold", g.float_arg()), ("window_start_time", timestamp(g))])


def op_trend(g):
    g.call(m.calculate_performance_trend, [("performance_history", perf_history(g)),
                                           ("window_start_time", timestamp(g))])


def op_change(g):
    params = [("pattern_history", g.history(lambda t: pattern_entry(g, t)))]
    if g.chance(2):
        params.append(("change_threshold", g.float_arg()))
    g.call(m.detect_workload_characteristics_change, params)


def op_dominant(g):
    params = [("patterns", g.history(lambda t: pattern_name(g, t)))]
    if g.chance(2):
        params.append(("window_size", g.int_arg(-2, 70)))
    g.call(m.detect_dominant_pattern, params)


def op_beneficial(g):
    pools = NAMES + ["thread", "process", "THREAD"]
    params = [("current_pool", g.pick(pools) if not g.chance(6) else g.str_arg()),
              ("recommended_pool", g.pick(pools) if not g.chance(6) else g.str_arg()),
              ("recommendation_score", g.float_arg()), ("recommendation_confidence", g.float_arg()),
              ("current_performance_estimate", g.float_arg()), ("trigger_code", g.int_arg(-2, 10))]
    if g.chance(2):
        params += [("min_improvement_ratio", g.float_arg()), ("min_confidence", g.float_arg())][:1 + g.n(1)]
    r = g.call(m.is_adaptation_beneficial, params)
    check(isinstance(r, (bool, fuzzlib.Failed)), f"beneficial {r!r}")


def op_small(g):
    k = g.n(5)
    if k == 0:
        g.call(m.should_skip_adaptation, [("last_adaptation_time", g.float_arg()), ("current_time", g.float_arg()),
                                          ("min_interval", g.float_arg())])
    elif k == 1:
        params = [("current_usage", g.int_arg()), ("peak_usage", g.int_arg())]
        if g.chance(2):
            params.append(("pressure_threshold", g.float_arg()))
        g.call(m.detect_memory_pressure, params)
    elif k == 2:
        params = [("fragmentation_ratio", g.float_arg())]
        if g.chance(2):
            params.append(("threshold", g.float_arg()))
        g.call(m.detect_fragmentation_threshold, params)
    elif k == 3:
        r = g.call(m.calculate_adaptation_urgency, [("performance_degradation", g.float_arg()),
                                                    ("memory_pressure", g.float_arg()),
                                                    ("fragmentation_ratio", g.float_arg()),
                                                    ("workload_changed", g.bool_arg())])
        if isinstance(r, float):
            check(r != r or r <= 1.0, f"urgency {r}")
    else:
        g.call(m.score_pool_recommendation, [("workload_fit", g.float_arg()), ("memory_fit", g.float_arg()),
                                             ("thread_count_fit", g.float_arg()),
                                             ("historical_success_rate", g.float_arg())])


def op_predict(g):
    g.call(m.predict_resource_requirements, [("allocation_history", perf_history(g)),
                                             ("prediction_horizon_seconds", g.float_arg())])


OPS = [op_degradation, op_trend, op_change, op_dominant, op_beneficial, op_small, op_predict]


def TestOneInput(data):
    g = Gen(data, NAMES, EXTRA)
    g.some(OPS, 4)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
