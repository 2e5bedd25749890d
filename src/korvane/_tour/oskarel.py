"""oskarel: the host capability report, detected again and again.

The whole report (usable cores, NUMA nodes, GPU backends, interpreter) is
what the package asks for at start-up; here it is detected repeatedly, by
the native module and by the same detection written in plain Python below.
Without a backend registry both run the `nvidia-smi` fallback on every
call, as the package would on such a host.
"""

import os
import sys
import time

from ._common import clock, compare, report, rounds

NAME = "oskarel"
MODULE = "korvane.native.oskarel"

# Why a ratio may be below 1.
NOTES = {"detect_capabilities": "most of a call is the same work on both sides: the nvidia-smi start "
                                "or the GPU layer's detection"}

# Fields that say when and by whom, not what was found.
VOLATILE = ("detected_at", "detector", "detection_time_ms")


# ------------------------------------------------ the detection in Python

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
        from korvane.gpu.mirrast import GPUBackendKind, GPUBackendRegistry
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
                lines = r.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                result["gpu_count"] = len([line for line in lines if line.strip()])
        except Exception:
            pass
    return result


def detect_python_version():
    v = sys.version_info
    has = False
    if v >= (3, 12):
        try:
            import _xxsubinterpreters  # noqa: F401
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


# ------------------------------------------------------------ the tour

def _repeat(detect, calls):
    def go(_):
        t0 = clock()
        for _ in range(calls):
            found = detect()
        return {"detect_capabilities": clock() - t0}, {k: v for k, v in found.items() if k not in VOLATILE}
    return go


def run(quick=False):
    from korvane.native.oskarel import detect_capabilities as native_detect

    # A call costs from microseconds to the nvidia-smi time-out: size the
    # count from one call of each.
    t0 = clock()
    native_detect()
    detect_capabilities()
    one = max((clock() - t0) / 2, 1e-6)
    calls = int(min(max((0.01 if quick else 0.05) / one, 3), 1_000))
    native, python, res_native, res_python = compare(_repeat(native_detect, calls),
                                                     _repeat(detect_capabilities, calls), None,
                                                     rounds=rounds(quick))
    result = {"calls": calls, "fields_compared": len(res_native), "report": res_native}
    workload = f"the whole capability report detected {calls} times"
    return report(workload, result, res_native == res_python, {"detect_capabilities": calls}, native, python,
                  NOTES)


def summary(result):
    return f"{result['calls']} detections; both sides agree on the {result['fields_compared']} fields found"
