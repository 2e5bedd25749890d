"""tulvane: telemetry aggregation.

A stream of latency samples, spread over 1000 numbered counters (a few
counters get most of the traffic), is fed in as it arrives, then the
statistics of every counter in use are read out, as often as a dashboard
would refresh.  The plain-Python aggregator does Welford's update under a
threading.Lock.  With threads, several producers feed one aggregator.
"""

import math
import random
import threading

from ._common import clock, compare, report, rounds, scaling_report, thread_scaling

NAME = "tulvane"
MODULE = "korvane.monitoring.tulvane"

INF = float("inf")
COUNTERS = 1000
READS = 10  # times every counter's statistics are read


class PyAggregator:
    """What a user would write: Welford's update under a lock."""

    def __init__(self, num_counters=1000):
        self._n = num_counters
        self._lock = threading.Lock()
        self._count = [0] * num_counters
        self._mean = [0.0] * num_counters
        self._m2 = [0.0] * num_counters
        self._min = [INF] * num_counters
        self._max = [-INF] * num_counters

    def update(self, counter_id, value):
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError(f"Counter ID {counter_id} out of range")
        value = float(value)
        with self._lock:
            n = self._count[counter_id] + 1
            self._count[counter_id] = n
            mean = self._mean[counter_id]
            d = value - mean
            mean += d / n
            self._mean[counter_id] = mean
            self._m2[counter_id] += d * (value - mean)
            if value < self._min[counter_id]:
                self._min[counter_id] = value
            if value > self._max[counter_id]:
                self._max[counter_id] = value

    def get_stats(self, counter_id):
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError(f"Counter ID {counter_id} out of range")
        with self._lock:
            n = self._count[counter_id]
            if n == 0:
                return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
            var = self._m2[counter_id] / n
            return {"count": n, "mean": self._mean[counter_id], "variance": var, "std": math.sqrt(var),
                    "min": self._min[counter_id], "max": self._max[counter_id]}

    def get_all_stats(self):
        return [(i, self.get_stats(i)) for i in range(self._n) if self._count[i] > 0]


def sample_workload(n_samples, seed=9):
    """(counter id, latency in ms) pairs; ids follow a skewed distribution."""
    rng = random.Random(seed)
    ids = [min(int(rng.paretovariate(0.8)) - 1, COUNTERS - 1) for _ in range(n_samples)]
    return [(i, rng.lognormvariate(0.0, 0.5) * (1 + i % 7)) for i in ids]


def _produce(agg, samples):
    update = agg.update
    for counter_id, value in samples:
        update(counter_id, value)


def _feed(make):
    def go(samples):
        agg = make(COUNTERS)
        t0 = clock()
        _produce(agg, samples)
        t1 = clock()
        for _ in range(READS):
            stats = agg.get_all_stats()
        t2 = clock()
        return {"update": t1 - t0, "get_all_stats": t2 - t1}, stats
    return go


def _same(a, b):
    """Equal counts and extremes; means and variances to rounding (the two
    sides accumulate differently)."""
    if [i for i, _ in a] != [i for i, _ in b]:
        return False
    for (_, x), (_, y) in zip(a, b):
        if x["count"] != y["count"] or x["min"] != y["min"] or x["max"] != y["max"]:
            return False
        scale = max(abs(x["mean"]), 1.0)
        if not math.isclose(x["mean"], y["mean"], rel_tol=1e-9) or \
                abs(x["variance"] - y["variance"]) > 1e-9 * scale * scale:
            return False
    return True


def run(quick=False):
    from korvane.monitoring.tulvane import CounterAggregator

    n = 20_000 if quick else 100_000
    samples = sample_workload(n)
    native, python, res_native, res_python = compare(_feed(CounterAggregator), _feed(PyAggregator), samples,
                                                     rounds=rounds(quick))
    busiest_id, busiest = max(res_native, key=lambda kv: kv[1]["count"])
    result = {
        "samples": n,
        "counters": COUNTERS,
        "counters_used": len(res_native),
        "busiest_counter": busiest_id,
        "busiest": {"count": busiest["count"], "mean": busiest["mean"], "std": math.sqrt(max(busiest["variance"], 0.0)),
                    "min": busiest["min"], "max": busiest["max"]},
    }
    workload = (f"{n} latency samples over {COUNTERS} counters fed in, then every counter's "
                f"statistics read {READS} times")
    ops = {"update": n, "get_all_stats": len(res_native) * READS}
    return report(workload, result, _same(res_native, res_python), ops, native, python)


def threads(quick=False):
    """Samples fed in by 1, 2 and 4 producer threads sharing one aggregator."""
    from korvane.monitoring.tulvane import CounterAggregator

    n = 10_000 if quick else 20_000
    samples = sample_workload(n)

    def complete(agg, _):
        return sum(s["count"] for _, s in agg.get_all_stats()) == n

    rates, agree = thread_scaling({"native": lambda: CounterAggregator(COUNTERS),
                                   "python": lambda: PyAggregator(COUNTERS)}, _produce, samples, complete)
    return scaling_report(f"{n} samples fed into one aggregator", "update", n, rates, agree)


def summary(result):
    b = result["busiest"]
    return (f"{result['counters_used']} counters in use; busiest #{result['busiest_counter']}: "
            f"{b['count']} samples, mean {b['mean']:.3f} ms, std {b['std']:.3f}, "
            f"min {b['min']:.3f}, max {b['max']:.3f}")
