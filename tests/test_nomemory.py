"""Allocation failures inside the modules' calls, made with _testcapi.set_nomemory.

Each case sweeps the allocations of one call: for every start, first that
single allocation fails, then every allocation from it on.  The call must
either succeed or raise MemoryError, the object must stay usable and
consistent, and after the sweep the reference counts of the inputs are back
and a second sweep allocates no more blocks than the first left behind.
"""

import gc
import logging
import math
import os
import subprocess
import sys
import threading

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi cannot fail allocations", allow_module_level=True)

from korvane.gpu import pelgrun  # noqa: E402
from korvane.jit import quendar  # noqa: E402
from korvane.memory import brisel, talvorn, varnok  # noqa: E402
from korvane.memory.halvet import MemoryBlock  # noqa: E402
from korvane.monitoring import tulvane  # noqa: E402
from korvane.native import oskarel  # noqa: E402
from korvane.plugins.analyzer import dorvask, meravin  # noqa: E402
from standins import RecordStore, cuda_registry  # noqa: E402

SANITIZED = bool(os.environ.get("KORVANE_SANITIZED"))
MAX_START = 3000        # a sweep that gets this far has lost its end
BLOCK_SLACK = 16        # blocks a second sweep may leave behind (interpreter caches)


def failing(start, stop, fn):
    """fn() with allocations start, start+1, ... stop-1 failing (stop 0: all from start on)."""
    _testcapi.set_nomemory(start, stop)
    try:
        return fn()
    except MemoryError as e:
        return e
    except RuntimeError as e:
        # threading.Lock() reports a failed lock allocation this way
        if str(e) != "can't allocate lock":
            raise
        return MemoryError(str(e))
    finally:
        _testcapi.remove_mem_hooks()


def sweep(fn, check):
    """Runs fn() under every failure point; check(outcome) after each.  Returns the MemoryError texts."""
    messages = set()
    clean = 0
    start = 0
    while clean < 3:                      # the call has run to its end with every allocation failing
        assert start < MAX_START, "no end to the sweep"
        for stop in (start + 1, 0):
            outcome = failing(start, stop, fn)
            check(outcome)
            if isinstance(outcome, MemoryError):
                messages.add(str(outcome))
        clean = clean + 1 if not isinstance(outcome, MemoryError) else 0
        start += 1
    return messages


def run_case(fn, check, watch=(), cleanup=None, expect=None):
    """Two sweeps of fn: messages, refcounts of `watch`, and the blocks the second one leaves."""
    unraisable = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append((u.exc_type, u.object))
    gc.collect()
    gc.disable()
    try:
        fn()
        fn()                              # warm: caches filled, constants made
        if cleanup:
            cleanup()
        counts = [sys.getrefcount(x) for x in watch]
        messages = sweep(fn, check)
        if cleanup:
            cleanup()
        gc.collect()                      # cycles left by errors raised in Python code
        blocks = sys.getallocatedblocks()
        sweep(fn, check)
        if cleanup:
            cleanup()
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        assert [sys.getrefcount(x) for x in watch] == counts
    finally:
        gc.enable()
        sys.unraisablehook = old_hook
    assert grown <= BLOCK_SLACK, f"{grown} blocks more after a second sweep"
    # MemoryError raised where the error could not propagate: none expected
    assert [u for u in unraisable if u[0] is not MemoryError or u[1] is not None] == []
    if expect:
        assert expect in messages
    return messages


def same_or_memory_error(expected):
    def check(outcome):
        if not isinstance(outcome, MemoryError):
            assert outcome == expected
    return check


# ============================================================== varnok

def test_stack_push_reports_its_node_and_keeps_count():
    s = varnok.LockFreeStack()
    item = object()
    pushed = [0]

    def check(outcome):
        if outcome is None:
            pushed[0] += 1
        else:
            assert isinstance(outcome, MemoryError)
        assert s.size() == pushed[0] and s.is_empty() is (pushed[0] == 0)

    def cleanup():
        while not s.is_empty():
            assert s.pop() is item
        pushed[0] = 0

    messages = run_case(lambda: s.push(item), check, watch=(item,), cleanup=cleanup,
                        expect="Failed to allocate stack node")
    assert messages <= {"Failed to allocate stack node", ""}


def test_stack_pop_loses_nothing():
    s = varnok.LockFreeStack()
    items = [object() for _ in range(3)]
    base = [sys.getrefcount(x) for x in items]

    def refill():
        while s.size() < 4000:
            for x in items:
                s.push(x)

    refill()

    size = [s.size()]

    def check(outcome):
        # one item less for each item returned, none for a failure
        if isinstance(outcome, MemoryError):
            assert s.size() == size[0]
        else:
            assert any(outcome is x for x in items) and s.size() == size[0] - 1
        size[0] = s.size()

    def cleanup():
        refill()
        size[0] = s.size()

    run_case(s.pop, check, cleanup=cleanup)
    while not s.is_empty():
        s.pop()
    assert [sys.getrefcount(x) for x in items] == base


def test_pointer_store_and_swap():
    x, y = object(), object()
    p = varnok.AtomicPointer(x)

    def swap():
        cur = p.load()
        return p.compare_and_swap(cur, y if cur is x else x)

    def check(outcome):
        assert outcome is True or isinstance(outcome, MemoryError)
        assert p.load() in (x, y)

    run_case(swap, check, watch=(x, y))
    run_case(lambda: p.store(x), lambda o: o is None or isinstance(o, MemoryError), watch=(x, y))


def test_counter_results_are_new_ints():
    c = varnok.AtomicCounter(0)
    big = 2**40
    last = [0]

    def check(outcome):
        now = c.load()
        # the native add happens first: a failure to box the result leaves it done
        assert now in (last[0], last[0] + big)
        if not isinstance(outcome, MemoryError):
            assert outcome == now
        last[0] = now

    def settle():                         # after the warm-up calls and between sweeps
        last[0] = c.load()

    run_case(lambda: c.increment(big), check, cleanup=settle)
    w = varnok.AtomicCounterWrapper(0)
    run_case(lambda: w.fetch_and_add(big), lambda o: o is None or isinstance(o, (int, MemoryError)))
    assert w.load() % big == 0


def test_statistics_record_and_snapshot():
    s = varnok.LockFreeStatistics()

    def check(outcome):
        assert outcome is None or isinstance(outcome, MemoryError)
        snap = s.get_snapshot()
        assert snap["bucketed_allocations"] + snap["fallback_allocations"] <= snap["total_allocations"]

    run_case(lambda: s.record_allocation(2**40, False, 8, 200), check)
    keys = list(s.get_snapshot())
    run_case(s.get_snapshot, lambda o: isinstance(o, MemoryError) or list(o) == keys)
    run_case(varnok.LockFreeStatistics, lambda o: isinstance(o, (MemoryError, varnok.LockFreeStatistics)))


def test_holder_construction():
    for cls in (varnok.LockFreeStack, varnok.AtomicPointer, varnok.PerformanceTimer):
        run_case(cls, lambda o, cls=cls: isinstance(o, (MemoryError, cls)))
    t = varnok.PerformanceTimer()
    run_case(t.elapsed_ms, lambda o: isinstance(o, (MemoryError, float)))


# ============================================================== brisel

def test_bucket_add_remove_and_best_fit():
    a = brisel.FastBucketAllocator(8, 16, 32)
    offset = 10**6 + 8
    added = [2]                           # run_case's two warm-up calls

    def check_add(outcome):
        if outcome is True:
            added[0] += 1
        else:
            assert isinstance(outcome, MemoryError)

    def drain():
        n = 0
        while a.remove_from_bucket(24) is not None:
            n += 1
        assert n == added[0]
        added[0] = 0

    run_case(lambda: a.add_to_bucket(24, offset), check_add, watch=(offset,), cleanup=drain)

    for _ in range(4000):
        a.add_to_bucket(32, offset)

    taken = [0]

    def check_fit(outcome):
        if isinstance(outcome, MemoryError):
            return
        assert outcome == offset
        taken[0] += 1

    def put_back():                       # what was handed out goes back: the count shows a lost offset
        for _ in range(taken[0]):
            a.add_to_bucket(32, offset)
        taken[0] = 0

    taken[0] = 2                          # run_case's two warm-up calls
    run_case(lambda: a.find_best_fit_bucket(25, 8), check_fit, watch=(offset,), cleanup=put_back)
    run_case(lambda: a.find_best_fit_bucket(16, 2**20), same_or_memory_error(None))   # taken and put back
    run_case(lambda: brisel.FastBucketAllocator(8, 16, 32),
             lambda o: isinstance(o, (MemoryError, brisel.FastBucketAllocator)))


def test_slab_header_and_statistics():
    logger = logging.getLogger("korvane.memory.brisel")
    h = brisel.FastSlabHeaderOps(3, 8)
    data = h.pack_header()
    corrupt = data[:6] + b"\x34\x12" + data[8:]
    run_case(h.pack_header, same_or_memory_error(data))
    old = logger.disabled
    logger.disabled = True
    try:
        run_case(lambda: h.unpack_header(corrupt), lambda o: o is None or isinstance(o, MemoryError))
    finally:
        logger.disabled = old
    h.unpack_header(data)
    assert h.pack_header() == data
    c = brisel.FastStatsCollector()
    c.py_record_allocation(64, 8, True)
    run_case(c.get_stats, same_or_memory_error(c.get_stats()))
    run_case(lambda: brisel.fast_bitmap_operations(2**64 - 1, 0, "clear"), same_or_memory_error(2**64 - 2))


# ============================================================== talvorn

def tree_consistent(t):
    s = t.get_stats()
    dist = t.get_size_distribution()
    assert s["is_valid"] is True
    assert len(t) == s["total_blocks"] == sum(dist.values())
    return s


def test_tree_insert_reports_its_node_and_stays_valid():
    t = talvorn.FastRedBlackTree(sample_rate=1)
    blocks = [MemoryBlock(i * 4096, 64) for i in range(8)]
    for b in blocks[:4]:
        t.insert(64 * (blocks.index(b) + 1), b)
    fresh = MemoryBlock(10**9, 4096)
    turn = [0]

    def insert():
        turn[0] += 1
        return t.insert(128 if turn[0] % 2 else 10**6 + turn[0], fresh)   # a chain entry, then a new node

    def check(outcome):
        assert outcome is True or isinstance(outcome, MemoryError)
        tree_consistent(t)

    def cleanup():
        while t.delete(128, fresh):
            pass
        while True:
            size, block = t.remove_ge(10**6)
            if block is None:
                break
            assert block is fresh
        tree_consistent(t)

    run_case(insert, check, watch=(fresh,), cleanup=cleanup, expect="Failed to allocate RB node")
    assert len(t) == 4


def test_tree_lookups_and_removals():
    t = talvorn.FastRedBlackTree()
    blocks = [MemoryBlock(i * 4096, 64 * (i % 5 + 1)) for i in range(30)]
    for b in blocks:
        t.insert(b.size, b)
    base = [sys.getrefcount(b) for b in blocks]
    exact = t.find_all_exact(128)
    run_case(lambda: t.find_all_exact(128), same_or_memory_error(exact))
    del exact
    run_case(lambda: t.find_best_fit(100), same_or_memory_error(t.find_best_fit(100)))
    dist = t.get_size_distribution()
    run_case(t.get_size_distribution, same_or_memory_error(dist))
    keys = list(t.get_stats())
    run_case(t.get_stats, lambda o: isinstance(o, MemoryError) or list(o) == keys)
    assert [sys.getrefcount(b) for b in blocks] == base

    def refill():
        for b in blocks:
            if not any(x is b for x in t.find_all_exact(b.size)):
                t.insert(b.size, b)
        tree_consistent(t)

    def check(outcome):
        if not isinstance(outcome, MemoryError):
            size, block = outcome
            assert any(block is b for b in blocks) and size == block.size
        tree_consistent(t)

    run_case(lambda: t.remove_ge(0), check, cleanup=refill)
    refill()
    assert len(t) == 30
    run_case(lambda: t.delete(blocks[3].size, blocks[3]),
             lambda o: (o in (True, False) or isinstance(o, MemoryError)) and tree_consistent(t), cleanup=refill)
    t.clear()
    assert [sys.getrefcount(b) for b in blocks] == [n - 1 for n in base]    # the tree's reference is gone


def test_tree_clear_and_construction():
    t = talvorn.FastRedBlackTree()
    blocks = [MemoryBlock(i * 4096, 64) for i in range(20)]
    base = [sys.getrefcount(b) for b in blocks]

    def fill_and_clear():
        for i, b in enumerate(blocks):
            t.insert(i % 7, b)
        return t.clear()

    def check(outcome):
        assert outcome is None or isinstance(outcome, MemoryError)
        tree_consistent(t)
        t.clear()
        assert len(t) == 0

    run_case(fill_and_clear, check)
    assert [sys.getrefcount(b) for b in blocks] == base
    run_case(talvorn.FastRedBlackTree, lambda o: isinstance(o, (MemoryError, talvorn.FastRedBlackTree)))


# ============================================================== quendar

def test_policy_update_and_decisions():
    q = quendar.Quendar()
    store = RecordStore(quendar.FunctionMetrics(compile_count=1, avg_speedup=3.0, call_count=500))
    logger = logging.getLogger("korvane.jit.quendar")
    old = logger.level, logger.propagate
    handler = logging.NullHandler()
    logger.addHandler(handler)
    # The update message is built and logged.  From 3.11 on the interpreter's
    # own logging code fails in ways of its own when allocations fail (a
    # SystemError from LogRecord, or no end at all), so there the message is
    # turned off.
    logger.setLevel(logging.DEBUG if sys.version_info < (3, 11) else logging.INFO)
    logger.propagate = False
    try:
        thresholds = []

        def check(outcome):
            assert outcome is None or isinstance(outcome, MemoryError)
            thresholds.append(q.get_threshold("f"))
            assert all(a >= b for a, b in zip(thresholds, thresholds[1:]))     # only moves down here
            assert q.get_statistics()["tracked_functions"] == 1

        run_case(lambda: q.update("f", store), check)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old[0])
        logger.propagate = old[1]
    run_case(lambda: q.should_compile("f", store), lambda o: o is True or isinstance(o, MemoryError))
    run_case(q.get_statistics, same_or_memory_error(q.get_statistics()))

    class Index:                        # put in through the referents: copied out of the dict, then read
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    other = quendar.Quendar()
    next(o for o in gc.get_referents(other) if type(o) is dict).update(a=Index(5), b=Index(7))
    run_case(other.get_statistics, same_or_memory_error(other.get_statistics()))
    n = [0]

    def new_function():
        n[0] += 1
        return q.update(f"g{n[0] % 50}", store)

    run_case(new_function, lambda o: (o is None or isinstance(o, MemoryError))
             and q.get_statistics()["tracked_functions"] <= 51)


def test_lock_is_given_back_when_an_error_leaves_the_block():
    # An error inside the locked block leaves it through __exit__ with the
    # exception; with no memory left to pass the exception on, the lock must
    # still be released, or the next caller waits forever.
    q = quendar.Quendar()               # no thresholds: the configuration's values are boxed under the lock
    done = []

    def calls():                        # in a thread: a lock left held shows as a time-out, not a hung suite
        held = [(i, i, i) for i in range(5000)]     # the interpreter's spare 3-tuples are all in use
        for start in range(60):
            failing(start, 0, q.get_statistics)
        del held
        done.append(q.get_statistics())

    t = threading.Thread(target=calls, daemon=True)
    t.start()
    t.join(20)
    assert done, "the policy's lock was left held"


def test_policy_objects_and_factories():
    run_case(lambda: quendar.PolicyConfig(50, 5, 60, 1, 3), lambda o: isinstance(o, (MemoryError, quendar.PolicyConfig)))
    run_case(lambda: quendar.create_function_metrics(5, 1, 2.0),
             lambda o: isinstance(o, (MemoryError, quendar.FunctionMetrics)))
    run_case(lambda: (quendar.reset_quendar(), quendar.get_quendar())[1],
             lambda o: isinstance(o, (MemoryError, quendar.Quendar)))
    assert isinstance(quendar.get_quendar(), quendar.Quendar)


# ============================================================== meravin, pelgrun, dorvask

CODE = ("import numpy as np\nimport pandas as pd\nfrom sklearn.ensemble import RandomForest\n"
        "def chunk_workload(data, lock):\n    for i in range(1024):\n"
        "        total += np.matmul(data[i], data.T).sum() + df.groupby('k').mean()  # \u0130\n") * 4

PURE = [
    (meravin.score_indicators, (CODE, "chunk_workload")),
    (meravin.score_framework_patterns, (CODE,)),
    (meravin.quick_framework_score, (CODE, "pandas")),
    (meravin.calculate_gpu_suitability, (0.5, 0.5, 0.5, True, " 8 .6")),
    (meravin.normalize_scores, (7, 3, 5, 17, 2**31 - 1)),
    (pelgrun.is_oom_error, ("RuntimeError: CUDA error: out of memory; " * 20, "RuntimeError")),
    (pelgrun.is_oom_error, ("Speicher erschöpft – Ünïcödé " * 20, "OutOfMemoryError")),
    (pelgrun.compute_chunk_shapes, ((10, 4), 8, 64)),
    (pelgrun.decide_allocation_strategy, (2**64 - 1, 100, 0.99, True)),
    (pelgrun.estimate_allocation_bytes, ((2**31 - 1,) * 3, 8)),
    (pelgrun.calculate_optimal_chunks, (10**9, 10**8, 0.2)),
    (dorvask.detect_dominant_pattern, ([f"p{i % 20}" for i in range(60)], 50)),
    (dorvask.detect_dominant_pattern, (["cpu", "io", "cpu"], 5)),
    (dorvask.detect_workload_characteristics_change,
     ([dict(parallelization_potential=0.2, cpu_intensity=0.3, memory_intensity=0.4)] * 3
      + [dict(parallelization_potential=0.9, cpu_intensity=0.8, memory_intensity=0.7)] * 3,)),
    (dorvask.predict_resource_requirements, ([(float(i), 100.0 + i) for i in range(120)], 60.0)),
    (dorvask.calculate_performance_trend, ([(float(i), 1.0 + i % 5) for i in range(50)], 10.0)),
]


@pytest.mark.parametrize("fn, args", PURE, ids=[f"{fn.__name__}-{i}" for i, (fn, _) in enumerate(PURE)])
def test_pure_functions(fn, args):
    expected = fn(*args)
    run_case(lambda: fn(*args), same_or_memory_error(expected), watch=args)


# ============================================================== oskarel

def test_capability_detection(monkeypatch):
    monkeypatch.setitem(sys.modules, "korvane.gpu.mirrast", cuda_registry())
    # A failed registry call falls back to the GPU tool: a stand-in for
    # subprocess.run that fails as a missing tool does, without the
    # interpreter's process machinery and its caches.
    def run(*args, **kwargs):
        raise FileNotFoundError(2, "No such file or directory")

    monkeypatch.setattr(subprocess, "run", run)
    full = list(oskarel.detect_capabilities())

    def report(outcome):
        if not isinstance(outcome, MemoryError):
            assert isinstance(outcome, dict) and outcome["detector"] in ("native", "native_fallback")
            assert list(outcome)[:2] == full[:2] and len(outcome) in (len(full), len(full) + 1)

    # The version probe imports a module that 3.13 no longer has; that
    # interpreter's import machinery crashes on a failed import while
    # allocations fail (plain `__import__` of a missing name does the same).
    if sys.version_info < (3, 13):
        run_case(oskarel.detect_capabilities, report)
        run_case(oskarel.detect_python_version, same_or_memory_error(oskarel.detect_python_version()))
    run_case(oskarel.detect_numa_nodes, lambda o: isinstance(o, (MemoryError, int)))
    gpu = oskarel.detect_gpu_backends()
    run_case(oskarel.detect_gpu_backends, lambda o: isinstance(o, MemoryError) or list(o) == list(gpu))


# ============================================================== tulvane

def test_aggregator_storage_and_reports():
    messages = run_case(lambda: tulvane.CounterAggregator(64),
                        lambda o: isinstance(o, (MemoryError, tulvane.CounterAggregator)),
                        expect="Failed to allocate counter storage")
    assert messages <= {"Failed to allocate counter storage", "can't allocate lock", ""}
    agg = tulvane.CounterAggregator(64)
    for i in range(0, 64, 3):
        agg.update(i, float(i))
    run_case(lambda: agg.get_stats(3), same_or_memory_error(agg.get_stats(3)))
    run_case(agg.get_all_stats, same_or_memory_error(agg.get_all_stats()))
    counted = [0]

    def check(outcome):
        assert outcome is None or isinstance(outcome, MemoryError)
        n = agg.get_stats(5)["count"]
        assert n in (counted[0], counted[0] + 1)
        counted[0] = n

    def settle():                         # after the warm-up calls and between sweeps
        counted[0] = agg.get_stats(5)["count"]

    run_case(lambda: agg.update(5, 2.5), check, cleanup=settle)
    assert math.isclose(agg.get_stats(5)["mean"], 2.5)


# ------------------------------------------------------------ first use

FIRST_USE = """
import os, sys, _testcapi
from korvane.gpu import pelgrun
from korvane.jit import quendar
from korvane.memory import brisel, talvorn, varnok
from korvane.memory.halvet import MemoryBlock
from korvane.monitoring import tulvane
from korvane.native import oskarel
from korvane.plugins.analyzer import dorvask, meravin

calls = {
    "AtomicCounter": lambda: varnok.AtomicCounter(5),
    "AtomicPointer": lambda: varnok.AtomicPointer(5),
    "LockFreeStack": lambda: varnok.LockFreeStack(),
    "LockFreeStatistics": lambda: varnok.LockFreeStatistics(),
    "PerformanceTimer": lambda: varnok.PerformanceTimer(),
    "AtomicCounterWrapper": lambda: varnok.AtomicCounterWrapper(5),
    "FastSlabHeaderOps": lambda: brisel.FastSlabHeaderOps(3, 64),
    "FastBucketAllocator": lambda: brisel.FastBucketAllocator(),
    "FastStatsCollector": lambda: brisel.FastStatsCollector(),
    "brisel.fast_align_size": lambda: brisel.fast_align_size(13, 8),
    "FastRedBlackTree": lambda: talvorn.FastRedBlackTree(),
    "PolicyConfig": lambda: quendar.PolicyConfig(),
    "FunctionMetrics": lambda: quendar.FunctionMetrics(call_count=3),
    "Quendar": lambda: quendar.Quendar(),
    "get_quendar": lambda: quendar.get_quendar(),
    "create_policy_config": lambda: quendar.create_policy_config(),
    "meravin.normalize_scores": lambda: meravin.normalize_scores(3, 1, 0, 0, 0),
    "pelgrun.compute_chunk_shapes": lambda: pelgrun.compute_chunk_shapes((10, 4), 8, 100),
    "dorvask.detect_dominant_pattern": lambda: dorvask.detect_dominant_pattern(["cpu", "io", "cpu"]),
    "oskarel.detect_numa_nodes": lambda: oskarel.detect_numa_nodes(),
    "CounterAggregator": lambda: tulvane.CounterAggregator(4),
    "create_aggregator": lambda: tulvane.create_aggregator(4),
}
failed = []
for name, call in calls.items():
    for n in range(30):
        pid = os.fork()
        if pid == 0:
            _testcapi.set_nomemory(n, n + 1)
            try:
                call()
                first = "ok"
            except MemoryError:
                first = "MemoryError"
            except RuntimeError as e:   # threading.Lock() reports a failed lock allocation this way
                first = "MemoryError" if str(e) == "can't allocate lock" else repr(e)
            except BaseException as e:
                first = repr(e)
            finally:
                _testcapi.remove_mem_hooks()
            try:
                call()
                second = "ok"
            except BaseException as e:
                second = type(e).__name__ + ": " + str(e)
            if first not in ("ok", "MemoryError") or second != "ok":
                print(f"{name} at allocation {n}: {first}, then {second}", flush=True)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        if status:
            failed.append(f"{name} at allocation {n}: status {status:#x}")
print("\\n".join(failed) or "done")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_failed_first_use_leaves_later_calls_working(subprocess_python):
    # Each child process makes the first call of one type or module with one
    # allocation failing, then the same call again with memory back.
    out = subprocess_python(FIRST_USE)
    assert out.stdout.strip() == "done"
