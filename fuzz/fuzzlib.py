"""Argument generation and outcome checks shared by the fuzz harnesses.

Every harness turns the fuzzer's bytes into calls through a `Gen`, which
draws typed values that lean on the edges (integer limits, NaN, infinities,
empty / huge / non-ASCII strings) and, now and then, a value of the wrong
type or a hostile object whose conversions, iteration or comparison raise or
change the list that is being read.  Calls go through `attempt`, which lets
the errors a caller may expect pass and turns everything else into a finding
that stops the fuzzer: a SystemError, an unexpected exception type, or an
exception without a message.  Crashes and sanitizer reports stop the process
by themselves.
"""
import contextlib
import functools
import math
import os
import sys

import atheris

# Hostile objects raise this; it may leave any call, chained or not.
class Hostile(Exception):
    pass


class Finding(AssertionError):
    pass


# Errors a caller may get back from any public call with bad arguments.
EXPECTED = (TypeError, ValueError, OverflowError, IndexError, MemoryError, Hostile)

# Size caps: nothing a harness sends may legitimately need more than a few MB.
MAX_LIST = int(os.environ.get("KORVANE_FUZZ_MAX_LIST", "64"))
MAX_STR = int(os.environ.get("KORVANE_FUZZ_MAX_STR", "4096"))
HUGE_STR = int(os.environ.get("KORVANE_FUZZ_HUGE_STR", str(1 << 16)))

INT_EDGES = sorted({
    0, 1, -1, 2, 3, 7, 8, 9, 15, 16, 31, 32, 33, 63, 64, 65, 100, 127, 128, 255, 256, 1000, 1023, 1024, 4095,
    4096, 65535, 65536, 2**31 - 1, 2**31, 2**31 + 1, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**32 + 1, -2**32,
    2**53, 2**53 + 1, 2**62, 2**63 - 1, 2**63, 2**63 + 1, -2**63, -2**63 - 1, -2**63 + 1, 2**64 - 1, 2**64,
    2**64 + 1, -2**64, 2**100, -2**100, 10**30,
})
INT_EDGES = list(INT_EDGES)

FLOAT_EDGES = [
    0.0, -0.0, 1.0, -1.0, 0.5, 0.1, 0.3, 0.6, 0.8, 0.9999999999999999, 1.0000000000000002, 2.0, 10.0, 100.0,
    float("nan"), -float("nan"), float("inf"), -float("inf"), 5e-324, -5e-324, 2.2250738585072014e-308,
    1.7976931348623157e308, -1.7976931348623157e308, 2.0**31, 2.0**31 - 1, -2.0**31, 2.0**32, 2.0**53,
    2.0**63, -2.0**63, 2.0**64, -2.0**64, 9.223372036854775e18, 1e-300, 1e300, 1e16, -1e16, 1e9, 1e-9,
]

STR_EDGES = [
    "", " ", "\x00", "a", "\u00e9", "\u20ac", "\U0001f600", "\ud800", "\udfff", "caf\u00e9\x00x", "3.10",
    "8.0", "7.5", "9.0", "x" * 300, "\n" * 50, "\uffff", "\U0010ffff",
]


def _hostile(msg):
    raise Hostile(msg)


class BadInt:
    """__index__/__int__ raise, return a non-int or return a huge int."""
    def __init__(self, mode, value=0):
        self.mode, self.value = mode, value

    def _get(self):
        if self.mode == 0:
            _hostile("hostile __int__")
        if self.mode == 1:
            return 1.5
        if self.mode == 2:
            return "7"
        if self.mode == 3:
            return True
        return self.value

    def __index__(self):
        return self._get()

    def __int__(self):
        return self._get()

    def __repr__(self):
        return f"BadInt({self.mode}, {self.value})"


class BadFloat:
    """__float__ raises, returns a non-float or returns an edge value."""
    def __init__(self, mode, value=0.0):
        self.mode, self.value = mode, value

    def __float__(self):
        if self.mode == 0:
            _hostile("hostile __float__")
        if self.mode == 1:
            return "1.0"
        if self.mode == 2:
            return 1
        return self.value

    def __repr__(self):
        return f"BadFloat({self.mode}, {self.value})"


class BadBool:
    def __bool__(self):
        _hostile("hostile __bool__")

    def __len__(self):
        _hostile("hostile __len__")


class BadEq:
    """__eq__ raises, or answers with an object whose truth raises."""
    def __init__(self, mode):
        self.mode = mode

    def __eq__(self, other):
        if self.mode == 0:
            _hostile("hostile __eq__")
        if self.mode == 1:
            return BadBool()
        return NotImplemented

    def __ne__(self, other):
        _hostile("hostile __ne__")

    def __hash__(self):
        if self.mode == 3:
            _hostile("hostile __hash__")
        return 7

    def __repr__(self):
        return f"BadEq({self.mode})"


class Mutator:
    """Changes its target list (clears, grows, shrinks or swaps it) when
    converted, compared, hashed or iterated: the reader must cope."""
    def __init__(self, target, mode, value=1.0):
        self.target, self.mode, self.value = target, mode, value

    def _mutate(self):
        t = self.target
        if t is None:
            return
        m = self.mode % 5
        if m == 0:
            t.clear()
        elif m == 1:
            if len(t) < 4 * MAX_LIST:
                t.extend(t[:4] or [None])
        elif m == 2:
            del t[: len(t) // 2 + 1]
        elif m == 3:
            t[:] = [None, "x", (1.0,)]
        else:
            t.reverse()

    def __float__(self):
        self._mutate()
        return float(self.value)

    def __index__(self):
        self._mutate()
        return int(self.value) if math.isfinite(self.value) else 0

    __int__ = __index__

    def __eq__(self, other):
        self._mutate()
        return False

    def __hash__(self):
        self._mutate()
        return 11

    def __bool__(self):
        self._mutate()
        return True

    def __iter__(self):
        self._mutate()
        return iter((self.value, self.value))

    def __len__(self):
        self._mutate()
        return 2

    def __getitem__(self, i):
        self._mutate()
        if i in (0, 1):
            return self.value
        raise IndexError("Mutator index out of range")

    def __repr__(self):
        return f"Mutator({self.mode}, {self.value})"


class BadIter:
    """Iteration raises at once, after some items, or lies about its length."""
    def __init__(self, mode, items=()):
        self.mode, self.items = mode, list(items)

    def __iter__(self):
        if self.mode == 0:
            _hostile("hostile __iter__")
        return self._gen()

    def _gen(self):
        for it in self.items:
            yield it
        if self.mode == 1:
            _hostile("hostile iteration")

    def __len__(self):
        if self.mode == 2:
            return 10**6
        if self.mode == 3:
            _hostile("hostile __len__")
        return len(self.items)

    def __getitem__(self, i):
        if self.mode == 4:
            _hostile("hostile __getitem__")
        return self.items[i]


class AttrBomb:
    """Every attribute read raises."""
    def __getattr__(self, name):
        _hostile(f"hostile attribute {name}")


class IntSub(int):
    def __index__(self):
        _hostile("IntSub.__index__")


class FloatSub(float):
    def __float__(self):
        _hostile("FloatSub.__float__")


class StrSub(str):
    def __eq__(self, other):
        _hostile("StrSub.__eq__")

    __hash__ = str.__hash__


class ListSub(list):
    def __len__(self):
        _hostile("ListSub.__len__")

    def __iter__(self):
        _hostile("ListSub.__iter__")


class DictSub(dict):
    def __getitem__(self, k):
        _hostile("DictSub.__getitem__")


class FuzzLock:
    """A stand-in for threading.Lock whose __enter__ and __exit__ follow a
    plan: pass, raise, or (for __exit__) swallow the body's exception."""
    def __init__(self, plan):
        self.plan, self.i, self.held = plan, 0, False

    def _next(self):
        step = self.plan[self.i % len(self.plan)] if self.plan else 0
        self.i += 1
        return step

    def __enter__(self):
        if self.held:
            # a real lock would deadlock here: refuse instead
            _hostile("lock re-entered by the thread that holds it")
        if self._next() == 1:
            _hostile("hostile lock __enter__")
        self.held = True
        return self

    def __exit__(self, *exc):
        self.held = False
        step = self._next()
        if step == 1:
            _hostile("hostile lock __exit__")
        return step == 2


class FakeThreading:
    """What a module finds under its `threading` name while fuzzed."""
    def __init__(self, g):
        self.kind = g.n(5)
        self.plan = [g.pick([0, 0, 0, 1, 2]) for _ in range(1 + g.n(6))]
        self.made = []

    def Lock(self):  # noqa: N802 - the threading API's name
        if self.kind == 0:
            _hostile("hostile Lock()")
        if self.kind == 1:
            return object()                  # no __enter__ at all
        self.made.append(FuzzLock(self.plan))
        return self.made[-1]


class swapped:
    """Context manager: module.name replaced by value while inside."""
    def __init__(self, module, name, value):
        self.module, self.name, self.value = module, name, value

    def __enter__(self):
        self.old = getattr(self.module, self.name)
        setattr(self.module, self.name, self.value)
        return self.value

    def __exit__(self, *exc):
        setattr(self.module, self.name, self.old)
        return False


class Gen:
    """Typed values drawn from the fuzzer's bytes."""

    def __init__(self, data, words=(), extra=()):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.extra = tuple(extra)  # further exception types this module's callers may get
        self.words = list(words) or ["a", "b"]
        self.depth = 0
        self.clean = False  # while True, typed draws keep to their type

    # -- primitives
    def n(self, hi):
        """An int in [0, hi]."""
        return self.fdp.ConsumeIntInRange(0, hi)

    def chance(self, k):
        """True about once in k draws; False once the input is used up, so
        that a short input means plain, well-typed calls."""
        if not self.fdp.remaining_bytes():
            return False
        return self.fdp.ConsumeIntInRange(0, k - 1) == 0

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def left(self):
        return self.fdp.remaining_bytes()

    def some(self, work, most):
        """Runs 1 to 1 + most of the harness functions in `work`, each picked
        by the input."""
        for _ in range(1 + self.n(most)):
            self.pick(work)(self)

    def threading_swapped(self, module, odds):
        """A context in which, one time in `odds`, module's `threading` is a
        FakeThreading: self.faked says whether, self.fake is the stand-in."""
        self.faked = self.chance(odds)
        self.fake = FakeThreading(self) if self.faked else None
        return swapped(module, "threading", self.fake) if self.faked else contextlib.nullcontext()

    # -- integers
    def int_(self, lo=None, hi=None):
        """An int, mostly at or near a limit; lo/hi bound the draw when given."""
        if lo is not None and hi is not None and not self.chance(8):
            return self.fdp.ConsumeIntInRange(lo, hi)
        k = self.n(9)
        if k <= 2:
            return self.pick(INT_EDGES)
        if k == 3:
            return self.pick(INT_EDGES) + self.fdp.ConsumeIntInRange(-3, 3)
        if k == 4:
            return self.fdp.ConsumeIntInRange(-300, 300)
        if k == 5:
            return self.fdp.ConsumeInt(8)
        if k == 6:
            return self.fdp.ConsumeInt(self.pick([1, 2, 4, 9, 16, 25]))
        if k == 7:
            return self.pick([True, False])
        if k == 8:
            return self.fdp.ConsumeIntInRange(0, 1 << 20)
        return self.fdp.ConsumeIntInRange(-(1 << 20), 1 << 20)

    def float_(self):
        k = self.n(7)
        if k <= 2:
            return self.pick(FLOAT_EDGES)
        if k == 3:
            return self.fdp.ConsumeFloat()
        if k == 4:
            return self.fdp.ConsumeProbability()
        if k == 5:
            return self.fdp.ConsumeRegularFloat()
        if k == 6:
            return float(self.fdp.ConsumeIntInRange(-1000, 1000)) / 8.0
        return self.pick(FLOAT_EDGES) * self.pick([1.0, -1.0, 0.5, 2.0, 1e-3])

    def number(self):
        """An int or a float: what a float parameter also accepts."""
        return self.float_() if self.chance(2) else self.int_()

    # -- text
    def str_(self):
        k = self.n(9)
        if k == 0:
            return self.pick(STR_EDGES)
        if k == 1:
            return self.fdp.ConsumeUnicode(self.n(MAX_STR))
        if k == 2:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.n(64))
        if k == 3:
            # huge: a short unit repeated, with vocabulary mixed in
            unit = self.fdp.ConsumeUnicodeNoSurrogates(self.n(8)) or "a"
            reps = self.n(HUGE_STR // len(unit))
            return (unit * reps)[:HUGE_STR] + self.pick(self.words)
        if k == 4:
            return self.pick(self.words)
        return self.text()

    def text(self):
        """Vocabulary words joined by separators: source-like text."""
        seps = [" ", "\n", ".", "(", ")", "[", "]", ",", "_", "", "\t", " = ", "\u00e9", "#", ":", "\n    "]
        out = []
        for _ in range(self.n(24)):
            if self.chance(5):
                out.append(self.fdp.ConsumeUnicodeNoSurrogates(self.n(6)))
            else:
                w = self.pick(self.words)
                out.append(w.upper() if self.chance(9) else w)
            out.append(self.pick(seps))
        return "".join(out)

    def bytes_(self, n=None):
        if n is None:
            n = self.pick([0, 1, 15, 16, 17, 32, self.n(64)])
        return self.fdp.ConsumeBytes(n)

    # -- wrong types and hostile objects
    def hostile(self, target=None):
        k = self.n(12)
        if k == 0:
            return BadInt(self.n(4), self.pick(INT_EDGES))
        if k == 1:
            return BadFloat(self.n(3), self.pick(FLOAT_EDGES))
        if k == 2:
            return BadBool()
        if k == 3:
            return BadEq(self.n(3))
        if k == 4:
            return Mutator(target, self.n(4), self.pick(FLOAT_EDGES))
        if k == 5:
            return BadIter(self.n(4), [self.float_() for _ in range(self.n(3))])
        if k == 6:
            return AttrBomb()
        if k == 7:
            return IntSub(self.pick(INT_EDGES))
        if k == 8:
            return FloatSub(self.pick(FLOAT_EDGES))
        if k == 9:
            return StrSub(self.pick(self.words))
        if k == 10:
            return ListSub([1, 2])
        if k == 11:
            return DictSub(a=1)
        return object()

    def any_(self, target=None):
        """A value of any type."""
        self.depth += 1
        try:
            k = self.n(14)
            if k == 0:
                return None
            if k == 1:
                return self.int_()
            if k == 2:
                return self.float_()
            if k == 3:
                return self.str_()
            if k == 4:
                return self.bytes_()
            if k == 5:
                return self.pick([True, False])
            if k == 6 and self.depth < 3:
                return [self.any_() for _ in range(self.n(4))]
            if k == 7 and self.depth < 3:
                return tuple(self.any_() for _ in range(self.n(3)))
            if k == 8 and self.depth < 3:
                return {self.pick(self.words): self.any_() for _ in range(self.n(3))}
            if k == 9:
                return self.pick([object(), object, int, sys, len, Ellipsis, NotImplemented, 1j, bytearray(b"ab"),
                                  memoryview(b"xy"), range(3), frozenset({1}), {1, 2}])
            return self.hostile(target)
        finally:
            self.depth -= 1

    # -- typed parameters, now and then of another type
    # A function of many parameters should still often get all of them
    # right, so each parameter strays from its type rarely.
    def int_arg(self, lo=None, hi=None):
        if not self.clean and self.chance(25):
            return self.any_()
        if self.chance(12):
            return self.float_()
        return self.int_(lo, hi)

    def float_arg(self):
        if not self.clean and self.chance(25):
            return self.any_()
        return self.number()

    def bool_arg(self):
        if not self.clean and self.chance(16):
            return self.any_()
        return self.pick([True, False, 0, 1])

    def str_arg(self):
        if not self.clean and self.chance(16):
            return self.any_()
        return self.str_()

    def obj_arg(self):
        return self.any_() if self.chance(3) else self.pick([None, object(), 1, "x", (1,), BadEq(2)])

    # -- calls
    def call(self, fn, params, _extra=()):
        """Calls fn with the (name, value) pairs through `attempt`: mostly
        positionally, now and then partly by keyword, with an argument
        missing or one too many, or an unknown, repeated or non-str keyword."""
        params = list(params)
        _extra = tuple(_extra) + self.extra
        args, kwargs = [], {}
        k = self.n(31) if params else self.n(7)
        cut = len(params)
        if k in (0, 1, 2):
            cut = self.n(len(params))          # the rest by keyword
        for i, (name, value) in enumerate(params):
            if i < cut:
                args.append(value)
            else:
                kwargs[name] = value
        if k == 3 and params:
            args = args[:-1] if args else args  # one missing
            kwargs.pop(params[-1][0], None)
        elif k == 4:
            args.append(self.any_())            # one too many
        elif k == 5:
            kwargs[self.pick(["bogus", "", "\u00e9", "self"])] = 1
        elif k == 6 and params:
            args = [v for _, v in params]      # positional and keyword at once
            kwargs[params[0][0]] = params[0][1]
        elif k == 7:
            return attempt(lambda: fn(*args, **{1: 2}), _extra=_extra)
        return attempt(fn, *args, _extra=_extra, **kwargs)

    # -- containers
    def pair(self, target, first=None, second=None):
        """A (timestamp, value) entry, malformed now and then."""
        first = first or self.float_
        second = second or self.float_
        if self.clean or not self.chance(6):
            return (first(), second())
        k = self.n(10)
        if k == 0:
            return ()
        if k == 1:
            return (first(),)
        if k == 2:
            return (first(), second(), second())
        if k == 3:
            return [first(), second()]
        if k == 4:
            return (self.hostile(target), second())
        if k == 5:
            return (first(), self.hostile(target))
        if k == 6:
            return Mutator(target, self.n(4), self.float_())
        if k == 7:
            return self.pick(["ab", "", b"xy", None, 1.5, 7])
        if k == 8:
            return BadIter(self.n(4), [first(), second()])
        if k == 9:
            return {0: first(), 1: second()}
        return self.any_(target)

    def history(self, item=None):
        """A list of entries, or now and then another kind of sequence."""
        out = []
        item = item or (lambda t: self.pair(t))
        # Half the histories are well formed throughout: one bad entry in
        # sixty makes the whole call fail before the arithmetic.
        saved, self.clean = self.clean, self.chance(2)
        try:
            for _ in range(self.n(MAX_LIST)):
                out.append(item(out))
        finally:
            self.clean = saved
        k = self.n(15)
        if k == 11:
            return None
        if k == 12:
            return tuple(out)
        if k == 13:
            return BadIter(self.n(4), out)
        if k == 14:
            return self.any_()
        if k == 15:
            return iter(out)
        return out


def as_int(v):
    """The int a native integer parameter would make of v, or None where it
    would refuse v: what a harness needs to cap a count before the call."""
    if isinstance(v, (str, bytes, bytearray)) or v is None:
        return None
    try:
        return int(v.__index__()) if hasattr(type(v), "__index__") else int(v)
    except BaseException:
        return None


def at_call(fn, names, fix):
    """fn with the arguments a call gives to its parameters `names` (by
    position or by keyword) shown to fix first, as a dict of the names given;
    fix returns the values to call with, or None to skip the call (which then
    gives None).  Caps on counts and sizes belong here, at the call, rather
    than on the drawn parameters: Gen.call may add an argument of its own
    ("one too many"), which lands in the first parameter that was not given."""
    @functools.wraps(fn, updated=())
    def call(*args, **kwargs):
        given = dict(zip(names, args))
        given.update((n, kwargs[n]) for n in names if n in kwargs)
        fixed = fix(dict(given))
        if fixed is None:
            return None
        args = tuple(fixed[names[i]] if i < len(names) else a for i, a in enumerate(args))
        kwargs.update((n, fixed[n]) for n in names if n in kwargs)
        return fn(*args, **kwargs)
    return call


def is_expected(exc, extra=()):
    """Whether an exception raised out of a call is one a caller may get."""
    if isinstance(exc, SystemError):
        return False
    if not isinstance(exc, EXPECTED + tuple(extra)):
        return False
    if isinstance(exc, MemoryError):
        return True  # the interpreter's own MemoryError has no text
    return bool(str(exc)) or isinstance(exc, Hostile)


class Failed:
    """What `attempt` returns for a call that raised an expected error."""
    __slots__ = ("exc",)

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        return False

    def __repr__(self):
        return f"Failed({self.exc!r})"


# KORVANE_FUZZ_STATS=1: count, per function, the calls that returned and
# the errors raised, and print the table at exit (to judge a harness: a
# function that only ever fails is not being fuzzed).
STATS = {} if os.environ.get("KORVANE_FUZZ_STATS") else None


SAMPLES = {}


def _count(fn, outcome, exc=None):
    name = getattr(fn, "__qualname__", None) or type(fn).__name__
    row = STATS.setdefault(name, {})
    row[outcome] = row.get(outcome, 0) + 1
    if exc is not None:
        SAMPLES.setdefault(name, {}).setdefault(outcome, set())
        if len(SAMPLES[name][outcome]) < 3:
            SAMPLES[name][outcome].add(str(exc)[:90])


def _print_stats():
    for name, row in sorted(STATS.items()):
        total = sum(row.values())
        detail = ", ".join(f"{k} {v}" for k, v in sorted(row.items(), key=lambda kv: -kv[1]))
        print(f"{name:45s} {total:8d}  {detail}", file=sys.stderr)
        if os.environ.get("KORVANE_FUZZ_STATS") == "2":
            for outcome, msgs in SAMPLES.get(name, {}).items():
                for msg in msgs:
                    print(f"      {outcome}: {msg}", file=sys.stderr)


def attempt(fn, *args, _extra=(), **kwargs):
    """Calls fn; an expected error comes back as a Failed, anything else is
    raised as a Finding (with the original as its cause)."""
    try:
        r = fn(*args, **kwargs)
        if STATS is not None:
            _count(fn, "ok")
        return r
    except BaseException as e:  # noqa: B902 - triage below
        if isinstance(e, (KeyboardInterrupt, Finding)):
            raise
        if is_expected(e, _extra):
            if STATS is not None:
                _count(fn, type(e).__name__, e)
            return Failed(e)
        name = getattr(fn, "__qualname__", repr(fn))
        raise Finding(f"{name}{_show(args, kwargs)} raised {type(e).__name__}: {e!r}") from e


def _show(args, kwargs):
    try:
        parts = [_short(a) for a in args] + [f"{k}={_short(v)}" for k, v in kwargs.items()]
    except Exception:  # repr of a hostile object
        return "(...)"
    return "(" + ", ".join(parts) + ")"


def _short(v):
    r = repr(v)
    return r if len(r) <= 120 else r[:100] + f"...<{len(r)} chars>"


def check(cond, what):
    if not cond:
        raise Finding(what)


def main(test_one_input):
    """Runs the fuzzer (atheris/libFuzzer arguments in sys.argv)."""
    # The built-in libFuzzer, also when its library is preloaded ahead of the
    # sanitizer runtime (see run.sh): then its coverage hooks are the ones
    # that count, not the sanitizer runtime's empty defaults.
    if STATS is not None:
        # libFuzzer leaves through exit(), past Python's atexit: print the
        # table every 5000 inputs instead.
        inner, seen = test_one_input, [0]

        def test_one_input(data):
            seen[0] += 1
            if seen[0] % 5000 == 0:
                print(f"--- call outcomes after {seen[0]} inputs", file=sys.stderr)
                _print_stats()
            inner(data)

    atheris.Setup(sys.argv, test_one_input, internal_libfuzzer=True)
    atheris.Fuzz()
