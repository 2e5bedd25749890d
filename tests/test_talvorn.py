import ctypes
import gc
import math
import pickle
import shutil
import subprocess
import sys
import sysconfig
import threading
import time
import weakref
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from korvane.memory import talvorn
from korvane.memory.halvet import MemoryBlock
from korvane.memory.talvorn import FastRedBlackTree

ROOT = Path(__file__).resolve().parent.parent
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
STAT_KEYS = ["total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits",
             "tree_hits", "operation_count", "node_count", "height", "sampled_operations", "is_valid"]


def blk(i, size=64):
    return MemoryBlock(i * 4096, size)


def height_ok(tree, distinct):
    return tree.get_stats()["height"] <= 2 * math.log2(distinct + 1)


def same_object_list(got, want):
    return len(got) == len(want) and all(a is b for a, b in zip(got, want))


# ------------------------------------------------------------------ module

def test_namespace_order_and_no_logging(subprocess_python):
    names = [n for n in vars(talvorn) if not n.startswith("__") or n == "__test__"]
    assert names == ["FastRedBlackTree", "threading", "time", "math", "List", "Optional", "Tuple", "Dict",
                     "Any", "MemoryBlock", "AtomicCounter", "ATOMIC_AVAILABLE", "__test__"]
    from korvane.memory import varnok
    assert talvorn.AtomicCounter is varnok.AtomicCounter and talvorn.ATOMIC_AVAILABLE is True
    assert talvorn.MemoryBlock is MemoryBlock and talvorn.__test__ == {}
    out = subprocess_python("""
        import logging
        logging.basicConfig(level=logging.DEBUG)
        import korvane.memory.talvorn as t
        print(hasattr(t, "logger"))
    """)
    assert out.stdout.strip() == "False" and "talvorn" not in out.stderr   # varnok announces itself


def test_without_varnok(subprocess_python):
    out = subprocess_python("""
        import sys
        sys.modules["korvane.memory.varnok"] = None          # its import raises ImportError
        import korvane.memory.talvorn as t
        from korvane.memory.halvet import MemoryBlock
        names = [n for n in vars(t) if not n.startswith("__")]
        print(names[-2:], t.AtomicCounter, t.ATOMIC_AVAILABLE)
        tree = t.FastRedBlackTree(1)
        for i in range(5):
            tree.insert(i, MemoryBlock(i, i))
        print(tree.find_best_fit(3), tree.remove_ge(4), len(tree), tree.get_stats()["sampled_operations"])
    """)
    assert out.stdout.splitlines() == [
        "['ATOMIC_AVAILABLE', 'AtomicCounter'] None False",
        "MemoryBlock(offset=3, size=3) (4, MemoryBlock(offset=4, size=4)) 4 0",
    ]


@pytest.mark.parametrize("setup, error", [
    # halvet is required
    ("sys.modules['korvane.memory.halvet'] = None", "ModuleNotFoundError"),
    # an error other than ImportError while importing AtomicCounter ends the load
    ("class Bad(types.ModuleType):\n    def __getattr__(self, n): raise RuntimeError('boom')\n"
     "sys.modules['korvane.memory.varnok'] = Bad('korvane.memory.varnok')", "RuntimeError"),
])
def test_failed_load(subprocess_python, setup, error):
    out = subprocess_python(f"""
import sys, types
{setup}
try:
    import korvane.memory.talvorn
except BaseException as e:
    print(type(e).__name__, 'init korvane.memory.talvorn' in ''.join(__import__('traceback').format_tb(e.__traceback__)))
""")
    assert out.stdout.split() == [error, "True"]


def test_interface_metadata():
    T = FastRedBlackTree
    ann = {name: getattr(T, name).__annotations__ for name in
           ["_sanitize_size", "insert", "find_best_fit", "find_all_exact", "delete", "size", "remove_ge",
            "get_stats", "clear", "get_size_distribution", "reset_circuit_breaker", "get_statistics"]}
    assert ann == {
        "_sanitize_size": {"size": "int", "return": "int"},
        "insert": {"size": "int", "block": "MemoryBlock", "return": "bool"},
        "find_best_fit": {"size": "int", "alignment": "int", "return": "Optional[MemoryBlock]"},
        "find_all_exact": {"size": "int", "return": "List[MemoryBlock]"},
        "delete": {"size": "int", "block": "MemoryBlock", "return": "bool"},
        "size": {"return": "int"},
        "remove_ge": {"size": "int", "return": "Tuple[Optional[int], Optional[MemoryBlock]]"},
        "get_stats": {"return": "Dict[str, Any]"},
        "clear": {"return": "None"},
        "get_size_distribution": {"return": "Dict[int, int]"},
        "reset_circuit_breaker": {"return": "None"},
        "get_statistics": {"return": "Dict[int, List[float]]"},
    }
    assert isinstance(T.__dict__["_sanitize_size"], staticmethod)
    assert T.find_best_fit.__defaults__ == (1,)
    first = {n: getattr(T, n).__doc__.splitlines()[0] for n in ["insert", "find_best_fit", "find_all_exact",
                                                                "delete", "remove_ge"]}
    assert first == {"insert": "Insert block into tree.", "find_best_fit": "Find best-fit block (LOCK-FREE read).",
                     "find_all_exact": "Find all blocks of exact size (lock-free read).",
                     "delete": "Delete specific block.", "remove_ge": "Remove and return best-fit block >= size."}
    for text in ["Even seq_counter = stable state (safe to read)", "Odd seq_counter = write in progress (retry)",
                 "Alignment (unused)"]:
        assert text in T.find_best_fit.__doc__
    assert "(size, block) or (None, None)" in T.remove_ge.__doc__
    assert [T._sanitize_size.__doc__, T.size.__doc__, T.get_stats.__doc__, T.clear.__doc__,
            T.get_size_distribution.__doc__, T.reset_circuit_breaker.__doc__, T.get_statistics.__doc__] == [
        "Validate size.", "Get total block count.", "Get tree statistics.", "Clear all blocks.",
        "Get size distribution.", "Reset circuit breaker stats.", "Get timing statistics (empty for sampling mode)."]
    with pytest.raises(TypeError, match="immutable type"):
        T.size = lambda self: 0


# ------------------------------------------------------------ constructor

@pytest.mark.parametrize("args, kwargs, exc, msg", [
    ((-1,), {}, OverflowError, "can't convert negative value to uint32_t"),
    ((2**32,), {}, OverflowError, "value too large to convert to uint32_t"),
    (("1",), {}, TypeError, "an integer is required"),
    ((1, 2), {}, TypeError, "__cinit__() takes at most 1 positional argument (2 given)"),
    ((), {"rate": 1}, TypeError, "__cinit__() got an unexpected keyword argument 'rate'"),
])
def test_constructor_errors(args, kwargs, exc, msg):
    with pytest.raises(exc) as e:
        FastRedBlackTree(*args, **kwargs)
    assert str(e.value) == msg


def test_new_tree_and_pickling():
    t = FastRedBlackTree()
    assert (len(t), bool(t), repr(t), t.size()) == (0, False, "FastRedBlackTree(blocks=0, native=True)", 0)
    s = t.get_stats()
    assert list(s) == STAT_KEYS and s["height"] == 0 and s["is_valid"] is True
    assert all(v == 0 for k, v in s.items() if k != "is_valid")
    assert (t.remove_ge(1), t.get_size_distribution(), t.find_best_fit(0), t.find_all_exact(0)) == (
        (None, None), {}, None, [])
    assert t.get_stats()["total_searches"] == 2
    for f in (pickle.dumps, lambda o: __import__("copy").copy(o)):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            f(t)


# ------------------------------------------------------- sizes and lookups

@pytest.mark.parametrize("call, result", [
    (lambda t, b: t.find_best_fit(-1), None),
    (lambda t, b: t.find_all_exact(-1), []),
    (lambda t, b: t.delete(-1, b), False),
    (lambda t, b: t.remove_ge(-1), (None, None)),
    (lambda t, b: t.find_best_fit(-2**80, 3), None),
])
def test_negative_sizes_are_neutral(call, result):
    t = FastRedBlackTree()
    b = blk(1)
    t.insert(0, b)
    before = t.get_stats()
    assert call(t, b) == result
    assert t.get_stats() == before and len(t) == 1


@pytest.mark.parametrize("call, exc, msg", [
    (lambda t: t.insert(-1, None), ValueError, "Invalid size: -1"),
    (lambda t: t.insert(-2**70, None), ValueError, f"Invalid size: {-2**70}"),
    (lambda t: t.insert(2**64, None), OverflowError, None),
    (lambda t: t.remove_ge(2**64), OverflowError, None),
    (lambda t: t.find_best_fit(2**64), OverflowError, None),
    (lambda t: t.insert("8", None), TypeError, "Argument 'size' has incorrect type (expected int, got str)"),
    (lambda t: t.delete(None, None), TypeError, "Argument 'size' has incorrect type (expected int, got NoneType)"),
    (lambda t: t.find_best_fit(8, "1"), TypeError,
     "Argument 'alignment' has incorrect type (expected int, got str)"),
    (lambda t: t.find_best_fit(-8, None), TypeError,
     "Argument 'alignment' has incorrect type (expected int, got NoneType)"),
    (lambda t: t.find_all_exact([]), TypeError, "Argument 'size' has incorrect type (expected int, got list)"),
    (lambda t: t.insert(8), TypeError, "insert() takes exactly 2 positional arguments (1 given)"),
    (lambda t: t.clear(1), TypeError, "clear() takes exactly 0 positional arguments (1 given)"),
    (lambda t: FastRedBlackTree._sanitize_size(-5), ValueError, "Invalid size: -5"),
    (lambda t: FastRedBlackTree._sanitize_size("5"), TypeError,
     "Argument 'size' has incorrect type (expected int, got str)"),
])
def test_bad_sizes_raise_and_change_nothing(call, exc, msg):
    t = FastRedBlackTree()
    t.insert(64, blk(0))
    before = t.get_stats()
    with pytest.raises(exc) as e:
        call(t)
    if msg:
        assert str(e.value) == msg
    assert t.get_stats() == before


def test_size_conversion():
    from decimal import Decimal
    t = FastRedBlackTree()
    a, b, c = blk(1), blk(2), blk(3)
    assert t.insert(8.9, a) is True and t.insert(True, b) is True and t.insert(Decimal("0.5"), c)
    assert same_object_list(t.find_all_exact(8), [a]) and t.find_best_fit(1) is b
    assert t.find_best_fit(0) is c and t.find_best_fit(7.99, alignment=64.5) is a
    assert FastRedBlackTree._sanitize_size(7.9) == 7 and type(FastRedBlackTree._sanitize_size(True)) is int
    assert t.insert(2**64 - 1, a) and t.find_best_fit(2**63) is a


def test_best_fit_and_exact_lookups():
    t = FastRedBlackTree()
    b64, b128, b256 = blk(1, 64), blk(2, 128), blk(3, 256)
    for s, b in [(128, b128), (64, b64), (256, b256)]:
        t.insert(s, b)
    assert [t.find_best_fit(s) for s in (100, 128, 257, 0, 64, 65, 256)] == [b128, b128, None, b64, b64, b128,
                                                                            b256]
    assert t.find_all_exact(100) == [] and same_object_list(t.find_all_exact(256), [b256])
    assert t.find_best_fit(100) is b128          # the stored object itself
    assert t.get_stats()["total_searches"] == 10


def test_same_size_chain_order():
    t = FastRedBlackTree()
    P, Q, R = blk(1), blk(2), blk(3)
    for b in (P, Q, R):
        t.insert(64, b)
    assert t.size() == 3 and same_object_list(t.find_all_exact(64), [P, R, Q]) and t.find_best_fit(64) is P
    assert t.get_size_distribution() == {64: 3} and t.get_stats()["height"] == 1
    assert [t.remove_ge(1)[1] for _ in range(3)] == [P, R, Q] and t.remove_ge(1) == (None, None)


def test_delete_matches_by_equality():
    t = FastRedBlackTree()
    P, Q, R = blk(1), blk(2), blk(3)
    for b in (P, Q, R):
        t.insert(64, b)
    t.insert(128, blk(9, 128))
    assert t.delete(64, blk(7)) is False and t.delete(65, P) is False and len(t) == 4
    assert t.delete(64, MemoryBlock(P.offset, P.size)) is True      # an equal copy removes P
    assert same_object_list(t.find_all_exact(64), [R, Q])
    assert t.delete(64, Q) is True and same_object_list(t.find_all_exact(64), [R])   # a chain entry
    assert t.delete(64, R) is True and t.find_all_exact(64) == [] and t.find_best_fit(64) == blk(9, 128)
    s = t.get_stats()
    assert (s["total_blocks"], s["total_deletions"], s["node_count"]) == (1, 3, 1)


def test_equal_blocks_go_node_first_then_chain_front():
    t = FastRedBlackTree()
    a, b, c = blk(1), blk(1), blk(1)               # three equal, distinct objects
    for x in (a, b, c):
        t.insert(8, x)
    assert t.delete(8, blk(1)) and same_object_list(t.find_all_exact(8), [c, b])
    assert t.delete(8, blk(1)) and same_object_list(t.find_all_exact(8), [b])


def test_comparison_errors_propagate_and_remove_nothing():
    class Angry:
        def __eq__(self, other):
            raise KeyError("no")
    t = FastRedBlackTree()
    a = Angry()
    t.insert(5, a)
    t.insert(5, blk(1))
    with pytest.raises(KeyError):
        t.delete(5, blk(1))
    assert len(t) == 2 and t.find_all_exact(5)[0] is a
    t.insert(6, blk(2))                          # the lock was released
    class NoBool:
        def __bool__(self):
            raise ZeroDivisionError
    class Weird:
        def __eq__(self, other):
            return NoBool()
    t.insert(7, Weird())
    with pytest.raises(ZeroDivisionError):
        t.delete(7, 1)
    assert t.get_size_distribution() == {5: 2, 6: 1, 7: 1}


def test_remove_ge():
    t = FastRedBlackTree()
    P, Q, R = blk(1), blk(2), blk(3, 128)
    t.insert(64, P)
    t.insert(64, Q)
    t.insert(128, R)
    assert t.get_size_distribution() == {64: 2, 128: 1}
    assert t.remove_ge(1000) == (None, None) and len(t) == 3
    r = t.remove_ge(65)
    assert r == (128, R) and r[1] is R and type(r[0]) is int
    assert t.remove_ge(1) == (64, P) and t.remove_ge(0) == (64, Q) and t.remove_ge(0) == (None, None)
    s = t.get_stats()
    assert (s["total_blocks"], s["total_deletions"], s["total_insertions"]) == (0, 3, 3)


def test_size_distribution_is_preorder():
    t = FastRedBlackTree()
    for s in [1, 2, 3, 4, 5, 6, 7, 8]:
        t.insert(s, blk(s))
    t.insert(2, blk(20))
    # inserting 1..8 in order leaves root 4, then (2 (1) (3)) and (6 (5) (7 (8)))
    assert list(t.get_size_distribution().items()) == [(4, 1), (2, 2), (1, 1), (3, 1), (6, 1), (5, 1), (7, 1),
                                                       (8, 1)]
    assert t.get_stats()["height"] == 4


# ------------------------------------------------------------- statistics

def test_stats_sampling_and_circuit_breaker():
    t = FastRedBlackTree()
    for i in range(250):
        t.insert(i % 7, blk(i))
    s = t.get_stats()
    assert s["sampled_operations"] == 2 and s["operation_count"] == 250 and s["total_insertions"] == 250
    t.reset_circuit_breaker()
    s = t.get_stats()
    assert list(s) == STAT_KEYS[:7] + ["circuit_breaker_trips"] + STAT_KEYS[7:]
    assert (s["circuit_breaker_trips"], s["operation_count"], s["total_insertions"]) == (0, 0, 250)
    t.insert(3, blk(999))
    s = t.get_stats()
    assert (s["operation_count"], s["total_insertions"], s["node_count"], s["total_blocks"]) == (1, 251, 251, 251)
    t.clear()
    s = t.get_stats()
    assert list(s) == STAT_KEYS and all(v == 0 for k, v in s.items() if k != "is_valid")
    assert (len(t), repr(t)) == (0, "FastRedBlackTree(blocks=0, native=True)")
    for _ in range(100):
        t.insert(1, None)
    assert t.get_stats()["sampled_operations"] == 1      # counters started again from 0
    a, b = t.get_statistics(), t.get_statistics()
    assert a == {} and b == {} and a is not b


@pytest.mark.parametrize("rate, inserts, sampled", [(1, 10, 10), (0, 10, 0), (100, 250, 2), (3, 10, 3),
                                                    (2**32 - 1, 5, 0)])
def test_sample_rate(rate, inserts, sampled):
    t = FastRedBlackTree(sample_rate=rate)
    for i in range(inserts):
        t.insert(i, None)
    assert t.get_stats()["sampled_operations"] == sampled


def test_atomic_available_read_at_construction():
    try:
        talvorn.ATOMIC_AVAILABLE = False
        t = FastRedBlackTree(1)
    finally:
        talvorn.ATOMIC_AVAILABLE = True
    t.insert(1, None)
    t.clear()
    t.insert(1, None)
    assert t.get_stats()["sampled_operations"] == 0
    assert FastRedBlackTree(1).get_stats()["sampled_operations"] == 0


# --------------------------------------------------------------- subclass

def test_subclass_overrides_are_called():
    calls = []

    class Rounding(FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            calls.append(size)
            if size > 10**6:
                raise ValueError("too big")
            return (size + 7) // 8 * 8 if size >= 0 else size

    t = Rounding(sample_rate=1)
    b = blk(1)
    t.insert(5, b)
    assert t.find_all_exact(8) == [b] and t.find_best_fit(3) is b and calls == [5, 8, 3]
    assert t.delete(10**7, b) is False and t.remove_ge(10**7) == (None, None) and t.find_best_fit(10**7) is None
    with pytest.raises(ValueError, match="too big"):
        t.insert(10**7, b)
    with pytest.raises(OverflowError, match="negative"):     # the override lets a negative size through
        t.insert(-1, b)

    class Sized(FastRedBlackTree):
        def __init__(self, n):
            self.n = n

        def size(self):
            return self.n

    with pytest.raises(TypeError, match="__cinit__"):
        Sized(3, 4)
    s = Sized(0)
    s.n = 5
    assert (len(s), bool(s), repr(s)) == (5, True, "FastRedBlackTree(blocks=0, native=True)")
    s.n = 0.0
    assert bool(s) is False
    with pytest.raises(TypeError):
        len(s)
    s.n = -1
    with pytest.raises(ValueError, match="should return >= 0"):
        len(s)


# --------------------------------------------------------- reference counts

def test_reference_counts():
    blocks = [blk(i, 64 + i % 5) for i in range(50)]

    def refs():
        return [sys.getrefcount(x) for x in blocks]

    def fill(t):
        for x in blocks:
            t.insert(x.size, x)

    def look(t):
        for x in blocks:
            t.find_best_fit(x.size)
            t.find_all_exact(x.size)

    before = refs()
    t = FastRedBlackTree()
    for _ in range(3):
        fill(t)
        look(t)
        assert refs() == [n + 1 for n in before]
        assert all(t.delete(x.size, x) for x in blocks[::2])
        got = []
        while t:
            got.append(t.remove_ge(0)[1])
        assert sorted(map(id, got)) == sorted(map(id, blocks[1::2]))
        del got
        assert refs() == before
        fill(t)
        t.clear()
        assert refs() == before
    fill(t)
    del t
    assert refs() == before


# ---------------------------------------------------- finalisers and the GC

class Reentrant(MemoryBlock):
    """A block whose finaliser uses the tree that held it."""

    def __del__(self):
        t = self.tree
        self.log.append((t.find_best_fit(0) is not None, len(t), t.find_all_exact(self.size) is not None))
        t.insert(1, None)
        t.delete(1, None)
        t.get_stats()
        t.get_size_distribution()


def run_with_timeout(fn, seconds=20):
    result = {}

    def target():
        try:
            fn()
            result["ok"] = True
        except BaseException as e:  # pragma: no cover - reported below
            result["error"] = e

    th = threading.Thread(target=target, daemon=True)
    th.start()
    th.join(seconds)
    assert not th.is_alive(), "deadlock"
    if "error" in result:
        raise result["error"]


@pytest.mark.parametrize("how", ["delete_node", "delete_promote", "delete_chain", "clear", "remove_ge"])
def test_finaliser_reentry(how):
    log = []

    def scenario():
        t = FastRedBlackTree()

        def make(i, size):
            b = Reentrant(i, size)
            b.tree, b.log = t, log
            return b

        for s in range(10, 20):
            t.insert(s, make(s, s))
        t.insert(15, make(100, 15))
        t.insert(15, make(101, 15))
        if how == "delete_node":
            assert t.delete(12, MemoryBlock(12, 12))
        elif how == "delete_promote":
            assert t.delete(15, MemoryBlock(15, 15))
        elif how == "delete_chain":
            assert t.delete(15, MemoryBlock(100, 15))
        elif how == "clear":
            t.clear()
        else:
            t.remove_ge(13)
        assert len(log) == (12 if how == "clear" else 1)     # remove_ge: the dropped result
        t.clear()

    run_with_timeout(scenario)
    assert len(log) == 12


class Cyclic(MemoryBlock):
    pass


def test_cycles_through_blocks_are_collected():
    gc.collect()
    t = FastRedBlackTree()
    b = Cyclic(1, 8)
    b.tree = t
    t.insert(8, b)
    t.insert(8, Cyclic(2, 8))
    t.find_all_exact(8)[1].tree = t
    alive = [weakref.ref(b), weakref.ref(t.find_all_exact(8)[1])]
    assert b in gc.get_referents(t)
    del t, b
    gc.collect()
    assert [r() for r in alive] == [None, None]

    log = []                                          # a cycle whose block has a finaliser
    t = FastRedBlackTree()
    r = Reentrant(3, 8)
    r.tree, r.log = t, log
    t.insert(8, r)
    w = weakref.ref(r)
    del t, r
    gc.collect()
    assert w() is None and len(log) == 1



def test_a_tree_cleared_by_the_collector_refuses_every_use():
    # The type's tp_clear, called as the collector calls it on a cycle, with
    # the interpreter lock held; whatever still reaches the tree afterwards
    # (a finaliser, native code) gets ReferenceError, from the slots too.
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    tp_clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(FastRedBlackTree, 51))  # Py_tp_clear

    class Sub(FastRedBlackTree):
        pass

    for cls in (FastRedBlackTree, Sub):
        t = cls(1)
        b = blk(1)
        for size, block in [(8, b), (8, blk(2)), (16, blk(3))]:
            t.insert(size, block)
        held = sys.getrefcount(b)
        assert tp_clear(t) == 0
        assert sys.getrefcount(b) == held - 1 and gc.get_referents(t) == [cls]
        for use in [len, bool, repr, lambda t: t.size(), lambda t: t.insert(1, b), lambda t: t.find_best_fit(1),
                    lambda t: t.find_all_exact(8), lambda t: t.delete(8, b), lambda t: t.remove_ge(1),
                    lambda t: t.clear(), lambda t: t.get_stats(), lambda t: t.get_size_distribution(),
                    lambda t: t.reset_circuit_breaker(), lambda t: t.get_statistics()]:
            with pytest.raises(ReferenceError, match="^FastRedBlackTree state was released by the garbage collector$"):
                use(t)
        assert tp_clear(t) == 0
        del t


# ------------------------------------------------------ concurrency protocol

class Slow(MemoryBlock):
    """Equality that runs Python code while the tree's writer holds its lock."""

    def __eq__(self, other):
        self.hook()
        return super().__eq__(other)

    __hash__ = MemoryBlock.__hash__


def test_reader_backs_off_during_a_write(monkeypatch):
    t = FastRedBlackTree()
    sleeps = []

    class FakeTime:
        @staticmethod
        def sleep(s):
            sleeps.append(s)

    seen = []
    stored = Slow(0, 64)
    stored.hook = lambda: seen.append((t.find_best_fit(64), t.find_all_exact(64), t.get_stats()["total_searches"]))
    t.insert(64, stored)
    monkeypatch.setattr(talvorn, "time", FakeTime)
    assert t.delete(64, MemoryBlock(0, 64)) is True
    assert seen == [(None, [], 0)] and sleeps == [0.0001] * 200
    assert t.find_best_fit(1) is None and len(sleeps) == 200     # even again
    monkeypatch.undo()
    t.insert(64, stored)
    start = time.perf_counter()
    stored.hook = lambda: seen.append(t.find_best_fit(0))
    t.delete(64, stored)
    assert seen[-1] is None and time.perf_counter() - start >= 100 * 0.0001


def test_exact_lookup_when_the_collector_changes_the_tree():
    """The result list's allocation can run the collector, whose callbacks
    (or finalisers) may change the tree: the lookup must not fill a list
    sized for the old chain."""
    class Tracked:
        pass

    t = FastRedBlackTree()
    a, b = blk(1, 8), blk(2, 8)
    t.insert(8, a)
    armed, fired = [], []

    def callback(phase, info):
        if phase == "start" and armed and not fired:
            fired.append(1)
            t.insert(8, b)

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    try:
        gc.collect()
        hold = [[] for _ in range(100)]      # empties the interpreter's free list of lists
        if FREE_THREADED:
            # Each thread hands its allocation count on every 512 tracked
            # allocations, and a second threshold of 0 turns off the scaling
            # by the number of live objects.
            gc.set_threshold(1, 0)
            rounds = 2000
        else:
            gc.set_threshold(1)              # every second tracked allocation collects
            rounds = 10
        for i in range(rounds):
            hold.append(Tracked())
            if i % 2:                        # either parity of the allocation count
                hold.append(Tracked())
            armed.append(1)
            got = t.find_all_exact(8)
            armed.clear()
            hold.append(got)
            if fired:
                break
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(callback)
    assert fired
    if sys.version_info < (3, 12):           # the collector runs inside the allocation
        assert same_object_list(got, [a, b])
    else:                                    # ... or at the next bytecode boundary
        assert same_object_list(got, [a, b]) or same_object_list(got, [a])
    assert same_object_list(t.find_all_exact(8), [a, b])


def test_readers_and_writers_in_threads():
    sizes = list(range(64, 64 + 40 * 16, 16))
    stable = {s: MemoryBlock(s * 1000, s) for s in sizes[::2]}
    t = FastRedBlackTree()
    for s, b in stable.items():
        t.insert(s, b)
    stop = threading.Event()
    errors = []

    def writer(own):
        try:
            i = 0
            while not stop.is_set():
                s = own[i % len(own)]
                b = Slow(s * 1000 + 1, s)
                b.hook = lambda: None
                c = Slow(s * 1000 + 2, s)
                c.hook = lambda: time.sleep(0)       # lets readers run while the writer holds its lock
                t.insert(s, b)
                t.insert(s, c)
                if i % 7 == 0:
                    got = t.remove_ge(s)
                    assert got[0] == s and got[1] is b
                    t.insert(s, b)
                assert t.delete(s, MemoryBlock(s * 1000 + 2, s)) and t.delete(s, b)
                i += 1
        except BaseException as e:  # pragma: no cover
            errors.append(e)

    def reader():
        try:
            for n in range(2000):
                req = sizes[n % len(sizes)] - n % 3
                r = t.find_best_fit(req)
                if r is not None and (r.size < req or r.offset // 1000 != r.size):
                    errors.append((req, r))
                if any(x.size != req for x in t.find_all_exact(req)):
                    errors.append(req)
        except BaseException as e:  # pragma: no cover
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        ws = [threading.Thread(target=writer, args=(sizes[1::2][k::2],)) for k in range(2)]
        rs = [threading.Thread(target=reader) for _ in range(2)]
        for th in ws + rs:
            th.start()
        for th in rs:
            th.join(60)
        stop.set()
        for th in ws:
            th.join(60)
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert t.get_size_distribution() == {s: 1 for s in stable}
    assert all(t.find_best_fit(s) is b for s, b in stable.items())


def test_every_validated_search_is_counted():
    # Readers on a tree that no writer changes: each lookup validates at
    # once, and the count must not lose any of them.
    t = FastRedBlackTree()
    for s in range(0, 4000, 4):
        t.insert(s, blk(s, s))
    threads, calls = 4, 25000
    start = threading.Barrier(threads)

    def reader():
        start.wait()
        for i in range(calls):
            t.find_best_fit(i % 4000)
            t.find_all_exact(i % 4000)

    pool = [threading.Thread(target=reader) for _ in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    assert t.get_stats()["total_searches"] == 2 * threads * calls


def test_walks_writers_and_reports_in_parallel(subprocess_python):
    # Two writers free nodes that two readers walk, another thread clears
    # the tree and takes reports meanwhile.  Run under the allocator's debug
    # hooks, which overwrite freed memory: a walk through a freed node, or
    # a block reference taken from one, ends the process.  Each report must
    # agree with itself: the block count and the node count move together.
    env = {} if "PYTHONMALLOC" in __import__("os").environ else {"PYTHONMALLOC": "debug"}
    out = subprocess_python("""
        import random, sys, threading, time
        from korvane.memory.talvorn import FastRedBlackTree
        from korvane.memory.halvet import MemoryBlock

        sys.setswitchinterval(1e-5)
        t = FastRedBlackTree(sample_rate=3)
        stop = threading.Event()
        bad = []

        def writer(k):
            rng, i = random.Random(k), 0
            while not stop.is_set():
                s = rng.randrange(1, 2000)
                b = MemoryBlock(i, s)
                i += 1
                t.insert(s, b)
                if rng.random() < 0.5:
                    t.delete(s, b)
                else:
                    t.remove_ge(rng.randrange(2000))
                if rng.random() < 0.001:
                    t.clear()

        def reader(k):
            rng = random.Random(100 + k)
            while not stop.is_set():
                want = rng.randrange(2000)
                b = t.find_best_fit(want)
                if b is not None and b.size < want:
                    bad.append((want, b))
                if any(x.size != want for x in t.find_all_exact(want)):
                    bad.append(want)

        def reporter():
            while not stop.is_set():
                s = t.get_stats()
                if s["node_count"] != s["total_blocks"] or s["height"] > 2 * s["node_count"] + 1:
                    bad.append(s)
                t.reset_circuit_breaker()
                t.get_size_distribution()

        pool = ([threading.Thread(target=writer, args=(k,)) for k in range(2)] +
                [threading.Thread(target=reader, args=(k,)) for k in range(2)] + [threading.Thread(target=reporter)])
        for th in pool:
            th.start()
        time.sleep(1.5)
        stop.set()
        for th in pool:
            th.join()
        dist = t.get_size_distribution()
        s = t.get_stats()
        print(len(bad), bad[:3], len(t) == s["total_blocks"] == sum(dist.values()))
    """, env=env)
    assert out.stdout.split(" ", 1)[0] == "0" and out.stdout.rstrip().endswith("True"), out.stdout


# ---------------------------------------------------------- allocation failure

def test_node_allocation_failure():
    _testcapi = pytest.importorskip("_testcapi")
    t = FastRedBlackTree(sample_rate=0)
    t.insert(10, blk(10))
    keep = [blk(i) for i in range(100)]
    messages = set()
    for start in range(0, 30):
        b = keep[start]
        before = len(t)
        _testcapi.set_nomemory(start, start + 1)
        try:
            t.insert(10 + start % 3 * 10, b)
        except MemoryError as e:
            messages.add(str(e))
        finally:
            _testcapi.remove_mem_hooks()
        assert len(t) in (before, before + 1)
        assert t.get_stats()["total_blocks"] == len(t)
    assert "Failed to allocate RB node" in messages
    t.insert(5, blk(5))                           # the lock was released each time
    assert sum(t.get_size_distribution().values()) == len(t)


# ------------------------------------------------- model-based and red-black

class TreeAgainstModel(RuleBasedStateMachine):
    """Every operation against a dict of size -> blocks in tree order."""

    def __init__(self):
        super().__init__()
        self.tree = FastRedBlackTree(sample_rate=3)
        self.model = {}
        self.serial = 0
        self.inserts = 0

    sizes = st.integers(0, 40) | st.sampled_from([2**64 - 1, 2**63, 1000])

    @rule(size=sizes, dup=st.booleans())
    def insert(self, size, dup):
        self.serial += 1
        b = MemoryBlock(self.serial if not dup else 0, size)
        assert self.tree.insert(size, b) is True
        chain = self.model.setdefault(size, [])
        if chain:
            chain.insert(1, b)        # behind the tree node's block
        else:
            chain.append(b)
        self.inserts += 1

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def delete_present(self, data):
        size = data.draw(st.sampled_from(sorted(self.model)))
        chain = self.model[size]
        target = data.draw(st.sampled_from(chain))
        probe = MemoryBlock(target.offset, target.size)
        i = chain.index(probe)
        assert self.tree.delete(size, probe) is True
        del chain[i]
        if not chain:
            del self.model[size]

    @rule(size=sizes)
    def delete_absent(self, size):
        assert self.tree.delete(size, MemoryBlock(10**9, 1)) is False

    @rule(size=sizes)
    def remove_ge(self, size):
        fit = min((s for s in self.model if s >= size), default=None)
        got = self.tree.remove_ge(size)
        if fit is None:
            assert got == (None, None)
            return
        chain = self.model[fit]
        assert got[0] == fit and got[1] is chain[0]
        del chain[0]
        if not chain:
            del self.model[fit]

    @rule(size=sizes)
    def lookups(self, size):
        fit = min((s for s in self.model if s >= size), default=None)
        got = self.tree.find_best_fit(size)
        assert got is (self.model[fit][0] if fit is not None else None)
        assert same_object_list(self.tree.find_all_exact(size), self.model.get(size, []))

    @rule()
    def clear(self):
        self.tree.clear()
        self.model.clear()
        self.inserts = 0

    @invariant()
    def consistent(self):
        n = sum(map(len, self.model.values()))
        assert len(self.tree) == n and bool(self.tree) == (n > 0)
        assert self.tree.get_size_distribution() == {s: len(c) for s, c in self.model.items()}
        s = self.tree.get_stats()
        assert s["height"] <= 2 * math.log2(len(self.model) + 1)
        assert s["node_count"] == s["total_blocks"] == n
        assert s["sampled_operations"] == self.inserts // 3


TestTreeAgainstModel = TreeAgainstModel.TestCase
TestTreeAgainstModel.settings = settings(max_examples=40, stateful_step_count=50, deadline=None)


# The checker and its compiler run without a sanitizer runtime preloaded
# for the interpreter.
PLAIN_ENV = {k: v for k, v in __import__("os").environ.items() if k != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def tree_checker(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    exe = tmp_path_factory.mktemp("rbtree") / "rbtree_check"
    subprocess.run([cxx, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src/korvane/memory'}",
                    str(ROOT / "tests/rbtree_check.cpp"), "-o", str(exe)], check=True, env=PLAIN_ENV)
    return exe


def test_native_core_stress(tree_checker):
    out = subprocess.run([str(tree_checker), "stress", "100000"], capture_output=True, text=True, timeout=120,
                         env=PLAIN_ENV)
    assert out.returncode == 0 and out.stdout.startswith("ok"), out.stdout


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from("iiiddgc"), st.integers(0, 60)), max_size=120))
def test_native_core_rules_after_every_step(tree_checker, ops):
    script = "".join(f"{op} {n}\n" for op, n in ops)
    out = subprocess.run([str(tree_checker)], input=script, capture_output=True, text=True, timeout=60,
                         env=PLAIN_ENV)
    assert out.returncode == 0, out.stdout


def test_many_random_blocks_stay_balanced():
    import random
    rng = random.Random(7)
    t = FastRedBlackTree()
    sizes = [rng.randrange(10**6) for _ in range(20000)]
    blocks = [MemoryBlock(i, s) for i, s in enumerate(sizes)]
    for s, b in zip(sizes, blocks):
        t.insert(s, b)
    distinct = len(set(sizes))
    assert len(t) == 20000 and height_ok(t, distinct)
    order = list(range(20000))
    rng.shuffle(order)
    for k, i in enumerate(order):
        assert t.delete(sizes[i], blocks[i])
        if k % 2000 == 0:
            assert height_ok(t, len(t.get_size_distribution()))
    assert len(t) == 0 and t.get_stats()["height"] == 0 and t.remove_ge(0) == (None, None)
