"""Timings of korvane.native.oskarel.detect_capabilities(): cold (first call in
a fresh process) and warm, with and without a backend registry module, against
the same detection written in pure Python.  Prints times and ratios only."""
import os
import subprocess
import sys
import textwrap

from korvane._tour._common import best_per_call

# A registry stand-in, put into sys.modules as korvane.gpu.mirrast.
REGISTRY = textwrap.dedent("""
    import enum, sys, types
    class GPUBackendKind(enum.Enum):
        CUDA = "cuda"; ROCm = "rocm"; oneAPI = "oneapi"; CPU = "cpu"
    class _Entry:
        device_count = 1; memory_gb = 80.0
    class _Info:
        kind = GPUBackendKind.CUDA; version = "12.4"
    class _Best:
        info = _Info()
    class GPUBackendRegistry:
        @staticmethod
        def detect_available_backends():
            return {GPUBackendKind.CUDA: _Entry()}
        @staticmethod
        def get_best_available():
            return _Best()
    _m = types.ModuleType("korvane.gpu.mirrast")
    _m.GPUBackendKind, _m.GPUBackendRegistry = GPUBackendKind, GPUBackendRegistry
    sys.modules["korvane.gpu.mirrast"] = _m
""")

COLD = """
import time
{registry}
t0 = time.perf_counter()
{imp}
t1 = time.perf_counter()
detect_capabilities()
t2 = time.perf_counter()
print((t1 - t0) * 1e3, (t2 - t1) * 1e3)
"""


def cold(imp, registry, runs=7):
    """Best of `runs` fresh processes: (import ms, first call ms)."""
    code = COLD.format(registry=REGISTRY if registry else "", imp=imp)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    best = (float("inf"), float("inf"))
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
        imp_ms, call_ms = map(float, out.stdout.split())
        best = min(best, (imp_ms, call_ms), key=lambda t: t[1])
    return best


def warm(fns, number, rounds=7):
    """Best ms per call of each function, measured in interleaved rounds so
    that load on a shared machine hits all of them alike."""
    return [t * 1e3 for t in best_per_call(fns, None, number, rounds)]


def main():
    from korvane.native import oskarel

    # What a user would write in Python for the same report: the detection
    # that `python -m korvane` compares with.
    from korvane._tour import oskarel as plain

    pure = vars(plain)
    native_imp = "from korvane.native.oskarel import detect_capabilities"
    pure_imp = "from korvane._tour.oskarel import detect_capabilities"
    print(f"oskarel on Python {sys.version.split()[0]}; times in ms (best of several)")
    print(f"{'case':40} {'native':>9} {'python':>9} {'py/native':>10}")

    for registry in (True, False):
        label = "with registry" if registry else "no registry (nvidia-smi path)"
        n_imp, n_call = cold(native_imp, registry)
        p_imp, p_call = cold(pure_imp, registry)
        print(f"{'cold first call, ' + label:40} {n_call:9.3f} {p_call:9.3f} {p_call / n_call:9.2f}x")
        if registry:
            exec(REGISTRY, {})
        else:
            sys.modules.pop("korvane.gpu.mirrast", None)
        number = 2000 if registry else 20
        t_n, t_p = warm([oskarel.detect_capabilities, pure["detect_capabilities"]], number)
        print(f"{'warm call, ' + label:40} {t_n:9.3f} {t_p:9.3f} {t_p / t_n:9.2f}x")
    print(f"{'module import (cold)':40} {n_imp:9.3f}")
    print("The no-registry rows include the nvidia-smi run (bounded by its 0.5 s time-out).")

    exec(REGISTRY, {})
    for name in ("detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version"):
        t_n, t_p = warm([getattr(oskarel, name), pure[name]], 2000)
        print(f"{'warm ' + name:40} {t_n:9.4f} {t_p:9.4f} {t_p / t_n:9.2f}x")
    if hasattr(os, "sched_getaffinity"):
        t_n, floor = warm([oskarel.detect_capabilities, lambda: len(os.sched_getaffinity(0))], 2000)
        print(f"detect_capabilities / len(os.sched_getaffinity(0)) floor: {t_n / floor:.1f}x")


if __name__ == "__main__":
    main()
