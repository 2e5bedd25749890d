"""Ratios of korvane.jit.quendar's calls against the interpreter's floor and
against a pure-Python policy written the obvious way.

    PYTHONPATH=src python bench/quendar.py

The store hands out records through a builtin (dict.__getitem__), so that
its own work stays out of the figures.  Prints ratios; asserts nothing.
"""
import logging
import threading
import time
import timeit

from korvane.jit import quendar as q

N = 40_000
REPEAT = 25


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
        logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {speedup:.2f}x)")


logger = logging.getLogger("bench.quendar")


class Store:
    def __init__(self, records):
        self.get_metrics = records.__getitem__


def best(stmts, ns):
    """Best time per call in ns of each statement, measured in alternation so
    that a burst of load on the machine hits all of them alike."""
    timers = [timeit.Timer(s, globals=ns) for s in stmts]
    out = [float("inf")] * len(stmts)
    for _ in range(REPEAT):
        for i, t in enumerate(timers):
            out[i] = min(out[i], t.timeit(N) / N * 1e9)
    return out


def main():
    # 5 compilations: the threshold keeps moving but stays inside the bounds.
    rec = q.FunctionMetrics(call_count=500, compile_count=5, avg_speedup=3.0, last_compiled=time.time())
    store = Store({"hot": rec, "cold": rec})
    policy, pypolicy = q.Quendar(), PyPolicy()
    policy.update("hot", store)
    pypolicy.update("hot", store)
    x = [1]
    ns = dict(policy=policy, py=pypolicy, store=store, x=x, isinstance=isinstance, int=int)

    floor1, floor2, learned, py_learned, unlearned, py_unlearned = best(
        ["len(x)", "isinstance(x, int)", "policy.get_threshold('hot')", "py.get_threshold('hot')",
         "policy.get_threshold('cold')", "py.get_threshold('cold')"], ns)
    floor2b, should, py_should, update, py_update = best(
        ["isinstance(x, int)", "policy.should_compile('hot', store)", "py.should_compile('hot', store)",
         "policy.update('hot', store)", "py.update('hot', store)"], ns)
    floor2 = min(floor2, floor2b)
    rows = [
        ("get_threshold (learned)", learned, floor1, py_learned),
        ("get_threshold (unlearned)", unlearned, floor1, py_unlearned),
        ("should_compile", should, floor2, py_should),
        ("update", update, floor2, py_update),
    ]
    print(f"floor: len(x) {floor1:.1f} ns, isinstance(x, int) {floor2:.1f} ns")
    print(f"{'call':28s} {'ns':>8s} {'x floor':>8s} {'pure-Python ns':>15s} {'speedup':>8s}")
    for name, ours, floor, pure in rows:
        print(f"{name:28s} {ours:8.1f} {ours / floor:8.2f} {pure:15.1f} {pure / ours:8.2f}")


if __name__ == "__main__":
    main()
