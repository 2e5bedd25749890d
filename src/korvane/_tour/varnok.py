"""varnok: one counter hammered by several threads.

Every thread increments the same counter; at the end it must hold exactly
threads x increments.  The plain-Python counter is an int behind a
threading.Lock, the usual way to make `+=` safe across threads.
"""

import threading

from ._common import compare, in_threads, report, rounds, scaling_report, thread_scaling

NAME = "varnok"
MODULE = "korvane.memory.varnok"


class LockedCounter:
    """The pure-Python way: an int behind a threading.Lock."""

    def __init__(self, value=0):
        self._lock = threading.Lock()
        self._value = value

    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value

    def load(self):
        with self._lock:
            return self._value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


def hammer(counter, threads, per_thread):
    """Wall seconds for `threads` threads each calling counter.increment()
    `per_thread` times, all released at once by a barrier."""
    def worker(_):
        inc = counter.increment
        for _ in range(per_thread):
            inc()

    return in_threads(threads, worker)


def run(quick=False):
    from korvane.memory.varnok import AtomicCounter

    threads, per_thread = (4, 10_000) if quick else (4, 50_000)

    def side(make):
        def go(_):
            c = make()
            return {"increment": hammer(c, threads, per_thread)}, c.load()
        return go

    native, python, res_native, res_python = compare(side(AtomicCounter), side(LockedCounter), None,
                                                     rounds=rounds(quick))
    expected = threads * per_thread
    result = {"threads": threads, "increments_per_thread": per_thread, "expected": expected,
              "final_value": res_native, "lost_updates": expected - res_native}
    workload = f"{threads} threads, {per_thread} increments each, on one shared counter"
    agree = res_native == res_python == expected
    return report(workload, result, agree, {"increment": expected}, native, python)


def _increments(counter, share):
    inc = counter.increment
    for _ in share:
        inc()


def threads(quick=False):
    """The same counter hammered by 1, 2 and 4 threads."""
    from korvane.memory.varnok import AtomicCounter

    n = 20_000 if quick else 40_000
    rates, agree = thread_scaling({"native": AtomicCounter, "python": LockedCounter}, _increments, range(n),
                                  lambda counter, _: counter.load() == n)
    return scaling_report(f"{n} increments of one counter", "increment", n, rates, agree)


def summary(result):
    r = result
    return f"final value {r['final_value']} of {r['expected']} expected ({r['lost_updates']} lost updates)"
