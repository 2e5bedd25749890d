"""Timings of korvane.gpu.pelgrun against the interpreter's floor for the same
call shape (a cheap builtin taking as many arguments) and against the same
formulas written in plain Python.  Prints ratios only; asserts nothing."""
import math
import timeit

from korvane.gpu import pelgrun as p

MAX_SAFE = 2**63 - 1
CHUNKABLE = {"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
             "random.standard_normal", "random.uniform", "arange", "linspace"}
NON_CHUNKABLE = {"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
                 "sort", "argsort"}


# ------------------------------------------------ the formulas in Python

def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    total = 1
    for d in shape:
        d = int(d)
        if d <= 0:
            return 0
        if MAX_SAFE // d < total:
            return MAX_SAFE
        total *= d
    if element_size > 0 and total > MAX_SAFE // element_size:
        return MAX_SAFE
    base = total * element_size
    return int(base * overhead_factor) if overhead_factor > 1.0 else base


def calculate_safe_limit(available_bytes, headroom_ratio):
    return int((1.0 - max(min(headroom_ratio, 0.99), 0.0)) * available_bytes)


def decide_allocation_strategy(requested, available, headroom, chunkable):
    safe = calculate_safe_limit(available, headroom)
    if safe == 0:
        return (2, 0, 1, "No GPU memory available")
    if requested <= safe:
        return (0, 0, 1, "Allocation fits in GPU memory")
    if chunkable:
        n = math.ceil(requested / safe)
        return (1, safe, n, f"Chunking into {n} GPU passes")
    return (2, 0, 1, "Operation not chunkable, falling back to CPU")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    row = element_size
    for d in shape[1:]:
        row *= d
    rows_per_chunk = 1 if row > max_chunk_bytes else max_chunk_bytes // row
    rest = shape[1:]
    chunks, remaining = [], shape[0]
    while remaining > 0:
        n = min(rows_per_chunk, remaining)
        chunks.append((n,) + rest)
        remaining -= n
    return chunks


def calculate_optimal_chunks(total, available, headroom, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available, headroom)
    if safe == 0:
        return max_chunks
    n = math.ceil(total / safe)
    return min_chunks if n < min_chunks else max_chunks if n > max_chunks else n


def is_oom_error(message, type_name):
    m, t = message.lower(), type_name.lower()
    return ("out of memory" in m or "outofmemoryerror" in t or ("cuda" in m and "memory" in m)
            or ("allocat" in m and "failed" in m) or ("memory" in m and "insufficient" in m)
            or ("gpu" in m and "memory" in m))


def is_chunkable_operation(operation):
    return operation in CHUNKABLE


def score_gpu_suitability(data, operation, available, headroom):
    safe = calculate_safe_limit(available, headroom)
    if safe == 0:
        size = 0.0
    elif data <= safe:
        size = min(data * 1.25 / safe, 1.0)
    else:
        size = safe / data
    op = 0.9 if operation in CHUNKABLE else 0.7 if operation in NON_CHUNKABLE else 0.5
    return size * op


def calculate_memory_pressure(used, total):
    return 1.0 if total == 0 else min(used / total, 1.0)


def recommend_headroom(pressure, base=0.5):
    if pressure > 0.8:
        return 0.8
    if pressure > 0.6:
        r = base + (pressure - 0.5) * 0.5
    elif pressure > 0.3:
        r = base
    else:
        r = 0.3 if base <= 0.4 else base - 0.1
    return 0.3 if r < 0.3 else min(r, 0.8)


# ------------------------------------------------------------ measuring

class _O:
    x = 1


FLOORS = {  # a cheap builtin call per argument count
    1: ("len(s)", {"s": "zeros"}),
    2: ("isinstance(a, int)", {"a": 8}),
    3: ("getattr(o, 'x', None)", {"o": _O()}),
    4: ("hypot(a, b, c, d)", {"hypot": math.hypot, "a": 1.0, "b": 2.0, "c": 3.0, "d": 4.0}),
}

GiB = 2**30
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


def per_call(stmt, env, number, rounds=15):
    """Best time per call of each statement; the statements take turns in
    every round, so load on the machine affects them alike."""
    timers = [timeit.Timer(st, globals=e) for st, e in zip(stmt, env)]
    times = [math.inf] * len(timers)
    for _ in range(rounds):
        for i, t in enumerate(timers):
            times[i] = min(times[i], t.timeit(number[i]) / number[i])
    return times


def main():
    print(f"{'function':48} {'ns/call':>9} {'vs floor':>9} {'Python/ours':>12}")
    for name, nargs, stmt, env in CASES:
        fname = name.split()[0]
        number = 300 if fname == "compute_chunk_shapes" else 15_000
        floor_stmt, floor_env = FLOORS[nargs]
        floor, ours, python = per_call(
            [floor_stmt, stmt, stmt],
            [floor_env, {**env, "f": getattr(p, fname)}, {**env, "f": globals()[fname]}],
            [15_000, number, max(number // 5, 60)])
        print(f"{name:48} {ours * 1e9:9.1f} {ours / floor:9.2f} {python / ours:12.1f}")
    print("floors:", "; ".join(f"{n} args {stmt}" for n, (stmt, _) in FLOORS.items()))


if __name__ == "__main__":
    main()
