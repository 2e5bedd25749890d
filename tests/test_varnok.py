"""korvane.memory.varnok: counters, object slot, stack, statistics, timer."""

import copy
import ctypes
import decimal
import gc
import pickle
import sys
import threading
import time
import types
import weakref
from fractions import Fraction

import pytest

from korvane.memory import varnok
from korvane.memory.varnok import (AtomicCounter, AtomicCounterWrapper, AtomicPointer, LockFreeStack,
                                   LockFreeStatistics, PerformanceTimer)

I64_MAX = 2**63 - 1
I64_MIN = -2**63
TYPES = [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer]
PUBLIC = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
          "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
          "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"]


# ------------------------------------------------------------------ module

def test_namespace_in_binding_order():
    names = [n for n in vars(varnok) if not n.startswith("__")]
    assert names == ["AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics", "PerformanceTimer",
                     "threading", "time", "Generic", "Optional", "TypeVar", "AtomicCounterWrapper", "logging",
                     "logger", "CYTHON_ATOMICS_AVAILABLE"]
    import logging
    import typing
    assert varnok.threading is threading and varnok.time is time and varnok.logging is logging
    assert (varnok.Generic, varnok.Optional, varnok.TypeVar) == (typing.Generic, typing.Optional, typing.TypeVar)
    assert varnok.logger is logging.getLogger("korvane.memory.varnok")
    assert varnok.CYTHON_ATOMICS_AVAILABLE is True


def test_load_message_once_per_process(subprocess_python):
    out = subprocess_python("""
        import importlib, logging, sys
        records = []
        class H(logging.Handler):
            def emit(self, r): records.append((r.name, r.levelname, r.getMessage(), r.args))
        logging.getLogger().addHandler(H()); logging.getLogger().setLevel(logging.DEBUG)
        import korvane.memory.varnok as first
        del sys.modules["korvane.memory.varnok"]
        second = importlib.import_module("korvane.memory.varnok")
        assert first is second
        print(records)
    """)
    assert out.stdout.strip() == repr([("korvane.memory.varnok", "INFO",
                                        "Korvane Cython Varnok loaded - C11 atomics active (10-20× speedup)", ())])


# ----------------------------------------------------------- AtomicCounter

def test_counter_operations():
    assert AtomicCounter().load() == 0
    c = AtomicCounter(initial_value=5)
    assert c.increment() == 6
    assert c.decrement(2) == 4
    assert c.fetch_and_add(10) == 4 and c.load() == 14
    assert c.compare_and_swap(14, 20) is True and c.load() == 20
    assert c.compare_and_swap(14, 30) is False and c.load() == 20
    assert c.increment(-3) == 17 and c.decrement(3) == 14
    assert c.fetch_and_add(0) == 14
    assert c.store(-7) is None and c.load() == -7
    assert c.compare_and_swap(expected=-7, new_value=I64_MIN) is True and c.load() == I64_MIN


@pytest.mark.parametrize("start, call, result, after", [
    (I64_MAX, ("increment",), I64_MIN, I64_MIN),
    (I64_MIN, ("decrement",), I64_MAX, I64_MAX),
    (I64_MAX, ("fetch_and_add", 1), I64_MAX, I64_MIN),
    (I64_MIN, ("fetch_and_add", -1), I64_MIN, I64_MAX),
    (-1, ("increment", I64_MIN), I64_MAX, I64_MAX),
    (0, ("decrement", I64_MIN), I64_MIN, I64_MIN),     # -INT64_MIN is INT64_MIN itself
    (5, ("decrement", I64_MIN), I64_MIN + 5, I64_MIN + 5),
    (I64_MAX, ("increment", I64_MAX), -2, -2),
    (I64_MIN, ("decrement", I64_MAX), 1, 1),
])
def test_counter_wraps_modulo_2_64(start, call, result, after):
    c = AtomicCounter(start)
    assert getattr(c, call[0])(*call[1:]) == result
    assert c.load() == after


@pytest.mark.parametrize("value, expected", [
    (3.9, 3), (-3.9, -3), (True, 1), (False, 0), (decimal.Decimal("7.9"), 7), (I64_MIN, I64_MIN),
    (2**62 + 0.0, 2**62), (type("I", (int,), {})(42), 42),
])
def test_counter_converts_through_int(value, expected):
    assert AtomicCounter(value).load() == expected
    c = AtomicCounter()
    c.store(value)
    assert c.load() == expected
    assert AtomicCounter(1).increment(value) == 1 + expected


@pytest.mark.parametrize("bad, error, message", [
    ("5", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (object(), TypeError, "an integer is required"),
    (2**63, OverflowError, None),
    (-2**63 - 1, OverflowError, None),
    (1e19, OverflowError, None),
    (float("nan"), ValueError, None),
])
def test_counter_refuses_bad_values_and_changes_nothing(bad, error, message):
    with pytest.raises(error) as info:
        AtomicCounter(bad)
    if message:
        assert str(info.value) == message
    c = AtomicCounter(11)
    for call in (lambda: c.store(bad), lambda: c.increment(bad), lambda: c.decrement(bad),
                 lambda: c.fetch_and_add(bad), lambda: c.compare_and_swap(11, bad), lambda: c.compare_and_swap(bad, 0)):
        with pytest.raises(error):
            call()
        assert c.load() == 11


def test_counter_aliases_are_the_same_functions():
    d = vars(AtomicCounter)
    for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        assert d["py_" + name] is d[name]
    c = AtomicCounter()
    c.py_increment(5)
    c.increment(2)
    assert c.py_load() == c.load() == 7


def test_counter_methods_describe_themselves():
    expected = {
        "load": ("Atomically load value.", {"return": "int"}),
        "store": ("Atomically store value.", {}),
        "increment": ("Atomically increment and return new value.", {"return": "int"}),
        "decrement": ("Atomically decrement and return new value.", {"return": "int"}),
        "compare_and_swap": ("Atomically compare and swap.", {"return": "bool"}),
        "fetch_and_add": ("Atomically fetch and add.", {"return": "int"}),
    }
    for name, (doc, annotations) in expected.items():
        f = vars(AtomicCounter)[name]
        assert (f.__name__, f.__qualname__, f.__doc__, f.__annotations__) == (
            name, "AtomicCounter." + name, doc, annotations)
    assert "increment() under 30 ns" in AtomicCounter.__doc__


def test_counter_eight_threads():
    c = AtomicCounter()
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        inc = c.increment
        for _ in range(100_000):
            inc()

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.load() == 800_000


def test_compare_and_swap_under_contention_loses_no_update():
    c = AtomicCounter()

    def work():
        for _ in range(5_000):
            while True:
                v = c.load()
                if c.compare_and_swap(v, v + 1):
                    break

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.load() == 20_000


# ---------------------------------------------------- AtomicCounterWrapper

def test_wrapper_delegates_to_its_counter():
    assert AtomicCounterWrapper(2.7).load() == 2
    w = AtomicCounterWrapper()
    assert type(w._counter) is AtomicCounter and vars(w) == {"_counter": w._counter}
    assert w.increment() == 1 and w.increment(4) == 5 and w.decrement() == 4
    assert w.fetch_and_add(delta=3) == 4
    assert w.store(7) is None and w.load() == 7
    assert w.compare_and_swap(7, 9) is True and w.compare_and_swap(7, 1) is False and w.load() == 9
    assert AtomicCounterWrapper(True).load() == 1
    assert AtomicCounterWrapper(decimal.Decimal("-3.5")).load() == -3
    assert type(AtomicCounterWrapper) is type and AtomicCounterWrapper.__bases__ == (object,)
    assert AtomicCounterWrapper.__module__ == "korvane.memory.varnok"
    assert AtomicCounterWrapper.__doc__ == "Python wrapper for Cython AtomicCounter (backward compatibility)."


@pytest.mark.parametrize("call, message", [
    (lambda: AtomicCounterWrapper("1"), "Argument 'initial_value' has incorrect type (expected int, got str)"),
    (lambda: AtomicCounterWrapper(None), "Argument 'initial_value' has incorrect type (expected int, got NoneType)"),
    (lambda: AtomicCounterWrapper().store(None), "Argument 'value' has incorrect type (expected int, got NoneType)"),
    (lambda: AtomicCounterWrapper().increment([]), "Argument 'delta' has incorrect type (expected int, got list)"),
    (lambda: AtomicCounterWrapper().compare_and_swap(0, "x"),
     "Argument 'new_value' has incorrect type (expected int, got str)"),
    (lambda: AtomicCounterWrapper().fetch_and_add(), "fetch_and_add() takes exactly 2 positional arguments (1 given)"),
])
def test_wrapper_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_wrapper_out_of_range_fails_in_the_counter():
    with pytest.raises(OverflowError):
        AtomicCounterWrapper(2**63)
    w = AtomicCounterWrapper(1)
    with pytest.raises(OverflowError):
        w.increment(2.0**64)
    assert w.load() == 1


class FakeCounter:
    def __init__(self, result):
        self.result, self.calls = result, []

    def __getattr__(self, name):
        def method(*args):
            self.calls.append((name, args))
            return self.result
        return method


@pytest.mark.parametrize("result, expected", [(None, None), (5, 5), (2.9, 2), (True, 1)])
def test_wrapper_checks_int_results(result, expected):
    w = AtomicCounterWrapper()
    w._counter = FakeCounter(result)
    got = w.increment(3)
    assert got == expected and type(got) is type(expected)
    assert w._counter.calls == [("py_increment", (3,))]
    assert w.store(8) is None                      # store's result is discarded


def test_wrapper_result_check_and_compare_and_swap_passthrough():
    w = AtomicCounterWrapper()
    w._counter = FakeCounter("text")
    for call in (w.load, w.increment, w.decrement, lambda: w.fetch_and_add(1)):
        with pytest.raises(TypeError, match=r"^Expected int, got str$"):
            call()
    assert w.compare_and_swap(1, 2) == "text"      # not annotated int: unchanged
    assert ("py_compare_and_swap", (1, 2)) in w._counter.calls


def test_wrapper_calls_a_counter_subclass_through_its_py_names():
    class Counter(AtomicCounter):                  # the wrapper's own counters take a shortcut; this one may not
        def py_increment(self, delta):
            return super().py_increment(delta * 10)

    w = AtomicCounterWrapper()
    w._counter = Counter(1)
    assert w.increment(2) == 21 and w.load() == 21


def test_wrapper_pickling_fails_through_its_counter():
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(AtomicCounterWrapper(3))


# ----------------------------------------------------------- AtomicPointer

def test_pointer_load_store_version():
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    obj = object()
    assert p.store(obj) is None
    assert p.load() is obj and p.get_version() == 1
    p.store(None)
    assert p.load() is None and p.get_version() == 2
    assert AtomicPointer(initial_value=obj).load() is obj and AtomicPointer(obj).get_version() == 0


def test_pointer_compare_and_swap_by_identity():
    x, y = object(), object()
    p = AtomicPointer(x)
    assert p.compare_and_swap(x, y) is True and p.load() is y and p.get_version() == 1
    assert p.compare_and_swap(x, y) is False and p.load() is y and p.get_version() == 1
    empty = AtomicPointer()
    assert empty.compare_and_swap(None, y) is True and empty.load() is y
    assert empty.compare_and_swap(None, x) is False and empty.load() is y
    big = AtomicPointer(10**6)
    assert big.compare_and_swap(int("1000000"), 0) is False and big.get_version() == 0
    assert big.compare_and_swap(big.load(), None) is True and big.load() is None


def test_pointer_reference_counts():
    obj, other = object(), object()
    base = sys.getrefcount(obj)
    p = AtomicPointer()
    p.store(obj)
    assert sys.getrefcount(obj) == base + 1
    p.store(obj)                                   # the same object again
    assert sys.getrefcount(obj) == base + 1 and p.get_version() == 2
    assert p.compare_and_swap(obj, obj) is True
    assert sys.getrefcount(obj) == base + 1 and p.get_version() == 3
    assert p.compare_and_swap(other, obj) is False  # failed swap drops its new reference
    assert sys.getrefcount(obj) == base + 1
    p.store(other)
    assert sys.getrefcount(obj) == base
    q = AtomicPointer(obj)
    assert sys.getrefcount(obj) == base + 1
    del q
    assert sys.getrefcount(obj) == base


class Probe:
    """A finaliser that records what it can see when it runs."""
    def __init__(self, log, target=None):
        self.log, self.target = log, target

    def __del__(self):
        self.log.append(self.target.load() if self.target is not None else "gone")


def test_pointer_releases_the_old_object_after_the_lock():
    log = []
    p = AtomicPointer()
    p.store(Probe(log, p))
    p.store("next")                   # the finaliser calls p.load(): would deadlock under the lock
    assert log == ["next"]
    p.store(Probe(log, p))
    assert p.compare_and_swap(p.load(), None) is True
    assert log == ["next", None]


@pytest.mark.parametrize("make, put", [(AtomicPointer, "store"), (LockFreeStack, "push")])
def test_pointer_and_stack_cycles_are_collected(make, put):
    class Node:
        pass

    holder, node = make(), Node()
    node.holder = holder
    getattr(holder, put)(node)
    ref = weakref.ref(node)
    del node, holder
    gc.collect()
    assert ref() is None


class RecordingLock:
    def __init__(self, log, fail_enter=False, fail_exit=False):
        self.log, self.fail_enter, self.fail_exit = log, fail_enter, fail_exit

    def __enter__(self):
        self.log.append("enter")
        if self.fail_enter:
            raise KeyError("enter")
        return self

    def __exit__(self, *args):
        self.log.append(("exit",) + args)
        if self.fail_exit:
            raise KeyError("exit")
        return False


@pytest.fixture
def lock_factory(monkeypatch):
    """Replaces the module's `threading` with one whose Lock() records its use."""
    made = []

    def factory(**kw):
        log = []
        fake = types.SimpleNamespace(Lock=lambda: made.append(RecordingLock(log, **kw)) or made[-1])
        monkeypatch.setattr(varnok, "threading", fake)
        return log

    return factory


def test_holders_take_their_lock_as_a_with_block(lock_factory):
    log = lock_factory()
    p, s = AtomicPointer(1), LockFreeStack()
    p.load(), p.store(2), p.compare_and_swap(2, 3), p.get_version()
    s.push(1), s.pop(), s.is_empty()
    assert log == ["enter", ("exit", None, None, None)] * 7
    s.size()                                       # lock-free
    assert len(log) == 14


def test_holder_lock_errors_propagate_and_change_nothing(lock_factory):
    lock_factory(fail_enter=True)
    obj = object()
    base = sys.getrefcount(obj)
    p, s = AtomicPointer(), LockFreeStack()
    for call in (lambda: p.store(obj), lambda: p.compare_and_swap(None, obj), p.load, lambda: s.push(obj), s.pop):
        with pytest.raises(KeyError, match="enter"):
            call()
    assert sys.getrefcount(obj) == base and s.size() == 0


def test_holder_exit_error_after_the_change(lock_factory):
    lock_factory(fail_exit=True)
    obj = object()
    base = sys.getrefcount(obj)
    s = LockFreeStack()
    with pytest.raises(KeyError, match="exit"):
        s.push(obj)
    assert s.size() == 1
    with pytest.raises(KeyError, match="exit"):
        s.pop()                                    # popped; the item is released, not leaked
    assert s.size() == 0 and sys.getrefcount(obj) == base


# ----------------------------------------------------------- LockFreeStack

def test_stack_lifo():
    s = LockFreeStack()
    assert s.pop() is None and s.is_empty() is True and s.size() == 0
    for i in (1, 2, 3):
        s.push(i)
    sizes, items = [], []
    while not s.is_empty():
        items.append(s.pop())
        sizes.append(s.size())
    assert items == [3, 2, 1] and sizes == [2, 1, 0] and s.pop() is None
    s.push(None)
    assert s.size() == 1 and s.is_empty() is False and s.pop() is None and s.size() == 0
    assert LockFreeStack(1, 2, key="ignored").size() == 0


def test_stack_reference_counts():
    items = [object() for _ in range(3)]
    base = [sys.getrefcount(o) for o in items]
    s = LockFreeStack()
    for i in range(3):
        s.push(items[i])
    assert [sys.getrefcount(o) for o in items] == [b + 1 for b in base]
    popped = s.pop()
    assert popped is items[-1] and sys.getrefcount(popped) == base[-1] + 1   # ours, held by `popped`
    del popped
    del s
    assert [sys.getrefcount(o) for o in items] == base


def test_stack_releases_items_top_to_bottom():
    log = []

    class Item:
        def __init__(self, n):
            self.n = n

        def __del__(self):
            log.append(self.n)

    s = LockFreeStack()
    for n in range(4):
        s.push(Item(n))
    del s
    assert log == [3, 2, 1, 0]


def test_deep_stacks_and_nesting_deallocate_without_recursion():
    s = LockFreeStack()
    for i in range(300_000):
        s.push(i)
    del s
    # Holders nested in holders: each dies while its container is dying.
    for make in (lambda inner: (lambda h: (h.push(inner), h)[1])(LockFreeStack()),
                 lambda inner: AtomicPointer(inner)):
        top = None
        for _ in range(100_000):
            top = make(top)
        del top


def test_stack_four_pushers_four_poppers():
    s = LockFreeStack()
    popped = [[] for _ in range(4)]
    barrier = threading.Barrier(8)

    def pusher(k):
        barrier.wait()
        for i in range(10_000):
            s.push((k, i))

    def popper(out):
        barrier.wait()
        while len(out) < 10_000:
            item = s.pop()
            if item is not None:
                out.append(item)

    threads = [threading.Thread(target=pusher, args=(k,)) for k in range(4)]
    threads += [threading.Thread(target=popper, args=(out,)) for out in popped]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    everything = [item for out in popped for item in out]
    assert len(everything) == 40_000 and set(everything) == {(k, i) for k in range(4) for i in range(10_000)}
    assert s.size() == 0 and s.is_empty()


# ------------------------------------------------------ LockFreeStatistics

def snapshot_ints(s):
    snap = s.get_snapshot()
    return {k: v for k, v in snap.items() if isinstance(v, int)}


def test_fresh_statistics():
    snap = LockFreeStatistics("ignored", key=1).get_snapshot()
    assert list(snap) == ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                          "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
                          "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes",
                          "average_allocation_time_ns", "average_deallocation_time_ns", "allocation_mode"]
    assert all(v == 0 for v in snapshot_ints(LockFreeStatistics()).values())
    assert snap["bucketed_allocation_ratio"] == "0.0%"
    assert snap["average_allocation_time_ns"] == 0.0 and type(snap["average_allocation_time_ns"]) is float
    assert snap["average_deallocation_time_ns"] == 0.0 and snap["allocation_mode"] == "lock-free C11 atomics"
    s = LockFreeStatistics()
    assert [type(getattr(s, n)) for n in PUBLIC] == [AtomicCounter] * 12
    assert len({id(getattr(s, n)) for n in PUBLIC}) == 12


def test_recording_and_snapshot():
    s = LockFreeStatistics()
    assert s.record_allocation(100) is None
    s.record_allocation(50, False, 8, 200)
    assert s.record_deallocation(100, 40) is None
    assert s.get_snapshot() == {
        "total_allocations": 2, "total_deallocations": 1, "current_allocations": 1, "bytes_allocated": 50,
        "bytes_reserved": 0, "peak_allocations": 2, "peak_bytes_allocated": 150, "bucketed_allocations": 1,
        "fallback_allocations": 1, "bucketed_allocation_ratio": "50.0%", "alignment_padding_bytes": 8,
        "average_allocation_time_ns": 100.0, "average_deallocation_time_ns": 40.0,
        "allocation_mode": "lock-free C11 atomics"}
    assert s.total_allocation_time_ns.load() == 200 and s.total_deallocation_time_ns.load() == 40


def test_recording_details():
    s = LockFreeStatistics()
    s.record_allocation(10, padding=-4, time_ns=0)
    s.record_allocation(10, False, time_ns=-5)
    s.record_allocation(10.9, [], 0)                 # int() for size; truth value for is_bucketed
    snap = s.get_snapshot()
    assert snap["alignment_padding_bytes"] == 0 and s.total_allocation_time_ns.load() == 0
    assert snap["bucketed_allocation_ratio"] == "33.3%" and snap["bytes_allocated"] == 30
    for _ in range(3):
        s.record_deallocation(20)
    snap = s.get_snapshot()
    assert snap["current_allocations"] == 0 and snap["bytes_allocated"] == -30
    assert snap["peak_allocations"] == 3 and snap["peak_bytes_allocated"] == 30
    s.record_deallocation(1)
    assert s.get_snapshot()["current_allocations"] == -1


def test_native_recorders_touch_three_public_counters():
    s = LockFreeStatistics()
    assert s.py_record_allocation(64, True) is None
    assert snapshot_ints(s) == dict.fromkeys(snapshot_ints(s), 0) | {
        "total_allocations": 1, "current_allocations": 1, "bytes_allocated": 64}
    s.py_record_allocation(size=36, is_bucketed=0, padding=4, time_ns=9)
    assert s.py_record_deallocation(100, time_ns=3) is None
    ints = snapshot_ints(s)
    assert ints == dict.fromkeys(ints, 0) | {"total_allocations": 2, "current_allocations": 1,
                                              "total_deallocations": 1, "bytes_allocated": 0}
    assert s.py_record_allocation.__name__ == "record_allocation"
    assert s.py_record_deallocation.__name__ == "record_deallocation"
    assert vars(LockFreeStatistics)["py_record_allocation"] is not vars(LockFreeStatistics)["record_allocation"]


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.py_record_allocation(64), TypeError,
     "record_allocation() takes at least 2 positional arguments (1 given)"),
    (lambda s: s.py_record_deallocation(), TypeError,
     "record_deallocation() takes at least 1 positional argument (0 given)"),
    (lambda s: s.record_allocation("1"), TypeError, "Argument 'size' has incorrect type (expected int, got str)"),
    (lambda s: s.py_record_allocation(1, True, None), TypeError,
     "Argument 'padding' has incorrect type (expected int, got NoneType)"),
    (lambda s: s.py_record_allocation(1, True, 0, "9"), TypeError,
     "Argument 'time_ns' has incorrect type (expected int, got str)"),
    (lambda s: s.record_deallocation(1, b""), TypeError,
     "Argument 'time_ns' has incorrect type (expected int, got bytes)"),
    (lambda s: s._update_peaks(1, None), TypeError,
     "Argument 'current_bytes' has incorrect type (expected int, got NoneType)"),
    (lambda s: s.py_record_allocation(2**63, True), OverflowError, None),
    (lambda s: s.py_record_allocation(1, True, 0, 2**64), OverflowError, None),
    (lambda s: s.py_record_deallocation(-2**63 - 1), OverflowError, None),
])
def test_statistics_bad_arguments_change_nothing(call, error, message):
    s = LockFreeStatistics()
    with pytest.raises(error) as info:
        call(s)
    if message:
        assert str(info.value) == message
    assert all(v == 0 for v in snapshot_ints(s).values())


def test_bad_truth_value_raises_before_any_change():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    s = LockFreeStatistics()
    for call in (s.record_allocation, s.py_record_allocation):
        with pytest.raises(ZeroDivisionError):
            call(1, Bad())
    assert all(v == 0 for v in snapshot_ints(s).values())


def test_record_allocation_updates_one_call_at_a_time():
    s = LockFreeStatistics()
    with pytest.raises(OverflowError):
        s.record_allocation(2**63)                 # rejected by bytes_allocated.increment
    ints = snapshot_ints(s)
    assert ints == dict.fromkeys(ints, 0) | {"total_allocations": 1, "current_allocations": 1}


def test_peaks_only_grow():
    s = LockFreeStatistics()
    assert s._update_peaks(5, 500) is None
    s._update_peaks(3, 900.5)
    s._update_peaks(current_allocs=True, current_bytes=-1)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 900)


def test_reset_zeroes_all_twelve_public_counters():
    s = LockFreeStatistics()
    s.record_allocation(100, False, 8, 50)
    s.record_allocation(100, True, 8, 50)
    s.record_deallocation(10, 5)
    s.py_record_allocation(7, True, 1, 1)
    s.bytes_reserved.store(99)
    assert s.reset() is None
    assert [getattr(s, n).load() for n in PUBLIC] == [0] * 12
    snap = s.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == "0.0%" and snap["average_allocation_time_ns"] == 0.0
    s.record_allocation(10, time_ns=30)
    assert s.get_snapshot()["average_allocation_time_ns"] == 30.0   # no stale time total


def test_reset_holds_the_update_lock(lock_factory):
    log = lock_factory()
    s = LockFreeStatistics()
    assert log == []
    s.record_allocation(1), s.get_snapshot()       # recording and snapshots take no lock
    assert log == []
    s.reset()
    assert log == ["enter", ("exit", None, None, None)]


class StandIn:
    """Any object with the counter methods can replace a public counter."""
    def __init__(self, value=0):
        self.value, self.calls = value, []

    def increment(self, delta=1):
        self.calls.append(("increment", delta))
        self.value += delta
        return self.value

    def decrement(self, delta=1):
        self.calls.append(("decrement", delta))
        self.value -= delta
        return self.value

    def load(self):
        self.calls.append(("load",))
        return self.value

    def store(self, value):
        self.calls.append(("store", value))
        self.value = value

    def compare_and_swap(self, expected, new_value):
        self.calls.append(("compare_and_swap", expected, new_value))
        if self.value == expected:
            self.value = new_value
            return True
        return False


def test_public_counters_are_replaceable():
    s = LockFreeStatistics()
    s.peak_allocations, s.bytes_allocated, s.bytes_reserved = StandIn(), StandIn(), StandIn(decimal.Decimal(4))
    s.record_allocation(64)
    assert s.peak_allocations.calls == [("load",), ("compare_and_swap", 0, 1)]
    assert s.bytes_allocated.calls == [("increment", 64), ("load",)]
    s.py_record_deallocation(4)
    assert s.bytes_allocated.calls[-1] == ("decrement", 4)
    snap = s.get_snapshot()
    assert snap["bytes_reserved"] == decimal.Decimal(4) and snap["bytes_allocated"] == 60
    s.reset()
    assert s.bytes_reserved.calls[-1] == ("store", 0)
    del s.total_allocations
    assert s.total_allocations is None
    with pytest.raises(AttributeError):
        s.record_allocation(1)
    with pytest.raises(AttributeError):
        s.get_snapshot()


def test_snapshot_arithmetic_is_python_arithmetic():
    s = LockFreeStatistics()
    s.total_allocations, s.bucketed_allocations = StandIn(8), StandIn(Fraction(1))
    s.total_allocation_time_ns = StandIn(decimal.Decimal(2))
    snap = s.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == "12.5%"
    assert snap["average_allocation_time_ns"] == decimal.Decimal("0.25")
    s.total_allocations = StandIn(3)
    s.bucketed_allocations = StandIn(2)
    assert s.get_snapshot()["bucketed_allocation_ratio"] == f"{2 / 3 * 100.0:.1f}%"


def test_subclass_override_of_update_peaks_is_used():
    seen = []

    class Stats(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            seen.append((current_allocs, current_bytes))

    s = Stats()
    s.record_allocation(5)
    s.record_allocation(6)
    assert seen == [(1, 5), (2, 11)] and s.peak_allocations.load() == 0


def test_statistics_cycle_through_a_public_attribute_is_collected():
    class Holder:
        pass

    s = LockFreeStatistics()
    h = Holder()
    h.stats, s.bytes_reserved = s, h
    ref = weakref.ref(h)
    del s, h
    gc.collect()
    assert ref() is None


def collector_clear(obj):
    """Runs the tp_clear of obj's type on it, as the cyclic collector does to garbage."""
    t, word = type(obj), ctypes.sizeof(ctypes.c_void_p)
    tp_name = id(t) + object.__basicsize__ + word              # after PyObject_VAR_HEAD
    assert ctypes.c_ssize_t.from_address(tp_name + word).value == t.__basicsize__  # the layout assumed here
    tp_clear = ctypes.c_void_p.from_address(tp_name + 21 * word).value
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(tp_clear)(obj)


def test_use_after_the_collectors_clear_raises_reference_error():
    item = object()
    base = sys.getrefcount(item)
    p, s, st = AtomicPointer(item), LockFreeStack(), LockFreeStatistics()
    s.push(item)
    uses = {
        p: [p.load, lambda: p.store(1), lambda: p.compare_and_swap(None, 1), p.get_version],
        s: [lambda: s.push(1), s.pop, s.is_empty, s.size],
        st: [lambda: st.record_allocation(1), lambda: st.py_record_allocation(1, True), st.get_snapshot, st.reset,
             lambda: st.total_allocations, lambda: setattr(st, "bytes_reserved", 1),
             lambda: delattr(st, "peak_allocations")],
    }
    for obj, calls in uses.items():
        collector_clear(obj)
        for call in calls:
            with pytest.raises(ReferenceError,
                               match=f"^{type(obj).__name__} state was released by the garbage collector$"):
                call()
    assert sys.getrefcount(item) == base           # the slot's and the node's references went with the clear


def test_statistics_from_four_threads():
    s = LockFreeStatistics()

    def work():
        for i in range(5_000):
            s.py_record_allocation(8, i % 2 == 0)
            s.record_allocation(2)
            s.record_deallocation(1)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    snap = s.get_snapshot()
    assert snap["total_allocations"] == 40_000 and snap["total_deallocations"] == 20_000
    assert snap["current_allocations"] == 20_000 and snap["bytes_allocated"] == 20_000 * 9
    assert snap["bucketed_allocations"] == 20_000 and snap["peak_allocations"] <= 40_000


# -------------------------------------------------------- PerformanceTimer

def test_timer_reads_perf_counter_ns():
    t = PerformanceTimer("ignored", also="ignored")
    before = time.perf_counter_ns()
    raw = t.elapsed_ns()                           # no start: the raw reading
    assert before <= raw <= time.perf_counter_ns()
    assert t.start() is None
    e = t.elapsed_ns()
    assert type(e) is int and 0 <= e < 10**10
    us, ms = t.elapsed_us(), t.elapsed_ms()
    assert type(us) is float and type(ms) is float and e * 0.001 <= us and e * 0.000001 <= ms
    assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."


@pytest.mark.parametrize("ns, us, ms", [
    (12345, 12345 * 0.001, 12345 * 0.000001),
    (2.5, 2.5 * 0.001, 2.5 * 0.000001),
    (Fraction(3), Fraction(3) / 1000.0, Fraction(3) / 1000000.0),
    (decimal.Decimal(7), None, None),
])
def test_elapsed_scales_what_elapsed_ns_returns(ns, us, ms):
    class Timer(PerformanceTimer):
        def elapsed_ns(self):
            return ns

    t = Timer()
    if us is None:
        with pytest.raises(TypeError):             # Decimal / float
            t.elapsed_us()
        return
    assert t.elapsed_us() == us and t.elapsed_ms() == ms


def test_timer_imports_time_inside_each_call(monkeypatch):
    readings = iter([1_000, 1_500, 2**63])
    fake = types.SimpleNamespace(perf_counter_ns=lambda: next(readings))
    monkeypatch.setattr(varnok, "time", None)      # not the module global ...
    monkeypatch.setitem(sys.modules, "time", fake)  # ... but `import time` at call time
    t = PerformanceTimer()
    t.start()
    assert t.elapsed_ns() == 500
    with pytest.raises(OverflowError):
        t.start()
    monkeypatch.undo()
    assert t.elapsed_ns() > 0


# ------------------------------------------------- common to the five types

@pytest.mark.parametrize("cls", TYPES)
def test_extension_type_conventions(cls):
    obj = cls()
    assert cls.__module__ == "korvane.memory.varnok" and cls.__bases__ == (object,)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__reduce_ex__(2),
                   lambda o: o.__setstate__({})):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            refuse(obj)

    class Sub(cls):
        pass

    sub = Sub()
    sub.extra = 1
    assert isinstance(sub, cls) and sub.extra == 1 and weakref.ref(sub)() is sub
    with pytest.raises(TypeError, match="non-trivial __cinit__"):
        pickle.dumps(sub)
    with pytest.raises(TypeError):
        cls.load = None                            # immutable, as native code relies on its methods
