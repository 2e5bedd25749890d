"""Host capability detection: physical cores, NUMA nodes, interpreter version
and sub-interpreter support, GPU backends, and one combined report."""

from typing import type_check_only, TypedDict

from typing_extensions import NotRequired

@type_check_only
class _GPUBackends(TypedDict):
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str  # "cuda", "rocm", "oneapi" or "cpu"
    backend_version: str

@type_check_only
class _Capabilities(_GPUBackends):
    # In the report, physical_cores and numa_nodes come before the GPU keys.
    physical_cores: int
    numa_nodes: int
    python_version: str  # "3.10.13"; "3.10" in the fallback report
    subinterpreter_support: bool
    platform: str
    detected_at: float  # time.time()
    detector: str  # "native", or "native_fallback" when detection failed
    error: NotRequired[str]  # the fallback report only: str() of the exception
    detection_time_ms: float

def detect_physical_cores() -> int:
    """Usable CPU cores, at least 1."""

def detect_numa_nodes() -> int:
    """NUMA nodes, at least 1."""

def detect_gpu_backends() -> _GPUBackends: ...
def detect_python_version() -> tuple[str, bool]:
    """(version string, sub-interpreter support)."""

def detect_capabilities() -> _Capabilities:
    """The combined report; a fallback report (detector "native_fallback",
    with "error") when a detector raised."""
