"""varnok: one counter hammered by several threads.

Every thread increments the same counter; at the end it must hold exactly
threads x increments.  The plain-Python counter is an int behind a
threading.Lock, the usual way to make `+=` safe across threads.
"""

import threading

from ._common import clock, compare, report

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
    barrier = threading.Barrier(threads + 1)

    def worker():
        inc = counter.increment
        barrier.wait()
        for _ in range(per_thread):
            inc()

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    t0 = clock()
    for t in pool:
        t.join()
    return clock() - t0


def run(quick=False):
    from korvane.memory.varnok import AtomicCounter

    threads, per_thread = (4, 10_000) if quick else (4, 50_000)

    def side(make):
        def go(_):
            c = make()
            return {"increment": hammer(c, threads, per_thread)}, c.load()
        return go

    native, python, res_native, res_python = compare(side(AtomicCounter), side(LockedCounter), None,
                                                     rounds=2 if quick else 3)
    expected = threads * per_thread
    result = {"threads": threads, "increments_per_thread": per_thread, "expected": expected,
              "final_value": res_native, "lost_updates": expected - res_native}
    workload = f"{threads} threads, {per_thread} increments each, on one shared counter"
    agree = res_native == res_python == expected
    return report(workload, result, agree, {"increment": expected}, native, python)


def summary(result):
    r = result
    return f"final value {r['final_value']} of {r['expected']} expected ({r['lost_updates']} lost updates)"
