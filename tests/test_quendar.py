import gc
import logging
import math
import pickle
import sys
import threading
import types
import weakref

import pytest
from hypothesis import given, settings, strategies as st
from standins import OpenLock, concurrently

from korvane.jit import quendar
from korvane.jit.quendar import (FunctionMetrics, PolicyConfig, Quendar, create_function_metrics,
                                 create_policy_config, get_quendar, reset_quendar)

I32_MAX = 2**31 - 1


# ---------------------------------------------------------------- helpers

def model_update(cur, speedup, compiles, rate, target, lo, hi):
    """The adaptation step, evaluated directly."""
    ratio = speedup / target if target > 0.0 else speedup
    adjustment = rate * cur
    if ratio > 1.0:
        adjustment = -adjustment
    confidence = min(1.0, 0.1 * compiles)
    new = cur + adjustment * (1.0 - confidence)
    if math.isnan(new):
        new = float(cur)
    if new < lo:
        return lo
    if new > hi:
        return hi
    return int(new)


class Store:
    """Telemetry store stand-in: get_metrics(func_id) -> record."""

    def __init__(self, record=None, **records):
        self.records = records
        self.default = record
        self.calls = []

    def get_metrics(self, func_id):
        self.calls.append(func_id)
        return self.records.get(func_id, self.default)


class Record:
    """A record that is not a FunctionMetrics (plain attributes)."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


class RecordingLock:
    """threading.Lock stand-in that knows whether it is held."""

    def __init__(self):
        self._lock = threading.Lock()
        self.held = False
        self.entries = 0

    def __enter__(self):
        self._lock.acquire()
        self.held = True
        self.entries += 1
        return self

    def __exit__(self, *exc):
        self.held = False
        self._lock.release()


@pytest.fixture
def recording_threading(monkeypatch):
    locks = []

    def make():
        locks.append(RecordingLock())
        return locks[-1]

    monkeypatch.setattr(quendar, "threading", types.SimpleNamespace(Lock=make))
    return locks


@pytest.fixture
def debug_log():
    records = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = lambda r: records.append(r.getMessage())
    logger = logging.getLogger("korvane.jit.quendar")
    old = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield records
    logger.removeHandler(handler)
    logger.setLevel(old)


@pytest.fixture
def clock(monkeypatch):
    fake = types.SimpleNamespace(now=10_000.0)
    fake.time = lambda: fake.now
    monkeypatch.setattr(quendar, "time", fake)
    return fake


# ------------------------------------------------------------------ module

def test_namespace_order_doc_and_load_message(subprocess_python):
    names = [n for n in vars(quendar) if not n.startswith("__")]
    assert names == ["PolicyConfig", "FunctionMetrics", "Quendar", "time", "logging", "threading", "Dict",
                     "Optional", "logger", "_policy_lock", "get_quendar", "reset_quendar",
                     "create_function_metrics", "create_policy_config"]
    assert quendar.__doc__.splitlines() == [
        "Adaptive JIT threshold policy.", "",
        "Dynamically adjusts compilation thresholds based on observed performance.",
        "Reduces compilation attempts while maximizing benefit."]
    assert quendar.logger is logging.getLogger("korvane.jit.quendar")
    assert type(quendar._policy_lock) is type(threading.Lock())
    assert not hasattr(quendar, "_global_policy")
    out = subprocess_python("""
        import logging
        logging.basicConfig(level=logging.DEBUG, format="%(levelname)s %(name)s %(message)s")
        import korvane.jit.quendar
    """)
    assert out.stderr == "INFO korvane.jit.quendar Korvane Quendar Cython module loaded - IP protected\n"


def test_signatures_and_docstrings():
    assert str(__import__("inspect").signature(create_policy_config)) == (
        "(initial_threshold: 'int' = 100, min_threshold: 'int' = 10, max_threshold: 'int' = 10000, "
        "learning_rate: 'float' = 0.1, target_speedup: 'float' = 2.0) -> 'PolicyConfig'")
    assert create_function_metrics.__annotations__ == {
        "call_count": "int", "compile_count": "int", "avg_speedup": "float",
        "total_execution_time_ms": "float", "last_compile_time": "float", "return": "FunctionMetrics"}
    assert create_function_metrics.__defaults__ == (0, 0, 1.0, 0.0, 0.0)
    assert get_quendar.__annotations__ == {"return": "Quendar"}
    assert Quendar.get_statistics.__annotations__ == {"return": "Dict"}
    assert create_policy_config.__doc__.splitlines()[::2] == [
        "Factory function to create PolicyConfig.",
        "Provides a Python-friendly interface for creating config objects."]
    assert create_function_metrics.__doc__.splitlines()[::2] == [
        "Factory function to create FunctionMetrics.",
        "Provides a Python-friendly interface for creating metrics objects."]
    assert FunctionMetrics.__doc__.startswith("Metrics for a function's execution and compilation.")
    for attr in ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled"):
        assert attr in FunctionMetrics.__doc__
    assert FunctionMetrics.last_compiled.__doc__ == "Timestamp of last compilation (matches TelemetryStore interface)."
    assert FunctionMetrics.last_compile_time.__doc__ == "Alias for last_compiled for backward compatibility."
    assert FunctionMetrics.call_count.__doc__ is None
    assert Quendar.__doc__.splitlines()[:4] == [
        "Adaptive JIT threshold policy.", "", "Learns optimal compilation thresholds based on observed performance.",
        "Adapts per-function to workload characteristics."]
    summaries = {"get_threshold": "Get current threshold for function.",
                 "should_compile": "Decide if function should be compiled.",
                 "update": "Update policy based on compilation outcome.",
                 "get_statistics": "Get policy statistics.", "config": "Get policy configuration."}
    for name, summary in summaries.items():
        assert getattr(Quendar, name).__doc__.splitlines()[0] == summary


@pytest.mark.parametrize("cls", [PolicyConfig, FunctionMetrics, Quendar])
def test_types_refuse_pickling_and_class_writes(cls):
    obj = cls()
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(obj)
    with pytest.raises(TypeError, match="immutable type"):
        cls.extra = 1
    assert not hasattr(obj, "__dict__")

    class Sub(cls):
        pass

    assert isinstance(Sub(), cls)


# ------------------------------------------------------------ PolicyConfig

def test_policy_config_defaults_and_arguments():
    c = PolicyConfig()
    assert (c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup) == \
        (100, 10, 10000, 0.1, 2.0)
    assert type(c.initial_threshold) is int and type(c.learning_rate) is float
    c = PolicyConfig(50, 5, 60, 1, 3)
    assert (c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup) == \
        (50, 5, 60, 1.0, 3.0)
    assert PolicyConfig(initial_threshold=20.9).initial_threshold == 20
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 5 positional arguments \(6 given\)$"):
        PolicyConfig(1, 2, 3, 4, 5, 6)
    with pytest.raises(TypeError, match="unexpected keyword argument 'initial'"):
        PolicyConfig(initial=5)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        PolicyConfig(max_threshold=2**31)
    with pytest.raises(TypeError, match="an integer is required"):
        PolicyConfig(min_threshold="5")
    with pytest.raises(TypeError):
        PolicyConfig(learning_rate="fast")


@pytest.mark.parametrize("kwargs, message", [
    (dict(min_threshold=0, learning_rate=5.0), "min_threshold must be positive"),
    (dict(min_threshold=-3, max_threshold=-5), "min_threshold must be positive"),
    (dict(min_threshold=10, max_threshold=10, learning_rate=0.0), "max_threshold must be greater than min_threshold"),
    (dict(learning_rate=0.0, target_speedup=0.0), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=1.5), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=-0.1), "learning_rate must be in (0, 1]"),
    (dict(target_speedup=0.0, initial_threshold=1), "target_speedup must be positive"),
    (dict(target_speedup=-1.0), "target_speedup must be positive"),
    (dict(learning_rate=float("nan")), "learning_rate must be in (0, 1]"),
    (dict(target_speedup=float("nan")), "target_speedup must be positive"),
    (dict(initial_threshold=9), "initial_threshold must be within bounds"),
    (dict(initial_threshold=10001), "initial_threshold must be within bounds"),
])
def test_policy_config_validation_order(kwargs, message):
    with pytest.raises(ValueError) as e:
        PolicyConfig(**kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("kwargs", [dict(learning_rate=1.0), dict(initial_threshold=10),
                                    dict(initial_threshold=10000), dict(min_threshold=1, max_threshold=2,
                                                                        initial_threshold=2)])
def test_policy_config_boundaries_accepted(kwargs):
    c = PolicyConfig(**kwargs)
    for k, v in kwargs.items():
        assert getattr(c, k) == v


def test_policy_config_properties_store_without_validation():
    c = PolicyConfig()
    c.min_threshold = 20000
    c.learning_rate = -4
    c.target_speedup = 0
    assert (c.min_threshold, c.learning_rate, c.target_speedup) == (20000, -4.0, 0.0)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        c.max_threshold = -2**31 - 1
    with pytest.raises(TypeError):
        c.learning_rate = None
    assert (c.max_threshold, c.learning_rate) == (10000, -4.0)


@pytest.mark.parametrize("obj, attr", [(PolicyConfig(), a) for a in (
    "initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")] + [
    (FunctionMetrics(), a) for a in ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                                     "last_compiled", "last_compile_time")])
def test_properties_cannot_be_deleted(obj, attr):
    before = getattr(obj, attr)
    with pytest.raises(NotImplementedError) as e:
        delattr(obj, attr)
    assert str(e.value) == "__del__"
    assert getattr(obj, attr) == before


# --------------------------------------------------------- FunctionMetrics

def test_function_metrics_defaults_and_fields():
    m = FunctionMetrics()
    assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compiled) == \
        (0, 0, 1.0, 0.0, 0.0)
    m = FunctionMetrics(2**64 - 1, 2**32 - 1, 2.5, 12.0, 4.0)
    assert (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compile_time) == \
        (2**64 - 1, 2**32 - 1, 2.5, 12.0, 4.0)
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 6 positional arguments \(7 given\)$"):
        FunctionMetrics(1, 2, 3, 4, 5, 6, 7)


@pytest.mark.parametrize("kwargs, expected", [
    (dict(last_compile_time=5.0, last_compiled=7.0), 7.0),
    (dict(last_compile_time=5.0, last_compiled=-1.0), 5.0),
    (dict(last_compile_time=5.0, last_compiled=0.0), 0.0),
    (dict(last_compile_time=5.0, last_compiled=float("nan")), 5.0),
    (dict(last_compile_time=5.0), 5.0),
    (dict(last_compiled=3), 3.0),
])
def test_function_metrics_timestamp_choice(kwargs, expected):
    m = FunctionMetrics(**kwargs)
    assert m.last_compiled == m.last_compile_time == expected


def test_function_metrics_alias_shares_one_field():
    m = FunctionMetrics()
    m.last_compile_time = 3.5
    assert m.last_compiled == 3.5
    m.last_compiled = -2.0
    assert m.last_compile_time == -2.0


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(call_count=-1), OverflowError, "can't convert negative value to uint64_t"),
    (dict(compile_count=-1), OverflowError, "can't convert negative value to uint32_t"),
    (dict(compile_count=2**32), OverflowError, "value too large to convert to uint32_t"),
    (dict(call_count="1"), TypeError, "an integer is required"),
    (dict(last_compiled=-1.0, total_execution_time_ms="x"), TypeError, "must be real number"),
    (dict(last_compiled="x"), TypeError, "must be real number"),
])
def test_function_metrics_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc, match=message):
        FunctionMetrics(**kwargs)
    m = FunctionMetrics()
    bad, value = list(kwargs.items())[-1]
    with pytest.raises(exc, match=message):
        setattr(m, bad, value)
    assert (m.call_count, m.compile_count, m.last_compiled) == (0, 0, 0.0)


# --------------------------------------------------------------- factories

def test_factories_coerce_and_delegate():
    c = create_policy_config(50.7, min_threshold=True, learning_rate=1)
    assert type(c) is PolicyConfig and (c.initial_threshold, c.min_threshold, c.learning_rate) == (50, 1, 1.0)
    m = create_function_metrics(3.9, 2, 1, last_compile_time=8)
    assert type(m) is FunctionMetrics
    assert (m.call_count, m.compile_count, m.avg_speedup, m.last_compiled) == (3, 2, 1.0, 8.0)
    with pytest.raises(ValueError, match="min_threshold must be positive"):
        create_policy_config(min_threshold=-1)
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        create_function_metrics(-1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'last_compiled'"):
        create_function_metrics(last_compiled=1.0)


@pytest.mark.parametrize("call, name, given", [
    (lambda: create_policy_config("100"), "initial_threshold", "str"),
    (lambda: create_policy_config(max_threshold=None), "max_threshold", "NoneType"),
    (lambda: create_policy_config(min_threshold=[1]), "min_threshold", "list"),
    (lambda: create_function_metrics(compile_count=b"1"), "compile_count", "bytes"),
])
def test_factories_reject_non_numbers(call, name, given):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == f"Argument '{name}' has incorrect type (expected int, got {given})"


# ------------------------------------------------------- Quendar: config

def test_quendar_config_handling():
    assert Quendar().config.initial_threshold == 100
    c = PolicyConfig(initial_threshold=40)
    q = Quendar(c)
    assert q.config is c and q.config is q.config
    c.initial_threshold = 70
    assert q.get_threshold("f") == 70

    class SubConfig(PolicyConfig):
        pass

    sc = SubConfig()
    assert Quendar(config=sc).config is sc
    assert Quendar({"initial_threshold": 50}).config.initial_threshold == 100
    duck = Quendar(types.SimpleNamespace(initial_threshold=50, learning_rate=1))
    assert type(duck.config) is PolicyConfig
    assert (duck.config.initial_threshold, duck.config.min_threshold, duck.config.learning_rate) == (50, 10, 1.0)
    with pytest.raises(AttributeError):
        q.config = c
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
        Quendar(None, None)


@pytest.mark.parametrize("attrs, exc, message", [
    (dict(min_threshold=0), ValueError, "min_threshold must be positive"),
    (dict(initial_threshold=5), ValueError, "initial_threshold must be within bounds"),
    (dict(learning_rate=2.0), ValueError, "learning_rate must be in (0, 1]"),
    (dict(max_threshold=2**40), OverflowError, "value too large to convert to int"),
])
def test_quendar_invalid_duck_config(attrs, exc, message):
    with pytest.raises(exc, match=message.replace("(", r"\(").replace("]", r"\]")):
        Quendar(types.SimpleNamespace(**attrs))


def test_duck_config_attribute_errors_propagate_other_than_missing():
    class Broken:
        @property
        def min_threshold(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        Quendar(Broken())


def test_config_properties_seen_through_subclass_overrides():
    class Tweaked(PolicyConfig):
        initial_threshold = property(lambda self: 7)

    q = Quendar(Tweaked())
    assert q.get_threshold("f") == 7
    assert q.get_statistics()["avg_threshold"] == 7


# ------------------------------------------- Quendar: thresholds, statistics

def test_new_policy_threshold_and_statistics():
    q = Quendar()
    assert q.get_threshold("f") == 100
    assert q.get_threshold(None) == 100
    assert list(q.get_statistics().items()) == [
        ("tracked_functions", 0), ("avg_threshold", 100), ("min_threshold", 10), ("max_threshold", 10000)]


@pytest.mark.parametrize("method, args", [("get_threshold", ()), ("should_compile", (Store(),)),
                                          ("update", (Store(),))])
@pytest.mark.parametrize("func_id, given", [(5, "int"), (b"f", "bytes"), (type("S", (str,), {})("f"), "S")])
def test_func_id_must_be_str_or_none(method, args, func_id, given):
    store = args[0] if args else None
    with pytest.raises(TypeError) as e:
        getattr(Quendar(), method)(func_id, *args)
    assert str(e.value) == f"Argument 'func_id' has incorrect type (expected str, got {given})"
    assert not (store and store.calls)


def test_statistics_over_learned_thresholds():
    q = Quendar()
    q.update("a", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    q.update("b", Store(FunctionMetrics(compile_count=1, avg_speedup=1.5)))
    stats = q.get_statistics()
    assert list(stats.items()) == [("tracked_functions", 2), ("avg_threshold", 100.0), ("min_threshold", 91),
                                   ("max_threshold", 109)]
    assert type(stats["avg_threshold"]) is float
    q.update(None, Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert q.get_statistics()["avg_threshold"] == (91 + 109 + 91) / 3
    assert q.get_threshold(None) == 91


@pytest.mark.parametrize("values", [[2**62, 2**62, 2**62 - 1], [-2**63, -2**63, 5], [2**63 - 1] * 5,
                                    [2**30, 2**30 - 1, -2**30, 3]])
def test_statistics_of_any_ints_put_in_through_the_referents(values):
    q = Quendar()
    thresholds = next(o for o in gc.get_referents(q) if type(o) is dict)
    thresholds.update((f"f{i}", v) for i, v in enumerate(values))
    stats = q.get_statistics()
    assert stats["avg_threshold"] == sum(values) / len(values)      # exact, however far the sum goes
    assert (stats["min_threshold"], stats["max_threshold"]) == (min(values), max(values))


def test_statistics_over_values_whose_conversion_empties_the_thresholds():
    q = Quendar()
    thresholds = next(o for o in gc.get_referents(q) if type(o) is dict)

    class Emptying:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            thresholds.clear()          # the entries go while they are read
            return self.value

    low, high = Emptying(5), Emptying(7)
    thresholds.update(a=low, b=high)
    del low, high
    stats = q.get_statistics()          # over the values as they were when the call began
    assert (stats["tracked_functions"], stats["avg_threshold"]) == (2, 6.0)
    assert (stats["min_threshold"].value, stats["max_threshold"].value) == (5, 7)


# --------------------------------------------------- Quendar: should_compile

def metrics_with(**fields):
    m = FunctionMetrics()
    for k, v in fields.items():
        setattr(m, k, v)
    return m


@pytest.mark.parametrize("fields, expected", [
    (dict(call_count=99, compile_count=0), False),
    (dict(call_count=100, compile_count=0), True),
    (dict(call_count=10**6, compile_count=1, last_compiled=10_000.0 - 600.0), True),
    (dict(call_count=10**6, compile_count=1, last_compiled=10_000.0 - 599.9), False),
    (dict(call_count=10**6, compile_count=3, last_compiled=10_000.0), False),
    (dict(call_count=10**6, compile_count=3, last_compiled=float("nan")), False),
])
@pytest.mark.parametrize("make", [metrics_with, Record], ids=["FunctionMetrics", "plain"])
def test_should_compile_decision(clock, fields, expected, make):
    fields = dict(dict(avg_speedup=1.0, last_compiled=0.0), **fields)
    assert Quendar().should_compile("f", Store(make(**fields))) is expected


def test_should_compile_uses_learned_threshold_and_wall_clock(clock):
    q = Quendar()
    q.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))  # 100 -> 91
    assert q.should_compile("f", Store(FunctionMetrics(call_count=91)))
    assert not q.should_compile("g", Store(FunctionMetrics(call_count=91)))
    rec = FunctionMetrics(call_count=500, compile_count=1, last_compiled=9_500.0)
    assert not q.should_compile("f", Store(rec))
    clock.now = 10_100.0
    assert q.should_compile("f", Store(rec))


def test_record_without_timestamp_counts_as_compiled_at_zero(clock):
    store = Store(Record(call_count=100, compile_count=2, avg_speedup=1.0))
    assert Quendar().should_compile("f", store)
    clock.now = 599.0
    assert not Quendar().should_compile("f", store)


def test_negative_threshold_never_compiles():
    c = PolicyConfig()
    c.initial_threshold = -5
    assert not Quendar(c).should_compile("f", Store(FunctionMetrics(call_count=2**63, compile_count=0)))


def test_subclassed_record_is_read_through_its_attributes(clock):
    class Metrics(FunctionMetrics):
        call_count = property(lambda self: 1000)

    assert Quendar().should_compile("f", Store(Metrics(call_count=1)))


# ----------------------------------------------------------- Quendar: update

@pytest.mark.parametrize("initial, speedup, compiles, expected", [
    (100, 3.0, 1, 91), (100, 1.5, 1, 109), (100, 1.5, 5, 105), (100, 2.0, 1, 109),
    (100, 0.2, 10, 100), (100, 50.0, 11, 100), (10, 3.0, 1, 10), (10000, 0.5, 1, 10000),
])
def test_update_worked_values(debug_log, initial, speedup, compiles, expected):
    q = Quendar(PolicyConfig(initial_threshold=initial))
    assert q.update("f", Store(FunctionMetrics(compile_count=compiles, avg_speedup=speedup))) is None
    assert q.get_threshold("f") == expected
    assert debug_log == [f"Updated threshold for f: {initial} -> {expected} (speedup: {speedup:.2f}x)"]


def test_repeated_update_and_message_details(debug_log):
    q = Quendar()
    store = Store(FunctionMetrics(compile_count=1, avg_speedup=3.0))
    q.update("f", store)
    q.update("f", store)
    q.update(None, store)
    q.update("ünï", Store(Record(compile_count=1, avg_speedup=0.125)))
    q.update("\ud800x", Store(Record(compile_count=1, avg_speedup=2.675)))  # 2.675 is stored below 2.675
    assert q.get_threshold("f") == 82
    assert debug_log == ["Updated threshold for f: 100 -> 91 (speedup: 3.00x)",
                         "Updated threshold for f: 91 -> 82 (speedup: 3.00x)",
                         "Updated threshold for None: 100 -> 91 (speedup: 3.00x)",
                         "Updated threshold for ünï: 100 -> 109 (speedup: 0.12x)",
                         "Updated threshold for \ud800x: 100 -> 91 (speedup: 2.67x)"]


@pytest.mark.parametrize("record", [FunctionMetrics(compile_count=0, avg_speedup=9.0),
                                    Record(compile_count=0.0), Record(compile_count=0, avg_speedup="unread")])
def test_update_of_never_compiled_function_changes_nothing(debug_log, record):
    q = Quendar()
    q.update("f", Store(record))
    assert q.get_statistics()["tracked_functions"] == 0 and debug_log == []


def test_update_with_zero_target_uses_raw_speedup():
    c = PolicyConfig()
    c.target_speedup = 0.0
    q = Quendar(c)
    q.update("up", Store(FunctionMetrics(compile_count=1, avg_speedup=0.8)))
    q.update("down", Store(FunctionMetrics(compile_count=1, avg_speedup=1.5)))
    assert (q.get_threshold("up"), q.get_threshold("down")) == (109, 91)


def test_update_clamps_to_crossed_bounds_lower_first():
    c = PolicyConfig()
    c.min_threshold, c.max_threshold = 500, 50
    q = Quendar(c)
    q.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert q.get_threshold("f") == 500


@pytest.mark.parametrize("rate", [float("nan"), float("inf")])
def test_update_with_nan_step_keeps_threshold(rate):
    c = PolicyConfig()
    c.learning_rate = rate
    q = Quendar(c)
    q.update("f", Store(FunctionMetrics(compile_count=10, avg_speedup=3.0)))  # inf * 0.0 is NaN
    assert q.get_threshold("f") == 100


def test_update_logs_even_when_logger_debug_is_replaced(monkeypatch):
    seen = []
    quendar.logger.debug = seen.append  # the level stays above DEBUG
    try:
        Quendar().update("f", Store(FunctionMetrics(compile_count=10, avg_speedup=1.0)))
    finally:
        del quendar.logger.debug
    assert seen == ["Updated threshold for f: 100 -> 100 (speedup: 1.00x)"]
    monkeypatch.setattr(logging.Logger, "debug", lambda self, msg: seen.append((self.name, msg)))
    Quendar().update("g", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert seen[-1] == ("korvane.jit.quendar", "Updated threshold for g: 100 -> 91 (speedup: 3.00x)")
    monkeypatch.undo()
    monkeypatch.setattr(quendar, "logger", types.SimpleNamespace(debug=seen.append))
    Quendar().update(None, Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert seen[-1] == "Updated threshold for None: 100 -> 91 (speedup: 3.00x)"
    monkeypatch.undo()
    quendar.logger.disabled = True
    try:
        Quendar().update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    finally:
        quendar.logger.disabled = False
    assert len(seen) == 3


def test_update_logs_through_caplog(caplog):
    caplog.set_level(logging.DEBUG, logger="korvane.jit.quendar")
    Quendar().update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("korvane.jit.quendar", logging.DEBUG, "Updated threshold for f: 100 -> 91 (speedup: 3.00x)")]


finite = st.floats(allow_nan=False, allow_infinity=False)
i32 = st.integers(-2**31, I32_MAX)


@settings(max_examples=300, deadline=None)
@given(initial=i32, lo=i32, hi=i32,
       rate=st.one_of(st.floats(0.0, 1.0), st.floats()),
       target=st.one_of(st.floats(0.0, 10.0), st.floats()),
       steps=st.lists(st.tuples(st.sampled_from(["a", "b", None]), st.one_of(st.floats(0.0, 8.0), st.floats()),
                                st.integers(0, 14)), max_size=20))
def test_random_trajectories_follow_the_formula(initial, lo, hi, rate, target, steps):
    c = PolicyConfig()
    c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup = \
        initial, lo, hi, rate, target
    q = Quendar(c)
    messages = []
    logger = quendar.logger
    old_debug = logger.__dict__.get("debug")
    logger.debug = messages.append
    try:
        expected = {}
        for func_id, speedup, compiles in steps:
            q.update(func_id, Store(FunctionMetrics(compile_count=compiles, avg_speedup=speedup)))
            if compiles:
                cur = expected.get(func_id, initial)
                expected[func_id] = model_update(cur, speedup, compiles, rate, target, lo, hi)
                assert messages.pop() == (f"Updated threshold for {func_id}: {cur} -> {expected[func_id]} "
                                          f"(speedup: {speedup:.2f}x)")
            assert q.get_threshold(func_id) == expected.get(func_id, initial)
        assert not messages
        stats = q.get_statistics()
        if expected:
            values = list(expected.values())
            assert stats == {"tracked_functions": len(values), "avg_threshold": sum(values) / len(values),
                             "min_threshold": min(values), "max_threshold": max(values)}
    finally:
        del logger.debug
        if old_debug is not None:
            logger.debug = old_debug


# --------------------------------------------- store failures and the lock

@pytest.mark.parametrize("record, exc, message", [
    (None, AttributeError, "call_count"),
    (Record(compile_count=1, avg_speedup=1.0), AttributeError, "call_count"),
    (Record(call_count=-1, compile_count=1, avg_speedup=1.0), OverflowError, "can't convert negative value to uint64_t"),
    (Record(call_count=1, compile_count=-1, avg_speedup=1.0), OverflowError, "can't convert negative value to uint32_t"),
    (Record(call_count=1, compile_count=2**32, avg_speedup=1.0), OverflowError, "value too large to convert to uint32_t"),
    (Record(call_count="1", compile_count=1, avg_speedup=1.0), TypeError, "an integer is required"),
    (Record(call_count=1, compile_count=1, avg_speedup=None), TypeError, "must be real number"),
    (Record(call_count=1, compile_count=1, avg_speedup=1.0, last_compiled="t"), TypeError, "must be real number"),
])
def test_should_compile_record_errors(recording_threading, record, exc, message):
    q = Quendar()
    with pytest.raises(exc, match=message):
        q.should_compile("f", Store(record))
    assert not recording_threading[0].held
    assert q.should_compile("f", Store(FunctionMetrics(call_count=100)))


@pytest.mark.parametrize("record, exc, message", [
    (None, AttributeError, "compile_count"),
    (Record(compile_count=1), AttributeError, "avg_speedup"),
    (Record(compile_count=-1, avg_speedup=1.0), OverflowError, "can't convert negative value to uint32_t"),
    (Record(compile_count=2**32, avg_speedup=1.0), OverflowError, "value too large to convert to uint32_t"),
    (Record(compile_count="1", avg_speedup=1.0), TypeError, "an integer is required"),
])
def test_update_record_errors(recording_threading, debug_log, record, exc, message):
    q = Quendar()
    with pytest.raises(exc, match=message):
        q.update("f", Store(record))
    assert not recording_threading[0].held
    assert q.get_statistics()["tracked_functions"] == 0 and debug_log == []
    q.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert q.get_threshold("f") == 91


def test_store_exception_releases_lock_and_policy_stays_usable(debug_log):
    class Failing:
        def get_metrics(self, func_id):
            raise RuntimeError("store down")

    q = Quendar()
    for call in (q.should_compile, q.update):
        with pytest.raises(RuntimeError, match="store down"):
            call("f", Failing())
    q.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))  # would deadlock if still held
    assert q.get_threshold("f") == 91 and len(debug_log) == 1


def test_store_is_read_under_the_policy_lock(recording_threading):
    q = Quendar()
    lock = recording_threading[0]

    class Checking:
        def get_metrics(self, func_id):
            assert lock.held
            return FunctionMetrics(call_count=500, compile_count=1, avg_speedup=3.0)

    assert q.should_compile("f", Checking()) is True
    q.update("f", Checking())
    assert q.get_threshold("f") == 91 and q.get_statistics()["tracked_functions"] == 1
    assert lock.entries == 4 and not lock.held


def test_store_called_once_with_func_id_positionally():
    calls = []

    class Strict:
        def get_metrics(self, func_id, *rest, **kw):
            calls.append((func_id, rest, kw))
            return FunctionMetrics(compile_count=1)

    q = Quendar()
    q.should_compile("f", Strict())
    q.update(None, Strict())
    assert calls == [("f", (), {}), (None, (), {})]


def test_threads_share_one_policy_and_one_store():
    record = FunctionMetrics(call_count=50, compile_count=1, avg_speedup=3.0)
    store_lock = threading.Lock()

    class SharedStore:
        def get_metrics(self, func_id):
            with store_lock:
                return record

    q, store = Quendar(), SharedStore()
    per_thread, threads = 20, 6
    errors = []
    barrier = threading.Barrier(threads)

    def work(n):
        try:
            barrier.wait()
            for _ in range(per_thread):
                q.update("shared", store)
                q.update(f"own{n}", store)
                q.should_compile("shared", store)
                q.get_statistics()
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        ts = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors

    def after(k):
        t = 100
        for _ in range(k):
            t = model_update(t, 3.0, 1, 0.1, 2.0, 10, 10000)
        return t

    assert q.get_threshold("shared") == after(per_thread * threads)  # no update was lost
    assert all(q.get_threshold(f"own{n}") == after(per_thread) for n in range(threads))
    assert q.get_statistics()["tracked_functions"] == threads + 1


THREAD_SECONDS = 0.3


def test_threads_write_config_and_metrics_while_the_policy_reads_them():
    config = PolicyConfig(initial_threshold=100, min_threshold=10, max_threshold=1000)
    record = FunctionMetrics(call_count=50, compile_count=1, avg_speedup=3.0)
    q, store = Quendar(config), Store(record)
    flip = iter(range(2**62))

    def write():
        n = next(flip)
        config.min_threshold, config.max_threshold = (20, 900) if n % 2 else (10, 1000)
        config.learning_rate = config.target_speedup = 0.5 + n % 2
        record.call_count, record.compile_count, record.avg_speedup = n, n % 3, 0.5 + n % 4
        record.last_compiled = float(n)

    def read():
        q.update("f", store)
        assert q.should_compile("f", store) in (True, False)
        assert 10 <= q.get_threshold("f") <= 1000
        stats = q.get_statistics()
        assert 10 <= stats["min_threshold"] <= stats["max_threshold"] <= 1000

    concurrently(THREAD_SECONDS, write, read, read)


def test_threads_learned_thresholds_changed_through_the_referents():
    q = Quendar()
    thresholds = next(o for o in gc.get_referents(q) if type(o) is dict)

    class Threshold(int):
        pass

    def meddle():
        for i in range(20):
            thresholds[f"f{i}"] = Threshold(10**6 + i)
        thresholds.clear()

    def read():
        assert q.get_threshold("f1") in (100, 10**6 + 1)
        stats = q.get_statistics()
        assert stats["tracked_functions"] == 0 or stats["min_threshold"] >= 10**6

    concurrently(THREAD_SECONDS, meddle, read, read)


def test_threads_time_function_replaced_while_deciding(monkeypatch):
    clock = types.ModuleType("time")
    clock.time = lambda: 0.0
    monkeypatch.setattr(quendar, "time", clock)
    q, store = Quendar(), Store(FunctionMetrics(call_count=500, compile_count=1))

    def replace():
        clock.time = lambda: 600.0

    def decide():
        assert q.should_compile("f", store) in (True, False)

    concurrently(THREAD_SECONDS, replace, decide, decide)


# ----------------------------------------------------- process-wide policy

def test_get_quendar_and_reset():
    reset_quendar()
    first = get_quendar()
    assert type(first) is Quendar and get_quendar() is first
    first.update("f", Store(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert reset_quendar() is None
    second = get_quendar()
    assert second is not first and second.get_statistics()["tracked_functions"] == 0
    assert first.get_threshold("f") == 91


def test_get_quendar_takes_policy_lock_looked_up_at_call_time(monkeypatch):
    lock = RecordingLock()
    monkeypatch.setattr(quendar, "_policy_lock", lock)
    get_quendar()
    reset_quendar()
    assert lock.entries == 2 and not lock.held


def test_get_quendar_failure_leaves_no_instance(monkeypatch):
    reset_quendar()

    def broken():
        raise RuntimeError("no locks today")

    monkeypatch.setattr(quendar, "threading", types.SimpleNamespace(Lock=broken))
    with pytest.raises(RuntimeError, match="no locks today"):
        get_quendar()
    monkeypatch.undo()
    assert type(get_quendar()) is Quendar  # _policy_lock was released, a fresh policy is made


def test_threads_get_and_reset_with_a_policy_lock_that_excludes_nothing(monkeypatch):
    monkeypatch.setattr(quendar, "_policy_lock", OpenLock())

    def use():
        assert type(get_quendar()) is Quendar
        reset_quendar()

    concurrently(THREAD_SECONDS, use, use, use)
    assert get_quendar() is get_quendar()


# --------------------------------------------------------- memory and GC

def test_cycle_through_config_is_collected():
    class Config(PolicyConfig):
        pass

    c = Config()
    q = Quendar(c)
    c.policy = q
    ref = weakref.ref(c)
    del c, q
    gc.collect()
    assert ref() is None


def test_no_reference_leaks():
    record = FunctionMetrics(call_count=500, compile_count=1, avg_speedup=3.0)
    plain = Record(call_count=500, compile_count=1, avg_speedup=3.0, last_compiled=1.0)
    func_id = "leak-check-" + str(id(record))
    q = Quendar()

    def cycle():
        for rec in (record, plain):
            q.should_compile(func_id, Store(rec))
            q.update(func_id, Store(rec))
            q.get_threshold(func_id)
            q.get_statistics()
        with pytest.raises(AttributeError):
            q.update(func_id, Store(None))

    cycle()
    before = (sys.getrefcount(record), sys.getrefcount(plain), sys.getrefcount(func_id))
    for _ in range(200):
        cycle()
    assert (sys.getrefcount(record), sys.getrefcount(plain), sys.getrefcount(func_id)) == before
