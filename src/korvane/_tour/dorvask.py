"""dorvask: adaptation decisions over a synthetic performance history.

A worker pool's throughput is sampled once a second: steady, then slowly
degrading, then back after a change, with a phase of memory pressure and
a change of workload character.  Every few seconds the orchestrator looks at
the recent history: the trend, whether performance fell below its baseline,
whether the workload changed, how urgent an adaptation is, and whether the
cooldown since the last one has passed.  The plain-Python side is the same
arithmetic written out below.
"""

import math
import random

from ._common import clock, compare, report, rounds

NAME = "dorvask"
MODULE = "korvane.plugins.analyzer.dorvask"

WINDOW_S = 120.0     # seconds of history a decision looks at
KEEP = 300           # entries the orchestrator keeps
BASELINE = 1000.0
COOLDOWN_S = 60.0


def py_degradation(history, baseline, threshold, window_start):
    if not history or baseline <= 0.0 or len(history) < 5:
        return False
    total, count = 0.0, 0
    for ts, metric in history:
        if ts >= window_start:
            total += metric
            count += 1
    return count >= 5 and (baseline - total / count) / baseline > threshold


def py_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    recent = [(float(t), float(m)) for t, m in history if t >= window_start]
    if len(recent) < 3:
        return 0.0
    t0 = recent[0][0]
    sx = sy = sxy = sxx = 0.0
    for t, m in recent:
        x = t - t0
        sx += x
        sy += m
        sxy += x * m
        sxx += x * x
    n = len(recent)
    mx, my = sx / n, sy / n
    den = sxx - n * mx * mx
    if abs(den) < 1e-10 or abs(my) < 1e-10:
        return 0.0
    return min(max((sxy - n * mx * my) / den / my, -1.0), 1.0)


def py_predict(history, horizon):
    # Not one of the tour's decisions; bench/dorvask.py times it.
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    duration = history[-1][0] - history[0][0]
    if duration <= 0.0:
        return (0, 0, 0.0)
    total = 0.0
    for _, size in history:
        total += size
    allocs = int(n / duration * horizon)
    return (allocs, int(total / n * allocs), 0.8 if n >= 100 else n * 0.008)


def py_workload_change(history, threshold=0.3):
    if len(history) < 6:
        return (False, 0.0, 0.0, 0.0)
    last = history[-6:]
    keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
    if any(k not in e for e in last for k in keys):
        return (False, 0.0, 0.0, 0.0)
    changes = [abs((sum(e[k] for e in last[3:]) - sum(e[k] for e in last[:3])) * 0.3333333333333333) for k in keys]
    return (any(c > threshold for c in changes), *changes)


def py_urgency(degradation, pressure, fragmentation, changed):
    def unit(x):
        return min(max(x, 0.0), 1.0)
    u = unit(degradation) * 0.4 + unit(pressure) * 0.3 + unit(fragmentation) * 0.15
    return min(u + 0.15 if changed else u, 1.0)


def py_skip(last, now, interval):
    return now - last < interval


def history_workload(seconds, every, seed=3):
    """Per check: (now, recent history, memory pressure, fragmentation,
    the last six workload observations, one taken at each check)."""
    rng = random.Random(seed)
    perf, observations, checks = [], [], []
    for t in range(seconds):
        phase = t / seconds
        if phase < 0.3:
            level = BASELINE
        elif phase < 0.6:                      # slow degradation to 70 %
            level = BASELINE * (1.0 - (phase - 0.3))
        else:                                  # after a pool change
            level = BASELINE * 0.95
        perf.append((float(t), level * rng.uniform(0.97, 1.03)))
        if t % every == every - 1:
            cpu = 0.8 if 0.5 < phase < 0.75 else 0.3
            observations.append({"parallelization_potential": 0.5 + rng.uniform(-0.05, 0.05),
                                 "cpu_intensity": cpu + rng.uniform(-0.05, 0.05),
                                 "memory_intensity": 0.4 + rng.uniform(-0.05, 0.05)})
            pressure = 0.9 if 0.7 < phase < 0.85 else 0.4
            checks.append((float(t), perf[-KEEP:], pressure + rng.uniform(-0.05, 0.05),
                           rng.uniform(0.05, 0.35), observations[-6:]))
    return checks


def decide_with(trend, degraded, change, urgency, skip):
    def go(checks):
        t0 = clock()
        last = -math.inf
        decisions = []
        for now, recent, pressure, fragmentation, observed in checks:
            start = now - WINDOW_S
            slope = trend(recent, start)
            down = degraded(recent, BASELINE, 0.15, start)
            changed = change(observed, 0.3)[0]
            u = urgency(0.5 if down else max(0.0, -slope) * 100.0, pressure, fragmentation, changed)
            adapt = (down or u > 0.5) and not skip(last, now, COOLDOWN_S)
            if adapt:
                last = now
            decisions.append((down, changed, u, adapt))
        return {"decide": clock() - t0}, decisions
    return go


def run(quick=False):
    from korvane.plugins.analyzer import dorvask as d

    seconds = 1_000 if quick else 10_000
    checks = history_workload(seconds, every=5)
    native, python, res_native, res_python = compare(
        decide_with(d.calculate_performance_trend, d.detect_performance_degradation,
                    d.detect_workload_characteristics_change, d.calculate_adaptation_urgency,
                    d.should_skip_adaptation),
        decide_with(py_trend, py_degradation, py_workload_change, py_urgency, py_skip),
        checks, rounds=rounds(quick))
    agree = len(res_native) == len(res_python) and all(
        a[0] == b[0] and a[1] == b[1] and a[3] == b[3] and math.isclose(a[2], b[2], rel_tol=1e-9, abs_tol=1e-12)
        for a, b in zip(res_native, res_python))
    result = {
        "seconds": seconds,
        "checks": len(checks),
        "degraded": sum(x[0] for x in res_native),
        "workload_changed": sum(x[1] for x in res_native),
        "max_urgency": max(x[2] for x in res_native),
        "adaptations": sum(x[3] for x in res_native),
    }
    workload = (f"{seconds} s of throughput samples, a decision every 5 s over the last {WINDOW_S:.0f} s "
                "(trend, degradation, workload change, urgency, cooldown)")
    return report(workload, result, agree, {"decide": len(checks)}, native, python)


def summary(result):
    r = result
    return (f"{r['checks']} checks: degraded in {r['degraded']}, workload changed in {r['workload_changed']}, "
            f"urgency up to {r['max_urgency']:.2f}; {r['adaptations']} adaptations")
