"""The timing harness of the tour and of the scripts in bench/.

Everything is measured the same way: the things compared take turns, one
run each per round, so that load on the machine hits them alike; the cyclic
collector is paused while a run is timed (as timeit does); and every round's
time is kept.  The tour reports the median of its rounds with their range;
a bench reports the best round of a per-call figure, the usual estimate of
what a call costs when nothing interferes.
"""

import gc
import statistics
import sys
import threading
import time
import timeit

clock = time.perf_counter

# A phase is marked unstable when the rounds of either side, leaving out the
# fastest and the slowest, spread over more than this fraction of their
# median.  On a quiet machine the rounds of the tour's workloads, after a
# warm-up round, stay within about 10 % of each other; one stray round (a
# page fault storm, another process taking the CPU once) does not move the
# median and is shown in the range only.  Several rounds a fifth apart mean
# that something else was using the CPU throughout, and a ratio measured
# then may be off by as much.
UNSTABLE = 0.20


# Rounds of each side at each thread count.
THREAD_ROUNDS = 5


def rounds(quick):
    """Rounds of each side in a tour: enough for a median and a range."""
    return 5 if quick else 7


# ---------------------------------------------------------------- rounds

def _paused(run, *args, collect=True):
    """run(*args) with the cyclic collector paused, as timeit does, so that
    a collection of everything else alive does not land on one side; with
    `collect`, after a collection of what earlier runs left."""
    if collect:
        gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        return run(*args)
    finally:
        if enabled:
            gc.enable()


def interleaved(runs, rounds, collect=True):
    """Calls each of `runs` (no arguments) once per round, in turn, for
    `rounds` rounds, with the cyclic collector paused; gives each one's
    results, one per round.  With `collect`, a collection first clears what
    the last run left (worth it for runs that allocate much; timeit-style
    loops of one call, which leave nothing, go without)."""
    out = [[] for _ in runs]
    for _ in range(rounds):
        for results, run in zip(out, runs):
            results.append(_paused(run, collect=collect))
    return out


def stopwatch(fn):
    """A run for interleaved(): the seconds of one call of fn()."""
    def run():
        t0 = clock()
        fn()
        return clock() - t0
    return run


def per_call(stmt, ns, number, timer=clock):
    """A run for interleaved(): seconds per execution of `stmt` (a string
    or a callable) over `number` executions, in namespace `ns`."""
    t = timeit.Timer(stmt, globals=ns, timer=timer)
    return lambda: t.timeit(number) / number


def calibrate(stmt, ns, budget, timer=clock):
    """How many executions of `stmt` take about `budget` seconds."""
    t = timeit.Timer(stmt, globals=ns, timer=timer)
    number = 1
    while (elapsed := t.timeit(number)) < budget / 10:
        number *= 10
    return max(1, int(number * budget / max(elapsed, 1e-9)))


def best_per_call(stmts, ns, number, rounds, timer=clock):
    """Best seconds per call of each statement, the statements taking turns
    in every round.  `ns` and `number` are one for all, or one per
    statement."""
    nss = ns if isinstance(ns, (list, tuple)) else [ns] * len(stmts)
    numbers = number if isinstance(number, (list, tuple)) else [number] * len(stmts)
    runs = [per_call(s, n, k, timer) for s, n, k in zip(stmts, nss, numbers)]
    return [min(r) for r in interleaved(runs, rounds, collect=False)]


# ---------------------------------------------------------------- figures

def spread(values):
    """(max - min) / median of `values` without the smallest and the
    largest when there are five or more; 0 for a zero median."""
    mid = statistics.median(values)
    kept = sorted(values)[1:-1] if len(values) >= 5 else values
    return (max(kept) - min(kept)) / mid if mid > 0 else 0.0


def compare(native, python, data, rounds, warmup=1):
    """Runs `native(data)` and `python(data)` in turns: `warmup` rounds that
    are not kept (first-time costs: caches, allocator pools, lazy imports),
    then `rounds` rounds.

    Each returns (phase name -> seconds, result).  Gives every kept round's
    seconds of each phase for both sides, and the result of each side's
    last run."""
    native_times, python_times = {}, {}
    results = [None, None]
    for i in range(warmup + rounds):
        for j, (side, times) in enumerate(((native, native_times), (python, python_times))):
            phases, results[j] = _paused(side, data)
            if i >= warmup:
                for phase, seconds in phases.items():
                    times.setdefault(phase, []).append(seconds)
    return native_times, python_times, results[0], results[1]


def measures(ops, native, python, notes=None):
    """One figure per phase: operations, the rounds, the median ns per
    operation on each side with its range, plain Python's median over the
    native median, whether the rounds spread too far to trust the ratio,
    and, for a ratio below 1, the reason from `notes` where one is known."""
    out = []
    for phase, count in ops.items():
        if count <= 0:
            continue
        t_native = [max(t, 1e-9) for t in native[phase]]
        t_python = [max(t, 1e-9) for t in python[phase]]
        ratio = statistics.median(t_python) / statistics.median(t_native)
        out.append({
            "phase": phase,
            "ops": count,
            "rounds": min(len(t_native), len(t_python)),
            "native_ns": statistics.median(t_native) / count * 1e9,
            "native_ns_range": [min(t_native) / count * 1e9, max(t_native) / count * 1e9],
            "python_ns": statistics.median(t_python) / count * 1e9,
            "python_ns_range": [min(t_python) / count * 1e9, max(t_python) / count * 1e9],
            "ratio": ratio,
            "unstable": max(spread(t_native), spread(t_python)) > UNSTABLE,
            "note": (notes or {}).get(phase) if ratio < 1 else None,
        })
    return out


def report(workload, result, agree, ops, native, python, notes=None):
    """The dict every tour's run() returns."""
    return {"workload": workload, "result": result, "agree": bool(agree),
            "measures": measures(ops, native, python, notes)}


# ---------------------------------------------------------------- threads

def in_threads(count, work):
    """Wall seconds for `count` threads running work(0) ... work(count - 1),
    all released at once by a barrier.  An exception in a thread is raised
    here once all have ended."""
    barrier = threading.Barrier(count + 1)
    errors = []

    def worker(i):
        try:
            barrier.wait()
            work(i)
        except threading.BrokenBarrierError:
            pass
        except BaseException as exc:  # handed to the caller
            errors.append(exc)

    pool = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(count)]
    for t in pool:
        t.start()
    try:
        barrier.wait()
        t0 = clock()
        for t in pool:
            t.join()
        seconds = clock() - t0
    except BaseException:
        barrier.abort()  # an interrupt before the start: no thread waits forever
        raise
    if errors:
        raise errors[0]
    return seconds


def thread_scaling(sides, body, items, check, counts=(1, 2, 4), rounds=THREAD_ROUNDS):
    """Throughput of `body` at each thread count, the sides taking turns.

    `sides` maps a side's name to a function giving the object to work on;
    `count` threads share `items`, thread i calling body(obj, items[i::count])
    and `check(obj, results)` says whether the results (one per thread) are
    right.  Gives {count: {side: [operations per second, one per round]}}
    and whether every check passed."""
    rates = {n: {side: [] for side in sides} for n in counts}
    ok = True
    for _ in range(rounds):
        for n in counts:
            shares = [items[i::n] for i in range(n)]
            for side, make in sides.items():
                obj = make()
                results = [None] * n

                def work(i, obj=obj, results=results, shares=shares):
                    results[i] = body(obj, shares[i])

                seconds = _paused(in_threads, n, work)
                rates[n][side].append(len(items) / max(seconds, 1e-9))
                ok = ok and bool(check(obj, results))
    return rates, ok


def scaling_report(workload, phase, ops, rates, agree):
    """The dict a tour's threads() returns: per thread count the median
    operations per second of each side, with the range."""
    rows = []
    for n, by_side in rates.items():
        row = {"threads": n}
        for side, values in by_side.items():
            row[f"{side}_ops_per_s"] = statistics.median(values)
            row[f"{side}_ops_per_s_range"] = [min(values), max(values)]
        rows.append(row)
    return {"workload": workload, "phase": phase, "ops": ops, "agree": bool(agree), "by_threads": rows}


def shared_and_own(make, work, calls, counts=(1, 2, 4), rounds=THREAD_ROUNDS):
    """Calls per second at each thread count, every thread making `calls`
    calls through work(obj, calls): on one object all threads share
    ("shared") and on an object of each thread's own ("own"), both made by
    make().  The two layouts and the counts take turns in every round; the
    best round of each is kept.  Gives {count: {"shared": ..., "own": ...}}."""
    best = {n: {"shared": 0.0, "own": 0.0} for n in counts}
    for _ in range(rounds):
        for n in counts:
            shared = make()
            layouts = {"shared": [shared] * n, "own": [make() for _ in range(n)]}
            for layout, objs in layouts.items():
                seconds = _paused(in_threads, n, lambda i, objs=objs: work(objs[i], calls))
                best[n][layout] = max(best[n][layout], n * calls / max(seconds, 1e-9))
    return best


def scaling_lines(label, rates):
    """Lines of a thread table for one workload: calls per second at each
    count, shared and own, each with its ratio to one thread."""
    one = rates[min(rates)]
    lines = [label]
    for n, r in rates.items():
        cells = [f"{side} {r[side] / 1e6:6.2f} M/s (x{r[side] / one[side]:4.2f})" for side in ("shared", "own")]
        lines.append(f"  {n} thread{'s' if n > 1 else ' '}   " + "   ".join(cells))
    return lines


def gil_line():
    """Whether this interpreter runs threads with the GIL, for a thread table's heading."""
    enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
    return f"Python {sys.version.split()[0]}, GIL {'on' if enabled else 'off'}"
