"""meravin: workload classification of real source code.

The source of every function of a few standard-library modules is scored
for framework use and for the workload indicators, the counts normalised,
and the function classified into a workload pattern.  The plain-Python side
runs the same keyword rules with `in` tests on the lower-cased text.
"""

import importlib
import inspect

from ._common import clock, compare, report, rounds

NAME = "meravin"
MODULE = "korvane.plugins.analyzer.meravin"

MODULES = ["statistics", "textwrap", "difflib", "fractions", "argparse", "calendar", "tarfile", "urllib.parse"]
QUICK_MODULES = MODULES[:3]
FALLBACK = ["korvane._tour.meravin", "korvane._tour.quendar", "korvane._tour.dorvask"]

NUMPY = ("numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std var min max "
    "argmax argmin reshape transpose concatenate stack split").split()
PANDAS = ("pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query eval "
    "rolling resample sort_values").split()
SKLEARN = ("sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline featureunion "
    "train_test_split classification regression clustering preprocessing model_selection metrics ensemble").split()
CPU = "for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg".split()
MEMORY = "array list dict pandas dataframe allocate buffer cache append extend".split()
PARALLEL = ("multiprocessing threading concurrent async parallel pool worker chunk batch processpoolexecutor "
    "threadpoolexecutor").split()
GPU_OP = ("matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt power ** "
    "add subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones empty full").split()
LARGE = "reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb".split()
EMBARRASSING = "workload benchmark intensive chunk_workload map apply vectorize broadcast".split()
SEQUENTIAL = "global nonlocal lock mutex synchronized sequential ordered dependencies".split()

PATTERN_NAMES = ["MIXED", "CPU_INTENSIVE", "MEMORY_INTENSIVE", "PARALLEL_FRIENDLY", "SEQUENTIAL", "GPU_SUITABLE",
                 "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND", "NUMPY_VECTORIZED", "NUMPY_LINALG",
                 "PANDAS_DATAFRAME", "PANDAS_GROUPBY", "SKLEARN_TRAINING", "SKLEARN_INFERENCE"]

# The analyser's thresholds: cpu, memory, gpu, numpy, pandas, sklearn.
THRESHOLDS = (0.15, 0.2, 0.6, 0.3, 0.3, 0.3)


# The same rules, the way a user would write them in Python.
def py_score_indicators(code, function_name):
    code_lower = code.lower()
    func_lower = function_name.lower() if function_name else ""
    cpu = sum(1 for k in CPU if k in code_lower)
    memory = sum(1 for k in MEMORY if k in code_lower)
    parallel = sum(1 for k in PARALLEL if k in code_lower)
    gpu_op = sum(1 for k in GPU_OP if k in code_lower or k in func_lower)
    large = sum(1 for k in LARGE if k in code_lower)
    embarrassing = sum(1 for k in EMBARRASSING if k in code_lower or k in func_lower)
    sequential = sum(1 for k in SEQUENTIAL if k in code_lower)
    return cpu, memory, parallel, gpu_op, large, embarrassing, sequential


def py_score_framework_patterns(code):
    code_lower = code.lower()
    numpy_score = sum(1 for k in NUMPY if k in code_lower)
    pandas_score = sum(1 for k in PANDAS if k in code_lower)
    sklearn_score = sum(1 for k in SKLEARN if k in code_lower)
    return (min(max(numpy_score / 25, 0.0), 1.0), min(max(pandas_score / 18, 0.0), 1.0),
            min(max(sklearn_score / 18, 0.0), 1.0))


def py_normalize_scores(cpu, memory, parallel, gpu_op, large):
    return tuple(min(max(c / d, 0.0), 1.0) for c, d in ((cpu, 15), (memory, 10), (parallel, 11), (gpu_op, 36),
                                                         (large, 13)))


def py_determine_workload_pattern(cpu, memory, parallel, gpu_suit, gpu_op, numpy_s, pandas_s, sklearn_s, sequential,
                                  embarrassing, cpu_t, memory_t, gpu_t, numpy_t, pandas_t, sklearn_t, gpu_available):
    if sklearn_s > sklearn_t:
        return 12
    if pandas_s > pandas_t:
        return 10
    if numpy_s > numpy_t:
        return 8
    if gpu_available and gpu_suit > gpu_t:
        if gpu_op > 0.7 and cpu > 0.6:
            return 6
        return 7 if memory > 0.5 else 5
    if embarrassing > 0 or parallel > 0.6:
        return 3
    if cpu > cpu_t:
        return 1
    if memory > memory_t:
        return 2
    return 4 if sequential > 2 else 0


def corpus(modules=MODULES):
    """(modules read, [(name, source)]) of every function defined in
    `modules`, methods included.  Falls back to this package's own tour code
    where the interpreter ships no sources."""
    out = []
    for name in modules:
        mod = importlib.import_module(name)
        for obj in vars(mod).values():
            for f in [obj] + (list(vars(obj).values()) if inspect.isclass(obj) else []):
                if inspect.isfunction(f) and f.__module__ == name:
                    try:
                        out.append((f.__name__, inspect.getsource(f)))
                    except (OSError, TypeError):
                        pass
    if not out and modules != FALLBACK:
        return corpus(FALLBACK)
    return modules, out


def classify_with(score_indicators, score_framework_patterns, normalize_scores, determine_workload_pattern):
    def classify(texts):
        t0 = clock()
        codes = []
        for name, src in texts:
            cpu, memory, parallel, gpu_op, large, embarrassing, sequential = score_indicators(src, name)
            numpy_s, pandas_s, sklearn_s = score_framework_patterns(src)
            cpu_n, memory_n, parallel_n, gpu_op_n, _ = normalize_scores(cpu, memory, parallel, gpu_op, large)
            codes.append(determine_workload_pattern(cpu_n, memory_n, parallel_n, 0.0, gpu_op_n, numpy_s, pandas_s,
                                                    sklearn_s, sequential, embarrassing, *THRESHOLDS, False))
        return {"classify": clock() - t0}, codes
    return classify


def run(quick=False):
    from korvane.plugins.analyzer import meravin as m

    modules, texts = corpus(QUICK_MODULES if quick else MODULES)
    native, python, res_native, res_python = compare(
        classify_with(m.score_indicators, m.score_framework_patterns, m.normalize_scores,
                      m.determine_workload_pattern),
        classify_with(py_score_indicators, py_score_framework_patterns, py_normalize_scores,
                      py_determine_workload_pattern),
        texts, rounds=rounds(quick))
    classes = {}
    for code in res_native:
        classes[PATTERN_NAMES[code]] = classes.get(PATTERN_NAMES[code], 0) + 1
    chars = sum(len(s) for _, s in texts)
    result = {"modules": modules, "functions": len(texts), "chars": chars,
              "classes": dict(sorted(classes.items(), key=lambda kv: -kv[1]))}
    origin = "korvane's own" if modules == FALLBACK else "standard-library"
    workload = (f"every function of {len(modules)} {origin} modules ({len(texts)} functions, "
                f"{chars / 1e3:.0f} k chars) scored and classified")
    return report(workload, result, res_native == res_python, {"classify": len(texts)}, native, python)


def summary(result):
    classes = ", ".join(f"{k} {v}" for k, v in result["classes"].items())
    return f"{result['functions']} functions: {classes}"
