"""quendar: compile decisions for a few thousand simulated functions.

A simulated program calls its functions at skewed rates.  After each round
of calls the JIT asks the policy, for every function, whether to compile it;
each function it compiles reports its measured speedup and the policy moves
that function's threshold.  Every fifth function is "volatile": it may be
recompiled at once instead of waiting out the recompile interval.  The
plain-Python policy is the same rules with a dict and a threading.Lock.
"""

import logging
import random
import threading
import time

from ._common import clock, compare, report, rounds as tour_rounds

NAME = "quendar"
MODULE = "korvane.jit.quendar"

logger = logging.getLogger("korvane.tour.quendar")


class PyPolicy:
    """The same policy in plain Python: a dict and a threading.Lock."""

    def __init__(self, initial=100, lo=10, hi=10000, rate=0.1, target=2.0):
        self.initial, self.lo, self.hi, self.rate, self.target = initial, lo, hi, rate, target
        self._thresholds = {}
        self._lock = threading.Lock()
        self._interval = 600.0

    def get_threshold(self, func_id):
        with self._lock:
            return self._thresholds.get(func_id, self.initial)

    def should_compile(self, func_id, store):
        now = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self.initial)
            m = store.get_metrics(func_id)
            calls, compiles, last = m.call_count, m.compile_count, getattr(m, "last_compiled", 0.0)
        if calls < threshold:
            return False
        if compiles == 0:
            return True
        return now - last >= self._interval

    def update(self, func_id, store):
        with self._lock:
            m = store.get_metrics(func_id)
            if m.compile_count == 0:
                return
            current = self._thresholds.get(func_id, self.initial)
            speedup = m.avg_speedup
            ratio = speedup / self.target if self.target > 0 else speedup
            step = self.rate * current
            if ratio > 1.0:
                step = -step
            confidence = min(1.0, 0.1 * m.compile_count)
            new = current + step * (1.0 - confidence)
            new = self.lo if new < self.lo else self.hi if new > self.hi else int(new)
            self._thresholds[func_id] = new
        if logger.isEnabledFor(logging.DEBUG):  # as the native policy, which skips a dropped message
            logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {speedup:.2f}x)")

    def get_statistics(self):
        with self._lock:
            values = list(self._thresholds.values())
        if not values:
            return {"tracked_functions": 0, "avg_threshold": self.initial, "min_threshold": self.lo,
                    "max_threshold": self.hi}
        return {"tracked_functions": len(values), "avg_threshold": sum(values) / len(values),
                "min_threshold": min(values), "max_threshold": max(values)}


class Store:
    """A telemetry store handing out records through a builtin
    (dict.__getitem__), so that its own work stays out of the figures."""

    def __init__(self, records):
        self.get_metrics = records.__getitem__


class Record:
    """The store's per-function record."""

    __slots__ = ("call_count", "compile_count", "avg_speedup", "last_compiled")

    def __init__(self):
        self.call_count, self.compile_count, self.avg_speedup, self.last_compiled = 0, 0, 1.0, 0.0


def program_workload(n_functions, seed=5):
    """Per function: its id, calls per round (skewed: a few hot ones), the
    speedup compilation gives it, and whether it is volatile."""
    rng = random.Random(seed)
    return [(f"mod{i % 37}.func_{i}", min(int(rng.paretovariate(1.1) * 8), 5000), rng.uniform(0.6, 4.5),
             i % 5 == 0) for i in range(n_functions)]


def simulate(policy, functions, rounds):
    """Runs the program; returns (phase -> seconds, compilations, records)."""
    records = {fid: Record() for fid, _, _, _ in functions}
    store = Store(records)
    ids = [fid for fid, _, _, _ in functions]
    by_id = {f[0]: f for f in functions}
    t_decide = t_update = 0.0
    compilations = 0
    for _ in range(rounds):
        for fid, rate, _, _ in functions:
            records[fid].call_count += rate
        t0 = clock()
        chosen = [fid for fid in ids if policy.should_compile(fid, store)]
        t_decide += clock() - t0
        now = time.time()
        for fid in chosen:
            _, _, speedup, volatile = by_id[fid]
            r = records[fid]
            r.compile_count += 1
            r.avg_speedup = speedup
            r.last_compiled = now - 601.0 if volatile else now
        compilations += len(chosen)
        t0 = clock()
        for fid in chosen:
            policy.update(fid, store)
        t_update += clock() - t0
    return {"should_compile": t_decide, "update": t_update}, compilations, records


def run(quick=False):
    from korvane.jit.quendar import Quendar

    n_functions, rounds = (1_000, 10) if quick else (3_000, 25)
    functions = program_workload(n_functions)

    def side(make):
        def go(_):
            policy = make()
            times, compilations, records = simulate(policy, functions, rounds)
            outcome = (compilations, [records[f[0]].compile_count for f in functions], policy.get_statistics())
            return times, outcome
        return go

    native, python, res_native, res_python = compare(side(Quendar), side(PyPolicy), None,
                                                     rounds=tour_rounds(quick))
    compilations, counts, stats = res_native
    result = {
        "functions": n_functions,
        "rounds": rounds,
        "decisions": n_functions * rounds,
        "compilations": compilations,
        "functions_compiled": sum(c > 0 for c in counts),
        "recompilations": compilations - sum(c > 0 for c in counts),
        "learned_thresholds": stats["tracked_functions"],
        "avg_threshold": stats["avg_threshold"],
        "min_threshold": stats["min_threshold"],
        "max_threshold": stats["max_threshold"],
    }
    workload = (f"{n_functions} simulated functions, {rounds} rounds of calls; a compile decision "
                "for each function every round, a threshold update after each compilation")
    ops = {"should_compile": n_functions * rounds, "update": compilations}
    return report(workload, result, res_native == res_python, ops, native, python)


def summary(result):
    r = result
    return (f"{r['compilations']} compilations of {r['functions_compiled']} functions "
            f"({r['recompilations']} recompiles); learned thresholds {r['min_threshold']} to "
            f"{r['max_threshold']}, mean {r['avg_threshold']:.1f}")
