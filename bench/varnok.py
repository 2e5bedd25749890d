"""Ratios of korvane.memory.varnok calls against the interpreter's floor.

The floor of a call shape is a near no-op builtin method taking the same
number of arguments (``n.bit_length()``, ``d.get(k)``, ``d.get(k, None)``);
the other baselines are what a user would write instead: a Python int
guarded by a ``threading.Lock``, a lock-based pure-Python recorder, and the
64-bit atomic integers of the ``atomics`` and ``cereggii`` packages when they
are installed.

Every case is a short timed loop; all cases run once per round, in many
rounds, and each keeps its fastest round minus the empty loop, so that a
busy machine slows no case more than another.  Prints; asserts nothing.

    PYTHONPATH=src python bench/varnok.py [--quick]
"""

import platform
import sys
import threading
import time

from korvane._tour._common import interleaved
from korvane._tour.varnok import LockedCounter, hammer
from korvane.memory import varnok

QUICK = "--quick" in sys.argv
ROUNDS = 5 if QUICK else 25
LOOP_S = 0.001 if QUICK else 0.003  # length of one timed loop


class Case:
    def __init__(self, body, setup):
        src = (f"def _loop(_n, {', '.join(setup)}):\n"
               f"    _t = _clock()\n"
               f"    for _ in _range(_n):\n"
               f"        {body}\n"
               f"    return _clock() - _t\n")
        ns = {"_clock": time.perf_counter, "_range": range}
        exec(src, ns)
        self.loop, self.args = ns["_loop"], list(setup.values())
        estimate = max(self.loop(100, *self.args) / 100, 1e-9)
        self.n = int(min(max(LOOP_S / estimate, 20), 200_000))
        self.best = float("inf")

    def timed(self):
        return self.loop(self.n, *self.args) / self.n * 1e9


class Bench:
    def __init__(self):
        self.cases = {}
        self.empty = self.case("pass")

    def case(self, body, **setup):
        key = (body, tuple(id(v) for v in setup.values()))
        if key not in self.cases:
            self.cases[key] = Case(body, setup)
        return self.cases[key]

    def run(self):
        cases = list(self.cases.values())
        for case, times in zip(cases, interleaved([c.timed for c in cases], ROUNDS, collect=False)):
            case.best = min(times)

    def ns(self, case):
        return max(case.best - self.empty.best, 0.1)


class LockedRecorder:
    """A lock-based pure-Python allocation recorder."""

    def __init__(self):
        self._lock = threading.Lock()
        self.total = self.current = self.bytes = self.peak = self.peak_bytes = 0
        self.bucketed = self.fallback = self.padding = self.time_ns = 0

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        with self._lock:
            self.total += 1
            self.current += 1
            self.bytes += size
            if is_bucketed:
                self.bucketed += 1
            else:
                self.fallback += 1
            if padding > 0:
                self.padding += padding
            if time_ns > 0:
                self.time_ns += time_ns
            if self.current > self.peak:
                self.peak = self.current
            if self.bytes > self.peak_bytes:
                self.peak_bytes = self.bytes


def optional_packages():
    found = {}
    try:
        import atomics
        found["atomics"] = atomics.atomic(width=8, atype=atomics.INT)
    except Exception as exc:  # not installed, or no build for this platform
        print(f"(atomics not available: {exc.__class__.__name__})")
    try:
        import cereggii
        found["cereggii"] = cereggii.AtomicInt64(0)
    except Exception as exc:
        print(f"(cereggii not available: {exc.__class__.__name__})")
    return found


def contended(counter, threads, per_thread, repeats):
    """Wall time per operation, `threads` threads each calling
    counter.increment() (the workload of `python -m korvane`)."""
    return min(hammer(counter, threads, per_thread) for _ in range(repeats)) / (threads * per_thread) * 1e9


def main():
    print(f"korvane.memory.varnok on {platform.python_implementation()} {platform.python_version()} "
          f"({platform.machine()}); best of {ROUNDS} rounds, empty loop subtracted")
    b = Bench()
    n, d, x = 5, {}, object()
    floor0 = b.case("n.bit_length()", n=n)
    floor1 = b.case("d.get(1)", d=d)
    floor2 = b.case("d.get(1, None)", d=d)
    pkgs = optional_packages()

    def alt(name, body, **setup):
        return (name, b.case(body, **setup)) if all(v is not None for v in setup.values()) else (name, None)

    def fresh(name, value):  # one instance per case: increments must not change what load() returns
        if name == "atomics" and "atomics" in pkgs:
            import atomics
            a = atomics.atomic(width=8, atype=atomics.INT)
            a.store(value)
            return a
        if name == "cereggii" and "cereggii" in pkgs:
            return type(pkgs["cereggii"])(value)
        return None

    c = varnok.AtomicCounter()
    big = 123456.0
    counter_rows = [
        ("increment()", b.case("c.increment()", c=c), floor0, [
            alt("Lock+int", "c.increment()", c=LockedCounter()),
            alt("atomics", "a.fetch_inc()", a=fresh("atomics", 0)),
            alt("cereggii", "a.increment_and_get()", a=fresh("cereggii", 0)),
        ]),
        ("  same, floor f.__trunc__() (new int)", b.case("c.increment()", c=c),
         b.case("f.__trunc__()", f=big), []),
        ("increment(1)", b.case("c.increment(1)", c=c), floor1, []),
        ("load()", b.case("c.load()", c=varnok.AtomicCounter(7)), floor0, [
            alt("Lock+int", "c.load()", c=LockedCounter(7)),
            alt("atomics", "a.load()", a=fresh("atomics", 7)),
            alt("cereggii", "a.get()", a=fresh("cereggii", 7)),
        ]),
        ("compare_and_swap(e, n)", b.case("c.compare_and_swap(7, 7)", c=varnok.AtomicCounter(7)), floor2, [
            alt("Lock+int", "c.compare_and_swap(7, 7)", c=LockedCounter(7)),
            alt("atomics", "a.cmpxchg_strong(7, 7)", a=fresh("atomics", 7)),
            alt("cereggii", "a.compare_and_set(7, 7)", a=fresh("cereggii", 7)),
        ]),
        ("AtomicCounterWrapper.increment()", b.case("w.increment()", w=varnok.AtomicCounterWrapper()), floor0, []),
    ]

    p = varnok.AtomicPointer(x)
    s = varnok.LockFreeStack()
    s2 = varnok.LockFreeStack()
    s2.push(x)
    holder_rows = [
        ("AtomicPointer.load()", b.case("p.load()", p=p), floor0, []),
        ("AtomicPointer.store(x)", b.case("p.store(x)", p=p, x=x), floor1, []),
        ("AtomicPointer.compare_and_swap(x, x)", b.case("p.compare_and_swap(x, x)", p=p, x=x), floor2, []),
        ("LockFreeStack.push(x); pop()", b.case("s.push(x); s.pop()", s=s, x=x),
         b.case("d.get(1); n.bit_length()", d=d, n=n), []),
        ("LockFreeStack.size()", b.case("s.size()", s=s2), floor0, []),
    ]

    st = varnok.LockFreeStatistics()
    rec = LockedRecorder()
    t = varnok.PerformanceTimer()
    t.start()
    stats_rows = [
        ("record_allocation(64)", b.case("s.record_allocation(64)", s=st), floor1,
         [("Python", b.case("r.record_allocation(64)", r=rec))]),
        ("py_record_allocation(64, True)", b.case("s.py_record_allocation(64, True)", s=st), floor2,
         [("Python", b.case("r.record_allocation(64, True)", r=rec))]),
        ("get_snapshot()", b.case("s.get_snapshot()", s=st), floor0, []),
        ("PerformanceTimer.elapsed_ns()", b.case("t.elapsed_ns()", t=t), floor0,
         [("perf_counter_ns()", b.case("f()", f=time.perf_counter_ns))]),
    ]

    b.run()
    print(f"floors: n.bit_length() {b.ns(floor0):.1f} ns, d.get(k) {b.ns(floor1):.1f} ns, "
          f"d.get(k, None) {b.ns(floor2):.1f} ns")

    def table(title, rows):
        print(f"\n{title}")
        for label, case, floor, others in rows:
            ns = b.ns(case)
            text = f"  {label:<38} {ns:7.1f} ns  x{ns / b.ns(floor):5.2f} floor"
            for name, other in others:
                if other is not None:
                    r = ns / b.ns(other)
                    text += f"  x{r:5.2f} {name}" if r >= 0.01 else f"  x{r:.1e} {name}"
            print(text)

    table("AtomicCounter (x: our time over theirs; below 1 is faster)", counter_rows)
    repeats = 2 if QUICK else 5
    per_thread = 5_000 if QUICK else 20_000
    single = contended(c, 1, 4 * per_thread, repeats)
    four = contended(c, 4, per_thread, repeats)
    single = min(single, contended(c, 1, 4 * per_thread, repeats))
    print(f"  {'increment(), 4 threads contending':<38} {four:7.1f} ns/op  x{four / single:5.2f} one thread "
          f"({single:.1f} ns/op, loop included)")
    table("AtomicPointer, LockFreeStack", holder_rows)
    table("LockFreeStatistics, PerformanceTimer", stats_rows)


if __name__ == "__main__":
    main()
