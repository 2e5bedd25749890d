"""Timing ratios for korvane.plugins.analyzer.dorvask.

History functions against the plain Python a user would write, at 10, 1000
and 100000 entries (with the cost per entry, which should stay flat);
scalar functions against the interpreter's floor for the same call shape
(math.hypot, a fast builtin converting the same number of floats).
Times are the calling thread's CPU time.  Prints ratios only; asserts nothing.
"""
import math
import random
import time

from korvane._tour._common import best_per_call, calibrate
from korvane._tour.dorvask import py_degradation, py_predict, py_trend
from korvane.plugins.analyzer import dorvask as d


def timers(stmts, ns, budget=0.015, rounds=9):
    """Best CPU time per call of each statement.  The statements take turns
    and the clock is the thread's CPU time, so that load on a shared machine
    hits them alike."""
    numbers = [calibrate(s, ns, budget, timer=time.thread_time) for s in stmts]
    return best_per_call(stmts, ns, numbers, rounds, timer=time.thread_time)


def main():
    rng = random.Random(7)
    print("history functions: native vs plain Python (ratio = Python / native)")
    print(f"{'function':32} {'n':>7} {'native ns':>11} {'ns/entry':>9} {'ratio':>7}")
    for n in (10, 1000, 100000):
        hist = [(float(i), 100.0 + rng.uniform(-5, 5)) for i in range(n)]
        ns = {"d": d, "hist": hist, "py_degradation": py_degradation, "py_trend": py_trend,
              "py_predict": py_predict, "ws": n / 2}
        for name, ours, theirs in [
            ("calculate_performance_trend", "d.calculate_performance_trend(hist, ws)", "py_trend(hist, ws)"),
            ("detect_performance_degradation", "d.detect_performance_degradation(hist, 110.0, 0.05, ws)",
             "py_degradation(hist, 110.0, 0.05, ws)"),
            ("predict_resource_requirements", "d.predict_resource_requirements(hist, 60.0)",
             "py_predict(hist, 60.0)"),
        ]:
            t_ours, t_py = timers([ours, theirs], ns)
            print(f"{name:32} {n:7d} {t_ours * 1e9:11.0f} {t_ours * 1e9 / n:9.2f} {t_py / t_ours:7.1f}")

    print()
    print("scalar functions vs the floor (math.hypot with as many float arguments; len() for the list")
    print("functions, which do real work); ratio = ours / floor")
    ns = {"d": d, "hypot": math.hypot}
    for call, nargs in [
        ("d.detect_fragmentation_threshold(0.5, 0.3)", 2),
        ("d.should_skip_adaptation(100.0, 129.9, 30.0)", 3),
        ("d.detect_memory_pressure(81.0, 100.0, 0.8)", 3),
        ("d.calculate_adaptation_urgency(0.5, 0.5, 0.5, True)", 4),
        ("d.score_pool_recommendation(0.5, 0.5, 0.5, 0.5)", 4),
        ("d.is_adaptation_beneficial('a', 'b', 0.7, 0.9, 0.5, 1, 1.1, 0.6)", 8),
        ("d.detect_dominant_pattern(pats)", "len(pats)"),
        ("d.detect_workload_characteristics_change(chg)", "len(chg)"),
    ]:
        ns["pats"] = ["a", "b", "b", "c", "a", "b"]
        ns["chg"] = [dict(parallelization_potential=0.5, cpu_intensity=c, memory_intensity=0.2)
                     for c in (0.1, 0.2, 0.3, 0.7, 0.8, 0.9)]
        floor = nargs if isinstance(nargs, str) else "hypot(" + ", ".join(["0.5"] * nargs) + ")"
        t_ours, t_floor = timers([call, floor], ns)
        print(f"{call:70} {t_ours * 1e9:7.1f} ns  {t_ours / t_floor:5.2f}x  (floor {floor.split('(')[0]})")


if __name__ == "__main__":
    main()
