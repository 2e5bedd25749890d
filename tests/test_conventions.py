"""Conventions of the shared native layer, exercised through korvane.memory.varnok.

Every extension module is built on the same layer (module life cycle,
argument parsing, conversions, the function type, type helpers), so these
tests stand for all of them.
"""

import copy
import decimal
import functools
import inspect
import pickle
import warnings

import pytest

from korvane.memory import varnok
from korvane.memory.varnok import AtomicCounter, AtomicCounterWrapper, AtomicPointer, LockFreeStack, LockFreeStatistics

INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


# ------------------------------------------------------------- life cycle

def test_reimport_and_reload_return_the_first_module(subprocess_python):
    out = subprocess_python("""
        import importlib, logging, sys
        count = []
        class H(logging.Handler):
            def emit(self, r): count.append(r.getMessage())
        logging.getLogger("korvane.memory.varnok").addHandler(H())
        logging.getLogger("korvane.memory.varnok").setLevel(logging.INFO)
        import korvane.memory.varnok as m
        m.marker = 1
        del sys.modules["korvane.memory.varnok"]
        import korvane.memory.varnok as again
        assert again is m and again.marker == 1          # not executed again
        assert importlib.reload(m) is m and m.marker == 1
        assert sys.modules["korvane.memory.varnok"] is m and "__builtins__" in vars(m)
        print(len(count), m.__name__, m.__spec__.name)
    """)
    assert out.stdout.split() == ["1", "korvane.memory.varnok", "korvane.memory.varnok"]



def test_importing_every_module_leaves_the_gil_off(subprocess_python):
    # Every module declares that it runs without the GIL, so a free-threaded
    # interpreter keeps it off (and says nothing); GIL builds have it on.
    out = subprocess_python("""
        import importlib, sys, sysconfig, warnings
        import korvane
        warnings.simplefilter("error")
        for name, _ in korvane.NATIVE_MODULES:
            importlib.import_module(name)
        print(bool(sysconfig.get_config_var("Py_GIL_DISABLED")), getattr(sys, "_is_gil_enabled", lambda: True)())
    """, env={"PYTHON_GIL": ""})
    free, enabled = out.stdout.split()
    assert (out.stderr, enabled) == ("", "False" if free == "True" else "True")


SUBINTERP = """
import os, sys
try:
    import _testcapi
except ImportError:
    print("no _testcapi"); raise SystemExit
r, w = os.pipe()
code = "\\n".join([
    "import os",
    "try:",
    "    import korvane.memory.varnok",
    "    msg = 'imported'",
    "except BaseException as e:",
    "    msg = type(e).__name__ + ': ' + str(e)",
    "os.write(%d, msg.encode())" % w])
if MAIN_FIRST_VALUE:
    import korvane.memory.varnok
_testcapi.run_in_subinterp(code)
os.close(w)
print(os.read(r, 1000).decode())
try:
    import korvane.memory.varnok
    print("main: imported")
except ImportError as e:
    print("main: ImportError: " + str(e))
"""


@pytest.mark.parametrize("main_first, sub, main", [
    (True, "ImportError: " + INTERPRETER_CHANGE, "main: imported"),
    (False, "imported", "main: ImportError: " + INTERPRETER_CHANGE),   # the first interpreter keeps it
])
def test_one_interpreter_per_process(subprocess_python, main_first, sub, main):
    out = subprocess_python(SUBINTERP.replace("MAIN_FIRST_VALUE", str(main_first)))
    if out.stdout.strip() == "no _testcapi":
        pytest.skip("interpreter built without _testcapi")
    assert out.stdout.splitlines() == [sub, main]


@pytest.mark.parametrize("breakage, message", [
    ("sys.modules['typing'] = types.ModuleType('typing')", "cannot import name Generic"),
    ("sys.modules['threading'] = None", "import of threading halted; None in sys.modules"),
])
def test_failed_execution_drops_the_module(subprocess_python, breakage, message):
    out = subprocess_python(f"""
        import sys, traceback, types
        saved = dict(sys.modules)
        {breakage}
        try:
            import korvane.memory.varnok
        except ImportError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print(str(e) == {message!r}, "init korvane.memory.varnok" in names,
                  "korvane.memory.varnok" in sys.modules)
        for name in set(sys.modules) - set(saved):
            del sys.modules[name]
        sys.modules.update(saved)
        import korvane.memory.varnok as m                 # a later import starts afresh
        print(m.AtomicCounter(4).increment(), m.CYTHON_ATOMICS_AVAILABLE)
    """)
    assert out.stdout.split() == ["True", "True", "False", "5", "True"]


# ------------------------------------------------------------ arguments

@pytest.mark.parametrize("call, message", [
    (lambda c: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
    (lambda c: c.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
    (lambda c: c.compare_and_swap(new_value=1), "compare_and_swap() takes exactly 2 positional arguments (0 given)"),
    (lambda c: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
    (lambda c: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
    (lambda c: c.load(x=1), "load() got an unexpected keyword argument 'x'"),
    (lambda c: c.increment(delta=1, step=2), "increment() got an unexpected keyword argument 'step'"),
    (lambda c: c.increment(1, delta=2), "increment() got multiple values for keyword argument 'delta'"),
    (lambda c: c.compare_and_swap(1, 2, expected=3),
     "compare_and_swap() got multiple values for keyword argument 'expected'"),
    (lambda c: c.compare_and_swap(1, 2, 3), "compare_and_swap() takes exactly 2 positional arguments (3 given)"),
    (lambda c: AtomicCounter(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
    (lambda c: AtomicCounter(initial_value=1, x=2), "__cinit__() got an unexpected keyword argument 'x'"),
    (lambda c: AtomicCounter(1, initial_value=2), "__cinit__() got multiple values for keyword argument 'initial_value'"),
    (lambda c: AtomicCounter(**{1: 2}), "__cinit__() keywords must be strings"),
    (lambda c: AtomicPointer(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
    (lambda c: LockFreeStack().size(None), "size() takes exactly 0 positional arguments (1 given)"),
    (lambda c: LockFreeStatistics().py_record_allocation(100),
     "record_allocation() takes at least 2 positional arguments (1 given)"),
    (lambda c: AtomicCounterWrapper().fetch_and_add(), "fetch_and_add() takes exactly 2 positional arguments (1 given)"),
    (lambda c: AtomicCounterWrapper.load(), "load() takes exactly 1 positional argument (0 given)"),
    (lambda c: AtomicCounterWrapper(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda c: AtomicCounterWrapper().store(), "store() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(AtomicCounter(3))
    assert str(info.value) == message


def test_keywords_and_other_calling_paths():
    c = AtomicCounter(initial_value=1)
    assert c.compare_and_swap(new_value=5, expected=1) is True
    assert c.increment(**{"".join(["del", "ta"]): 2}) == 7          # a keyword that is not interned
    assert AtomicCounter.increment(c, delta=3) == 10                  # unbound, through the class
    assert list(map(AtomicCounter.load, [c])) == [10]
    assert functools.partial(c.fetch_and_add, delta=1)() == 10
    assert AtomicCounter.increment(*(c,), **{}) == 12                 # the tuple-and-dict path
    w = AtomicCounterWrapper(initial_value=2)
    assert w.increment(delta=3) == 5 and AtomicCounterWrapper.load(w) == 5
    bound = w.load
    assert bound.__self__ is w and bound.__func__ is vars(AtomicCounterWrapper)["load"] and bound() == 5
    assert vars(AtomicCounter)["load"].__get__(None, AtomicCounter) is vars(AtomicCounter)["load"]
    with pytest.raises(TypeError):
        c.increment(**{1: 2})
    with pytest.raises(TypeError):
        AtomicCounter.load(5)                                        # not a counter
    with pytest.raises(TypeError):
        AtomicCounter.load()


def test_constructors_without_parameters_accept_anything():
    for cls in (LockFreeStack, LockFreeStatistics, varnok.PerformanceTimer):
        cls(1, "two", three=3)


# ----------------------------------------------------------- conversions

class Returns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class MyInt(int):
    pass


class IndexOnly:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value, result", [
    (3.9, 3), (-3.9, -3), (True, 1), (decimal.Decimal("-2.5"), -2), (Returns(6), 6), (MyInt(8), 8), (2**63 - 1, 2**63 - 1),
])
def test_native_integer_conversion(value, result):
    assert AtomicCounter(value).load() == result


@pytest.mark.parametrize("value, error, message", [
    (Returns("6"), TypeError, "__int__ returned non-int (type str)"),
    (Returns(6.0), TypeError, "__int__ returned non-int (type float)"),
    (IndexOnly(), TypeError, "an integer is required"),
    ("6", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"6", TypeError, "an integer is required"),
    (Returns(2**64), OverflowError, None),
    (2**63, OverflowError, None),
])
def test_native_integer_conversion_errors(value, error, message):
    with pytest.raises(error) as info:
        AtomicCounter(value)
    if message is not None:
        assert str(info.value) == message


def test_int_subclass_from_int_is_deprecated():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert AtomicCounter(Returns(MyInt(9))).load() == 9
    assert [str(w.message) for w in caught] == [
        "__int__ returned non-int (type MyInt).  The ability to return an instance of a strict subclass of int "
        "is deprecated, and may be removed in a future version of Python."]
    assert caught[0].category is DeprecationWarning
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c = AtomicCounter(5)
        with pytest.raises(DeprecationWarning):
            c.store(Returns(MyInt(1)))
        assert c.load() == 5


@pytest.mark.parametrize("value, result", [(2.7, 2), (-2.7, -2), (True, 1), (decimal.Decimal("9.9"), 9), (MyInt(4), 4),
                                           (Returns(4), 4)])
def test_int_annotated_parameters(value, result):
    assert AtomicCounterWrapper(value).load() == result
    s = LockFreeStatistics()
    s.record_allocation(value)
    assert s.bytes_allocated.load() == result


@pytest.mark.parametrize("value", ["1", None, b"1", [1], object()])
def test_int_annotated_parameters_refuse_non_numbers(value):
    with pytest.raises(TypeError) as info:
        AtomicCounterWrapper().increment(value)
    assert str(info.value) == \
        f"Argument 'delta' has incorrect type (expected int, got {type(value).__name__})"


def test_boolean_parameters_take_truth_values():
    s = LockFreeStatistics()
    for flag in (1, "x", [0], 0, "", None):
        s.record_allocation(1, flag)
    assert (s.bucketed_allocations.load(), s.fallback_allocations.load()) == (3, 3)


# ------------------------------------------------------- pickling, copying

@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_refused_at_every_protocol(protocol):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(AtomicCounter(1), protocol)


def test_refusal_functions_and_overrides():
    for name, sig in (("__reduce__", "(self)"), ("__reduce_ex__", "(self, protocol)"),
                      ("__setstate__", "(self, state)")):
        f = vars(AtomicCounter)[name]
        assert f.__name__ == name and str(inspect.signature(f)) == sig

    class Picklable(AtomicCounter):
        def __reduce_ex__(self, protocol):
            return (Picklable, (self.load(),))

    clone = copy.copy(Picklable(6))
    assert type(clone) is Picklable and clone.load() == 6


# --------------------------------------------- the function type itself

def test_function_metadata():
    f = vars(AtomicCounter)["increment"]
    assert (f.__name__, f.__qualname__, f.__module__) == ("increment", "AtomicCounter.increment",
                                                         "korvane.memory.varnok")
    assert f.__defaults__ == (1,) and vars(AtomicCounter)["load"].__defaults__ is None
    assert repr(f).startswith("<function AtomicCounter.increment at ")
    wf = vars(AtomicCounterWrapper)["compare_and_swap"]
    assert wf.__qualname__ == "AtomicCounterWrapper.compare_and_swap" and wf.__doc__ is None
    assert wf.__annotations__ == {"expected": "int", "new_value": "int", "return": "bool"}
    assert vars(AtomicCounterWrapper)["__init__"].__annotations__ == {"initial_value": "int"}
    assert vars(AtomicCounterWrapper)["store"].__annotations__ == {"value": "int"}
    assert vars(LockFreeStatistics)["py_record_allocation"].__annotations__ == {
        "size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int"}
    assert vars(LockFreeStatistics)["get_snapshot"].__annotations__ == {"return": "dict"}
    assert vars(AtomicPointer)["load"].__annotations__ == {"return": "Optional[object]"}


@pytest.mark.parametrize("obj, text", [
    (AtomicCounter.increment, "(self, delta=1) -> 'int'"),
    (AtomicCounter.compare_and_swap, "(self, expected, new_value) -> 'bool'"),
    (AtomicCounter.store, "(self, value)"),
    (AtomicCounter(0).increment, "(delta=1) -> 'int'"),
    (AtomicCounterWrapper.__init__, "(self, initial_value: 'int' = 0)"),
    (AtomicCounterWrapper.fetch_and_add, "(self, delta: 'int') -> 'int'"),
    (AtomicCounterWrapper().increment, "(delta: 'int' = 1) -> 'int'"),
    (AtomicCounterWrapper, "(initial_value: 'int' = 0)"),
    (LockFreeStatistics.record_allocation,
     "(self, size: 'int', is_bucketed: 'bool' = True, padding: 'int' = 0, time_ns: 'int' = 0)"),
])
def test_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_one_function_under_two_names_and_a_name_of_its_own():
    d = vars(AtomicCounter)
    assert all(d["py_" + n] is d[n] for n in ("load", "store", "increment", "decrement", "compare_and_swap",
                                               "fetch_and_add"))
    assert AtomicCounter.py_load is AtomicCounter.load
    d = vars(LockFreeStatistics)
    assert d["py_record_allocation"].__name__ == "record_allocation" != "py_record_allocation"
    assert d["py_record_deallocation"].__name__ == "record_deallocation"


def test_function_names_stay_strings():
    f = vars(AtomicCounter)["load"]
    for name in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{name} must be set to a string object$"):
            setattr(f, name, 5)
        with pytest.raises(TypeError):
            delattr(f, name)
    with pytest.raises(TypeError, match="needs an argument"):
        f()                                        # the message uses __qualname__
    assert repr(f).startswith("<function AtomicCounter.load")


# -------------------------------------------------------------- classes

def test_instances_have_no_dict_but_subclasses_may():
    c = AtomicCounter()
    with pytest.raises(AttributeError):
        c.__dict__
    with pytest.raises(AttributeError):
        c.anything = 1

    class Slotted(AtomicCounter):
        __slots__ = ("tag",)

        def increment(self, delta=1):
            return super().increment(delta * 10)

    s = Slotted(1)
    s.tag = "x"
    assert s.increment() == 11 and s.py_increment() == 12    # py_increment is the base's own
    assert not hasattr(s, "__dict__")

    class Wrapper(AtomicCounterWrapper):
        def __init__(self, start, step):
            super().__init__(start)
            self.step = step

    w = Wrapper(3.5, 2)
    assert w.increment(w.step) == 5 and w.step == 2
