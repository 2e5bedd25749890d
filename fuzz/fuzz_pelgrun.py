"""Fuzzes korvane.gpu.pelgrun: sizing, strategy, chunk planning, pressure,
headroom, out-of-memory recognition and GPU suitability."""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Gen, as_int, at_call, check

from korvane._tour.pelgrun import CHUNKABLE, NON_CHUNKABLE
from korvane.gpu import pelgrun as m

# The operation sets of the tour's plain-Python planner, in a fixed order so
# that an input always means the same calls.
OPS_CHUNKABLE = sorted(CHUNKABLE)
OPS_OTHER = sorted(NON_CHUNKABLE)
WORDS = OPS_CHUNKABLE + OPS_OTHER + [
    "out of memory", "OUT OF MEMORY", "cuda", "CUDA", "memory", "allocat", "allocation", "failed",
    "insufficient", "gpu", "GPU", "OutOfMemoryError", "RuntimeError", "outofmemoryerror", "\u0130", "\u212a",
    "me\u0307mory", "cu\u0301da", "MEMORY\u00df",
]

ROW_CAP = 1 << 16  # first-axis rows of compute_chunk_shapes: one list entry per chunk


def ref_oom(msg, typ):
    lm, lt = msg.lower(), typ.lower()
    return ("out of memory" in lm or "outofmemoryerror" in lt or ("cuda" in lm and "memory" in lm)
            or ("allocat" in lm and "failed" in lm) or ("memory" in lm and "insufficient" in lm)
            or ("gpu" in lm and "memory" in lm))


def shape(g):
    if g.chance(8):
        return g.any_()
    return tuple(g.int_arg(-2, 5000) for _ in range(g.n(5)))


def cap_rows(given):
    """A shape whose first axis has more than ROW_CAP rows (that the call
    would accept) with that count wrapped below it."""
    v = given.get("shape")
    if isinstance(v, tuple) and v:
        n = as_int(v[0])                   # floats convert too, truncated
        if n is not None and ROW_CAP < n < 2**31:
            given["shape"] = (n % ROW_CAP, *v[1:])
    return given


def op_estimate(g):
    params = [("shape", shape(g)), ("element_size", g.int_arg(0, 16))]
    if not g.chance(3):
        params.append(("overhead_factor", g.float_arg()))
    r = g.call(m.estimate_allocation_bytes, params)
    check(isinstance(r, (int, fuzzlib.Failed)), f"estimate gave {r!r}")
    if isinstance(r, int):
        check(0 <= r < 2**64, f"estimate out of range: {r}")


def op_safe_limit(g):
    r = g.call(m.calculate_safe_limit, [("available_bytes", g.int_arg()), ("headroom_ratio", g.float_arg())])
    if isinstance(r, int):
        check(0 <= r < 2**64, f"safe limit out of range: {r}")


def op_decide(g):
    r = g.call(m.decide_allocation_strategy,
               [("requested_bytes", g.int_arg()), ("available_bytes", g.int_arg()),
                ("headroom_ratio", g.float_arg()), ("is_chunkable", g.bool_arg())])
    if isinstance(r, tuple):
        check(len(r) == 4 and r[0] in (0, 1, 2) and isinstance(r[3], str) and r[2] >= 1, f"decision {r!r}")


def op_chunks(g):
    params = [("shape", shape(g)), ("element_size", g.int_arg(-1, 16)),
              ("max_chunk_bytes", g.int_arg(0, 1 << 20))]
    r = g.call(at_call(m.compute_chunk_shapes, ("shape",), cap_rows), params)
    if isinstance(r, list):
        check(all(isinstance(t, tuple) for t in r), "chunk shapes must be tuples")


def op_optimal(g):
    params = [("total_bytes", g.int_arg()), ("available_bytes", g.int_arg()), ("headroom_ratio", g.float_arg())]
    if not g.chance(3):
        params.append(("min_chunks", g.int_arg(-5, 2000)))
        if not g.chance(3):
            params.append(("max_chunks", g.int_arg(-5, 2000)))
    r = g.call(m.calculate_optimal_chunks, params)
    check(isinstance(r, (int, fuzzlib.Failed)), f"optimal chunks gave {r!r}")


def op_oom(g):
    msg, typ = g.str_arg(), g.str_arg()
    if g.chance(2):
        msg = g.text()
    r = g.call(m.is_oom_error, [("error_message", msg), ("error_type", typ)])
    if isinstance(r, bool) and type(msg) is str and type(typ) is str:
        check(r == ref_oom(msg, typ), f"is_oom_error({msg!r}, {typ!r}) gave {r}")


def op_chunkable(g):
    op = g.pick(WORDS) if g.chance(2) else g.str_arg()
    r = g.call(m.is_chunkable_operation, [("operation", op)])
    if isinstance(r, bool) and type(op) is str:
        check(r == (op in OPS_CHUNKABLE), f"is_chunkable_operation({op!r}) gave {r}")


def op_score(g):
    op = g.pick(WORDS) if g.chance(2) else g.str_arg()
    r = g.call(m.score_gpu_suitability, [("data_size_bytes", g.int_arg()), ("operation_type", op),
                                         ("available_gpu_memory", g.int_arg()), ("headroom_ratio", g.float_arg())])
    check(isinstance(r, (float, fuzzlib.Failed)), f"score gave {r!r}")


def op_pressure(g):
    r = g.call(m.calculate_memory_pressure, [("used_bytes", g.int_arg()), ("total_bytes", g.int_arg())])
    if isinstance(r, float):
        check(0.0 <= r <= 1.0, f"pressure {r}")


def op_headroom(g):
    params = [("current_pressure", g.float_arg())]
    if g.chance(2):
        params.append(("base_headroom", g.float_arg()))
    r = g.call(m.recommend_headroom, params)
    if isinstance(r, float):
        check(0.3 <= r <= 0.8, f"headroom {r}")


OPS = [op_estimate, op_safe_limit, op_decide, op_chunks, op_optimal, op_oom, op_chunkable, op_score, op_pressure,
       op_headroom]


def TestOneInput(data):
    g = Gen(data, WORDS)
    g.some(OPS, 7)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
