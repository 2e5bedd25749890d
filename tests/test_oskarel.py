import importlib.util
import os
import shutil
import sys
import threading
import time
import types
from collections import namedtuple
from types import SimpleNamespace

import pytest

from korvane.native import oskarel
from standins import Kind, entry, registry

NUMA_DIR = "/sys/devices/system/node"
GPU_KEYS = ["has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available", "oneapi_available",
            "active_backend", "backend_version"]
INITIAL = dict(zip(GPU_KEYS, [False, 0, 0, False, False, False, "cpu", ""]))
REPORT_KEYS = ["physical_cores", "numa_nodes", *GPU_KEYS, "python_version", "subinterpreter_support", "platform",
               "detected_at", "detector", "detection_time_ms"]
FALLBACK_KEYS = REPORT_KEYS[:-1] + ["error", "detection_time_ms"]


# ------------------------------------------------------------------ fakes

@pytest.fixture
def no_registry(monkeypatch):
    monkeypatch.setitem(sys.modules, "korvane.gpu.mirrast", None)


@pytest.fixture
def use_registry(monkeypatch):
    return lambda mod: monkeypatch.setitem(sys.modules, "korvane.gpu.mirrast", mod)


@pytest.fixture
def tool(tmp_path, monkeypatch):
    """Puts a fake nvidia-smi (shell body given) alone on PATH; None: no tool."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    monkeypatch.setenv("PATH", str(bindir))
    log = tmp_path / "argv"

    def make(body):
        if body is not None:
            script = bindir / "nvidia-smi"
            script.write_text(f'#!/bin/sh\necho "$@" > "{log}"\n{body}\n')
            script.chmod(0o755)
        return log

    return make


def fake_os(affinity=None, cpu_count=8, listdir=None, exists=True):
    """An `os` stand-in; callables raise when given an exception instance."""
    def act(v):
        if isinstance(v, BaseException):
            raise v
        return v

    calls = []
    ns = SimpleNamespace(cpu_count=lambda: act(cpu_count), calls=calls)
    if affinity is not None:
        ns.sched_getaffinity = lambda pid: (calls.append(pid), act(affinity))[1]
    ns.listdir = lambda p: (calls.append(("listdir", p)), act(listdir))[1]
    ns.path = SimpleNamespace(exists=lambda p: (calls.append(("exists", p)), act(exists))[1])
    return ns


# -------------------------------------------------------------- namespace

def test_namespace_and_docstrings(subprocess_python):
    names = [n for n in vars(oskarel) if not n.startswith("__")]
    assert names == ["sys", "os", "time", "detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
                     "detect_python_version", "detect_capabilities"]
    assert oskarel.sys is sys and oskarel.os is os and oskarel.time is time
    first = {n: getattr(oskarel, n).__doc__.splitlines() for n in names[3:]}
    assert first["detect_physical_cores"][:3] == ["Detect physical CPU cores using Python's os module.", "",
                                                  "Fast and cross-platform using built-in APIs."]
    assert first["detect_numa_nodes"] == ["Detect NUMA nodes.", "", "Linux: Read /sys/devices/system/node",
                                          "Windows: Use ctypes WinAPI", "macOS: Always 1 (no NUMA)"]
    assert first["detect_gpu_backends"][:3] == ["Detect GPU backends (CUDA, ROCm, oneAPI).", "",
                                                "Uses GPUBackendRegistry for comprehensive multi-vendor detection."]
    assert "(version_string: str, has_subinterpreters: bool)" in oskarel.detect_python_version.__doc__
    doc = oskarel.detect_capabilities.__doc__
    assert doc.startswith("Detect all system capabilities.\n\nFast (<5ms) hardware and software capability detection.")
    assert "Target: <5ms cold start" in doc and "Typical: 1-3ms on warm systems" in doc
    out = subprocess_python("""
        import logging, sys
        logging.basicConfig(level=logging.DEBUG)
        import korvane.native.oskarel as m
        print(hasattr(m, "logger"), "ctypes" in sys.modules, "korvane.gpu.mirrast" in sys.modules)
    """)
    assert out.stdout.split() == ["False", "False", "False"] and out.stderr == ""


@pytest.mark.parametrize("name", ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
                                  "detect_python_version", "detect_capabilities"])
def test_no_parameters(name):
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"):
        getattr(oskarel, name)(1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'x'$"):
        getattr(oskarel, name)(x=1)


# ---------------------------------------------------------- physical cores

@pytest.mark.skipif(not hasattr(os, "sched_getaffinity"), reason="no affinity query on this host")
def test_physical_cores_on_this_host():
    assert oskarel.detect_physical_cores() == len(os.sched_getaffinity(0))


@pytest.mark.parametrize("affinity, cpu_count, expected", [
    ({0, 1}, 16, 2),
    (set(), 16, 1),
    (None, None, 1),
    (None, 0, 1),
    (None, 12, 12),
    (None, 6.9, 6),
    (OSError("no affinity"), 8, 8),
    (OSError("no affinity"), None, 1),
    (None, 2**31, 2**31),          # does not fit: the fallback raises (below)
])
def test_physical_cores(monkeypatch, affinity, cpu_count, expected):
    monkeypatch.setattr(oskarel, "os", fake_os(affinity, cpu_count))
    if expected >= 2**31:
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            oskarel.detect_physical_cores()
    else:
        assert oskarel.detect_physical_cores() == expected
    assert oskarel.os.calls in ([], [0])


def test_physical_cores_errors_propagate_from_the_fallback(monkeypatch):
    monkeypatch.setattr(oskarel, "os", fake_os(OSError("first"), RuntimeError("second")))
    with pytest.raises(RuntimeError, match="second") as e:
        oskarel.detect_physical_cores()
    assert str(e.value.__context__) == "first"
    monkeypatch.setattr(oskarel, "os", fake_os(KeyboardInterrupt(), 4))
    with pytest.raises(KeyboardInterrupt):
        oskarel.detect_physical_cores()


# ------------------------------------------------------------- NUMA nodes

def test_numa_nodes_on_this_host():
    expected = 1
    if sys.platform == "linux" and os.path.exists(NUMA_DIR):
        expected = max(1, len([e for e in os.listdir(NUMA_DIR) if e.startswith("node") and e[4:].isdigit()]))
    assert oskarel.detect_numa_nodes() == expected


@pytest.mark.parametrize("entries, exists, expected", [
    (["node0", "node1", "node10", "node", "node1a", "possible", "online", "has_cpu"], True, 3),
    (["possible"], True, 1),
    ([], True, 1),
    (["node٣"], True, 1),                 # str.isdigit: other decimal digits count too
    (None, False, 1),
    (PermissionError("denied"), True, 1),
    (["node0"], OSError("broken"), 1),
    ([b"node0"], True, 1),                # not str: the TypeError gives 1
])
def test_numa_sysfs(monkeypatch, entries, exists, expected):
    fake = fake_os(listdir=entries, exists=exists)
    monkeypatch.setattr(oskarel, "os", fake)
    assert oskarel.detect_numa_nodes() == expected
    assert all(c[1] == NUMA_DIR for c in fake.calls)
    assert [c[0] for c in fake.calls] == (["exists", "listdir"] if exists is True else ["exists"])


@pytest.mark.parametrize("platform", ["darwin", "linux2", "freebsd14"])
def test_numa_other_platforms_touch_nothing(monkeypatch, platform):
    fake = fake_os(listdir=["node0", "node1"])
    monkeypatch.setattr(oskarel, "os", fake)
    monkeypatch.setattr(oskarel, "sys", SimpleNamespace(platform=platform))
    assert oskarel.detect_numa_nodes() == 1 and fake.calls == []


def fake_ctypes(highest, ok, calls):
    ct = types.ModuleType("ctypes")
    ct.wintypes = types.ModuleType("ctypes.wintypes")
    ct.wintypes.BOOL = "BOOL"

    class c_ulong:
        def __init__(self):
            self.value = 0

    class Func:
        def __call__(self, ref):
            calls.append(("call", ref[0]))
            if isinstance(ok, BaseException):
                raise ok
            ref[1].value = highest
            return ok

    func = Func()

    def windll(name, **kw):
        calls.append(("dll", name, kw))
        return SimpleNamespace(GetNumaHighestNodeNumber=func)

    ct.c_ulong, ct.WinDLL, ct.POINTER, ct.byref = c_ulong, windll, lambda t: ("ptr", t), lambda o: ("ref", o)
    return ct, func


@pytest.mark.parametrize("highest, ok, expected", [
    (0, 1, 1), (3, True, 4), (3, 0, 1), (2**31, True, 1), (1, OSError("call failed"), 1),
])
def test_numa_windows(monkeypatch, highest, ok, expected):
    calls = []
    ct, func = fake_ctypes(highest, ok, calls)
    monkeypatch.setitem(sys.modules, "ctypes", ct)
    monkeypatch.setattr(oskarel, "sys", SimpleNamespace(platform="win32"))
    assert oskarel.detect_numa_nodes() == expected
    assert calls == [("dll", "kernel32", {"use_last_error": True}), ("call", "ref")]
    assert func.restype == "BOOL" and func.argtypes == [("ptr", ct.c_ulong)]


@pytest.mark.parametrize("broken", ["no ctypes", "no wintypes", "no function"])
def test_numa_windows_missing_pieces(monkeypatch, broken):
    ct, _ = fake_ctypes(3, True, [])
    if broken == "no ctypes":
        ct = None
    elif broken == "no wintypes":
        del ct.wintypes
    else:
        ct.WinDLL = lambda name, **kw: SimpleNamespace()
    monkeypatch.setitem(sys.modules, "ctypes", ct)
    monkeypatch.setattr(oskarel, "sys", SimpleNamespace(platform="win32"))
    assert oskarel.detect_numa_nodes() == 1


# --------------------------------------------------------- python version

VI = namedtuple("version_info", "major minor micro releaselevel serial")


def test_python_version_on_this_interpreter():
    vi = sys.version_info
    expected = vi >= (3, 12) and importlib.util.find_spec("_xxsubinterpreters") is not None
    assert oskarel.detect_python_version() == (f"{vi.major}.{vi.minor}.{vi.micro}", expected)


class RaisingFinder:
    def find_spec(self, name, path=None, target=None):
        if name == "_xxsubinterpreters":
            raise RuntimeError("probe failed")


@pytest.mark.parametrize("version, probe, expected", [
    (VI(3, 10, 12, "final", 0), "module", False),   # too old: no import attempted
    (VI(3, 11, 9, "final", 0), "module", False),
    (VI(3, 12, 0, "final", 0), "module", True),
    (VI(3, 13, 1, "final", 0), "missing", False),
    (VI(3, 12, 0, "final", 0), "raises", RuntimeError),
])
def test_python_version_probe(monkeypatch, version, probe, expected):
    monkeypatch.setattr(oskarel, "sys", SimpleNamespace(version_info=version))
    if probe == "raises":
        monkeypatch.delitem(sys.modules, "_xxsubinterpreters", raising=False)
        monkeypatch.setattr(sys, "meta_path", [RaisingFinder(), *sys.meta_path])
    else:
        monkeypatch.setitem(sys.modules, "_xxsubinterpreters", types.ModuleType("x") if probe == "module" else None)
    text = f"{version.major}.{version.minor}.{version.micro}"
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="probe failed"):
            oskarel.detect_python_version()
    else:
        assert oskarel.detect_python_version() == (text, expected)


# ------------------------------------------------------------ GPU backends

def test_gpu_initial_dict_without_registry_or_tool(no_registry, tool):
    tool(None)
    result = oskarel.detect_gpu_backends()
    assert list(result.items()) == list(INITIAL.items())
    assert type(result["gpu_count"]) is int and result["has_gpu"] is False


@pytest.mark.parametrize("body, changes", [
    (r"printf 'NVIDIA H100\nNVIDIA H100\n\n'", {"has_gpu": True, "gpu_count": 2}),
    (r"printf '  GPU A  \n \n\377GPU B\nGPU C'", {"has_gpu": True, "gpu_count": 3}),
    ("printf 'GPU A\\n'; exit 9", {}),
    ("exit 0", {}),
    ("printf ' \\n'", {"has_gpu": True, "gpu_count": 0}),
])
def test_gpu_tool_fallback(no_registry, tool, body, changes):
    log = tool(body)
    assert oskarel.detect_gpu_backends() == {**INITIAL, **changes}
    assert log.read_text().split() == ["--query-gpu=name", "--format=csv,noheader"]


def test_gpu_tool_timeout(no_registry, tool):
    tool(f"exec {shutil.which('sleep', path='/usr/bin:/bin')} 5")
    t0 = time.perf_counter()
    assert oskarel.detect_gpu_backends() == INITIAL
    assert time.perf_counter() - t0 < 3.0


def test_gpu_tool_call_shape(no_registry, monkeypatch):
    calls = []

    def run(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return SimpleNamespace(returncode=0, stdout=b"A\nB\n")

    monkeypatch.setitem(sys.modules, "subprocess", SimpleNamespace(run=run))
    assert oskarel.detect_gpu_backends()["gpu_count"] == 2
    assert calls == [((["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],),
                      [("capture_output", True), ("timeout", 0.5), ("check", False)])]


@pytest.mark.parametrize("backends, best, expected", [
    ({Kind.CUDA: entry(2, 16)}, Kind.CUDA,
     {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 16384, "cuda_available": True, "active_backend": "cuda"}),
    ({Kind.ROCm: entry(1, 0.7), Kind.oneAPI: entry(4, 8)}, Kind.ROCm,
     {"has_gpu": True, "gpu_count": 1, "gpu_memory_mb": 716, "rocm_available": True, "oneapi_available": True,
      "active_backend": "rocm"}),
    ({Kind.CUDA: entry(2, 16), Kind.ROCm: entry(1, 1)}, Kind.CPU,
     {"cuda_available": True, "rocm_available": True}),
    ({Kind.ROCm: entry(1, 1)}, Kind.CUDA, {"has_gpu": True, "rocm_available": True, "active_backend": "cuda"}),
    ({}, Kind.CPU, {}),
])
def test_gpu_registry(use_registry, tool, backends, best, expected):
    tool("printf 'X\\n'")   # must not be consulted
    use_registry(registry(backends, best, version="v7"))
    assert oskarel.detect_gpu_backends() == {**INITIAL, "backend_version": "v7", **expected}


@pytest.mark.parametrize("tool_body, expected", [
    (None, {**INITIAL, "cuda_available": True}),
    ("printf 'GPU A\\n'", {**INITIAL, "cuda_available": True, "has_gpu": True, "gpu_count": 1}),
])
def test_gpu_registry_failing_midway_keeps_partial_updates(use_registry, tool, tool_body, expected):
    log = tool(tool_body)
    use_registry(registry({Kind.CUDA: entry(1, 4)}, Kind.CUDA, fail="best"))
    assert oskarel.detect_gpu_backends() == expected
    assert log.exists() == (tool_body is not None)


@pytest.mark.parametrize("broken", ["detect raises", "no kind class", "unsearchable backends", "no entry attrs"])
def test_gpu_broken_registry_falls_back(use_registry, tool, broken):
    tool(None)
    mod = registry({Kind.CUDA: entry(1, 4)}, Kind.CUDA, fail="detect" if broken == "detect raises" else None)
    if broken == "no kind class":
        del mod.GPUBackendKind
    elif broken == "unsearchable backends":
        mod.GPUBackendRegistry.detect_available_backends = staticmethod(lambda: 42)
    elif broken == "no entry attrs":
        mod.GPUBackendRegistry.detect_available_backends = staticmethod(lambda: {Kind.CUDA: object()})
    use_registry(mod)
    result = oskarel.detect_gpu_backends()
    assert list(result) == GPU_KEYS
    if broken == "no entry attrs":
        assert result == {**INITIAL, "has_gpu": True, "cuda_available": True, "active_backend": "cuda",
                          "backend_version": "1.0"}
    else:
        assert result == INITIAL


def test_gpu_keyboard_interrupt_propagates(use_registry):
    use_registry(registry(fail=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        oskarel.detect_gpu_backends()


# ------------------------------------------------------- capability report

def test_capabilities_report(use_registry):
    use_registry(registry({Kind.CUDA: entry(2, 16)}, Kind.CUDA, version="12.4"))
    before = time.time()
    caps = oskarel.detect_capabilities()
    assert list(caps) == REPORT_KEYS
    assert caps["physical_cores"] == oskarel.detect_physical_cores()
    assert caps["numa_nodes"] == oskarel.detect_numa_nodes()
    assert {k: caps[k] for k in GPU_KEYS} == oskarel.detect_gpu_backends()
    assert (caps["python_version"], caps["subinterpreter_support"]) == oskarel.detect_python_version()
    assert caps["platform"] == sys.platform and caps["detector"] == "native"
    assert before <= caps["detected_at"] <= time.time()
    assert type(caps["detection_time_ms"]) is float and 0.0 <= caps["detection_time_ms"] < 1000.0


@pytest.mark.parametrize("name, replacement, error", [
    ("detect_python_version", "raise", "boom"),
    ("detect_python_version", lambda: ("3.10",), "not enough values to unpack (expected 2, got 1)"),
    ("detect_python_version", lambda: 3, "cannot unpack non-iterable int object"),
    ("detect_python_version", lambda: ["3.10.1", False, 1], "too many values to unpack (expected 2)"),
    ("detect_gpu_backends", lambda: {"has_gpu": False}, "'gpu_count'"),
    ("detect_physical_cores", "raise", "boom"),
])
def test_capabilities_fallback_report(monkeypatch, name, replacement, error):
    def boom():
        raise RuntimeError("boom")

    monkeypatch.setattr(oskarel, name, boom if replacement == "raise" else replacement)
    caps = oskarel.detect_capabilities()
    assert list(caps) == FALLBACK_KEYS
    vi = sys.version_info
    assert caps == {**caps, "physical_cores": os.cpu_count() or 1, "numa_nodes": 1, **INITIAL,
                    "python_version": f"{vi.major}.{vi.minor}", "subinterpreter_support": False,
                    "platform": sys.platform, "detector": "native_fallback", "error": error}
    assert caps["detection_time_ms"] >= 0.0 and abs(caps["detected_at"] - time.time()) < 60


def test_capabilities_unpacks_any_pair(monkeypatch, no_registry, tool):
    tool(None)
    monkeypatch.setattr(oskarel, "detect_python_version", lambda: iter(["9.9.9", True]))
    caps = oskarel.detect_capabilities()
    assert (caps["detector"], caps["python_version"], caps["subinterpreter_support"]) == ("native", "9.9.9", True)


def test_capabilities_failures_that_propagate(monkeypatch):
    def boom():
        raise RuntimeError("boom")

    monkeypatch.setattr(oskarel, "detect_physical_cores", boom)
    monkeypatch.setattr(oskarel, "os", fake_os(cpu_count=ValueError("no count")))
    with pytest.raises(ValueError, match="no count") as e:   # the fallback report itself fails
        oskarel.detect_capabilities()
    assert str(e.value.__context__) == "boom"

    monkeypatch.undo()
    monkeypatch.setattr(oskarel, "detect_numa_nodes", lambda: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        oskarel.detect_capabilities()

    monkeypatch.undo()
    monkeypatch.setattr(oskarel, "time", SimpleNamespace(perf_counter=lambda: "soon", time=time.time))
    with pytest.raises(TypeError, match="must be real number, not str"):
        oskarel.detect_capabilities()


def test_capabilities_from_threads(use_registry):
    use_registry(registry({Kind.CUDA: entry(2, 16)}, Kind.CUDA))
    results = []
    threads = [threading.Thread(target=lambda: results.append(oskarel.detect_capabilities())) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8 and all(r["detector"] == "native" and r["gpu_count"] == 2 for r in results)


def test_no_leaks(use_registry, monkeypatch):
    import tracemalloc
    use_registry(registry({Kind.CUDA: entry(2, 16)}, Kind.CUDA))
    flaky = iter(range(10**9))

    def sometimes_fails():
        if next(flaky) % 2:
            raise RuntimeError("odd")
        return ("3.10.0", False)

    monkeypatch.setattr(oskarel, "detect_python_version", sometimes_fails)
    for _ in range(20):
        oskarel.detect_capabilities()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(300):
            oskarel.detect_capabilities()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 20000
