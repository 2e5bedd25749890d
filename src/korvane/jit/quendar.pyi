"""Adaptive compilation policy: per-function call-count thresholds that move
after each compilation according to the measured speedup.

The thresholds are signed 32-bit, ``call_count`` unsigned 64-bit and
``compile_count`` unsigned 32-bit; values outside those ranges raise
OverflowError.
"""

from typing import Protocol, type_check_only, TypedDict

from typing_extensions import Self, disjoint_base

@disjoint_base
class PolicyConfig:
    """Policy configuration.  The constructor validates the values (ValueError);
    the properties store what they are given."""

    def __new__(
        cls,
        initial_threshold: int = 100,
        min_threshold: int = 10,
        max_threshold: int = 10000,
        learning_rate: float = 0.1,
        target_speedup: float = 2.0,
    ) -> Self: ...
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float

@disjoint_base
class FunctionMetrics:
    """Metrics for a function's execution and compilation.

    ``last_compiled`` and ``last_compile_time`` name one timestamp field (wall
    clock seconds).  The constructor stores ``last_compiled`` when it is given
    and not negative, else ``last_compile_time``.
    """

    def __new__(
        cls,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compile_time: float = 0.0,
        last_compiled: float = -1.0,
    ) -> Self: ...
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float

@type_check_only
class _Metrics(Protocol):
    # What the policy reads from a metrics record; ``last_compiled`` (float)
    # is read too when present, 0.0 when absent.
    @property
    def call_count(self) -> int: ...
    @property
    def compile_count(self) -> int: ...
    @property
    def avg_speedup(self) -> float: ...

@type_check_only
class _TelemetryStore(Protocol):
    # The caller's telemetry store; asked once per should_compile / update.
    def get_metrics(self, func_id: str | None, /) -> _Metrics: ...

@type_check_only
class _PolicyStatistics(TypedDict):
    tracked_functions: int
    # the configured initial_threshold (an int) until a threshold is learned
    avg_threshold: float
    min_threshold: int
    max_threshold: int

@disjoint_base
class Quendar:
    """Adaptive JIT threshold policy.

    ``config``: a ``PolicyConfig`` (used as it is, not copied), None for the
    defaults, or any object whose ``initial_threshold``, ``min_threshold``,
    ``max_threshold``, ``learning_rate`` and ``target_speedup`` attributes are
    read (each missing one takes its default).
    """

    def __new__(cls, config: PolicyConfig | object | None = None) -> Self: ...
    @property
    def config(self) -> PolicyConfig: ...
    def get_threshold(self, func_id: str | None) -> int: ...
    def should_compile(self, func_id: str | None, telemetry_store: _TelemetryStore) -> bool: ...
    def update(self, func_id: str | None, telemetry_store: _TelemetryStore) -> None: ...
    def get_statistics(self) -> _PolicyStatistics: ...

def get_quendar() -> Quendar:
    """The process-wide policy, created with the default configuration on first use."""

def reset_quendar() -> None:
    """Drop the process-wide policy; the next get_quendar() makes a fresh one."""

def create_function_metrics(
    call_count: int = 0,
    compile_count: int = 0,
    avg_speedup: float = 1.0,
    total_execution_time_ms: float = 0.0,
    last_compile_time: float = 0.0,
) -> FunctionMetrics: ...
def create_policy_config(
    initial_threshold: int = 100,
    min_threshold: int = 10,
    max_threshold: int = 10000,
    learning_rate: float = 0.1,
    target_speedup: float = 2.0,
) -> PolicyConfig: ...
