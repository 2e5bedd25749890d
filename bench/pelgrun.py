"""Timings of korvane.gpu.pelgrun against the interpreter's floor for the same
call shape (a cheap builtin taking as many arguments) and against the same
formulas written in plain Python.  Prints ratios only; asserts nothing."""
import math

from korvane._tour import pelgrun as plain  # the same formulas in plain Python
from korvane._tour._common import best_per_call
from korvane._tour.pelgrun import GiB
from korvane.gpu import pelgrun as p


class _O:
    x = 1


FLOORS = {  # a cheap builtin call per argument count
    1: ("len(s)", {"s": "zeros"}),
    2: ("isinstance(a, int)", {"a": 8}),
    3: ("getattr(o, 'x', None)", {"o": _O()}),
    4: ("hypot(a, b, c, d)", {"hypot": math.hypot, "a": 1.0, "b": 2.0, "c": 3.0, "d": 4.0}),
}

CASES = [  # name, argument count, call, globals
    ("estimate_allocation_bytes", 2, "f((1000, 1000), 8)", {}),
    ("calculate_safe_limit", 2, "f(a, 0.2)", {"a": 16 * GiB}),
    ("decide_allocation_strategy", 4, "f(r, a, 0.2, True)", {"r": 40 * GiB, "a": 16 * GiB}),
    ("calculate_optimal_chunks", 3, "f(r, a, 0.2)", {"r": 40 * GiB, "a": 16 * GiB}),
    ("is_oom_error", 2, "f(m, t)", {"m": "CUDA error: an illegal memory access was encountered",
                                    "t": "RuntimeError"}),
    ("is_chunkable_operation", 1, "f(o)", {"o": "random.randn"}),
    ("score_gpu_suitability", 4, "f(d, 'matmul', a, 0.2)", {"d": 4 * GiB, "a": 16 * GiB}),
    ("calculate_memory_pressure", 2, "f(u, t)", {"u": 5 * GiB, "t": 16 * GiB}),
    ("recommend_headroom", 1, "f(0.7)", {}),
    ("compute_chunk_shapes (10000 rows, 1 per chunk)", 3, "f((10000, 512), 8, 4096)", {}),
    ("compute_chunk_shapes (10000 rows, 7 chunks)", 3, "f((10000, 512), 8, 6 * 2**20)", {}),
]


def main():
    print(f"{'function':48} {'ns/call':>9} {'vs floor':>9} {'Python/ours':>12}")
    for name, nargs, stmt, env in CASES:
        fname = name.split()[0]
        number = 300 if fname == "compute_chunk_shapes" else 15_000
        floor_stmt, floor_env = FLOORS[nargs]
        floor, ours, python = best_per_call(
            [floor_stmt, stmt, stmt],
            [floor_env, {**env, "f": getattr(p, fname)}, {**env, "f": getattr(plain, fname)}],
            [15_000, number, max(number // 5, 60)], rounds=15)
        print(f"{name:48} {ours * 1e9:9.1f} {ours / floor:9.2f} {python / ours:12.1f}")
    print("floors:", "; ".join(f"{n} args {stmt}" for n, (stmt, _) in FLOORS.items()))


if __name__ == "__main__":
    main()
