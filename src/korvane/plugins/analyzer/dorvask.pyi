"""Orchestrator adaptation decisions: performance trend and degradation,
workload-change and dominant-pattern detection, memory-pressure and
fragmentation tests, adaptation urgency, cooldown, benefit and pool scoring,
and resource prediction.

Histories are lists (exactly ``list``) that are only read: performance and
allocation histories hold (timestamp, value) pairs, pattern histories hold
dicts with the keys "parallelization_potential", "cpu_intensity" and
"memory_intensity".  ``int`` parameters are signed 32-bit.
"""

from typing import overload

__test__: dict[str, str]

def detect_performance_degradation(
    performance_history: list[tuple[float, float]] | None,
    baseline_performance: float,
    threshold: float,
    window_start_time: float,
) -> bool:
    """Whether the mean metric since ``window_start_time`` (at least five
    points) fell more than ``threshold`` (0.15 for 15%) below the baseline."""

def calculate_performance_trend(
    performance_history: list[tuple[float, float]] | None, window_start_time: float
) -> float:
    """Trend coefficient, -1.0 to 1.0 (negative: declining); 0.0 below three points."""

def detect_workload_characteristics_change(
    pattern_history: list[dict[str, float]], change_threshold: float = 0.3
) -> tuple[bool, float, float, float]:
    """(changed, parallel change, cpu change, memory change) over the last six entries."""

@overload
def detect_dominant_pattern(patterns: list[str], window_size: int = 5) -> str: ...
@overload
def detect_dominant_pattern(patterns: list[str | None], window_size: int = 5) -> str | None:
    """The most frequent name among the last ``window_size``; "mixed" for an empty window."""

def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: float,
    recommendation_confidence: float,
    current_performance_estimate: float,
    trigger_code: int,
    min_improvement_ratio: float = 1.1,
    min_confidence: float = 0.6,
) -> bool: ...
def should_skip_adaptation(last_adaptation_time: float, current_time: float, min_interval: float) -> bool:
    """True while less than ``min_interval`` seconds passed since the last adaptation."""

def detect_memory_pressure(current_usage: float, peak_usage: float, pressure_threshold: float = 0.8) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: float, threshold: float = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: float, memory_pressure: float, fragmentation_ratio: float, workload_changed: bool
) -> float:
    """0.0 to 1.0."""

def score_pool_recommendation(
    workload_fit: float, memory_fit: float, thread_count_fit: float, historical_success_rate: float
) -> float:
    """0.0 to 1.0."""

def predict_resource_requirements(
    allocation_history: list[tuple[float, float]], prediction_horizon_seconds: float
) -> tuple[int, int, float]:
    """(predicted allocations, predicted bytes, confidence)."""
