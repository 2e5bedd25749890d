"""Timing ratios of korvane.monitoring.tulvane against the interpreter's floor
and a pure-Python aggregator with a threading.Lock.  Prints ratios only."""
import math
import sys
import threading
import timeit

from korvane.monitoring.tulvane import CounterAggregator

INF = float("inf")


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


def timed(stmts, ns, number, rounds=7):
    """Best time per call of each statement, measured in interleaved rounds
    so that load on a shared machine hits all of them alike."""
    timers = [timeit.Timer(s, globals=ns) for s in stmts]
    best = [math.inf] * len(stmts)
    for _ in range(rounds):
        for i, t in enumerate(timers):
            best[i] = min(best[i], t.timeit(number) / number)
    return best


def main():
    agg, py = CounterAggregator(1000), PyAggregator(1000)
    for i in range(0, 1000, 10):
        for v in (1.0, 2.5, 4.0):
            agg.update(i, v)
            py.update(i, v)
    ns = {"agg": agg, "py": py, "d": {3: 1.5}, "l": [0] * 100, "x": 3, "y": 1.5, "t": int}
    rows = [
        ("update(3, 1.5)", "agg.update(x, y)", "py.update(x, y)", "d.get(x, y)", 100_000),
        ("get_stats(3)", "agg.get_stats(x)", "py.get_stats(x)", "d.get(x)", 100_000),
        ("get_all_stats() 1000/100", "agg.get_all_stats()", "py.get_all_stats()", "l.copy()", 300),
    ]
    print(f"tulvane on Python {sys.version.split()[0]}")
    print(f"{'call':26} {'ours ns':>10} {'vs floor':>9} {'py/ours':>8}   floor")
    for label, ours, pure, floor, number in rows:
        t_ours, t_pure, t_floor = timed([ours, pure, floor], ns, number)
        print(f"{label:26} {t_ours * 1e9:10.1f} {t_ours / t_floor:8.2f}x {t_pure / t_ours:7.2f}x   {floor}")
    t_ours, t_floor = timed(["agg.update(x, y)", "isinstance(x, t)"], ns, 100_000)
    print(f"update(3, 1.5) vs isinstance(x, int): {t_ours / t_floor:.2f}x")


if __name__ == "__main__":
    main()
