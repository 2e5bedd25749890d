import inspect
import math

import pytest
from hypothesis import given, settings, strategies as st

from korvane.gpu import pelgrun as p

MAX_SAFE = 2**63 - 1
U64 = st.integers(0, 2**64 - 1)
RATIO = st.floats(-2.0, 2.0)


# Plain Python evaluation of the formulas, for the differential tests.
def ref_safe(avail, h):
    prod = int((1.0 - max(min(h, 0.99), 0.0)) * float(avail))
    return min(prod, 2**64 - 1), prod


def ref_count(req, safe, prod):
    # A count the double quotient rounds up to 2**64 or more is capped at
    # the largest uint64, which still covers the request.
    return min(max(math.ceil(float(req) / prod), -(-req // safe)), 2**64 - 1)


def ref_decide(req, avail, h, chunkable):
    safe, prod = ref_safe(avail, h)
    if safe == 0:
        return (2, 0, 1, "No GPU memory available")
    if req <= safe:
        return (0, 0, 1, "Allocation fits in GPU memory")
    if chunkable:
        n = ref_count(req, safe, prod)
        return (1, safe, n, f"Chunking into {n} GPU passes")
    return (2, 0, 1, "Operation not chunkable, falling back to CPU")


def ref_oom(msg, typ):
    m, t = msg.lower(), typ.lower()
    return ("out of memory" in m or "outofmemoryerror" in t or ("cuda" in m and "memory" in m)
            or ("allocat" in m and "failed" in m) or ("memory" in m and "insufficient" in m)
            or ("gpu" in m and "memory" in m))


def test_namespace_and_load_message(subprocess_python):
    names = [n for n in vars(p) if not n.startswith("__") or n == "__test__"]
    assert names == ["estimate_allocation_bytes", "calculate_safe_limit", "decide_allocation_strategy",
                     "compute_chunk_shapes", "calculate_optimal_chunks", "is_oom_error", "is_chunkable_operation",
                     "score_gpu_suitability", "calculate_memory_pressure", "recommend_headroom", "logging",
                     "logger", "__test__"]
    assert p.__test__ == {} and p.logger.name == "korvane.gpu.pelgrun"
    out = subprocess_python("import logging; logging.basicConfig(level=logging.INFO)\n"
                            "import korvane.gpu.pelgrun")
    assert "Korvane Pelgrun Cython module loaded - IP protected" in out.stderr
    assert p.estimate_allocation_bytes.__doc__.startswith("Estimate memory required for array allocation.")
    assert "Splits along the first axis for simplicity and efficiency." in p.compute_chunk_shapes.__doc__
    sig = inspect.signature(p.calculate_optimal_chunks)
    assert [(q.name, q.default) for q in list(sig.parameters.values())[3:]] == [("min_chunks", 1), ("max_chunks", 1000)]


@pytest.mark.parametrize("args, expected", [
    (((1000, 1000), 8), 8000000), (((1000, 1000), 8, 1.5), 12000000), (((1000, 1000), 8, 0.5), 8000000),
    (((1000, 1000), 8, -3.0), 8000000), (((), 4), 4), (((5, 0, 2**31 - 1), 8), 0), (((2**31 - 1,) * 3, 8, 2.0), MAX_SAFE),
    (((10, -1), 4), 0), (((-2**31,), 4), 0), (((2, 2.9), 3), 12), (((True, 7), 1), 7), (((4,), 0), 0),
    (((3577, 42799, 92737, 649657), 1), MAX_SAFE), (((3577, 42799, 92737, 649657), 2), MAX_SAFE),
    (((2**31 - 1, 2**31 - 1, 2), 1), 2 * (2**31 - 1)**2), (((2**31 - 1, 2**31 - 1, 3), 1), MAX_SAFE),
    (((2**30, 2**30, 4), 1), 2**62), (((2**30, 2**30, 4), 2), MAX_SAFE), (((2**31 - 1,) * 3 + (0,), 1), MAX_SAFE),
    (((2**31 - 1, 2**31 - 1, 2), 1, 1.5), int(float(2 * (2**31 - 1)**2) * 1.5)),
    (((2**31 - 1, 2**31 - 1, 2), 1, 3.0), MAX_SAFE), (((8,), 8, math.inf), MAX_SAFE),
    (((8,), 8, math.nan), 64), (((0,), 8, math.inf), 0),
])
def test_estimate(args, expected):
    assert p.estimate_allocation_bytes(*args) == expected


@pytest.mark.parametrize("args, exc, msg", [
    ((None, 4), TypeError, "object of type 'NoneType' has no len()"),
    (([1], 4), TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
    ((type("T", (tuple,), {})((1,)), 4), TypeError, "Argument 'shape' has incorrect type (expected tuple, got T)"),
    (((2**31,), 4), OverflowError, "value too large to convert to int"),
    (((-2**31 - 1,), 4), OverflowError, "value too large to convert to int"),
    ((("3",), 4), TypeError, "an integer is required"),
    (((3,), 2**31), OverflowError, "value too large to convert to int"),
    (((3,), -1), ValueError, "element_size must be non-negative"),
])
def test_estimate_errors(args, exc, msg):
    with pytest.raises(exc) as e:
        p.estimate_allocation_bytes(*args)
    assert str(e.value) == msg


@pytest.mark.parametrize("args, expected", [
    ((1000, 0.2), 800), ((1000, 1.0), 10), ((1000, 5.0), 10), ((1000, -1.0), 1000), ((1000, math.nan), 10),
    ((0, 0.0), 0), ((2**64 - 1, 0.0), 2**64 - 1), ((2**64 - 1, 0.5), 2**63),
])
def test_safe_limit(args, expected):
    assert p.calculate_safe_limit(*args) == expected


@pytest.mark.parametrize("args, expected", [
    ((0, 0, 0.2, True), (2, 0, 1, "No GPU memory available")),
    ((0, 1, 0.5, True), (2, 0, 1, "No GPU memory available")),
    ((800, 1000, 0.2, False), (0, 0, 1, "Allocation fits in GPU memory")),
    ((1000, 1000, 0.5, True), (1, 500, 2, "Chunking into 2 GPU passes")),
    ((1001, 1000, 0.5, 1), (1, 500, 3, "Chunking into 3 GPU passes")),
    ((1000, 1000, 0.5, []), (2, 0, 1, "Operation not chunkable, falling back to CPU")),
    # the double quotient 2**53 / 2**30 falls one pass short; the count covers the request
    ((2**53 + 1, 2**30, 0.0, True), (1, 2**30, 2**23 + 1, f"Chunking into {2**23 + 1} GPU passes")),
    ((2**64 - 1, 100, 0.99, True), (1, 1, 2**64 - 1, f"Chunking into {2**64 - 1} GPU passes")),
])
def test_decide(args, expected):
    assert p.decide_allocation_strategy(*args) == expected


@pytest.mark.parametrize("call", [
    lambda: p.calculate_safe_limit(-1, 0.5), lambda: p.decide_allocation_strategy(1, -5, 0.5, True),
    lambda: p.calculate_memory_pressure(-1, 4), lambda: p.score_gpu_suitability(-1, None, 10, 0.1),
    lambda: p.calculate_optimal_chunks(1, -1, 0.5), lambda: p.compute_chunk_shapes((4, -2), 8, 64),
])
def test_negative_byte_counts(call):
    with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
        call()


@settings(max_examples=400, deadline=None)
@given(U64 | st.integers(0, 10**6), U64 | st.integers(0, 10**6), RATIO, st.booleans())
def test_decide_matches_formulas_and_covers(req, avail, h, chunkable):
    got = p.decide_allocation_strategy(req, avail, h, chunkable)
    assert got == ref_decide(req, avail, h, chunkable)
    assert p.calculate_safe_limit(avail, h) == ref_safe(avail, h)[0]
    if got[0] == 1:
        assert got[1] * got[2] >= req
        if req < 2**53:  # the double formula is exact here
            assert got[2] == math.ceil(req / ref_safe(avail, h)[1]) and (got[2] - 1) * got[1] < req


@pytest.mark.parametrize("args, expected", [
    ((1000, 1000, 0.5), 2), ((1001, 1000, 0.5), 3), ((0, 1000, 0.5), 1), ((10, 0, 0.5), 1000),
    ((10, 0, 0.5, 1, 64), 64), ((10**9, 1000, 0.5, 1, 16), 16), ((1000, 1000, 0.5, 5, 3), 5),
    ((10000, 1000, 0.5, 5, 3), 3), ((2**64 - 1, 1, 0.0, 1, 2**31 - 1), 2**31 - 1),
    ((2**53 + 1, 2**30, 0.0, 1, 2**31 - 1), 2**23 + 1), ((5, 10, 0.0, -2**31, -2**31), -2**31),
])
def test_optimal_chunks(args, expected):
    assert p.calculate_optimal_chunks(*args) == expected


@settings(max_examples=300, deadline=None)
@given(U64, U64, RATIO, st.integers(-5, 50), st.integers(-5, 50))
def test_optimal_chunks_matches_formulas(total, avail, h, lo, hi):
    safe, prod = ref_safe(avail, h)
    n = hi if safe == 0 else min(ref_count(total, safe, prod), 2**31 - 1)
    expected = n if safe == 0 else lo if n < lo else hi if n > hi else n
    assert p.calculate_optimal_chunks(total, avail, h, lo, hi) == expected


@pytest.mark.parametrize("args, expected", [
    (((10, 4), 8, 64), [(2, 4)] * 5), (((5, 4), 8, 64), [(2, 4), (2, 4), (1, 4)]),
    (((3, 100), 8, 64), [(1, 100)] * 3), (((7,), 4, 1000), [(7,)]), (((1000,), 4, 2**40), [(1000,)]),
    (((), 4, 16), [()]), (((0, 4), 8, 64), []), (((-3,), 8, 64), []), (((10, 0), 8, 1), [(10, 0)]),
    (((4, 2**32, 2**32), 1, 10), [(4, 2**32, 2**32)]),  # row size wraps to 0
    (((4, 2.0), 8, 16), [(1, 2.0)] * 4), (((2**31 - 1,), 1, 2**64 - 1), [(2**31 - 1,)]),
])
def test_chunk_shapes(args, expected):
    assert p.compute_chunk_shapes(*args) == expected


@pytest.mark.parametrize("args, exc, msg", [
    (((10, 4), 0, 64), ValueError, "element_size must be positive"),
    ((None, -1, 0), ValueError, "element_size must be positive"),
    (((10, 4), 8, 0), ValueError, "max_chunk_bytes must be positive"),
    ((None, 8, 64), TypeError, "object of type 'NoneType' has no len()"),
    (((2**31, 4), 8, 64), OverflowError, "value too large to convert to int"),
    (([10], 8, 64), TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
])
def test_chunk_shapes_errors(args, exc, msg):
    with pytest.raises(exc) as e:
        p.compute_chunk_shapes(*args)
    assert str(e.value) == msg


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(0, 300), min_size=1, max_size=4), st.integers(1, 16), st.integers(1, 10**6))
def test_chunk_rows_cover_first_dim(shape, size, budget):
    chunks = p.compute_chunk_shapes(tuple(shape), size, budget)
    assert sum(c[0] for c in chunks) == shape[0]
    assert all(c[1:] == tuple(shape[1:]) for c in chunks)
    row = size * math.prod(shape[1:])
    assert all(c[0] == 1 or c[0] * row <= budget for c in chunks)
    assert len({c[0] for c in chunks[:-1]}) <= 1 and all(c[0] > 0 for c in chunks)


@pytest.mark.parametrize("args, expected", [
    ((5, 0), 1.0), ((0, 0), 1.0), ((150, 100), 1.0), ((25, 100), 0.25), ((2**64 - 1, 2**64 - 1), 1.0),
])
def test_memory_pressure(args, expected):
    assert p.calculate_memory_pressure(*args) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.9,), 0.8), ((0.7,), 0.6), ((0.8,), 0.65), ((0.5,), 0.5), ((0.2,), 0.4), ((0.2, 0.4), 0.3),
    ((0.7, 0.75), 0.8), ((0.5, 0.1), 0.3), ((math.nan,), 0.4), ((0.5, math.nan), 0.8), ((0.5, -math.inf), 0.3),
])
def test_recommend_headroom(args, expected):
    assert p.recommend_headroom(*args) == pytest.approx(expected)
    assert 0.3 <= p.recommend_headroom(*args) <= 0.8


@pytest.mark.parametrize("msg, typ, expected", [
    ("CUDA out of memory. Tried to allocate 20.00 MiB (GPU 0; 7.79 GiB total capacity)", "OutOfMemoryError", True),
    ("Out of memory allocating 1,024 bytes (allocated so far: 0 bytes).", "OutOfMemoryError", True),
    ("", "cupy.cuda.memory.OutOfMemoryError", True), ("CUDA_ERROR_OUT_OF_MEMORY", "CudaAPIError", True),
    ("Failed to allocate buffer", "RuntimeError", True), ("GPU memory exhausted", "RuntimeError", True),
    ("Insufficient device MEMORY", "RuntimeError", True), ("OUT OF MEMORY", "X", True),
    ("Segmentation fault", "RuntimeError", False), ("allocation succeeded", "RuntimeError", False),
    ("FAİLED to allocate", "RuntimeError", False), ("GPU 0 busy", "RuntimeError", False),
])
def test_oom_texts(msg, typ, expected):
    assert p.is_oom_error(msg, typ) is expected is ref_oom(msg, typ)


def test_oom_real_exceptions():
    with pytest.raises(MemoryError) as e:
        [0, 0] * 2**62  # refused before any allocation
    assert p.is_oom_error(str(e.value), type(e.value).__name__) is False  # MemoryError carries no text
    assert p.is_oom_error(str(MemoryError("Out of memory")), "MemoryError") is True
    for args in [(None, "x"), ("x", None)]:
        with pytest.raises(TypeError, match="doesn't apply to a 'NoneType' object"):
            p.is_oom_error(*args)


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(["Out of", " memory", "CUDA", "allocat", "FAILED", "insufficient", "GPU", "İ", "K",
                                 "ǅ", "ß", "\u212a", "ﬃ", "of", "ory", " ", "@[`{Z", "GPU_MEMORY!"]) | st.text(), max_size=6).map("".join),
       st.sampled_from(["OutOfMemoryError", "outofmemoryerrorİ", "RuntimeError", "OUTOFMEMORYERROR"]))
def test_oom_matches_lower(msg, typ):
    assert p.is_oom_error(msg, typ) is ref_oom(msg, typ)


@pytest.mark.parametrize("op, chunkable, factor", [
    ("random.randn", True, 0.9), ("zeros", True, 0.9), ("linspace", True, 0.9), ("matmul", False, 0.7),
    ("argsort", False, 0.7), ("Zeros", False, 0.5), ("random.normal", False, 0.5), (None, False, 0.5),
])
def test_operations(op, chunkable, factor):
    assert p.is_chunkable_operation(op) is chunkable
    assert p.score_gpu_suitability(800, op, 1000, 0.0) == pytest.approx(factor)


@pytest.mark.parametrize("call, msg", [
    (lambda: p.is_chunkable_operation(type("StrSub", (str,), {})("zeros")), "'operation' has incorrect type (expected str, got StrSub)"),
    (lambda: p.score_gpu_suitability(1, 3, 1, 0.0), "'operation_type' has incorrect type (expected str, got int)"),
    (lambda: p.is_oom_error("x", b"y"), "'error_type' has incorrect type (expected str, got bytes)"),
    (lambda: p.calculate_safe_limit("1", 0.5), "an integer is required"),
    (lambda: p.recommend_headroom(None), "must be real number, not NoneType"),
    (lambda: p.recommend_headroom(0.1, 0.2, 0.3), "recommend_headroom() takes at most 2 positional arguments (3 given)"),
])
def test_type_errors(call, msg):
    with pytest.raises(TypeError) as e:
        call()
    assert msg in str(e.value)


@pytest.mark.parametrize("args, expected", [
    ((800, "zeros", 1000, 0.0), 0.9), ((400, "zeros", 1000, 0.0), 0.45), ((2000, "zeros", 1000, 0.0), 0.45),
    ((800, "matmul", 1000, 0.0), 0.7), ((800, "foo", 1000, 0.0), 0.5), ((800, "zeros", 0, 0.0), 0.0),
    ((0, "zeros", 1000, 0.5), 0.0), ((2**64 - 1, "zeros", 2**64 - 1, 0.0), 0.9),
])
def test_score(args, expected):
    assert p.score_gpu_suitability(*args) == pytest.approx(expected)


@settings(max_examples=300, deadline=None)
@given(U64, U64, RATIO)
def test_score_matches_formula(data, avail, h):
    safe, prod = ref_safe(avail, h)
    size = 0.0 if safe == 0 else min(float(data) * 1.25 / prod, 1.0) if data <= safe else float(prod) / float(data)
    assert p.score_gpu_suitability(data, "fft", avail, h) == size * 0.7


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(-5, 2**31 - 1) | st.integers(1, 3000), max_size=5), st.integers(0, 2**31 - 1), st.floats(-2.0, 4.0))
def test_estimate_matches_formula(shape, size, factor):
    count, expected = 1, None
    for d in shape:
        if d <= 0 or count * d > MAX_SAFE:
            expected = 0 if d <= 0 else MAX_SAFE
            break
        count *= d
    if expected is None:
        if count * size > MAX_SAFE:
            expected = MAX_SAFE
        elif factor > 1.0 and count * size:
            scaled = float(count * size) * factor
            expected = MAX_SAFE if scaled >= 2.0**64 else int(scaled)
        else:
            expected = count * size
    assert p.estimate_allocation_bytes(tuple(shape), size, factor) == expected
