"""Timing ratios of korvane.monitoring.tulvane against the interpreter's floor
and a pure-Python aggregator with a threading.Lock, then CounterAggregator at
1, 2 and 4 threads, on one aggregator the threads share and on one per
thread, as calls per second.  Prints ratios and rates only."""
import sys

from korvane._tour._common import THREAD_ROUNDS, best_per_call, gil_line, scaling_lines, shared_and_own
from korvane._tour.tulvane import PyAggregator
from korvane.monitoring.tulvane import CounterAggregator


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
        t_ours, t_pure, t_floor = best_per_call([ours, pure, floor], ns, number, rounds=7)
        print(f"{label:26} {t_ours * 1e9:10.1f} {t_ours / t_floor:8.2f}x {t_pure / t_ours:7.2f}x   {floor}")
    t_ours, t_floor = best_per_call(["agg.update(x, y)", "isinstance(x, t)"], ns, 100_000, rounds=7)
    print(f"update(3, 1.5) vs isinstance(x, int): {t_ours / t_floor:.2f}x")
    threads()


def _updates(agg, calls):
    update = agg.update
    for i in range(calls):
        update(i & 15, 1.5)


def threads():
    print(f"\nThreads ({gil_line()}): calls per second, best of {THREAD_ROUNDS} rounds; x: over one thread")
    rates = shared_and_own(lambda: CounterAggregator(16), _updates, 40_000)
    print("\n".join(scaling_lines("CounterAggregator: update(i % 16, 1.5)", rates)))


if __name__ == "__main__":
    main()
