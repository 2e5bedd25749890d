"""GPU memory planning: allocation estimates, safe limits with headroom, the
direct / chunked / CPU-fallback decision, chunk plans, memory pressure,
headroom recommendation and out-of-memory recognition.

Byte counts are unsigned 64-bit (a negative value raises OverflowError);
``int`` sizes and counts are signed 32-bit.

Allocation strategy codes (first item of ``decide_allocation_strategy``):
0 GPU_DIRECT (one piece on the GPU), 1 GPU_CHUNKED (several passes of at most
``chunk_size`` bytes), 2 CPU_FALLBACK (run on the CPU).
"""

__test__: dict[str, str]

def estimate_allocation_bytes(shape: tuple[int, ...], element_size: int, overhead_factor: float = 1.0) -> int:
    """Bytes for an array of ``shape``; 2**63 - 1 when the count would overflow."""

def calculate_safe_limit(available_bytes: int, headroom_ratio: float) -> int: ...
def decide_allocation_strategy(
    requested_bytes: int, available_bytes: int, headroom_ratio: float, is_chunkable: bool
) -> tuple[int, int, int, str]:
    """(strategy code, chunk size in bytes or 0, chunk count or 1, message)."""

def compute_chunk_shapes(shape: tuple[int, ...], element_size: int, max_chunk_bytes: int) -> list[tuple[int, ...]]:
    """``shape`` cut along its first axis into chunks of at most ``max_chunk_bytes``."""

def calculate_optimal_chunks(
    total_bytes: int, available_bytes: int, headroom_ratio: float, min_chunks: int = 1, max_chunks: int = 1000
) -> int: ...
def is_oom_error(error_message: str, error_type: str) -> bool:
    """Whether an exception's message and type name describe an out-of-memory error."""

def is_chunkable_operation(operation: str | None) -> bool:
    """True for array creation such as "zeros" or "random.randn"; None gives False."""

def score_gpu_suitability(
    data_size_bytes: int, operation_type: str | None, available_gpu_memory: int, headroom_ratio: float
) -> float:
    """0.0 to 1.0."""

def calculate_memory_pressure(used_bytes: int, total_bytes: int) -> float:
    """used / total, 0.0 to 1.0."""

def recommend_headroom(current_pressure: float, base_headroom: float = 0.5) -> float:
    """A headroom ratio in the range 0.3 to 0.8."""
