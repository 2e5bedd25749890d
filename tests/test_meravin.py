import importlib
import inspect
import math
import re
import sys

import pytest
from hypothesis import given, settings, strategies as st

from korvane._tour.meravin import (CPU, EMBARRASSING, GPU_OP, LARGE, MEMORY, NUMPY, PANDAS, PARALLEL, SEQUENTIAL,
                                   SKLEARN)
from korvane.plugins.analyzer import meravin as m

# ------------------------------------------------- reference implementation
#
# The rules written the plain Python way; the module must agree exactly.  The
# keyword lists are the ones the tour's plain-Python scorer runs (one copy in
# Python; test_reference_data checks their sizes against the divisors).

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}


def clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def ref_quick(code, framework):
    if framework not in PATTERNS:
        return 0.0
    n = len(PATTERNS[framework].findall(code))
    return 1.0 if n > 10 else n * 0.1


def ref_frameworks(code):
    low = code.lower()
    return tuple(clamp(sum(k in low for k in kws) / len(kws), 0.0, 1.0) for kws in (NUMPY, PANDAS, SKLEARN))


def ref_indicators(code, name):
    low = code.lower()
    fn = name.lower() if name else ""
    in_code = lambda kws: sum(k in low for k in kws)
    in_either = lambda kws: sum(k in low or k in fn for k in kws)
    return (in_code(CPU), in_code(MEMORY), in_code(PARALLEL), in_either(GPU_OP), in_code(LARGE),
            in_either(EMBARRASSING), in_code(SEQUENTIAL))


def ref_pattern(cpu, mem, par, gpu_s, gpu_op, np_s, pd_s, sk_s, seq, emb, cpu_t, mem_t, gpu_t, np_t, pd_t, sk_t,
                gpu):
    if sk_s > sk_t:
        return 12
    if pd_s > pd_t:
        return 10
    if np_s > np_t:
        return 8
    if gpu and gpu_s > gpu_t:
        return 6 if gpu_op > 0.7 and cpu > 0.6 else 7 if mem > 0.5 else 5
    if emb > 0 or par > 0.6:
        return 3
    if cpu > cpu_t:
        return 1
    if mem > mem_t:
        return 2
    if seq > 2:
        return 4
    return 0


def same(a, b):
    """Equal floats, tuples of floats or ints, with NaN equal to NaN."""
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b


def check_text(code, name=""):
    for fw in PATTERNS:
        assert m.quick_framework_score(code, fw) == ref_quick(code, fw), (fw, code)
    assert m.score_framework_patterns(code) == ref_frameworks(code), code
    assert m.score_indicators(code, name) == ref_indicators(code, name), (code, name)


# ------------------------------------------------------------ module frame

FUNCTIONS = ["quick_framework_score", "calculate_gpu_suitability", "estimate_gpu_speedup",
             "calculate_parallelization_potential", "score_indicators", "normalize_scores",
             "score_framework_patterns", "determine_workload_pattern", "update_adaptive_threshold"]


def test_namespace_order():
    names = [k for k in vars(m) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["re"] + FUNCTIONS + ["logging", "logger"]
    assert list(vars(m))[-1] == "__test__" and m.__test__ == {}
    assert m.re is re and m.logging is sys.modules["logging"]
    assert m.logger.name == "korvane.plugins.analyzer.meravin"
    assert not hasattr(m, "_COMPILED_PATTERNS")
    assert "pattern classification" in m.__doc__


def test_load_message(subprocess_python):
    proc = subprocess_python("""
        import logging
        logging.basicConfig(level=logging.INFO, format="%(name)s|%(levelname)s|%(message)s")
        import korvane.plugins.analyzer.meravin
    """)
    assert proc.stderr.splitlines() == [
        "korvane.plugins.analyzer.meravin|INFO|Korvane Meravin Cython module loaded - IP protected"]


SIGNATURES = {
    "quick_framework_score": "code:str framework:str -> float",
    "calculate_gpu_suitability": "gpu_operation_score gpu_data_size_score cpu_intensity:float gpu_available:bool "
                                 "compute_capability:str -> float",
    "estimate_gpu_speedup": "gpu_operation_score gpu_data_size_score:float gpu_available:bool -> float",
    "calculate_parallelization_potential": "base_parallel_score embarrassing_bonus sequential_penalty "
                                           "loop_chunking_potential:float -> float",
    "score_indicators": "code function_name:str -> tuple",
    "normalize_scores": "cpu_score memory_score parallel_score gpu_op_score large_data_score:int -> tuple",
    "score_framework_patterns": "code:str -> tuple",
    "determine_workload_pattern": "cpu_intensity memory_intensity parallelization_potential gpu_suitability "
                                  "gpu_operation_score numpy_score pandas_score sklearn_score:float "
                                  "sequential_count embarrassing_count:int cpu_threshold memory_threshold "
                                  "gpu_threshold numpy_threshold pandas_threshold sklearn_threshold:float "
                                  "gpu_available:bool -> int",
    "update_adaptive_threshold": "current_threshold success_rate learning_rate min_threshold max_threshold:float "
                                 "-> float",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signatures(name):
    # "a b:float" gives both parameters the annotation 'float'.
    params, ret = SIGNATURES[name].split(" -> ")
    pending, shown = [], []
    for word in params.split():
        pending.append(word.partition(":")[0])
        if ":" in word:
            shown += [f"{p}: '{word.partition(':')[2]}'" for p in pending]
            pending = []
    f = getattr(m, name)
    assert str(inspect.signature(f)) == f"({', '.join(shown)}) -> '{ret}'"
    assert f.__module__ == "korvane.plugins.analyzer.meravin" and f.__name__ == f.__qualname__ == name


def test_seventeen_parameters():
    assert len(inspect.signature(m.determine_workload_pattern).parameters) == 17
    with pytest.raises(TypeError, match=r"^determine_workload_pattern\(\) takes exactly 17 positional arguments "
                                        r"\(16 given\)$"):
        m.determine_workload_pattern(*[0.0] * 16)


@pytest.mark.parametrize("name, summary", [
    ("quick_framework_score", "Fast pattern scoring using precompiled regex."),
    ("calculate_gpu_suitability", "Calculate overall GPU suitability score."),
    ("estimate_gpu_speedup", "Estimate GPU speedup from static code analysis."),
    ("calculate_parallelization_potential", "Calculate parallelization potential score."),
    ("update_adaptive_threshold", "Update adaptive threshold based on performance feedback."),
])
def test_docstrings(name, summary):
    doc = getattr(m, name).__doc__
    assert doc.splitlines()[0] == summary
    if name == "quick_framework_score":
        assert "<100us for typical code snippets" in doc


# -------------------------------------------------------- framework scoring

@pytest.mark.parametrize("code, framework, expected", [
    ("", "numpy", 0.0),
    ("np.array(x)", "numpy", 0.2),
    ("df.GroupBy('k')", "pandas", 0.1),
    ("DataFrame dataframe DATAFRAME", "pandas", 0.30000000000000004),
    ("arrays ndarrays subarray", "numpy", 0.0),
    (" ".join(["array"] * 10), "numpy", 1.0),
    (" ".join(["fit"] * 11), "sklearn", 1.0),
    (" ".join(["fit"] * 1000), "sklearn", 1.0),
    ("x.fit(X).predict(X)", "sklearn", 0.2),
    ("np.np.", "numpy", 0.1),        # the second "np." is not followed by a word character
    ("np.(x)", "numpy", 0.0),
    ("_array array_ array2 2array", "numpy", 0.0),
    ("numpy", "tensorflow", 0.0),
    ("numpy", "NUMPY", 0.0),
    ("numpy", "", 0.0),
    ("numpy", None, 0.0),
    (None, "tensorflow", 0.0),
    ("\u0130nd\u0131ces fiT pr\u0130d\u0131ct", "sklearn", 0.1),  # only "fiT": İ and ı match i
    ("\u0131mport skl\u0131", "sklearn", 0.0),
    ("\u017fklearn Series", "sklearn", 0.1),  # long s matches s
    ("\u017ferie\u017f pand\u017f", "pandas", 0.1),
    ("\u212aarray array\u00e9 \u00e9array array\u00b2 \u0663array", "numpy", 0.0),  # non-ASCII word characters
    ("\u00a0array\u2014array\u3000", "numpy", 0.2),  # non-ASCII non-word characters
])
def test_quick_framework_score(code, framework, expected):
    assert m.quick_framework_score(code, framework) == expected
    if code is not None:
        assert ref_quick(code, framework) == expected


def test_quick_framework_score_none_code():
    for fw in PATTERNS:
        with pytest.raises(TypeError) as exc:
            m.quick_framework_score(None, fw)
        with pytest.raises(TypeError) as ref:
            PATTERNS[fw].findall(None)
        assert str(exc.value) == str(ref.value)


@pytest.mark.parametrize("code, expected", [
    ("", (0.0, 0.0, 0.0)),
    ("transform", (0.0, 1 / 18, 1 / 18)),
    ("TRANSFORM", (0.0, 1 / 18, 1 / 18)),
    (" ".join(NUMPY), (1.0, 1 / 18, 0.0)),  # "concatenate" holds the pandas "concat"
    ("".join(NUMPY + PANDAS + SKLEARN), (1.0, 1.0, 1.0)),
    ("summary dotted outfit", (2 / 25, 0.0, 1 / 18)),
    ("sum sum sum", (1 / 25, 0.0, 0.0)),
    ("\u0130", (0.0, 0.0, 0.0)),
    ("DATA\u212aRAME", (0.0, 0.0, 0.0)),
    ("S\u212aLEARN FIT", (0.0, 0.0, 2 / 18)),  # the Kelvin sign lowers to k
])
def test_score_framework_patterns(code, expected):
    assert m.score_framework_patterns(code) == expected == ref_frameworks(code)


@pytest.mark.parametrize("code, name, expected", [
    ("", "", (0, 0, 0, 0, 0, 0, 0)),
    ("", None, (0, 0, 0, 0, 0, 0, 0)),
    ("a + b", "", (0, 0, 0, 1, 0, 0, 0)),
    ("a ** b", "", (0, 0, 0, 2, 0, 0, 0)),
    ("", "process_chunk_workload", (0, 0, 0, 0, 0, 2, 0)),
    ("", "FOR_list_POOL_huge_lock_sum", (0, 0, 0, 1, 0, 0, 0)),  # only gpu-op / embarrassing look at the name
    ("FOR", "", (1, 0, 0, 0, 0, 0, 0)),
    ("sum", "sum", (1, 0, 0, 1, 0, 0, 0)),  # found in both: counted once
    ("logging bitmap 10240", "", (0, 0, 0, 1, 1, 1, 0)),
    ("", "\u0130map", (0, 0, 0, 0, 0, 1, 0)),
    ("\u212aBATCH", "", (0, 0, 1, 0, 0, 0, 0)),
])
def test_score_indicators(code, name, expected):
    assert m.score_indicators(code, name) == expected == ref_indicators(code, name)


@pytest.mark.parametrize("call", [
    lambda: m.score_indicators(None, "x"),
    lambda: m.score_framework_patterns(None),
])
def test_lowering_none(call):
    with pytest.raises(TypeError, match=r"^descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType'"):
        call()


class Str(str):
    pass


@pytest.mark.parametrize("call, name, got", [
    (lambda: m.quick_framework_score(b"np.", "numpy"), "code", "bytes"),
    (lambda: m.quick_framework_score(Str("np."), "numpy"), "code", "Str"),
    (lambda: m.quick_framework_score(1, "tensorflow"), "code", "int"),
    (lambda: m.quick_framework_score("x", 1), "framework", "int"),
    (lambda: m.score_framework_patterns(["x"]), "code", "list"),
    (lambda: m.score_indicators("x", b"y"), "function_name", "bytes"),
    (lambda: m.calculate_gpu_suitability(0.5, 0.5, 0.5, True, 8.6), "compute_capability", "float"),
])
def test_str_parameters(call, name, got):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected str, got {got}\)$"):
        call()


# ---------------------------------------------------- exactness on real text

def stdlib_functions():
    out = []
    for modname in ["statistics", "textwrap", "difflib", "fractions", "string", "heapq", "calendar"]:
        mod = importlib.import_module(modname)
        for obj in vars(mod).values():
            cands = [obj] + (list(vars(obj).values()) if inspect.isclass(obj) else [])
            for f in cands:
                if inspect.isfunction(f) and f.__module__ == modname:
                    try:
                        out.append((f.__name__, inspect.getsource(f)))
                    except (OSError, TypeError):
                        pass
    return out


STDLIB = stdlib_functions()
NON_ASCII_LINE = "    # caf\u00e9 \u2014 \u0130ZM\u0130R \u212aELV\u0130N \u017fum \u00b5s \u0663\u2460 \U0001d400rray\n"


def test_reference_data():
    sizes = [len(x) for x in (NUMPY, PANDAS, SKLEARN, CPU, MEMORY, PARALLEL, GPU_OP, LARGE, EMBARRASSING, SEQUENTIAL)]
    assert sizes == [25, 18, 18, 15, 10, 11, 36, 13, 8, 8]
    assert len(STDLIB) > 200 and max(len(s) for _, s in STDLIB) > 5000


def test_stdlib_sources():
    for name, src in STDLIB:
        for text in (src, NON_ASCII_LINE + src + NON_ASCII_LINE.upper()):
            check_text(text, name)
            # The analyser's pipeline: indicator counts -> normalised scores -> pattern.
            counts = m.score_indicators(text, name)
            norm = m.normalize_scores(*counts[:5])
            assert norm == tuple(clamp(c / d, 0.0, 1.0) for c, d in zip(counts, (15, 10, 11, 36, 13)))
            frameworks = m.score_framework_patterns(text)
            args = (norm[0], norm[1], norm[2], norm[3], norm[3], *frameworks, counts[6], counts[5],
                    0.3, 0.3, 0.5, 0.2, 0.2, 0.2, True)
            assert m.determine_workload_pattern(*args) == ref_pattern(*args)


TOKENS = (["numpy", "np.", "NP.", "ndarray", "Array", "vectorize", "MatMul", "linalg", "pandas", "pd.", "DataFrame",
           "series", "GroupBy", "merge", "pivot", "sklearn", "fit", "Predict", "transform", "GridSearchCV",
           "RandomForest", "chunk_workload", "threadpoolexecutor", "1e6", "1024", "**", "sort_values"]
          + list(" \t\n._()[]{}+-*/@,:;=#'\"0123456789")
          + ["\u0130", "\u0131", "\u017f", "\u212a", "\u00df", "\u00e9", "\u00c9", "\u00b2", "\u00b5", "\u00aa",
             "\u0663", "\u2460", "\u03a3", "\u0345", "\u1e9e", "\ufb01", "\u00a0", "\u2014", "\u3000", "\ud800",
             "\U0001d400", "\U0001f600", "\uff21", "\uff10"])


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(TOKENS) | st.characters(), max_size=40).map("".join),
       st.none() | st.lists(st.sampled_from(TOKENS) | st.characters(), max_size=6).map("".join))
def test_random_text(code, name):
    check_text(code, name)


# Code points outside these ranges are unassigned or private use (no word
# characters, no case); a sample of them is checked.
ASSIGNED = [range(0, 0x32400), range(0xE0000, 0xE0200)]


def code_point_sample():
    rest = [c for c in range(0, sys.maxunicode + 1, 97) if not any(c in r for r in ASSIGNED)]
    return [chr(c) for r in ASSIGNED for c in r] + [chr(c) for c in rest]


def test_word_boundaries_every_code_point():
    # Each code point c sits in "c array c": one match exactly when c is not
    # a word character; ten code points per text stay below the score's cap.
    cps = code_point_sample()
    for i in range(0, len(cps), 10):
        text = " ".join(f"{c}array{c}" for c in cps[i:i + 10])
        assert m.quick_framework_score(text, "numpy") == ref_quick(text, "numpy"), [hex(ord(c)) for c in cps[i:i + 10]]


def test_regex_case_equivalences_of_this_interpreter():
    # The matcher takes U+0131 for "i" and U+017F for "s", as the regex
    # compiler does; a new equivalence for an ASCII letter would need it too.
    compiler = getattr(re, "_compiler", None) or importlib.import_module("sre_compile")
    table = getattr(compiler, "_EXTRA_CASES", None) or compiler._ignorecase_fixes  # 3.11+ / 3.10
    fixes = {chr(k): tuple(map(chr, v)) for k, v in table.items() if k < 128}
    assert fixes == {"i": ("\u0131",), "s": ("\u017f",)}


def test_case_folding_code_points():
    # Every letter of the three patterns, replaced by each code point that
    # the regex engine matches to an ASCII letter and by every code point of
    # the blocks with cased letters near the Latin ones.
    non_ascii = "".join(chr(c) for c in range(0x80, sys.maxunicode + 1))
    matched = set(re.findall("[a-z]", non_ascii, re.IGNORECASE))
    assert matched == {"\u0130", "\u0131", "\u017f", "\u212a"}
    blocks = [range(0x80, 0x600), range(0x1E00, 0x2000), range(0x2100, 0x2190), range(0xFB00, 0xFB50),
              range(0xFF00, 0xFF60), range(0x10400, 0x10450), range(0x1D400, 0x1D500)]
    cands = sorted(matched | {chr(c) for r in blocks for c in r})
    sites = {}
    for fw, alts in [("numpy", ["numpy", "ndarray", "vectorize", "matmul", "linalg"]),
                     ("pandas", ["pandas", "dataframe", "series", "groupby", "merge", "pivot"]),
                     ("sklearn", ["sklearn", "fit", "predict", "transform", "gridsearchcv", "randomforest"])]:
        for alt in alts:
            for j, letter in enumerate(alt):
                sites.setdefault(letter, (fw, alt, j))
    for fw, alt, j in sites.values():
        for i in range(0, len(cands), 10):
            text = " ".join(alt[:j] + c + alt[j + 1:] for c in cands[i:i + 10])
            assert m.quick_framework_score(text, fw) == ref_quick(text, fw), (alt, j, cands[i:i + 10])


# ------------------------------------------------------------ normalisation

@pytest.mark.parametrize("counts, expected", [
    ((15, 10, 11, 36, 13), (1.0,) * 5),
    ((30, 20, 22, 72, 26), (1.0,) * 5),
    ((-1, -5, 0, -36, -2**31), (0.0,) * 5),
    ((1, 1, 1, 1, 1), (1 / 15, 0.1, 1 / 11, 1 / 36, 1 / 13)),
    ((7, 3, 5, 17, 2**31 - 1), (7 / 15, 3 / 10, 5 / 11, 17 / 36, 1.0)),
    ((True, 2.9, 3, 4, 5), (1 / 15, 0.2, 3 / 11, 4 / 36, 5 / 13)),  # int conversion truncates
])
def test_normalize_scores(counts, expected):
    assert m.normalize_scores(*counts) == expected


@pytest.mark.parametrize("bad, exc, msg", [
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**80, OverflowError, "value too large to convert to int"),
    ("3", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_integer_parameters(bad, exc, msg):
    with pytest.raises(exc, match=f"^{msg}$"):
        m.normalize_scores(1, 1, 1, bad, 1)
    args = [0.0] * 17
    args[9] = bad
    with pytest.raises(exc, match=f"^{msg}$"):
        m.determine_workload_pattern(*args)


# ------------------------------------------------------------ classification

BASE = dict(cpu_intensity=0.0, memory_intensity=0.0, parallelization_potential=0.0, gpu_suitability=0.0,
            gpu_operation_score=0.0, numpy_score=0.0, pandas_score=0.0, sklearn_score=0.0, sequential_count=0,
            embarrassing_count=0, cpu_threshold=0.5, memory_threshold=0.5, gpu_threshold=0.5, numpy_threshold=0.5,
            pandas_threshold=0.5, sklearn_threshold=0.5, gpu_available=False)
NAN = float("nan")


@pytest.mark.parametrize("changes, expected", [
    ({}, 0),
    ({"sklearn_score": 0.6, "pandas_score": 0.9, "numpy_score": 0.9}, 12),
    ({"pandas_score": 0.6, "numpy_score": 0.9}, 10),
    ({"numpy_score": 0.6, "gpu_available": True, "gpu_suitability": 0.9}, 8),
    ({"sklearn_score": 0.5, "pandas_score": 0.5, "numpy_score": 0.5}, 0),   # equal is not above
    ({"gpu_suitability": 0.9, "gpu_operation_score": 0.9, "cpu_intensity": 0.9}, 1),  # no GPU: ignored
    ({"gpu_available": True, "gpu_suitability": 0.5}, 0),
    ({"gpu_available": True, "gpu_suitability": 0.6, "gpu_operation_score": 0.8, "cpu_intensity": 0.61}, 6),
    ({"gpu_available": True, "gpu_suitability": 0.6, "gpu_operation_score": 0.8, "cpu_intensity": 0.6,
      "memory_intensity": 0.51}, 7),
    ({"gpu_available": True, "gpu_suitability": 0.6, "gpu_operation_score": 0.8, "cpu_intensity": 0.6}, 5),
    ({"gpu_available": True, "gpu_suitability": 0.6, "gpu_operation_score": 0.7, "cpu_intensity": 0.9,
      "memory_intensity": 0.5}, 5),
    ({"gpu_available": True, "gpu_suitability": 0.6, "embarrassing_count": 5}, 5),  # GPU wins over parallel
    ({"parallelization_potential": 0.6}, 0),
    ({"parallelization_potential": 0.6000001}, 3),
    ({"embarrassing_count": 1, "cpu_intensity": 0.9, "memory_intensity": 0.9}, 3),
    ({"embarrassing_count": -1}, 0),
    ({"cpu_intensity": 0.5}, 0),
    ({"cpu_intensity": 0.51, "memory_intensity": 0.9, "sequential_count": 5}, 1),
    ({"memory_intensity": 0.51, "sequential_count": 5}, 2),
    ({"sequential_count": 3}, 4),
    ({"sequential_count": 2}, 0),
    ({"sklearn_score": NAN, "pandas_score": NAN, "numpy_score": NAN, "cpu_intensity": 0.9}, 1),
    ({"gpu_available": True, "gpu_suitability": NAN, "parallelization_potential": NAN, "memory_intensity": 0.9}, 2),
    ({"gpu_available": True, "gpu_suitability": 1.0, "gpu_operation_score": NAN, "memory_intensity": NAN}, 5),
    ({"cpu_threshold": NAN, "memory_threshold": NAN, "sequential_count": 3, "cpu_intensity": 1.0}, 4),
    ({"gpu_available": "yes", "gpu_suitability": 0.9}, 5),
    ({"gpu_available": [], "gpu_suitability": 0.9}, 0),
])
def test_determine_workload_pattern(changes, expected):
    kwargs = dict(BASE, **changes)
    assert m.determine_workload_pattern(**kwargs) == expected
    assert m.determine_workload_pattern(*kwargs.values()) == expected
    assert ref_pattern(*kwargs.values()) == expected


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from([0.0, 0.3, 0.5, 0.6, 0.7, 0.8, 1.0, NAN]) | st.floats(), min_size=8, max_size=8),
       st.lists(st.integers(-3, 5), min_size=2, max_size=2),
       st.lists(st.sampled_from([0.0, 0.5, 0.6, 1.0, NAN]) | st.floats(), min_size=6, max_size=6), st.booleans())
def test_determine_workload_pattern_random(floats, ints, thresholds, gpu):
    args = (*floats, *ints, *thresholds, gpu)
    assert m.determine_workload_pattern(*args) == ref_pattern(*args)


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("call", [
    lambda: m.determine_workload_pattern(*[0.0] * 16, Truthless()),
    lambda: m.estimate_gpu_speedup(0.5, 0.5, Truthless()),
    lambda: m.calculate_gpu_suitability(0.5, 0.5, 0.5, Truthless(), "8.0"),
])
def test_truth_errors_propagate(call):
    with pytest.raises(ZeroDivisionError, match="no truth"):
        call()


@pytest.mark.parametrize("call", [
    lambda: m.update_adaptive_threshold(0.5, "0.9", 0.05, 0.1, 0.9),
    lambda: m.calculate_parallelization_potential(None, 0.0, 0.0, 0.0),
    lambda: m.determine_workload_pattern(*[0.0] * 15, [], True),
    lambda: m.calculate_gpu_suitability(0.5, 0.5, "x", True, 5),  # the float is converted first
])
def test_float_parameters(call):
    with pytest.raises(TypeError, match="must be real number"):
        call()


# --------------------------------------------------- GPU and parallel scores

def ref_suitability(op, data, cpu, capability):
    base = op * 0.6 + data * 0.4
    base += clamp(cpu * 0.3, 0.0, 0.3)
    factor = 1.0
    if capability:
        try:
            major = int(capability.split(".")[0])
        except (ValueError, IndexError):
            pass
        else:
            factor = 1.2 if major >= 8 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
    return clamp(base * factor, 0.0, 1.0)


@pytest.mark.parametrize("capability, factor", [
    (None, 1.0), ("", 1.0), ("7.5", 1.1), ("8.0", 1.2), ("9.0", 1.2), ("5.2", 0.8), ("6.1", 1.0), ("0.1", 0.8),
    ("-1.0", 0.8), ("7", 1.1), ("12", 1.2), ("007.5", 1.1), (" 7 .5", 1.1), ("\t8\n", 1.2), ("+6.0", 1.0),
    ("1_0.0", 1.2), ("\uff18.6", 1.2), ("\u0667.0", 1.1), ("2147483647.0", 1.2), ("-2147483648", 0.8),
    ("abc", 1.0), ("x.5", 1.0), (".5", 1.0), (" ", 1.0), ("7 5.0", 1.0), ("8_.0", 1.0), ("\u00b2.0", 1.0),
    ("0x8.0", 1.0), ("1" * 5000, 1.0), ("8.6.1", 1.2), ("\ud800", 1.0),
])
def test_capability_factor(capability, factor):
    expected = clamp(0.5 * factor, 0.0, 1.0)
    assert m.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability) == expected
    if capability is None or len(capability) < 4000:
        assert ref_suitability(0.5, 0.5, 0.0, capability) == expected


@pytest.mark.parametrize("capability", ["2147483648.0", "-2147483649", "99999999999.2", "9" * 30])
def test_capability_overflow_propagates(capability):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        m.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability)
    assert m.calculate_gpu_suitability(0.5, 0.5, 0.0, False, capability) == 0.0  # not examined without a GPU


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.5, 0.5, False, "8.6"), 0.0),
    ((0.5, 0.5, 2.0, True, None), 0.8),
    ((0.5, 0.5, -1.0, True, None), 0.5),
    ((1.0, 1.0, 1.0, True, "9.0"), 1.0),
    ((-1.0, 0.0, 0.0, True, "8.0"), 0.0),
    ((0.2, 0.4, 0.5, True, "7.0"), (0.2 * 0.6 + 0.4 * 0.4 + 0.15) * 1.1),
])
def test_calculate_gpu_suitability(args, expected):
    assert m.calculate_gpu_suitability(*args) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.9, 1.0, True), 22.5), ((0.8, 0.0, True), 8.0), ((0.61, 0.0, True), 8.0), ((0.6, 0.0, True), 4.0),
    ((0.3, 0.0, True), 2.0), ((0.31, 1.0, True), 6.0), ((0.0, 1.0, True), 1.0), ((-0.0, 1.0, True), 1.0),
    ((0.9, 1.0, False), 1.0), ((-0.5, 0.0, True), 2.0), ((0.9, -2.0, True), 0.0), ((0.9, 4.0, True), 45.0),
])
def test_estimate_gpu_speedup(args, expected):
    assert m.estimate_gpu_speedup(*args) == expected


def test_estimate_gpu_speedup_nan():
    assert m.estimate_gpu_speedup(NAN, 0.0, True) == 2.0
    assert math.isnan(m.estimate_gpu_speedup(0.9, NAN, True))


@pytest.mark.parametrize("args, expected", [
    ((0.5, 10.0, 0.0, 0.0), 1.0), ((0.5, 0.0, 10.0, 0.0), 0.0), ((0.2, 1.0, 1.0, 0.5), 0.2 + 0.5 * 0.4 + 0.3 - 0.2),
    ((0.0, -5.0, -5.0, 0.0), 0.0), ((0.4, 2.0, 0.0, -1.0), 0.4 - 0.4 + 0.6), ((3.0, 0.0, 0.0, 0.0), 1.0),
])
def test_calculate_parallelization_potential(args, expected):
    assert m.calculate_parallelization_potential(*args) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.9, 0.05, 0.1, 0.9), 0.55), ((0.5, 0.3, 0.05, 0.1, 0.9), 0.45), ((0.5, 0.8, 0.05, 0.1, 0.9), 0.5),
    ((0.5, 0.4, 0.05, 0.1, 0.9), 0.5), ((0.88, 0.9, 0.05, 0.1, 0.9), 0.9), ((0.12, 0.1, 0.05, 0.1, 0.9), 0.1),
    ((0.9, 0.5, 0.05, 0.8, 0.2), 0.2), ((0.8, 0.5, 0.05, 0.8, 0.2), 0.2), ((0.5, 0.5, 0.05, 0.8, 0.2), 0.8),
])
def test_update_adaptive_threshold(args, expected):
    assert m.update_adaptive_threshold(*args) == expected


def test_nan_passes_clamps():
    assert math.isnan(m.update_adaptive_threshold(NAN, 0.5, 0.05, 0.1, 0.9))
    assert m.update_adaptive_threshold(0.5, NAN, 0.05, 0.1, 0.9) == 0.5
    assert math.isnan(m.calculate_parallelization_potential(NAN, 0.0, 0.0, 0.0))
    assert math.isnan(m.calculate_parallelization_potential(0.5, NAN, 0.0, 0.0))  # the bonus clamp passes NaN


# ------------------------------------------------------------ references

def test_no_reference_leaks():
    code = "def f(x):\n    return np.array(x).sum() + df.groupby('k')  # \u0130\n"
    name = "chunk_workload"
    before = sys.getrefcount(code), sys.getrefcount(name)
    for _ in range(2000):
        m.quick_framework_score(code, "numpy")
        m.quick_framework_score(code, "tensorflow")
        m.score_framework_patterns(code)
        m.score_indicators(code, name)
        m.score_indicators(code, None)
        m.calculate_gpu_suitability(0.5, 0.5, 0.5, True, " 8 .6")
        m.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "abc")
        for call in (lambda: m.quick_framework_score(None, "numpy"), lambda: m.score_framework_patterns(None)):
            with pytest.raises(TypeError):
                call()
    assert (sys.getrefcount(code), sys.getrefcount(name)) == before
