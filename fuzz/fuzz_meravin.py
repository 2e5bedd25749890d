"""Fuzzes korvane.plugins.analyzer.meravin: framework and indicator scoring
of source text (source-like text built from the scorer's own vocabulary,
huge, empty and non-ASCII text), normalisation, classification, GPU
suitability, speedup, parallelisation and the adaptive threshold."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Gen, check

from korvane.plugins.analyzer import meravin as m

WORDS = """add agg algorithm allocate append apply argmax argmin array asarray async batch benchmark billion
broadcast buffer cache calculation chunk classification clustering compile compute concat concatenate concurrent
correlate cos cross_val dataframe dependencies divide dot ensemble eval exp extend featureunion fft findall fit
for full gb gigabyte global gridsearchcv groupby huge intensive join large linalg lock log map math matmul
matrix max mb mean megabyte melt merge metrics million min model_selection multiply multiprocessing mutex
ndarray nonlocal np. numpy ones ordered pandas parallel pd. pipeline pivot pool power predict preprocessing
processpoolexecutor prod query randomforest randomizedsearchcv range regression resample reshape resize rolling
scipy score sequential series sin sklearn sort_values split sqrt stack std subtract sum synchronized tensordot
threading threadpoolexecutor train_test_split transform transpose ufunc update var vectorize while worker zeros
import from as def return 1e6 1e9 1024 ** _ np pd sk cupy torch""".split()
FRAMEWORKS = ["numpy", "pandas", "sklearn", "NUMPY", "", "torch", "scipy", "numpy\x00"]
CAPS = ["8.6", "7.5", "8.0", "9.0", "3.5", "", "x", "8.", ".5", "1e3", "nan", "inf", "-1", "8.6.1", "\u0668.\u0666"]


def code(g):
    return g.text() if not g.chance(4) else g.str_arg()


def fl(g, n):
    return [g.float_arg() if not g.chance(3) else g.fdp.ConsumeProbability() for _ in range(n)]


def op_framework_score(g):
    fw = g.pick(FRAMEWORKS) if not g.chance(6) else g.str_arg()
    r = g.call(m.quick_framework_score, [("code", code(g)), ("framework", fw)])
    check(isinstance(r, (float, fuzzlib.Failed)), f"framework score {r!r}")


def op_framework_patterns(g):
    r = g.call(m.score_framework_patterns, [("code", code(g))])
    check(isinstance(r, (tuple, fuzzlib.Failed)), f"patterns {r!r}")


def op_indicators(g):
    name = g.pick(WORDS) if g.chance(2) else g.str_arg()
    r = g.call(m.score_indicators, [("code", code(g)), ("function_name", name)])
    check(isinstance(r, (tuple, fuzzlib.Failed)), f"indicators {r!r}")


def op_gpu_suitability(g):
    a, b, c = fl(g, 3)
    cap = g.pick(CAPS) if not g.chance(5) else g.str_arg()
    g.call(m.calculate_gpu_suitability, [("gpu_operation_score", a), ("gpu_data_size_score", b),
                                         ("cpu_intensity", c), ("gpu_available", g.bool_arg()),
                                         ("compute_capability", cap)])


def op_speedup(g):
    a, b = fl(g, 2)
    g.call(m.estimate_gpu_speedup, [("gpu_operation_score", a), ("gpu_data_size_score", b),
                                    ("gpu_available", g.bool_arg())])


def op_parallel(g):
    names = ["base_parallel_score", "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential"]
    g.call(m.calculate_parallelization_potential, list(zip(names, fl(g, 4))))


def op_normalize(g):
    names = ["cpu_score", "memory_score", "parallel_score", "gpu_op_score", "large_data_score"]
    r = g.call(m.normalize_scores, [(n, g.int_arg(-5, 100)) for n in names])
    check(isinstance(r, (tuple, fuzzlib.Failed)), f"normalize {r!r}")


def op_workload(g):
    floats = ["cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability",
              "gpu_operation_score", "numpy_score", "pandas_score", "sklearn_score"]
    thresholds = ["cpu_threshold", "memory_threshold", "gpu_threshold", "numpy_threshold", "pandas_threshold",
                  "sklearn_threshold"]
    params = list(zip(floats, fl(g, len(floats))))
    params += [("sequential_count", g.int_arg(-2, 20)), ("embarrassing_count", g.int_arg(-2, 20))]
    params += list(zip(thresholds, fl(g, len(thresholds))))
    params.append(("gpu_available", g.bool_arg()))
    r = g.call(m.determine_workload_pattern, params)
    if isinstance(r, int):
        check(0 <= r <= 13, f"pattern code {r}")


def op_threshold(g):
    names = ["current_threshold", "success_rate", "learning_rate", "min_threshold", "max_threshold"]
    g.call(m.update_adaptive_threshold, list(zip(names, fl(g, 5))))


OPS = [op_framework_score, op_framework_patterns, op_indicators, op_indicators, op_gpu_suitability, op_speedup,
       op_parallel, op_normalize, op_workload, op_threshold]


def TestOneInput(data):
    g = Gen(data, WORDS)
    g.some(OPS, 5)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
