import gc
import inspect
import math
import random
import statistics
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

from korvane.plugins.analyzer import dorvask as d

FUNCS = {
    "detect_performance_degradation": "performance_history baseline_performance threshold window_start_time",
    "calculate_performance_trend": "performance_history window_start_time",
    "detect_workload_characteristics_change": "pattern_history change_threshold=0.3",
    "detect_dominant_pattern": "patterns window_size=5",
    "is_adaptation_beneficial": "current_pool recommended_pool recommendation_score recommendation_confidence "
                                "current_performance_estimate trigger_code min_improvement_ratio=1.1 "
                                "min_confidence=0.6",
    "should_skip_adaptation": "last_adaptation_time current_time min_interval",
    "detect_memory_pressure": "current_usage peak_usage pressure_threshold=0.8",
    "detect_fragmentation_threshold": "fragmentation_ratio threshold=0.3",
    "calculate_adaptation_urgency": "performance_degradation memory_pressure fragmentation_ratio workload_changed",
    "score_pool_recommendation": "workload_fit memory_fit thread_count_fit historical_success_rate",
    "predict_resource_requirements": "allocation_history prediction_horizon_seconds",
}
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


# ---------------------------------------------------------------- a plain Python evaluation

def _sat(v):
    return 0 if math.isnan(v) else int(min(max(v, -2147483648.0), 2147483647.0))


def _lim(x):
    return min(max(x, 0.0), 1.0)


def ref_degradation(h, base, thr, ws):
    if not h or base <= 0.0 or len(h) < 5:
        return False
    total, count = 0.0, 0
    for t, m in h:
        if float(t) >= ws:
            total += float(m)
            count += 1
    return count >= 5 and (base - total / count) / base > thr


def ref_trend(h, ws):
    recent = [(float(t), float(m)) for t, m in h if float(t) >= ws]
    if len(recent) < 3:
        return 0.0
    t0 = recent[0][0]
    sx = sy = sxy = sxx = 0.0
    for t, m in recent:
        x = t - t0
        sx += x; sy += m; sxy += x * m; sxx += x * x
    n = float(len(recent))
    mx, my = sx / n, sy / n
    den = sxx - n * mx * mx
    if abs(den) < 1e-10 or abs(my) < 1e-10:
        return 0.0
    return min(max(((sxy - n * mx * my) / den) / my, -1.0), 1.0)


def _add_up(values):
    """Left to right from 0.0, one addition at a time (sum() compensates its
    float additions from 3.12 on)."""
    total = 0.0
    for v in values:
        total += v
    return total


def ref_change(hist, thr=0.3):
    if len(hist) < 6 or any(k not in e for e in hist[-6:] for k in KEYS):
        return (False, 0.0, 0.0, 0.0)
    ch = [abs((_add_up(e[k] for e in hist[-3:]) - _add_up(e[k] for e in hist[-6:-3])) * 0.3333333333333333)
          for k in KEYS]
    return (any(c > thr for c in ch), *ch)


def ref_dominant(patterns, window=5):
    counts = {}
    for p in patterns[max(0, len(patterns) - window):] if window > 0 else []:
        counts[p] = counts.get(p, 0) + 1
    best, top = "mixed", 0
    for p, c in counts.items():
        if c > top:
            best, top = p, c
    return best


def ref_beneficial(cur, rec, score, conf, est, trig, ratio=1.1, min_conf=0.6):
    if cur == rec or conf < min_conf:
        return False
    if trig == 0:
        return score > 0.5
    return score > 0.6 if est <= 0.0 else score > ratio * est


def ref_predict(h, horizon):
    if len(h) < 10 or float(h[-1][0]) - float(h[0][0]) <= 0.0:
        return (0, 0, 0.0)
    total = 0.0
    for _, s in h:
        total += float(s)
    n = len(h)
    allocs = _sat(n / (float(h[-1][0]) - float(h[0][0])) * horizon)
    return (allocs, _sat(total / n * allocs), 0.8 if n >= 100 else n * 0.008)


REF_SCALAR = {
    "should_skip_adaptation": lambda a, b, c: b - a < c,
    "detect_memory_pressure": lambda c, p, t: not (p <= 0.0 or c < 0.0) and c / p > t,
    "detect_fragmentation_threshold": lambda r, t: not r < 0.0 and r > t,
    "calculate_adaptation_urgency": lambda p, m, f, w: min(_lim(p) * 0.4 + _lim(m) * 0.3 + _lim(f) * 0.15
                                                           + (0.15 if w else 0.0), 1.0),
    "score_pool_recommendation": lambda a, b, c, e: min(_lim(a) * 0.35 + _lim(b) * 0.3 + _lim(c) * 0.2
                                                        + _lim(e) * 0.15, 1.0),
}


def same(a, b):
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(map(same, a, b))
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return math.isnan(b) if math.isnan(a) else a == pytest.approx(b, rel=1e-12, abs=1e-300)
    return a == b


# ---------------------------------------------------------------- module frame

def test_namespace_signatures_and_docs():
    public = [k for k in vars(d) if not k.startswith("__")]
    assert public == [*FUNCS, "logging", "logger"]
    assert list(vars(d))[-1] == "__test__" and d.__test__ == {}
    assert d.logger.name == "korvane.plugins.analyzer.dorvask"
    assert "dynamic pool switching" in d.__doc__ and "memory pressure evaluation" in d.__doc__
    for name, params in FUNCS.items():
        assert str(inspect.signature(getattr(d, name))) == "(" + params.replace(" ", ", ") + ")"
    assert "Degradation threshold (e.g., 0.15 for 15%)" in d.detect_performance_degradation.__doc__
    assert "Trend coefficient (-1.0 to 1.0, negative = declining)" in d.calculate_performance_trend.__doc__
    assert d.detect_dominant_pattern.__doc__.startswith("Detect the dominant pattern in a list of pattern names.")


def test_load_message(subprocess_python):
    out = subprocess_python("""
        import logging, sys
        logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="%(name)s|%(levelname)s|%(message)s")
        import korvane.plugins.analyzer.dorvask
    """).stdout
    assert out == "korvane.plugins.analyzer.dorvask|INFO|Korvane Dorvask Cython module loaded - IP protected\n"


# ---------------------------------------------------------------- worked values

def _dicts(cpu, **other):
    return [dict(parallelization_potential=0.5, cpu_intensity=c, memory_intensity=0.1, **other) for c in cpu]


@pytest.mark.parametrize("call, expected", [
    (lambda: d.detect_performance_degradation([(0, 1.0)] * 4, 100.0, 0.0, 0.0), False),
    (lambda: d.detect_performance_degradation([(0, 80.0)] * 5, 100.0, 0.15, 0.0), True),
    (lambda: d.detect_performance_degradation([(0, 80.0)] * 5, 100.0, 0.2, 0.0), False),
    (lambda: d.detect_performance_degradation([(5, 80.0)] * 5, 100.0, 0.15, 5.0), True),
    (lambda: d.detect_performance_degradation([(i, 1.0) for i in range(10)], 100.0, 0.1, 6), False),
    (lambda: d.detect_performance_degradation([(0, 80.0)] * 5, 0.0, 0.15, 0.0), False),
    (lambda: d.detect_performance_degradation(None, 100.0, 0.15, 0.0), False),
    (lambda: d.calculate_performance_trend([(0, 1.0), (1, 2.0), (2, 3.0)], 0), 0.5),
    (lambda: d.calculate_performance_trend([(0, 3.0), (1, 2.0), (2, 1.0)], 0), -0.5),
    (lambda: d.calculate_performance_trend([(0, 1.0), (1, 10.0), (2, 100.0)], 0), 1.0),
    (lambda: d.calculate_performance_trend([(4, 1.0), (4, 2.0), (4, 3.0)], 0), 0.0),
    (lambda: d.calculate_performance_trend([(0, -1.0), (1, 0.0), (2, 1.0)], 0), 0.0),
    (lambda: d.calculate_performance_trend([(i, float(i)) for i in range(50)], 48), 0.0),
    (lambda: d.calculate_performance_trend(None, 0), 0.0),
    (lambda: d.detect_workload_characteristics_change(_dicts([0.2] * 5)), (False, 0.0, 0.0, 0.0)),
    (lambda: d.detect_workload_characteristics_change(_dicts([0.2] * 3 + [0.4] * 3))[0], False),
    (lambda: d.detect_workload_characteristics_change([{}] + _dicts([0.2] * 3 + [0.9] * 3))[0], True),
    (lambda: d.detect_workload_characteristics_change(
        _dicts([0.2] * 3 + [0.9] * 2) + [{"cpu_intensity": 1, "parallelization_potential": 1}]),
     (False, 0.0, 0.0, 0.0)),
    (lambda: d.detect_dominant_pattern([]), "mixed"),
    (lambda: d.detect_dominant_pattern(["a", "b", "b", "a"]), "a"),
    (lambda: d.detect_dominant_pattern(["z"] * 3 + ["a", "b", "c", "b", "a"]), "a"),
    (lambda: d.detect_dominant_pattern(["x"], 0), "mixed"),
    (lambda: d.detect_dominant_pattern(["x"], -2 ** 31), "mixed"),
    (lambda: d.detect_dominant_pattern(["x", None, None], 2 ** 31 - 1), None),
    (lambda: d.detect_memory_pressure(80.0, 100.0), False),
    (lambda: d.detect_memory_pressure(81.0, 100.0), True),
    (lambda: d.detect_memory_pressure(81.0, 0.0), False),
    (lambda: d.detect_memory_pressure(-1.0, 100.0, -5.0), False),
    (lambda: d.detect_fragmentation_threshold(0.3), False),
    (lambda: d.detect_fragmentation_threshold(0.31), True),
    (lambda: d.detect_fragmentation_threshold(-0.1, -1.0), False),
    (lambda: d.calculate_adaptation_urgency(1.0, 1.0, 1.0, True), 1.0),
    (lambda: d.calculate_adaptation_urgency(2.0, -1.0, 0.0, False), 0.4),
    (lambda: d.calculate_adaptation_urgency(0, 0, 0, [1]), 0.15),
    (lambda: d.should_skip_adaptation(100.0, 130.0, 30.0), False),
    (lambda: d.should_skip_adaptation(100.0, 129.9, 30.0), True),
    (lambda: d.should_skip_adaptation(100.0, 90.0, 1.0), True),
    (lambda: d.is_adaptation_beneficial("a", "a", 9.0, 1.0, 0.0, 0), False),
    (lambda: d.is_adaptation_beneficial(None, None, 9.0, 1.0, 0.0, 0), False),
    (lambda: d.is_adaptation_beneficial(None, "a", 0.9, 0.59, 0.0, 0), False),
    (lambda: d.is_adaptation_beneficial("a", "b", 0.51, 0.6, 0.0, 0), True),
    (lambda: d.is_adaptation_beneficial("a", "b", 0.5, 1.0, 0.0, 0), False),
    (lambda: d.is_adaptation_beneficial("a", "b", 0.6, 1.0, 0.0, 1), False),
    (lambda: d.is_adaptation_beneficial("a", "b", 0.61, 1.0, 0.0, 1), True),
    (lambda: d.is_adaptation_beneficial("a", "b", 0.55, 1.0, 0.5, 1), False),
    (lambda: d.is_adaptation_beneficial("a", "b", 0.56, 1.0, 0.5, -7), True),
    (lambda: d.score_pool_recommendation(1, 0, 0, 0), 0.35),
    (lambda: d.score_pool_recommendation(5, -1, -1, -1), 0.35),
    (lambda: d.predict_resource_requirements([(i, 100) for i in range(9)], 9.0), (0, 0, 0.0)),
    (lambda: d.predict_resource_requirements([(i, 100) for i in range(10)], 9.0), (10, 1000, 0.08)),
    (lambda: d.predict_resource_requirements([(0, 1)] * 5 + [(3, 1)] * 4 + [[0, 1]], 9.0), (0, 0, 0.0)),
    (lambda: d.predict_resource_requirements([(i, 1) for i in range(100)], 99.0)[2], 0.8),
    (lambda: d.predict_resource_requirements([(i, 1e9) for i in range(10)], 1e12), (2 ** 31 - 1,) * 2 + (0.08,)),
    (lambda: d.predict_resource_requirements([(i, 1e9) for i in range(10)], -1e12), (-2 ** 31,) * 2 + (0.08,)),
    (lambda: d.predict_resource_requirements([(i, 1) for i in range(10)], math.nan), (0, 0, 0.08)),
])
def test_worked_values(call, expected):
    assert same(call(), expected)


def test_pool_score_never_exceeds_one_and_change_magnitudes():
    assert 1.0 - 1e-15 <= d.score_pool_recommendation(1, 1, 1, 1) <= 1.0
    assert d.calculate_adaptation_urgency(1.0, 1.0, 1.0, False) == pytest.approx(0.85)
    changed, p, c, m = d.detect_workload_characteristics_change(_dicts([0.2] * 3 + [0.8] * 3))
    assert (changed, p, m) == (True, 0.0, 0.0) and c == pytest.approx(0.6)


# ---------------------------------------------------------------- trend against an independent fit

@pytest.mark.parametrize("seed", range(40))
def test_trend_matches_least_squares(seed):
    rng = random.Random(seed)
    n = rng.randrange(3, 60)
    hist = [(rng.uniform(0, 100), rng.uniform(1, 50)) for _ in range(n)]
    if seed % 2:
        hist.sort()
    ws = rng.choice([-1.0, rng.uniform(0, 60)])
    recent = [p for p in hist if p[0] >= ws]
    if len(recent) < 3:
        assert d.calculate_performance_trend(hist, ws) == 0.0
        return
    xs, ys = zip(*recent)
    expected = min(max(statistics.linear_regression(xs, ys).slope / statistics.fmean(ys), -1.0), 1.0)
    assert d.calculate_performance_trend(hist, ws) == pytest.approx(expected, rel=1e-9, abs=1e-12)


# ---------------------------------------------------------------- entries and arguments

class Pair:
    def __iter__(self):
        return iter((1.0, 2.0))


HISTORY_CALLS = [
    lambda h: d.detect_performance_degradation(h, 1.0, 0.1, 0.0),
    lambda h: d.calculate_performance_trend(h, 0.0),
    lambda h: d.predict_resource_requirements(h, 1.0),
]


@pytest.mark.parametrize("call", HISTORY_CALLS)
@pytest.mark.parametrize("bad, exc, msg", [
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    ([1, 2, 3, 4], ValueError, "too many values to unpack (expected 2)"),
    (range(3), ValueError, "too many values to unpack (expected 2)"),
    ((1,), ValueError, "need more than 1 value to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    ("ab", TypeError, "must be real number, not str"),
    ("abc", ValueError, "too many values to unpack (expected 2)"),
    (None, TypeError, "'NoneType' object is not iterable"),
    ((1, None), TypeError, "must be real number, not NoneType"),
])
def test_malformed_entry(call, bad, exc, msg):
    hist = [(float(i), 1.0) for i in range(12)]
    hist[5] = bad
    with pytest.raises(exc) as e:
        call(hist)
    assert str(e.value) == msg


@pytest.mark.parametrize("call", HISTORY_CALLS)
def test_any_two_item_iterable_is_a_pair(call):
    def odd():
        return [[0, 1], Pair(), (x for x in (2.0, 3)), range(3, 5), (True, 2.0)] + [(i, 7.0) for i in range(5, 12)]

    plain = [tuple(map(float, e)) for e in odd()]
    assert call(odd()) == call(plain)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: d.calculate_performance_trend((), 0.0), TypeError,
     "Argument 'performance_history' has incorrect type (expected list, got tuple)"),
    (lambda: d.detect_workload_characteristics_change(None), TypeError, "object of type 'NoneType' has no len()"),
    (lambda: d.detect_dominant_pattern(None), TypeError, "object of type 'NoneType' has no len()"),
    (lambda: d.predict_resource_requirements(None, 1.0), TypeError, "object of type 'NoneType' has no len()"),
    (lambda: d.detect_workload_characteristics_change(_dicts([0.2] * 5) + [[]]), TypeError, "Expected dict, got list"),
    (lambda: d.detect_workload_characteristics_change(_dicts([0.2] * 5) + [None]), TypeError,
     "'NoneType' object is not iterable"),
    (lambda: d.detect_workload_characteristics_change(_dicts([0.2] * 5) + [dict(_dicts([1])[0], cpu_intensity="x")]),
     TypeError, "unsupported operand type(s) for +=: 'float' and 'str'"),
    (lambda: d.detect_dominant_pattern(["a", 1]), TypeError, "Expected str, got int"),
    (lambda: d.detect_dominant_pattern(["a"], 2 ** 31), OverflowError, "value too large to convert to int"),
    (lambda: d.is_adaptation_beneficial(b"a", "b", 1, 1, 1, 1), TypeError,
     "Argument 'current_pool' has incorrect type (expected str, got bytes)"),
    (lambda: d.is_adaptation_beneficial("a", "b", 1, 1, 1, "1"), TypeError, "an integer is required"),
    (lambda: d.calculate_adaptation_urgency(0, 0, "0", True), TypeError, "must be real number, not str"),
    (lambda: d.predict_resource_requirements([{0: float(i)} for i in range(10)], 1.0), ValueError,
     "need more than 1 value to unpack"),
    (lambda: d.predict_resource_requirements([5] * 10, 1.0), TypeError, "'int' object is not subscriptable"),
    (lambda: d.score_pool_recommendation(1, 2, 3), TypeError,
     "score_pool_recommendation() takes exactly 4 positional arguments (3 given)"),
])
def test_argument_and_entry_errors(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    assert str(e.value) == msg


def test_only_last_six_entries_are_read():
    hist = ["junk", None] + _dicts([0.2] * 3 + [0.8] * 3)
    assert d.detect_workload_characteristics_change(hist)[0] is True
    assert d.detect_dominant_pattern([1, 2, 3, "a"], 1) == "a"


# ---------------------------------------------------------------- a plain Python evaluation, differentially

num = st.floats(allow_nan=True, allow_infinity=True, width=64)
finite = st.floats(-1e6, 1e6)
pairs = st.lists(st.tuples(finite, finite), max_size=40)


@settings(max_examples=150, deadline=None)
@given(pairs, finite, finite, finite, finite)
def test_history_functions_match_python(hist, base, thr, ws, horizon):
    for ours, ref in [(d.detect_performance_degradation(hist, base, thr, ws), ref_degradation(hist, base, thr, ws)),
                      (d.calculate_performance_trend(hist, ws), ref_trend(hist, ws)),
                      (d.predict_resource_requirements(hist, horizon), ref_predict(hist, horizon))]:
        assert same(ours, ref)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.fixed_dictionaries({k: st.floats(0, 1) for k in KEYS}), max_size=9), st.floats(0, 1),
       st.lists(st.sampled_from(["a", "b", "c", "d" * 3, None]), max_size=40), st.integers(-3, 45))
def test_pattern_functions_match_python(hist, thr, patterns, window):
    assert same(d.detect_workload_characteristics_change(hist, thr), ref_change(hist, thr))
    assert d.detect_dominant_pattern(patterns, window) == ref_dominant(patterns, window)


@settings(max_examples=120, deadline=None)
@given(st.data())
def test_scalar_functions_match_python(data):
    for name, ref in REF_SCALAR.items():
        args = [data.draw(num) for _ in range(ref.__code__.co_argcount)]
        assert same(getattr(d, name)(*args), ref(*args)), (name, args)
    args = [data.draw(st.sampled_from(["a", "b", None])) for _ in range(2)] + [data.draw(num) for _ in range(3)]
    args += [data.draw(st.integers(-2, 2)), data.draw(num), data.draw(num)]
    assert d.is_adaptation_beneficial(*args) == ref_beneficial(*args)


# ---------------------------------------------------------------- histories changed during a call

class Clearing:
    """A number whose conversion empties the list it was put in."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 0.0


class CollidingKey:
    """Hashes like "cpu_intensity"; comparing with it empties a history."""

    def __init__(self, target):
        self.target = target
        self.armed = False

    def __hash__(self):
        return hash("cpu_intensity")

    def __eq__(self, other):
        if self.armed:
            self.target.clear()
        return False


def test_history_emptied_by_its_own_entries():
    hist = [(0.0, 1.0)] * 10
    hist[0] = (Clearing(hist), 1.0)
    assert d.detect_performance_degradation(hist, 100.0, 0.1, 0.0) is False
    hist = [(float(i), 1.0) for i in range(10)]
    hist[0] = (Clearing(hist), 1.0)
    with pytest.raises(IndexError, match="list index out of range"):
        d.predict_resource_requirements(hist, 1.0)
    entry = [0.0, 0.0]
    entry[0] = Clearing(entry)
    assert d.calculate_performance_trend([entry, (1.0, 2.0), (2.0, 3.0)], 0.0) == pytest.approx(0.9)
    hist = _dicts([0.2] * 6)
    key = CollidingKey(hist)
    hist[0] = {key: 0, **hist[0]}
    key.armed = True
    with pytest.raises(IndexError, match="list index out of range"):
        d.detect_workload_characteristics_change(hist)


class Slow:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        sum(range(20))
        return self.v


def test_history_mutated_by_another_thread():
    hist = [(float(i), Slow(1.0 + i)) for i in range(200)]
    patterns = ["a", "b"] * 50
    dicts = _dicts([0.1, 0.9] * 10)
    stop = False

    def mutate():
        rng = random.Random(1)
        while not stop:
            for lst, good in ((hist, (5.0, Slow(2.0))), (patterns, "c"), (dicts, dicts[0] if dicts else {})):
                op = rng.random()
                if op < 0.3 and lst:
                    del lst[rng.randrange(len(lst)):]
                elif op < 0.5:
                    lst.clear()
                else:
                    lst.extend([good] * rng.randrange(1, 50))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    t = threading.Thread(target=mutate)
    t.start()
    try:
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            for call in HISTORY_CALLS:
                try:
                    call(hist)
                except IndexError:
                    pass
            d.detect_dominant_pattern(patterns, 40)
            try:
                d.detect_workload_characteristics_change(dicts)
            except IndexError:
                pass
    finally:
        stop = True
        t.join()
        sys.setswitchinterval(old)



# ---------------------------------------------------------------- inputs changed by other threads
#
# Without the GIL, other threads change a history while a call reads it:
# lists shrink and grow (their item arrays move, and removed entries are
# freed at once), pair lists and dicts change in place.  Every call must
# return a result over some state of its input, or raise the exception that
# state gives.  Fresh objects everywhere, so that what is removed is freed.

def _changing(step, seconds=0.6, threads=2):
    """Runs the reader `step(rng)` in this thread for `seconds` while `threads`
    threads run the mutators in `step.mutators`; returns the reads made."""
    stop = threading.Event()
    errors = []

    def run(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                for mutate in step.mutators:
                    mutate(rng)
        except BaseException as e:      # noqa: B902 - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in workers:
        t.start()
    reads = 0
    try:
        rng = random.Random(99)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            step(rng)
            reads += 1
    finally:
        stop.set()
        for t in workers:
            t.join()
        sys.setswitchinterval(old)
    if errors:
        raise errors[0]
    return reads


def _churn(lst, make, most=300):
    """Shrinks, refills, replaces and grows `lst` with fresh entries."""
    def mutate(rng):
        op = rng.random()
        n = len(lst)        # read once: other mutators change it
        if op < 0.3:
            del lst[rng.randrange(n + 1):]
        elif op < 0.45:
            lst[:] = [make(rng) for _ in range(rng.randrange(40))]
        elif op < 0.55 and n:
            try:
                lst[rng.randrange(n)] = make(rng)
            except IndexError:
                pass
        elif n < most:
            lst.extend([make(rng) for _ in range(rng.randrange(1, 60))])
        else:
            del lst[10:]
    return mutate


def _pair(rng):
    """A fresh pair of each shape the readers take apart differently."""
    t, v = rng.random() * 100.0, rng.random() + 1.0
    kind = rng.randrange(4)
    if kind == 0:
        return (t, v)                                   # the float run
    if kind == 1:
        return (10 ** 20 + int(t), int(v * 10 ** 6))    # plain numbers, not floats
    if kind == 2:
        return [t, v]                                   # a list pair
    return (Slow(t), v)                                 # runs Python code


def _check_history_reads(hist, accept=()):
    def step(rng):
        try:
            assert d.detect_performance_degradation(hist, 150.0, 0.1, 10.0) in (True, False)
            trend = d.calculate_performance_trend(hist, rng.random() * 50.0)
            assert -1.0 <= trend <= 1.0
            allocations, size, confidence = d.predict_resource_requirements(hist, 5.0)
            assert type(allocations) is int and type(size) is int and 0.0 <= confidence <= 0.8
        except IndexError as e:     # the list was emptied between its length and an entry
            assert str(e) == "list index out of range"
        except accept:
            pass
    return step


def test_pair_histories_changed_by_other_threads():
    rng = random.Random(5)
    hist = [_pair(rng) for _ in range(200)]
    step = _check_history_reads(hist)
    step.mutators = [_churn(hist, _pair)]
    assert _changing(step) > 0


def test_pair_lists_changed_in_place_by_other_threads():
    rng = random.Random(6)
    pairs = [[rng.random(), rng.random() + 1.0] for _ in range(64)]
    hist = list(pairs) * 4

    def reshape(rng):
        p = pairs[rng.randrange(len(pairs))]
        op = rng.random()
        if op < 0.4:
            p[:] = [rng.random() * 100.0, rng.random() + 1.0]
        elif op < 0.7:
            p[rng.randrange(2)] = 10 ** 20 + rng.randrange(1000)
        else:
            p.append(rng.random())      # three items for a moment
            del p[2:]

    step = _check_history_reads(hist, ValueError)
    step.mutators = [reshape]
    assert _changing(step) > 0


def _observation(rng):
    return {k: rng.random() for k in KEYS}


def test_pattern_histories_changed_by_other_threads():
    rng = random.Random(7)
    # Half the entries the list takes come from a pool of dicts that
    # rewrite() changes in place; the rest are fresh and die once dropped.
    # rewrite() finds its dicts in the pool, a list nobody resizes: indexing
    # the list being churned from Python would test 3.13t's own lock-free
    # list read against slice assignment (racy in the interpreter itself),
    # not the reader.
    pool = [_observation(rng) for _ in range(40)]
    hist = list(pool)

    def pooled(rng):
        return pool[rng.randrange(len(pool))]

    def entry(rng):
        return pooled(rng) if rng.random() < 0.5 else _observation(rng)

    def rewrite(rng):
        e = pooled(rng)
        op = rng.random()
        key = KEYS[rng.randrange(3)]
        if op < 0.5:
            e[key] = rng.random()
        elif op < 0.8:
            e.pop(key, None)
            e[key] = rng.random()
        else:
            e.clear()
            e.update(_observation(rng))

    def step(rng):
        # Six consecutive entries of one state of the list, however it changes.
        changed, *changes = d.detect_workload_characteristics_change(hist, 0.3)
        assert changed in (True, False) and all(0.0 <= c <= 1.0 for c in changes)
        assert changed == any(c > 0.3 for c in changes)

    step.mutators = [_churn(hist, entry), rewrite]
    assert _changing(step) > 0


def test_pattern_names_changed_by_other_threads():
    def name(rng):
        return None if rng.random() < 0.05 else "pattern-%d" % rng.randrange(40)

    rng = random.Random(8)
    patterns = [name(rng) for _ in range(100)]

    def step(rng):
        for window in (5, 60):
            got = d.detect_dominant_pattern(patterns, window)
            assert got is None or got == "mixed" or (got.startswith("pattern-") and len(got) <= 10)

    step.mutators = [_churn(patterns, name)]
    assert _changing(step) > 0


def test_no_reference_leaks():
    entry = (1.5, 2.5)
    hist = [entry] * 20 + [Pair(), [3.0, 4.0]]
    bad = [(1, 2, 3)] + hist
    dicts = _dicts([0.1] * 3 + [0.9] * 3)
    name = "abc"

    def run():
        for _ in range(300):
            d.calculate_performance_trend(hist, 0.0)
            d.predict_resource_requirements(hist, 3.0)
            d.detect_workload_characteristics_change(dicts)
            d.detect_dominant_pattern([name, name, None])
            for call in HISTORY_CALLS:
                with pytest.raises(ValueError):
                    call(bad)

    run()
    gc.collect()
    refs = (sys.getrefcount(entry), sys.getrefcount(name), sys.getrefcount(dicts[0]))
    blocks = sys.getallocatedblocks()
    run()
    gc.collect()
    assert (sys.getrefcount(entry), sys.getrefcount(name), sys.getrefcount(dicts[0])) == refs
    assert sys.getallocatedblocks() - blocks < 50
