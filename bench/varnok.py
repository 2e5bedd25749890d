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

The threads section runs each thread-safe class at 1, 2 and 4 threads, on
one shared object and on one object per thread (and cereggii's AtomicInt64
beside AtomicCounter where it is installed); see threads_section().

    PYTHONPATH=src python bench/varnok.py [--quick] [--calls-only | --threads-only]
"""

import bisect
import functools
import platform
import statistics
import sys
import threading
import time

from korvane._tour._common import in_threads, interleaved
from korvane._tour.varnok import LockedCounter, hammer
from korvane.memory import varnok

QUICK = "--quick" in sys.argv
THREADS_ONLY = "--threads-only" in sys.argv
CALLS_ONLY = "--calls-only" in sys.argv
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
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"korvane.memory.varnok on {platform.python_implementation()} {platform.python_version()} "
          f"({platform.machine()}, GIL {'on' if gil else 'off'})")
    if not THREADS_ONLY:
        calls_section()
    if not CALLS_ONLY:
        threads_section()


def calls_section():
    print(f"\nOne thread, per call: best of {ROUNDS} rounds, empty loop subtracted")
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


# ----------------------------------------------------------------- threads
#
# Each workload runs in 1, 2 and 4 threads on one shared object and on one
# object per thread (made beforehand by the main thread, as a caller would
# hand them out); the workloads and thread counts take turns, round after
# round.  Two figures per case:
#   * throughput: all threads' operations over the wall time, the median of
#     the rounds; on a machine whose cores are busy with other work the
#     threads do not run at once and this says little about contention;
#   * on-CPU cost: each thread times its loop in chunks of about 10 us, by
#     the wall clock and by its own CPU clock; a chunk counts when the thread
#     kept its processor throughout (wall within 10 % of CPU time) and,
#     with several threads, another thread of the case ran all the while.
#     The median of those chunks is what one operation costs while others
#     work on the same object (or on their own) at the same time, whatever
#     else the machine does; "n" is the number of chunks it rests on.

CHUNK_NS = 10_000                 # target length of a timed chunk
CHUNKS = 300 if QUICK else 1500   # chunks per thread and case
THREAD_ROUNDS = 3 if QUICK else 5
THREAD_COUNTS = (1, 2, 4)
SLACK = 1.1                       # a chunk counts when wall <= SLACK * CPU
GAP_NS = 3_000                    # a thread between two chunks still runs


def chunked_loop(body, setup, names):
    """loop(obj, ops_per_chunk, chunks, out): runs `body` (source using
    `obj`, what `setup` binds and `names`) in chunks, appending (wall
    start, wall end, CPU ns) per chunk to `out`."""
    src = (f"def loop(obj, _k, _chunks, _out):\n"
           f"    {setup or 'pass'}\n"
           f"    _r = _range(_k)\n"
           f"    for _ in _range(_chunks):\n"
           f"        _w0 = _wall(); _c0 = _cpu()\n"
           f"        for _ in _r:\n"
           f"            {body}\n"
           f"        _c1 = _cpu(); _w1 = _wall()\n"
           f"        _out.append((_w0, _w1, _c1 - _c0))\n")
    ns = {"_wall": time.perf_counter_ns, "_cpu": time.thread_time_ns, "_range": range, **names}
    exec(src, ns)
    return ns["loop"]


def _kept(chunks):
    return sorted(c for c in chunks if c[1] - c[0] <= SLACK * c[2])


def _running_spans(chunks):
    """A thread's kept chunks (sorted) joined into the spans in which it
    kept running: (starts, ends)."""
    starts, ends = [], []
    for w0, w1, _ in chunks:
        if ends and w0 <= ends[-1] + GAP_NS:
            ends[-1] = max(ends[-1], w1)
        else:
            starts.append(w0)
            ends.append(w1)
    return starts, ends


def _running_throughout(start, end, spans):
    starts, ends = spans
    i = bisect.bisect_right(starts, start) - 1
    return i >= 0 and ends[i] >= end


def on_cpu_costs(per_thread, ops):
    """ns per operation of each kept chunk that ran while another thread
    of the case ran too (any kept chunk for one thread)."""
    kept = [_kept(c) for c in per_thread]
    spans = [_running_spans(k) for k in kept]
    costs = []
    for i, mine in enumerate(kept):
        others = [sp for j, sp in enumerate(spans) if j != i]
        for w0, w1, cpu in mine:
            if not others or any(_running_throughout(w0, w1, sp) for sp in others):
                costs.append(cpu / ops)
    return costs


class Workload:
    def __init__(self, name, make, body, setup=None, **names):
        self.name, self.make = name, make
        self.loop = chunked_loop(body, setup, names)
        probe = []
        self.loop(make(), 200, 3, probe)
        per_op = min(cpu for _, _, cpu in probe) / 200
        self.ops = max(20, int(CHUNK_NS / max(per_op, 1.0)))

    def run(self, threads, shared):
        """One measurement: (operations per second, on-CPU ns per op list)."""
        objs = [self.make()] * threads if shared else [self.make() for _ in range(threads)]
        out = [[] for _ in range(threads)]
        seconds = in_threads(threads, lambda i: self.loop(objs[i], self.ops, CHUNKS, out[i]))
        return threads * CHUNKS * self.ops / seconds, on_cpu_costs(out, self.ops)


def thread_workloads():
    """The workloads, and whether cereggii's are among them (fourth and
    fifth)."""
    x = 7  # immortal from 3.12: a shared item is no shared reference count
    rows = [
        Workload("AtomicCounter: c.increment()", varnok.AtomicCounter, "obj.increment()"),
        Workload("  bound once: f = c.increment; f()", varnok.AtomicCounter, "f()", "f = obj.increment"),
        # A partial of the unbound method takes no reference to the counter
        # per call, where a bound method (and obj.increment()) does: on a
        # free-threaded build that reference is a write to the shared header.
        Workload("  f = partial(AtomicCounter.increment, c); f()", varnok.AtomicCounter, "f()",
                 "f = partial(AtomicCounter.increment, obj)", partial=functools.partial,
                 AtomicCounter=varnok.AtomicCounter),
    ]
    try:
        import cereggii
        rows += [
            Workload("cereggii AtomicInt64: a.increment_and_get()", lambda: cereggii.AtomicInt64(0),
                     "obj.increment_and_get()"),
            Workload("  bound once: f = a.increment_and_get; f()", lambda: cereggii.AtomicInt64(0), "f()",
                     "f = obj.increment_and_get"),
        ]
        with_cereggii = True
    except ImportError as exc:
        print(f"(cereggii not available: {exc}; its AtomicInt64 is left out)")
        with_cereggii = False
    rows += [
        Workload("AtomicCounterWrapper: w.increment()", varnok.AtomicCounterWrapper, "obj.increment()"),
        Workload("AtomicPointer: p.store(x); p.load()", varnok.AtomicPointer, "obj.store(x); obj.load()", x=x),
        Workload("LockFreeStack: s.push(x); s.pop()", varnok.LockFreeStack, "obj.push(x); obj.pop()", x=x),
        Workload("LockFreeStatistics: s.record_allocation(64)", varnok.LockFreeStatistics,
                 "obj.record_allocation(64)"),
        Workload("  s.py_record_allocation(64, True)", varnok.LockFreeStatistics,
                 "obj.py_record_allocation(64, True)"),
    ]
    return rows, with_cereggii


def threads_section():
    rows, with_cereggii = thread_workloads()
    cases = [(w, n, shared) for w in rows for n in THREAD_COUNTS for shared in ((True,) if n == 1 else (True, False))]
    rates = {c: [] for c in cases}
    costs = {c: [] for c in cases}

    def measure(case):
        def run():
            w, n, shared = case
            return w.run(n, shared)
        return run

    for case, results in zip(cases, interleaved([measure(c) for c in cases], THREAD_ROUNDS, collect=True)):
        for rate, cs in results:
            rates[case].append(rate)
            costs[case].extend(cs)

    def cost(case):
        cs = costs.get(case, [])
        return statistics.median(cs) if cs else None

    print(f"\nThreads: {THREAD_ROUNDS} rounds of {CHUNKS} chunks per thread (about {CHUNK_NS // 1000} us each); "
          f"throughput: median of the rounds, all threads' operations over wall time;")
    print("on-CPU: median ns per operation of the chunks that ran while another thread of the case ran too "
          "[chunks counted]")
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        print("(the GIL is on: no two threads run Python code at once, so only one thread has on-CPU figures)")
    print(f"  {'workload':<46} {'threads':>7}   {'one shared object':>32}   {'one object per thread':>32}")

    def cell(case):
        if case not in rates:
            return f"{'':>32}"
        c = cost(case)
        text = f"{statistics.median(rates[case]) / 1e6:6.2f} M/s"
        text += f"  {c:7.1f} ns [{len(costs[case]):5d}]" if c is not None else f"  {'-':>7}    [    0]"
        return f"{text:>32}"

    for w in rows:
        for n in THREAD_COUNTS:
            print(f"  {w.name if n == 1 else '':<46} {n:>7}   {cell((w, n, True))}   {cell((w, n, False))}")

    def ratio(a, b):
        return f"x{a / b:.2f}" if a is not None and b is not None else "n/a (no chunk ran while another thread ran)"

    counter, bound, part = rows[0], rows[1], rows[2]

    def wall_cost(w, n):  # the cost of an increment: wall time over all threads' increments
        return statistics.median(rates[(w, 1, True)]) / statistics.median(rates[(w, n, True)])

    print("\nGoals (2 cores, on-CPU costs unless said):")
    print(f"  two threads on one AtomicCounter, cost per increment over one thread's (goal <= 2): "
          + ", ".join(f"{label} {ratio(cost((w, 2, True)), cost((w, 1, True)))} (wall clock: x{wall_cost(w, 2):.2f})"
                      for label, w in (("c.increment()", counter), ("bound once", bound), ("partial", part))))
    for w in (counter, bound):
        one, two = cost((w, 1, True)), cost((w, 2, False))
        scale = f"x{2 * one / two:.2f}" if one and two else "n/a"
        walls = statistics.median(rates[(w, 2, False)]) / statistics.median(rates[(w, 1, True)])
        print(f"  counters held per thread, two threads' throughput over one thread's (goal >= 1.8): "
              f"{w.name.strip()}: {scale} (wall clock: x{walls:.2f})")
    if with_cereggii:
        theirs, theirs_bound = rows[3], rows[4]
        for n in THREAD_COUNTS:
            print(f"  against cereggii AtomicInt64, {n} thread{'s' if n > 1 else ''} on one object, our cost over "
                  f"theirs (below 1: faster): c.increment() {ratio(cost((counter, n, True)), cost((theirs, n, True)))}"
                  f", bound once {ratio(cost((bound, n, True)), cost((theirs_bound, n, True)))}"
                  f", partial against their bound once {ratio(cost((part, n, True)), cost((theirs_bound, n, True)))}")


if __name__ == "__main__":
    main()
