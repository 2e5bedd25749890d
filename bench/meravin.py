"""Throughput of korvane.plugins.analyzer.meravin against the pure-Python way
and against the interpreter's call floor.

Text scorers run over the source of every function of a few standard-library
modules (real code, a few lines to a few hundred).  Scalar functions are
compared with math.hypot called with the same number of float arguments (a
builtin that converts each argument and returns a float).  Prints ratios;
never asserts times.

    PYTHONPATH=src python bench/meravin.py
"""
import math
import re
import sys

from korvane._tour._common import interleaved, stopwatch
from korvane._tour.meravin import MODULES, corpus as tour_corpus, py_score_framework_patterns, py_score_indicators
from korvane.plugins.analyzer import meravin as m

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}


# quick_framework_score is not on the tour of `python -m korvane`: its plain-Python side is a bare
# regex, as a user would write it.
def py_quick_framework_score(code, framework):
    pattern = PATTERNS.get(framework)
    if pattern is None:
        return 0.0
    matches = len(pattern.findall(code))
    return 1.0 if matches > 10 else matches * 0.1


def corpus():
    """(name, source) of every function of MODULES, as in `python -m korvane`."""
    return tour_corpus(MODULES)[1]


def best_of(*fns, rounds=5):
    """Best seconds of one call of each of `fns`, taking turns."""
    return [min(t) for t in interleaved([stopwatch(fn) for fn in fns], rounds, collect=False)]


def text_bench(funcs):
    texts = corpus()
    chars = sum(len(s) for _, s in texts)
    sizes = sorted(len(s) for _, s in texts)
    print(f"corpus: {len(texts)} functions from {', '.join(MODULES)}; {chars / 1e6:.2f} M chars, "
          f"median {sizes[len(sizes) // 2]} chars, largest {sizes[-1]}")
    print(f"{'call':44} {'native':>10} {'python':>10} {'speedup':>8}")
    for label, native, python in funcs:
        # Same answers first.
        for name, src in texts:
            assert native(src, name) == python(src, name), (label, name)
        t_native, t_python = best_of(lambda: [native(s, n) for n, s in texts],
                                     lambda: [python(s, n) for n, s in texts])
        print(f"{label:44} {chars / t_native / 1e6:7.1f} MB/s {chars / t_python / 1e6:7.1f} MB/s "
              f"{t_python / t_native:7.1f}x")


def findall_bench():
    texts = [s for _, s in corpus()]
    print(f"\n{'quick_framework_score vs bare findall':44} {'native':>10} {'findall':>10} {'speedup':>8}")
    chars = sum(map(len, texts))
    for fw, pattern in PATTERNS.items():
        t_native, t_findall = best_of(lambda: [m.quick_framework_score(s, fw) for s in texts],
                                      lambda: [pattern.findall(s) for s in texts])
        print(f"{fw:44} {chars / t_native / 1e6:7.1f} MB/s {chars / t_findall / 1e6:7.1f} MB/s "
              f"{t_findall / t_native:7.1f}x")


def scalar_bench():
    loops = 100_000
    env = {"m": m, "hypot": math.hypot, "x": 0.5, "t": True, "c": "8.6", "i": 3}

    def compiled(stmt):
        return compile(f"for _ in range({loops}):\n    {stmt}", "<bench>", "exec")

    def floor(n):
        return compiled("hypot(" + ", ".join(["x"] * n) + ")")

    rows = [
        ("calculate_gpu_suitability(x, x, x, t, '8.6')", 5, "m.calculate_gpu_suitability(x, x, x, t, c)"),
        ("calculate_gpu_suitability(..., None)", 5, "m.calculate_gpu_suitability(x, x, x, t, None)"),
        ("estimate_gpu_speedup(x, x, t)", 3, "m.estimate_gpu_speedup(x, x, t)"),
        ("calculate_parallelization_potential(4 x)", 4, "m.calculate_parallelization_potential(x, x, x, x)"),
        ("normalize_scores(5 ints)", 5, "m.normalize_scores(i, i, i, i, i)"),
        ("determine_workload_pattern(17 args)", 17,
         "m.determine_workload_pattern(x, x, x, x, x, x, x, x, i, i, x, x, x, x, x, x, t)"),
        ("update_adaptive_threshold(5 x)", 5, "m.update_adaptive_threshold(x, x, x, x, x)"),
    ]
    print(f"\n{'scalar call':44} {'ns/call':>8} {'floor ns':>9} {'ratio':>6}   (floor: math.hypot, same arg count)")
    for label, n, stmt in rows:
        ours, base = compiled(stmt), floor(n)
        t_base, t_ours = best_of(lambda: exec(base, env), lambda: exec(ours, env), rounds=7)
        print(f"{label:44} {t_ours / loops * 1e9:8.0f} {t_base / loops * 1e9:9.0f} {t_ours / t_base:6.2f}")


def main():
    print(f"Python {sys.version.split()[0]}")
    text_bench([
        ("score_indicators(code, name)", m.score_indicators, py_score_indicators),
        ("score_framework_patterns(code)", lambda s, n: m.score_framework_patterns(s),
         lambda s, n: py_score_framework_patterns(s)),
        ("quick_framework_score(code, 'numpy')", lambda s, n: m.quick_framework_score(s, "numpy"),
         lambda s, n: py_quick_framework_score(s, "numpy")),
        ("quick_framework_score(code, 'sklearn')", lambda s, n: m.quick_framework_score(s, "sklearn"),
         lambda s, n: py_quick_framework_score(s, "sklearn")),
    ])
    findall_bench()
    scalar_bench()


if __name__ == "__main__":
    main()
