"""korvane: native kernel layer of a performance runtime for CPython programs."""

__version__ = "0.1.0"

# Every extension module of the native layer: import name, one-line summary.
NATIVE_MODULES = (
    ("korvane.memory.varnok", "lock-free counters, a versioned object slot, a stack, allocation statistics, a timer"),
    ("korvane.memory.brisel", "size classes, 16-byte slab headers with CRC-16, bucket free lists, allocation statistics"),
    ("korvane.memory.talvorn", "red-black free-block tree with best-fit lookups validated by a sequence counter"),
    ("korvane.jit.quendar", "adaptive per-function compile thresholds"),
    ("korvane.plugins.analyzer.meravin", "source-text workload scoring and classification"),
    ("korvane.gpu.pelgrun", "GPU allocation sizing, strategy, chunk planning and out-of-memory recognition"),
    ("korvane.plugins.analyzer.dorvask", "orchestrator trend, workload-change and adaptation decisions"),
    ("korvane.native.oskarel", "host capability detection"),
    ("korvane.monitoring.tulvane", "numbered counter aggregation"),
)
