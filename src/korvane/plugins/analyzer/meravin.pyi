"""Workload analysis: scoring of a function's source text for framework use
(NumPy, pandas, scikit-learn) and for CPU, memory, parallel, GPU-operation,
large-data, embarrassingly-parallel and sequential indicators, and the
classification of a workload pattern.

Workload pattern codes (result of ``determine_workload_pattern``):
0 MIXED, 1 CPU_INTENSIVE, 2 MEMORY_INTENSIVE, 3 PARALLEL_FRIENDLY,
4 SEQUENTIAL, 5 GPU_SUITABLE, 6 GPU_COMPUTE_INTENSIVE, 7 GPU_MEMORY_BOUND,
8 NUMPY_VECTORIZED, 9 NUMPY_LINALG (reserved), 10 PANDAS_DATAFRAME,
11 PANDAS_GROUPBY (reserved), 12 SKLEARN_TRAINING, 13 SKLEARN_INFERENCE
(reserved).

``int`` parameters are signed 32-bit (OverflowError outside that range).
"""

__test__: dict[str, str]

def quick_framework_score(code: str, framework: str | None) -> float:
    """Regex score, 0.0 to 1.0, of ``code`` for "numpy", "pandas" or "sklearn";
    0.0 for any other framework name (None included)."""

def calculate_gpu_suitability(
    gpu_operation_score: float,
    gpu_data_size_score: float,
    cpu_intensity: float,
    gpu_available: bool,
    compute_capability: str | None,
) -> float:
    """0.0 to 1.0; ``compute_capability`` like "8.6" (None or unparsable: factor 1.0)."""

def estimate_gpu_speedup(gpu_operation_score: float, gpu_data_size_score: float, gpu_available: bool) -> float:
    """Estimated speedup ratio; 1.0 means none."""

def calculate_parallelization_potential(
    base_parallel_score: float, embarrassing_bonus: float, sequential_penalty: float, loop_chunking_potential: float
) -> float:
    """0.0 to 1.0."""

def score_indicators(code: str, function_name: str | None) -> tuple[int, int, int, int, int, int, int]:
    """Keyword hits: (cpu, memory, parallel, gpu_op, large_data, embarrassing, sequential)."""

def normalize_scores(
    cpu_score: int, memory_score: int, parallel_score: int, gpu_op_score: int, large_data_score: int
) -> tuple[float, float, float, float, float]:
    """Each count over its list size (15, 10, 11, 36, 13), clamped to 0.0 to 1.0."""

def score_framework_patterns(code: str) -> tuple[float, float, float]:
    """Keyword scores (numpy, pandas, sklearn), each 0.0 to 1.0."""

def determine_workload_pattern(
    cpu_intensity: float,
    memory_intensity: float,
    parallelization_potential: float,
    gpu_suitability: float,
    gpu_operation_score: float,
    numpy_score: float,
    pandas_score: float,
    sklearn_score: float,
    sequential_count: int,
    embarrassing_count: int,
    cpu_threshold: float,
    memory_threshold: float,
    gpu_threshold: float,
    numpy_threshold: float,
    pandas_threshold: float,
    sklearn_threshold: float,
    gpu_available: bool,
) -> int:
    """A workload pattern code, 0 to 12 (see the module docstring)."""

def update_adaptive_threshold(
    current_threshold: float, success_rate: float, learning_rate: float, min_threshold: float, max_threshold: float
) -> float:
    """The new detection threshold, within [min_threshold, max_threshold]."""
