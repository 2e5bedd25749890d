"""Timings of korvane.native.oskarel.detect_capabilities(): cold (first call in
a fresh process) and warm, with and without a backend registry module, against
the same detection written in pure Python.  Prints times and ratios only."""
import os
import subprocess
import sys
import textwrap
import timeit

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

# What a user would write in Python for the same report.
PURE = textwrap.dedent("""
    import os, sys, time

    def detect_physical_cores():
        try:
            if hasattr(os, "sched_getaffinity"):
                return max(1, len(os.sched_getaffinity(0)))
            return max(1, os.cpu_count() or 1)
        except Exception:
            return os.cpu_count() or 1

    def detect_numa_nodes():
        try:
            if sys.platform == "linux":
                if os.path.exists("/sys/devices/system/node"):
                    n = len([e for e in os.listdir("/sys/devices/system/node")
                             if e.startswith("node") and e[4:].isdigit()])
                    return n if n > 0 else 1
            return 1
        except Exception:
            return 1

    def detect_gpu_backends():
        result = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
                  "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
                  "backend_version": ""}
        try:
            from korvane.gpu.mirrast import GPUBackendRegistry, GPUBackendKind
            backends = GPUBackendRegistry.detect_available_backends()
            result["cuda_available"] = GPUBackendKind.CUDA in backends
            result["rocm_available"] = GPUBackendKind.ROCm in backends
            result["oneapi_available"] = GPUBackendKind.oneAPI in backends
            best = GPUBackendRegistry.get_best_available()
            result["active_backend"] = best.info.kind.value
            result["backend_version"] = best.info.version
            result["has_gpu"] = result["active_backend"] != "cpu"
            if result["has_gpu"] and best.info.kind in backends:
                info = backends[best.info.kind]
                result["gpu_count"] = info.device_count
                result["gpu_memory_mb"] = int(info.memory_gb * 1024)
        except Exception:
            try:
                import subprocess
                r = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                                   capture_output=True, timeout=0.5, check=False)
                if r.returncode == 0 and r.stdout:
                    result["has_gpu"] = True
                    lines = r.stdout.decode("utf-8", errors="ignore").strip().split("\\n")
                    result["gpu_count"] = len([l for l in lines if l.strip()])
            except Exception:
                pass
        return result

    def detect_python_version():
        v = sys.version_info
        has = False
        if v >= (3, 12):
            try:
                import _xxsubinterpreters
                has = True
            except ImportError:
                pass
        return f"{v.major}.{v.minor}.{v.micro}", has

    def detect_capabilities():
        caps = {}
        start = time.perf_counter()
        try:
            caps["physical_cores"] = detect_physical_cores()
            caps["numa_nodes"] = detect_numa_nodes()
            info = detect_gpu_backends()
            for k in ("has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
                      "oneapi_available", "active_backend", "backend_version"):
                caps[k] = info[k]
            caps["python_version"], caps["subinterpreter_support"] = detect_python_version()
            caps["platform"] = sys.platform
            caps["detected_at"] = time.time()
            caps["detector"] = "python"
            caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
            return caps
        except Exception as e:
            return {"error": str(e)}
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
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number * 1e3)
    return best


def main():
    from korvane.native import oskarel

    pure = {}
    exec(PURE, pure)
    native_imp = "from korvane.native.oskarel import detect_capabilities"
    pure_imp = "exec(compile(" + repr(PURE) + ", 'pure', 'exec'))"
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
