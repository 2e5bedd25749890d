"""Fuzzes korvane.native.oskarel.  Its functions take no arguments; what
they read is the host, so the harness replaces what the module reads: its
`os`, `sys` and `time`, the backend registry module, `subprocess` (so no
tool is ever started) and `ctypes`, with fakes whose answers are drawn from
the input: odd types, odd sizes, raising calls, truthy objects whose truth
raises, and so on."""
import enum
import os
import sys
import types

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib
from fuzzlib import Gen, Hostile, check, swapped

from korvane.native import oskarel as m

# The fakes may lack attributes or raise OSError like the real calls do.
EXTRA = (AttributeError, OSError, KeyError)
GPU_KEYS = ["has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available", "oneapi_available",
            "active_backend", "backend_version"]
NAMES = ["node0", "node1", "node12", "node", "nodeX", "node-1", "node01", "node99999999999999999999", "cpu0",
         "possible", "node\u0661", "node 1", "Node2", ""]


ORIGINAL_GPU = m.detect_gpu_backends


class Kind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


def answer(g, normal):
    """A value for a fake to return (or an exception to raise)."""
    k = g.n(7)
    if k == 0:
        return Hostile("fake host call")
    if k == 1:
        return OSError(g.n(50), "fake os error")
    if k == 2:
        return g.any_()
    return normal()


def act(v):
    if isinstance(v, BaseException):
        raise v
    return v


def fake_os(g):
    affinity = answer(g, lambda: set(range(g.n(4096))) if g.chance(4) else set(g.int_(0, 64) for _ in range(g.n(8))))
    count = answer(g, lambda: g.pick([None, 0, 1, 4, -1, 2**31, 2**63, 2**64, 1.5, True]))
    names = answer(g, lambda: [g.pick(NAMES) if not g.chance(6) else g.str_() for _ in range(g.n(20))])
    exists = answer(g, lambda: g.pick([True, False, 1, 0, None, "yes"]))
    ns = types.SimpleNamespace(cpu_count=lambda: act(count), listdir=lambda p: act(names),
                               path=types.SimpleNamespace(exists=lambda p: act(exists)))
    if not g.chance(4):
        ns.sched_getaffinity = lambda pid: act(affinity)
    return ns


class VersionInfo(tuple):
    major = property(lambda s: s[0])
    minor = property(lambda s: s[1])
    micro = property(lambda s: s[2])


def fake_sys(g):
    ns = types.SimpleNamespace()
    if not g.chance(6):
        ns.platform = g.pick(["linux", "win32", "darwin", "cygwin", "", "linux2"]) if not g.chance(5) else g.any_()
    if not g.chance(6):
        if g.chance(4):
            ns.version_info = g.any_()
        else:
            ns.version_info = VersionInfo((g.pick([3, 2, 4, -1, 2**64, True]), g.int_(0, 14), g.int_(0, 20),
                                           "final", 0))
    return ns


def fake_registry(g):
    mod = types.ModuleType("korvane.gpu.mirrast")
    backends = {}
    for _ in range(g.n(4)):
        key = g.pick(list(Kind)) if not g.chance(5) else g.any_()
        entry = types.SimpleNamespace(device_count=g.int_arg(0, 16), memory_gb=g.float_arg())
        if g.chance(6):
            entry = g.any_()
        try:
            backends[key] = entry
        except Exception:  # an unhashable or hostile key
            pass
    detected = answer(g, lambda: backends)
    best = answer(g, lambda: types.SimpleNamespace(info=types.SimpleNamespace(
        kind=g.pick(list(Kind)) if not g.chance(5) else g.any_(), version=g.str_arg())))

    class GPUBackendRegistry:
        @staticmethod
        def detect_available_backends():
            return act(detected)

        @staticmethod
        def get_best_available():
            return act(best)

    mod.GPUBackendRegistry = GPUBackendRegistry
    if not g.chance(8):
        mod.GPUBackendKind = Kind
    return mod


def fake_subprocess(g):
    lines = [g.pick([b"GPU 0", b"NVIDIA A100", b"", b" ", b"\xff\xfe"]) for _ in range(g.n(12))]
    out = answer(g, lambda: types.SimpleNamespace(returncode=g.pick([0, 0, 1, -9, None, "0"]),
                                                  stdout=b"\n".join(lines) if not g.chance(5) else g.any_()))
    return types.SimpleNamespace(run=lambda *a, **k: act(out),
                                 TimeoutExpired=type("TimeoutExpired", (Exception,), {}))


def fake_time(g):
    pc = answer(g, lambda: g.float_arg())
    wall = answer(g, lambda: g.float_arg())
    return types.SimpleNamespace(perf_counter=lambda: act(pc), time=lambda: act(wall))


class Modules:
    """sys.modules entries replaced while inside."""
    def __init__(self, entries):
        self.entries = entries

    def __enter__(self):
        self.saved = {k: sys.modules.get(k, KeyError) for k in self.entries}
        sys.modules.update(self.entries)

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            if v is KeyError:
                sys.modules.pop(k, None)
            else:
                sys.modules[k] = v


def call_all(g):
    names = ["detect_capabilities", "detect_gpu_backends", "detect_numa_nodes", "detect_physical_cores",
             "detect_python_version"]
    start = g.n(4)
    for name in names[start:] + names[:start]:
        fn = getattr(m, name)
        params = [] if not g.chance(10) else [("x", g.any_())]
        r = g.call(fn, params)
        if fn is ORIGINAL_GPU and isinstance(r, dict):
            check(list(r) == GPU_KEYS, f"gpu keys {list(r)}")


def TestOneInput(data):
    g = Gen(data, NAMES, EXTRA)
    modules = {"korvane.gpu.mirrast": fake_registry(g) if g.chance(2) else None,
               "subprocess": fake_subprocess(g)}
    if g.chance(4):
        modules["_xxsubinterpreters"] = g.pick([None, types.ModuleType("_xxsubinterpreters")])
    with Modules(modules):
        stack = []
        try:
            for name, make in (("os", fake_os), ("sys", fake_sys), ("time", fake_time)):
                if g.chance(3):
                    s = swapped(m, name, make(g))
                    s.__enter__()
                    stack.append(s)
            if g.chance(6):
                # detect_capabilities calls the module's own functions by name
                name = g.pick(["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
                               "detect_python_version"])
                value = g.any_()
                s = swapped(m, name, lambda: act(value))
                s.__enter__()
                stack.append(s)
            call_all(g)
        finally:
            for s in reversed(stack):
                s.__exit__(None, None, None)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
