"""Timing shared by the tour files."""

import gc
import time

clock = time.perf_counter


def _timed(fn, data):
    # As timeit does: the cyclic collector is paused while a run is timed,
    # so that a collection of everything else alive does not land on one side.
    gc.collect()
    gc.disable()
    try:
        return fn(data)
    finally:
        gc.enable()


def _keep_best(best, times):
    for phase, seconds in times.items():
        if phase not in best or seconds < best[phase]:
            best[phase] = seconds


def compare(native, python, data, rounds, python_rounds=None):
    """Runs `native(data)` and `python(data)` in turns, `rounds` and
    `python_rounds` times, so that load on the machine hits both alike.

    Each returns (phase name -> seconds, result); the cyclic collector is
    paused while they run.  Gives the best seconds of
    each phase for both and the result of each side's last run."""
    if python_rounds is None:
        python_rounds = rounds
    best_native, best_python = {}, {}
    result_native = result_python = None
    for i in range(max(rounds, python_rounds)):
        if i < rounds:
            times, result_native = _timed(native, data)
            _keep_best(best_native, times)
        if i < python_rounds:
            times, result_python = _timed(python, data)
            _keep_best(best_python, times)
    return best_native, best_python, result_native, result_python


def measures(ops, native, python):
    """One figure per phase: operations, ns per operation on each side, and
    plain Python's time over the native time."""
    out = []
    for phase, count in ops.items():
        if count <= 0:
            continue
        t_native = max(native[phase], 1e-9)
        t_python = max(python[phase], 1e-9)
        out.append({
            "phase": phase,
            "ops": count,
            "native_ns": t_native / count * 1e9,
            "python_ns": t_python / count * 1e9,
            "ratio": t_python / t_native,
        })
    return out


def report(workload, result, agree, ops, native, python):
    """The dict every tour's run() returns."""
    return {"workload": workload, "result": result, "agree": bool(agree),
            "measures": measures(ops, native, python)}
