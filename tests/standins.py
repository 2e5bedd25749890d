"""Stand-ins for the outside modules the native modules call: the GPU backend
registry (korvane.gpu.mirrast) and the telemetry store.  Shared by the tests
and the leak check; none of them keeps anything between calls.  Also the
runner of the tests that change an object on one thread while others use it."""

import enum
import threading
import time
import types
from types import SimpleNamespace


class Kind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


def registry(backends=None, best=Kind.CPU, version="1.0", fail=None):
    """A stand-in for korvane.gpu.mirrast; `fail` names the call that raises."""
    def call(name, value):
        if fail == name:
            raise RuntimeError(name)
        if isinstance(fail, BaseException):
            raise fail
        return value

    class GPUBackendRegistry:
        @staticmethod
        def detect_available_backends():
            return call("detect", dict(backends or {}))

        @staticmethod
        def get_best_available():
            return call("best", SimpleNamespace(info=SimpleNamespace(kind=best, version=version)))

    mod = types.ModuleType("korvane.gpu.mirrast")
    mod.GPUBackendRegistry = GPUBackendRegistry
    mod.GPUBackendKind = Kind
    return mod


def entry(count, gb):
    return SimpleNamespace(device_count=count, memory_gb=gb)


def cuda_registry(fail=None):
    """Two 16 GB CUDA devices, CUDA 12.4 the best backend."""
    return registry({Kind.CUDA: entry(2, 16)}, best=Kind.CUDA, version="12.4", fail=fail)


class RecordStore:
    """Telemetry store stand-in: get_metrics(func_id) -> the same record."""

    def __init__(self, record):
        self.record = record

    def get_metrics(self, func_id):
        return self.record


class OpenLock:
    """A lock that excludes nothing, put in place of threading.Lock: the
    objects must stay sound without the exclusion their lock gives."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def in_threads(workers, seconds):
    """Runs each worker(i, running) in a thread of its own, all started
    together, for `seconds`; a worker loops while running() and returns its
    result.  The first exception raised in any of them stops all and is
    raised here.  Gives the workers' results."""
    stop = threading.Event()
    start = threading.Barrier(len(workers) + 1)
    results = [None] * len(workers)
    errors = []

    def run(i, worker):
        start.wait()
        try:
            results[i] = worker(i, lambda: not stop.is_set())
        except BaseException as e:  # noqa: B902 - raised by the caller's thread
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=run, args=(i, w)) for i, w in enumerate(workers)]
    for t in threads:
        t.start()
    start.wait()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def concurrently(seconds, *steps):
    """Runs each of `steps` (no arguments) over and over in a thread of its
    own (see in_threads); gives each one's call count."""
    def looping(step):
        def worker(i, running):
            n = 0
            while running():
                step()
                n += 1
            return n
        return worker
    return in_threads([looping(step) for step in steps], seconds)
