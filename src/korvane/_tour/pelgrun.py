"""pelgrun: a GPU allocation plan for a few array shapes.

Against a GPU of a given memory size, part of it in use: the headroom is
chosen from the memory pressure, then each array is sized, checked for
whether its operation can run in chunks, given a strategy (direct, chunked
or CPU fallback), a chunk plan when chunked, and a GPU suitability score.
The plain-Python side is the same formulas written out below.
"""

import math

from ._common import clock, compare, report, rounds

NAME = "pelgrun"
MODULE = "korvane.gpu.pelgrun"

GiB = 2**30
MAX_SAFE = 2**63 - 1
CHUNKABLE = {"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
             "random.standard_normal", "random.uniform", "arange", "linspace"}
NON_CHUNKABLE = {"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
                 "sort", "argsort"}
STRATEGIES = ("GPU_DIRECT", "GPU_CHUNKED", "CPU_FALLBACK")


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
        # At least the exact ceiling: past 2**53 bytes the float quotient may round down.
        n = max(math.ceil(requested / safe), -(-requested // safe))
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


# ------------------------------------------------------------ the plan

GPU_TOTAL = 16 * GiB
GPU_USED = 5 * GiB
ARRAYS = [  # name, shape, element size, operation
    ("embeddings", (50_000, 1_024), 4, "zeros"),
    ("weights", (8_192, 8_192), 4, "matmul"),
    ("activations", (4_096, 4_096, 64), 4, "random.randn"),
    ("image stack", (2_000, 2_048, 2_048), 2, "ones"),
    ("spectrum", (65_536, 65_536), 8, "fft"),
    ("point cloud", (400_000_000, 3), 8, "random.uniform"),
    ("covariance", (30_000, 30_000), 8, "eig"),
    ("grid", (1_000_000, 4_096), 4, "empty"),
]


def plan_with(f):
    """One plan of ARRAYS made with the functions of `f` (the native module
    or this one)."""
    estimate, strategy, chunkable = f.estimate_allocation_bytes, f.decide_allocation_strategy, \
        f.is_chunkable_operation
    shapes, suitability = f.compute_chunk_shapes, f.score_gpu_suitability
    pressure, headroom = f.calculate_memory_pressure, f.recommend_headroom

    def plan():
        available = GPU_TOTAL - GPU_USED
        room = headroom(pressure(GPU_USED, GPU_TOTAL), 0.2)
        out = []
        for name, shape, size, op in ARRAYS:
            nbytes = estimate(shape, size)
            code, chunk_bytes, _, reason = strategy(nbytes, available, room, chunkable(op))
            chunks = shapes(shape, size, chunk_bytes) if code == 1 else [shape]
            out.append((name, nbytes, code, chunks, reason, suitability(nbytes, op, available, room)))
        return room, out
    return plan


def _repeat(plan, times):
    def go(_):
        t0 = clock()
        for _ in range(times):
            result = plan()
        return {"plan": clock() - t0}, result
    return go


def run(quick=False):
    import sys

    from korvane.gpu import pelgrun as native_module

    plans = 400 if quick else 2_000
    native, python, res_native, res_python = compare(
        _repeat(plan_with(native_module), plans), _repeat(plan_with(sys.modules[__name__]), plans), None,
        rounds=rounds(quick))
    room, rows = res_native
    agree = res_python[0] == room and all(
        a[:5] == b[:5] and math.isclose(a[5], b[5], rel_tol=1e-12) for a, b in zip(rows, res_python[1]))
    result = {
        "gpu_memory_bytes": GPU_TOTAL,
        "in_use_bytes": GPU_USED,
        "headroom": room,
        "arrays": [{"array": name, "shape": list(shape), "bytes": nbytes, "strategy": STRATEGIES[code],
                    "chunks": len(chunks), "first_chunk": list(chunks[0]), "reason": reason,
                    "gpu_suitability": suit}
                   for (name, nbytes, code, chunks, reason, suit), (_, shape, _, _) in zip(rows, ARRAYS)],
    }
    workload = (f"{len(ARRAYS)} arrays planned against a {GPU_TOTAL // GiB} GiB GPU with "
                f"{GPU_USED // GiB} GiB in use, {plans} times over")
    return report(workload, result, agree, {"plan": plans * len(ARRAYS)}, native, python)


def summary(result):
    parts = []
    for a in result["arrays"]:
        size = f"{a['bytes'] / GiB:.1f} GiB" if a["bytes"] >= GiB else f"{a['bytes'] / 2**20:.0f} MiB"
        how = {"GPU_DIRECT": "direct", "CPU_FALLBACK": "CPU"}.get(a["strategy"], f"{a['chunks']} chunks")
        parts.append(f"{a['array']} {size} {how}")
    return f"headroom {result['headroom']:.2f}: " + ", ".join(parts)
