"""Several threads on one object: mixed operations for a bounded time, then the invariants.

Each test runs THREADS workers (plus readers where reading is part of the
contract) for STRESS_SECONDS with a very short thread switch interval, so
that the interpreter changes threads inside and between our calls as often
as it can.  Each worker keeps its own account of what it did; afterwards
the object must agree with the sum of the accounts: totals add up, nothing
is lost or duplicated, the tree keeps its order and colouring rules.

    KORVANE_STRESS_SECONDS=30 python -m pytest tests/test_stress.py -s
"""

import math
import os
import random
import sys
import threading
import types
from collections import Counter

import pytest
from standins import OpenLock, in_threads

from korvane.jit import quendar
from korvane.memory import brisel, talvorn, varnok
from korvane.memory.halvet import MemoryBlock
from korvane.monitoring import tulvane

THREADS = 4
STRESS_SECONDS = float(os.environ.get("KORVANE_STRESS_SECONDS", "0.4"))


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def hammer(label, workers, seconds=STRESS_SECONDS):
    """Runs each worker(tid, rng, running) in its own thread; returns their results.

    A worker loops while running() and returns (operations, result).  An
    exception in any worker stops all of them and is raised here.
    """
    results = in_threads([lambda i, running, w=w: w(i, random.Random(i), running) for w in workers], seconds)
    ops = sum(r[0] for r in results)
    print(f"stress {label}: {ops} operations in {len(workers)} threads over {seconds:g} s")
    assert ops > 0
    return [r[1] for r in results]


# ================================================================== varnok

@pytest.mark.parametrize("cls", [varnok.AtomicCounter, varnok.AtomicCounterWrapper])
def test_counter_totals(cls):
    c = cls(0)

    def worker(tid, rng, running):
        net = ops = 0
        while running():
            d = rng.randrange(1, 1000)
            kind = rng.randrange(5)
            if kind == 0:
                c.increment(d)
                net += d
            elif kind == 1:
                c.decrement(d)
                net -= d
            elif kind == 2:
                c.fetch_and_add(-d)
                net -= d
            elif kind == 3:
                while True:                     # a lost update would show in the total
                    v = c.load()
                    if c.compare_and_swap(v, v + d):
                        break
                net += d
            else:
                c.increment()
                net += 1
            ops += 1
        return ops, net

    nets = hammer(cls.__name__, [worker] * THREADS)
    assert c.load() == sum(nets)


def test_pointer_holds_only_what_was_stored():
    objects = [object() for _ in range(8)]
    ids = {id(o) for o in objects}
    base = [sys.getrefcount(o) for o in objects]
    p = varnok.AtomicPointer(objects[0])

    def worker(tid, rng, running):
        ops = swaps = 0
        last_version = p.get_version()
        while running():
            kind = rng.randrange(3)
            if kind == 0:
                p.store(rng.choice(objects))
            elif kind == 1:
                seen = p.load()
                assert id(seen) in ids
                swaps += p.compare_and_swap(seen, rng.choice(objects))
            else:
                assert id(p.load()) in ids
            version = p.get_version()
            assert version >= last_version
            last_version = version
            ops += 1
        return ops, swaps

    hammer("AtomicPointer", [worker] * THREADS)
    p.store(None)
    assert [sys.getrefcount(o) for o in objects] == base


def test_stack_loses_and_duplicates_nothing():
    s = varnok.LockFreeStack()

    def worker(tid, rng, running):
        pushed, popped = [], []
        i = 0
        while running():
            if rng.random() < 0.55:
                item = (tid, i)
                i += 1
                s.push(item)
                pushed.append(item)
            else:
                item = s.pop()
                if item is not None:
                    popped.append(item)
            assert s.size() >= 0
        return len(pushed) + len(popped), (pushed, popped)

    accounts = hammer("LockFreeStack", [worker] * THREADS)
    rest = []
    while not s.is_empty():
        rest.append(s.pop())
    assert s.size() == 0 and s.pop() is None
    pushed = [x for a in accounts for x in a[0]]
    taken = [x for a in accounts for x in a[1]] + rest
    assert len(taken) == len(set(taken))            # no item came out twice
    assert set(taken) == set(pushed)                # and none was lost
    # Each thread's own items leave in the reverse order of its pushes
    # whenever they come out of the same drain.
    assert [x for x in rest if x[0] == 0] == sorted((x for x in rest if x[0] == 0), reverse=True)


def test_statistics_totals():
    s = varnok.LockFreeStatistics()

    def worker(tid, rng, running):
        acc = Counter()
        ops = 0
        while running():
            if rng.random() < 0.6 or acc["allocs"] <= acc["deallocs"]:
                size, padding, ns = rng.randrange(1, 4096), rng.randrange(16), rng.randrange(1000)
                bucketed = rng.random() < 0.7
                s.record_allocation(size, bucketed, padding, ns)
                acc.update(allocs=1, bytes=size, padding=padding, alloc_ns=ns, bucketed=bucketed)
            else:
                size, ns = rng.randrange(1, 64), rng.randrange(1000)
                s.record_deallocation(size, ns)
                acc.update(deallocs=1, freed=size, dealloc_ns=ns)
            if ops % 64 == 0:
                snap = s.get_snapshot()
                assert snap["bucketed_allocations"] + snap["fallback_allocations"] <= snap["total_allocations"] + 1
            ops += 1
        return ops, acc

    acc = sum(hammer("LockFreeStatistics", [worker] * THREADS), Counter())
    snap = s.get_snapshot()
    assert snap["total_allocations"] == acc["allocs"]
    assert snap["total_deallocations"] == acc["deallocs"]
    assert snap["current_allocations"] == acc["allocs"] - acc["deallocs"]
    assert snap["bytes_allocated"] == acc["bytes"] - acc["freed"]
    assert snap["bucketed_allocations"] == acc["bucketed"]
    assert snap["fallback_allocations"] == acc["allocs"] - acc["bucketed"]
    assert snap["alignment_padding_bytes"] == acc["padding"]
    assert s.total_allocation_time_ns.load() == acc["alloc_ns"]
    assert s.total_deallocation_time_ns.load() == acc["dealloc_ns"]
    assert snap["peak_allocations"] >= snap["current_allocations"]


# Objects another thread changes while calls use them: a public counter of
# the statistics replaced (and released) by a setter, the holders under a
# lock that does not exclude (a substitute for threading.Lock), the timer
# started again while read.  No call may reach a released object.

class StandIn:
    """Enough of a counter to stand in for a public one."""
    def __init__(self):
        self.value = 0

    def increment(self, delta=1):
        self.value += delta
        return self.value

    def decrement(self, delta=1):
        self.value -= delta
        return self.value

    def load(self):
        return self.value

    def store(self, value):
        self.value = value

    def compare_and_swap(self, expected, new_value):
        self.value = new_value
        return True


PUBLIC = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
          "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
          "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"]


def test_statistics_public_counters_replaced_while_recorded():
    s = varnok.LockFreeStatistics()

    def replace(tid, rng, running):
        junk, ops = [], 0
        while running():
            name = rng.choice(PUBLIC)
            setattr(s, name, StandIn() if rng.random() < 0.1 else varnok.AtomicCounter())
            junk.append(float(ops) + 0.5)           # takes the memory of released counters
            ops += 1
            if len(junk) > 1000:
                junk.clear()
                s.reset()
        return ops, None

    def record(tid, rng, running):
        ops = 0
        while running():
            s.record_allocation(64, rng.random() < 0.5, 8, 5)
            s.py_record_allocation(64, True, 1, 1)
            s.record_deallocation(64, 3)
            s.py_record_deallocation(64)
            s._update_peaks(ops, 5)
            assert len(s.get_snapshot()) == 14
            ops += 1
        return ops, None

    hammer("LockFreeStatistics public counters", [replace] + [record] * (THREADS - 1), seconds=1.0)


def test_holders_under_a_lock_that_does_not_exclude(monkeypatch):
    monkeypatch.setattr(varnok, "threading", types.SimpleNamespace(Lock=OpenLock))
    item = object()
    base = sys.getrefcount(item)
    p, s = varnok.AtomicPointer(), varnok.LockFreeStack()

    def use(tid, rng, running):
        ops = pushed = 0
        while running():
            p.store([item])
            p.compare_and_swap(p.load(), [item])
            s.push(item)
            pushed += 1
            if s.pop() is not None:
                pushed -= 1
            ops += 1
        return ops, pushed

    pushed = sum(hammer("holders, a lock that does not exclude", [use] * 2, seconds=1.0))
    assert s.size() == pushed
    while s.pop() is not None:
        pushed -= 1
    p.store(None)
    assert pushed == 0 and s.is_empty() and sys.getrefcount(item) == base


def test_timer_started_while_read():
    t = varnok.PerformanceTimer()
    t.start()

    def start(tid, rng, running):
        ops = 0
        while running():
            t.start()
            ops += 1
        return ops, None

    def read(tid, rng, running):
        ops = 0
        while running():
            # a start between the clock reading and the load of the start
            # gives a small negative figure: any reading is a whole one
            assert abs(t.elapsed_ns()) < 10**12 and abs(t.elapsed_us()) < 10**9
            ops += 1
        return ops, None

    hammer("PerformanceTimer", [start, read])


# ================================================================== brisel

def test_buckets_hand_out_each_offset_once():
    a = brisel.FastBucketAllocator(8, 256, 4096)
    sizes = [8, 16, 24, 64, 128, 256]

    def worker(tid, rng, running):
        added, taken = [], []
        i = 0
        while running():
            kind = rng.randrange(4)
            if kind <= 1:
                offset = (tid << 26) | i         # offsets are 32-bit
                i += 1
                if a.add_to_bucket(rng.choice(sizes), offset):
                    added.append(offset)
            elif kind == 2:
                got = a.remove_from_bucket(rng.choice(sizes))
                if got is not None:
                    taken.append(got)
            else:
                got = a.find_best_fit_bucket(rng.randrange(1, 257), 8)
                if got is not None:
                    taken.append(got)
        return len(added) + len(taken), (added, taken)

    accounts = hammer("FastBucketAllocator", [worker] * THREADS)
    rest = []
    for size in sizes:
        while (got := a.remove_from_bucket(size)) is not None:
            rest.append(got)
    added = [x for acc in accounts for x in acc[0]]
    taken = [x for acc in accounts for x in acc[1]] + rest
    assert len(taken) == len(set(taken))
    assert sorted(taken) == sorted(added)


def test_collector_totals():
    c = brisel.FastStatsCollector()

    def worker(tid, rng, running):
        acc = Counter()
        while running():
            if rng.random() < 0.7:
                padding, bucketed = rng.randrange(32), rng.random() < 0.5
                c.py_record_allocation(rng.randrange(1, 4096), padding, bucketed)
                acc.update(allocs=1, padding=padding, bucketed=bucketed)
            elif rng.random() < 0.9:
                c.py_record_deallocation()
                acc.update(deallocs=1)
            else:
                stats = c.get_stats()
                assert stats["bucketed_allocations"] + stats["fallback_allocations"] == stats["total_allocations"]
            acc.update(ops=1)
        return acc["ops"], acc

    acc = sum(hammer("FastStatsCollector", [worker] * THREADS), Counter())
    stats = c.get_stats()
    assert stats["total_allocations"] == acc["allocs"]
    assert stats["total_deallocations"] == acc["deallocs"]
    assert stats["bucketed_allocations"] == acc["bucketed"]
    assert stats["alignment_padding_bytes"] == acc["padding"]


# ================================================================== talvorn

def test_tree_keeps_its_rules_and_its_blocks():
    t = talvorn.FastRedBlackTree(sample_rate=7)
    by_id = {}
    lock = threading.Lock()             # guards by_id only

    def writer(tid, rng, running):
        mine, removed = [], []
        ops = i = 0
        while running():
            kind = rng.randrange(6)
            if not mine or (kind <= 2 and len(mine) < 500):     # the tree stays at a few thousand blocks
                size = rng.choice((64, 128, 4096)) if rng.random() < 0.3 else rng.randrange(1, 1 << 20)
                block = MemoryBlock((tid << 40) | i, size)
                i += 1
                with lock:
                    by_id[id(block)] = block
                assert t.insert(size, block) is True
                mine.append(block)
            elif kind <= 3:
                block = mine.pop(rng.randrange(len(mine)))
                if t.delete(block.size, block):     # False: another thread's remove_ge took it
                    removed.append(block)
            elif kind == 4:
                size, block = t.remove_ge(rng.randrange(0, 1 << 20))
                if block is not None:
                    assert size >= 0 and block.size == size
                    removed.append(block)
            else:
                found = t.find_best_fit(rng.randrange(0, 1 << 20))
                assert found is None or id(found) in by_id
            ops += 1
        return ops, removed

    def reader(tid, rng, running):
        ops = 0
        while running():
            want = rng.randrange(0, 1 << 20)
            found = t.find_best_fit(want)
            if found is not None:
                assert found.size >= want
            for block in t.find_all_exact(rng.choice((64, 128, 4096))):
                assert block.size in (64, 128, 4096)
            if ops % 32 == 0:
                assert t.get_stats()["is_valid"] is True
                assert sum(t.get_size_distribution().values()) >= 0
            ops += 1
        return ops, []

    accounts = hammer("FastRedBlackTree", [writer] * THREADS + [reader] * 2)
    stats = t.get_stats()
    assert stats["is_valid"] is True
    assert len(t) == stats["total_blocks"] == sum(t.get_size_distribution().values())
    rest = []
    while True:
        size, block = t.remove_ge(0)
        if block is None:
            break
        rest.append(block)
    assert len(t) == 0 and t.get_stats()["is_valid"] is True
    out = [id(b) for acc in accounts for b in acc] + [id(b) for b in rest]
    assert len(out) == len(set(out))                # no block came out twice
    assert set(out) == set(by_id)                   # and every inserted one came out


# ================================================================== quendar

class Store:
    def __init__(self, rng_seed):
        self.rng = random.Random(rng_seed)
        self.last = None                # the record handed out last

    def get_metrics(self, func_id):
        r = self.rng
        self.last = quendar.FunctionMetrics(call_count=r.randrange(0, 5000), compile_count=r.randrange(0, 3),
                                            avg_speedup=r.uniform(0.5, 4.0), last_compiled=0.0)
        return self.last


def test_policy_thresholds_stay_in_bounds():
    config = quendar.PolicyConfig(initial_threshold=1000, min_threshold=100, max_threshold=10000,
                                  learning_rate=0.3, target_speedup=2.0)
    q = quendar.Quendar(config)
    names = [f"f{i}" for i in range(40)]

    def worker(tid, rng, running):
        store = Store(tid)
        updated = set()
        ops = 0
        while running():
            name = rng.choice(names)
            kind = rng.randrange(4)
            if kind == 0:
                q.update(name, store)
                if store.last.compile_count:    # never compiled: update() stores nothing
                    updated.add(name)
            elif kind == 1:
                assert q.should_compile(name, store) in (True, False)
            elif kind == 2:
                assert 100 <= q.get_threshold(name) <= 10000
            else:
                stats = q.get_statistics()
                assert 100 <= stats["min_threshold"] <= stats["max_threshold"] <= 10000
            ops += 1
        return ops, updated

    updated = set().union(*hammer("Quendar", [worker] * THREADS))
    stats = q.get_statistics()
    assert stats["tracked_functions"] == len(updated)
    assert all(100 <= q.get_threshold(n) <= 10000 for n in names)


def test_global_policy_from_threads():
    def worker(tid, rng, running):
        ops = 0
        while running():
            if rng.random() < 0.1:
                quendar.reset_quendar()
            assert isinstance(quendar.get_quendar(), quendar.Quendar)
            ops += 1
        return ops, None

    hammer("get_quendar/reset_quendar", [worker] * THREADS)
    assert quendar.get_quendar() is quendar.get_quendar()


# ================================================================== tulvane

def test_aggregator_counts_every_update():
    agg = tulvane.CounterAggregator(16)

    def worker(tid, rng, running):
        seen = {}
        ops = 0
        while running():
            if rng.random() < 0.9:
                i = rng.randrange(16)
                v = float(rng.randrange(-1000, 1000))
                agg.update(i, v)
                n, total, lo, hi = seen.get(i, (0, 0.0, math.inf, -math.inf))
                seen[i] = (n + 1, total + v, min(lo, v), max(hi, v))
            else:
                for i, stats in agg.get_all_stats():
                    assert stats["count"] > 0 and stats["min"] <= stats["mean"] <= stats["max"]
            ops += 1
        return ops, seen

    accounts = hammer("CounterAggregator", [worker] * THREADS)
    for i in range(16):
        parts = [a[i] for a in accounts if i in a]
        if not parts:
            continue
        stats = agg.get_stats(i)
        count = sum(p[0] for p in parts)
        assert stats["count"] == count
        assert stats["min"] == min(p[2] for p in parts) and stats["max"] == max(p[3] for p in parts)
        assert math.isclose(stats["mean"], sum(p[1] for p in parts) / count, rel_tol=1e-9, abs_tol=1e-9)
