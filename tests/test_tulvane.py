import copy
import gc
import math
import os
import pickle
import random
import statistics
import threading
import tracemalloc

import pytest
from hypothesis import example, given, settings, strategies as st
from standins import concurrently

from korvane.monitoring import tulvane
from korvane.monitoring.tulvane import CounterAggregator, create_aggregator

INF = float("inf")
ZERO = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}


def fed(values, counter_id=0, n=8):
    agg = CounterAggregator(n)
    for v in values:
        agg.update(counter_id, v)
    return agg.get_stats(counter_id)


def test_namespace_and_no_logging(subprocess_python):
    names = [n for n in vars(tulvane) if not n.startswith("__")]
    assert names == ["CounterAggregator", "threading", "create_aggregator"]
    methods = [n for n in vars(CounterAggregator) if not n.startswith("__")]
    assert methods == ["update", "get_stats", "reset", "reset_all", "get_all_stats"]
    out = subprocess_python("""
        import logging
        logging.basicConfig(level=logging.DEBUG)
        import korvane.monitoring.tulvane as t
        print(hasattr(t, "logger"))
    """)
    assert out.stdout.strip() == "False" and out.stderr == ""


def test_docstrings_and_signature():
    assert CounterAggregator.update.__doc__.splitlines()[0] == "Update counter with new value."
    assert "Thread-safe via lock (correctness over performance)." in CounterAggregator.update.__doc__
    assert CounterAggregator.get_stats.__doc__.splitlines()[0] == "Get statistics for a counter."
    assert CounterAggregator.reset.__doc__ == "Reset a specific counter."
    assert CounterAggregator.reset_all.__doc__ == "Reset all counters."
    assert CounterAggregator.get_all_stats.__doc__.splitlines()[0] == "Get statistics for all counters."
    assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
    assert create_aggregator.__defaults__ == (1000,)


def test_fresh_counter_and_range():
    agg = CounterAggregator()
    st_ = agg.get_stats(999)
    assert list(st_.items()) == list(ZERO.items())
    assert type(st_["count"]) is int and type(st_["std"]) is float
    for call, cid in [(lambda i: agg.get_stats(i), 1000), (lambda i: agg.update(i, 1.0), -1),
                      (lambda i: agg.reset(i), 1000), (lambda i: agg.get_stats(i), -2**31)]:
        with pytest.raises(IndexError) as e:
            call(cid)
        assert str(e.value) == f"Counter ID {cid} out of range"
    assert agg.get_all_stats() == []


@pytest.mark.parametrize("values, expected", [
    ([2.0, 4.0], {"count": 2, "mean": 3.0, "variance": 1.0, "std": 1.0, "min": 2.0, "max": 4.0}),
    ([-3.5], {"count": 1, "mean": -3.5, "variance": 0.0, "std": 0.0, "min": -3.5, "max": -3.5}),
    ([10, True], {"count": 2, "mean": 5.5, "variance": 20.25, "std": 4.5, "min": 1.0, "max": 10.0}),
    ([0.1] * 7, {"count": 7, "mean": 0.1, "variance": 0.0, "std": 0.0, "min": 0.1, "max": 0.1}),
])
def test_worked_values(values, expected):
    s = fed(values)
    assert list(s.items()) == list(expected.items())
    assert all(type(s[k]) is float for k in ("mean", "variance", "std", "min", "max"))


def check_against_statistics(xs):
    s = fed(xs)
    mean, var = statistics.fmean(xs), statistics.pvariance(xs)
    scale = max(abs(x) for x in xs)
    assert s["count"] == len(xs)
    assert math.isclose(s["mean"], mean, rel_tol=1e-13, abs_tol=1e-15 * scale)
    # Rounding error of a running update grows with (offset / spread);
    # the textbook sum-of-squares formula is off by eps * offset**2.
    spread = max(xs) - min(xs)
    assert s["variance"] >= 0.0
    # A variance among the subnormals has few significant bits: there a
    # rounding or two is more than 1e-7 of it (and the bounds above vanish).
    assert abs(s["variance"] - var) <= 1e-7 * var + 1e-13 * scale * spread + 2 * math.ulp(var)
    assert s["std"] == pytest.approx(math.sqrt(s["variance"]))
    assert (s["min"], s["max"]) == (min(xs), max(xs))


@pytest.mark.parametrize("offset, spread", [(0.0, 1.0), (1e9, 1.0), (1e9, 1e-3), (-1e12, 5.0), (1e15, 1.0),
                                            (3.0, 1e-12), (1e-300, 1e-301)])
@pytest.mark.parametrize("seed", range(3))
def test_large_offsets_and_nearly_equal_values(offset, spread, seed):
    rng = random.Random(seed)
    check_against_statistics([offset + rng.uniform(-spread, spread) for _ in range(rng.randint(2, 3000))])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=60), st.sampled_from([0.0, 1e6, -1e9, 1e12]))
@example([0.0, 6.144079460544297e-159], 0.0)       # a variance of 9.4e-318, a subnormal
def test_random_samples(xs, offset):
    check_against_statistics([x + offset for x in xs])


@pytest.mark.parametrize("xs", [[0.1] * 3, [0.3] * 7, [1e9 + 0.5, 1e9 + 0.5000001] * 20])
def test_variance_never_negative_nor_complex(xs):
    # The first two make sum_sq / n - mean**2 come out below zero.
    s = fed(xs)
    assert s["variance"] >= 0.0 and type(s["std"]) is float
    assert s["variance"] == pytest.approx(statistics.pvariance(xs), abs=1e-20)


@pytest.mark.parametrize("values, mean, minmax", [
    ([1.0, float("nan"), 3.0], "nan", (1.0, 3.0)),
    ([float("nan")], "nan", (INF, -INF)),
    ([1.0, INF, 2.0], INF, (1.0, INF)),
    ([-INF, 1.0], -INF, (-INF, 1.0)),
    ([INF, -INF], "nan", (-INF, INF)),
    ([1.7e308, -1.7e308, 1.7e308], 1.7e308 / 3, (-1.7e308, 1.7e308)),
])
def test_non_finite_values(values, mean, minmax):
    # NaN never replaces min or max; a non-finite value makes the mean follow
    # the IEEE sum and the variance NaN; a spread beyond doubles is inf.
    s = fed(values)
    assert s["count"] == len(values)
    assert math.isnan(s["mean"]) if mean == "nan" else s["mean"] == pytest.approx(mean)
    assert (s["min"], s["max"]) == minmax
    assert type(s["std"]) is float
    if all(math.isfinite(v) for v in values):
        assert s["variance"] == INF
    else:
        assert math.isnan(s["variance"]) and math.isnan(s["std"])


def test_reset_and_get_all_stats():
    agg = CounterAggregator(10)
    agg.update(3, 1.0)
    agg.update(1, 5.0)
    agg.update(3, 3.0)
    assert agg.get_all_stats() == [(1, agg.get_stats(1)), (3, agg.get_stats(3))]
    assert agg.get_all_stats()[1][1]["mean"] == 2.0
    agg.reset(3)
    assert agg.get_stats(3) == ZERO and [i for i, _ in agg.get_all_stats()] == [1]
    agg.update(3, -7.0)
    assert agg.get_stats(3)["min"] == agg.get_stats(3)["max"] == -7.0
    agg.reset_all()
    assert agg.get_all_stats() == [] and all(agg.get_stats(i) == ZERO for i in range(10))


@pytest.mark.parametrize("arg, exc, msg", [
    (-1, MemoryError, "Failed to allocate counter storage"),
    (-2**31, MemoryError, "Failed to allocate counter storage"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    ("10", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_constructor_errors(arg, exc, msg):
    with pytest.raises(exc, match=f"^{msg}$"):
        CounterAggregator(arg)
    with pytest.raises(exc, match=f"^{msg}$"):
        create_aggregator(arg)


def test_constructor_sizes():
    assert len(CounterAggregator(4.9).get_stats(3)) == 6
    with pytest.raises(IndexError):
        CounterAggregator(4.9).get_stats(4)
    empty = CounterAggregator(0)
    assert empty.get_all_stats() == []
    with pytest.raises(IndexError, match="^Counter ID 0 out of range$"):
        empty.update(0, 1.0)
    empty.reset_all()
    create_aggregator().get_stats(999)
    with pytest.raises(IndexError):
        create_aggregator().get_stats(1000)
    with pytest.raises(IndexError):
        create_aggregator(num_counters=4).get_stats(4)
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
        CounterAggregator(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'size'"):
        CounterAggregator(size=3)


@pytest.mark.skipif(bool(os.environ.get("KORVANE_SANITIZED")) or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator aborts on an allocation of this size")
def test_huge_aggregator():
    # Either the heap refuses it, or only the pages in use are touched.
    try:
        agg = CounterAggregator(2**31 - 1)
    except MemoryError as e:
        assert str(e) == "Failed to allocate counter storage"
        return
    agg.update(2**31 - 2, 4.0)
    assert agg.get_stats(2**31 - 2)["max"] == 4.0
    assert agg.get_stats(12345) == ZERO


@pytest.mark.parametrize("args, exc, msg", [
    (("0", 1.0), TypeError, "an integer is required"),
    ((2**31, 1.0), OverflowError, "value too large to convert to int"),
    ((0, "x"), TypeError, "must be real number, not str"),
    ((0, None), TypeError, "must be real number, not NoneType"),
    ((8, 1.0), IndexError, "Counter ID 8 out of range"),
])
def test_bad_update_changes_nothing(args, exc, msg):
    agg = CounterAggregator(8)
    agg.update(0, 2.0)
    before = agg.get_stats(0)
    with pytest.raises(exc, match=f"^{msg}$"):
        agg.update(*args)
    assert agg.get_stats(0) == before
    with pytest.raises(TypeError, match=r"^update\(\) takes exactly 2 positional arguments \(1 given\)$"):
        agg.update(0)
    with pytest.raises(TypeError, match=r"^reset_all\(\) takes exactly 0 positional arguments \(1 given\)$"):
        agg.reset_all(0)
    agg.update(value=1.5, counter_id=0.9)
    assert agg.get_stats(counter_id=0)["count"] == 2


def test_subclass_override_in_get_all_stats():
    calls = []

    class Tagged(CounterAggregator):
        def get_stats(self, counter_id):
            calls.append(counter_id)
            d = super().get_stats(counter_id)
            d["tag"] = self_tag[0]
            return d

    self_tag = ["t"]
    agg = Tagged(6)
    agg.update(4, 1.0)
    agg.update(2, 2.0)
    result = agg.get_all_stats()
    assert calls == [2, 4]
    assert [(i, d["tag"], d["mean"]) for i, d in result] == [(2, "t", 2.0), (4, "t", 1.0)]

    class Broken(CounterAggregator):
        def get_stats(self, counter_id):
            return counter_id

    b = Broken(3)
    b.update(1, 1.0)
    with pytest.raises(TypeError, match="^Expected dict, got int$"):
        b.get_all_stats()

    class Resetting(CounterAggregator):
        def get_stats(self, counter_id):
            self.reset_all()  # a reset after the count was read yields the zero dict
            return super().get_stats(counter_id)

    r = Resetting(3)
    r.update(0, 1.0)
    r.update(2, 1.0)
    assert r.get_all_stats() == [(0, ZERO)]


def test_threads_update_one_counter():
    agg = CounterAggregator(2)
    barrier = threading.Barrier(8)

    def work(k):
        barrier.wait()
        for _ in range(10000):
            agg.update(0, 1.0)
            agg.update(1, float(k))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    s0, s1 = agg.get_stats(0), agg.get_stats(1)
    assert (s0["count"], s0["mean"], s0["variance"]) == (80000, 1.0, 0.0)
    assert s1["count"] == 80000 and s1["mean"] == pytest.approx(3.5, rel=1e-12)
    assert s1["variance"] == pytest.approx(5.25, rel=1e-9) and (s1["min"], s1["max"]) == (0.0, 7.0)


def test_threads_report_all_counters_while_they_are_fed():
    agg = CounterAggregator(64)
    last = {}

    def feed():
        for i in range(0, 64, 3):
            agg.update(i, float(i))

    def report():
        for i, stats in agg.get_all_stats():
            assert i % 3 == 0 and stats["count"] >= last.get(i, 1)
            assert stats["min"] == stats["max"] == stats["mean"] == float(i)
            last[i] = stats["count"]

    counts = concurrently(0.3, feed, feed, report)
    assert [i for i, _ in agg.get_all_stats()] == list(range(0, 64, 3))
    assert all(s["count"] == counts[0] + counts[1] for _, s in agg.get_all_stats())


def test_pickling_refused_and_gc():
    agg = CounterAggregator(3)
    for f in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            f(agg)
    assert [type(o).__name__ for o in gc.get_referents(agg)] == ["type", "lock"]
    assert gc.is_tracked(agg)
    with pytest.raises(AttributeError):
        agg.extra = 1
    with pytest.raises(TypeError, match="immutable type"):
        CounterAggregator.get_stats = lambda self, i: {}


def test_lock_comes_from_module_threading_and_its_errors_propagate(monkeypatch):
    events = []

    class FakeLock:
        fail = None

        def __enter__(self):
            events.append("enter")
            if self.fail == "enter":
                raise RuntimeError("enter failed")

        def __exit__(self, *exc):
            events.append(("exit", exc[0]))
            if self.fail == "exit":
                raise RuntimeError("exit failed")

    monkeypatch.setattr(tulvane, "threading", type("T", (), {"Lock": FakeLock}))
    agg = CounterAggregator(2)
    _, lock = gc.get_referents(agg)
    agg.update(0, 1.0)
    assert events == ["enter", ("exit", None)]
    for where in ("enter", "exit"):
        lock.fail = where
        with pytest.raises(RuntimeError, match=f"{where} failed"):
            agg.get_stats(0)
    lock.fail = None
    assert agg.get_stats(0)["count"] == 1


def test_no_leaks():
    agg = CounterAggregator(1000)
    for i in range(0, 1000, 10):
        agg.update(i, i)
    agg.get_all_stats()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            agg.get_all_stats()
            agg.get_stats(5)
            agg.update(5, 1.0)
            CounterAggregator(50)
            with pytest.raises(IndexError):
                agg.get_stats(-5)
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 20000
