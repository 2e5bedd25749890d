"""`python -m korvane`: what the native layer finds on this host, and what
each of its modules buys on the workload it exists for.

Prints the host capability report, the import state of every module and a
measured tour: each module's workload run natively and as plain Python,
with the cost per operation of both and their ratio.  Progress goes to
stderr, so `--json` leaves stdout one JSON document.  Exit status 0, or 1
when a tour failed or its native and plain-Python results differ; a module
that cannot be imported is reported and skipped.
"""

import argparse
import importlib
import json
import math
import platform
import sys
import textwrap
import time
import traceback

from korvane import NATIVE_MODULES, __version__, _tour

SUMMARIES = dict(NATIVE_MODULES)
FULL_NAMES = {full.rsplit(".", 1)[1]: full for full, _ in NATIVE_MODULES}


def import_state(full_name):
    """("ok" | "missing" | "failed", error text or None)."""
    try:
        importlib.import_module(full_name)
    except ImportError as exc:
        return "missing", str(exc)
    except Exception as exc:  # a module whose load raised something else
        return "failed", f"{type(exc).__name__}: {exc}"
    return "ok", None


def host_report():
    state, error = import_state("korvane.native.oskarel")
    if state != "ok":
        return {"status": state, "error": error, "capabilities": None}
    from korvane.native.oskarel import detect_capabilities

    caps = detect_capabilities()
    return {"status": "ok", "error": caps.get("error"), "capabilities": caps}


def run_tour(name, quick):
    """One module's tour as a dict: status, seconds and, when it ran, what
    it computed and what it cost."""
    t0 = time.perf_counter()
    out = {"status": "ok", "error": None}
    try:
        out.update(_tour.load(name).run(quick))
    except ImportError as exc:
        out.update(status="missing", error=str(exc))
    except Exception as exc:
        out.update(status="failed", error=f"{type(exc).__name__}: {exc}",
                   traceback=traceback.format_exc())
    out["seconds"] = time.perf_counter() - t0
    return out


class Progress:
    """One line per module on stderr; on a terminal a line that is
    rewritten in place and cleared when the module is done."""

    def __init__(self, stream, total):
        self.stream, self.total = stream, total
        self.tty = hasattr(stream, "isatty") and stream.isatty()

    def start(self, i, name):
        text = f"[{i}/{self.total}] {name} ..."
        self.stream.write(f"\r\033[K{text}" if self.tty else text)
        self.stream.flush()

    def done(self, status, seconds):
        self.stream.write("\r\033[K" if self.tty else f" {status}, {seconds:.1f} s\n")
        self.stream.flush()


# ---------------------------------------------------------------- the text

def _ns(value):
    if value < 1e3:
        return f"{value:.0f} ns" if value >= 10 else f"{value:.1f} ns"
    if value < 1e6:
        return f"{value / 1e3:.2f} us"
    return f"{value / 1e6:.2f} ms"


def _yes(flag):
    return "yes" if flag else "no"


def host_lines(host):
    if host["status"] != "ok":
        return ["Host", f"  not detected: korvane.native.oskarel is {host['status']} ({host['error']})"]
    c = host["capabilities"]
    head = f"Host (detect_capabilities, {c.get('detection_time_ms', 0.0):.2f} ms, detector {c.get('detector')})"
    lines = [head]
    if c.get("error"):
        lines.append(f"  detection failed ({c['error']}); the fallback values follow")
    backends = (f"CUDA {_yes(c.get('cuda_available'))}, ROCm {_yes(c.get('rocm_available'))}, "
                f"oneAPI {_yes(c.get('oneapi_available'))}")
    if not c.get("has_gpu"):
        gpu = f"none found; active backend {c.get('active_backend')} ({backends})"
    elif c.get("active_backend") == "cpu":
        gpu = f"{c.get('gpu_count')} device(s) listed by nvidia-smi, no backend registry; active backend cpu"
    else:
        memory = f", {c.get('gpu_memory_mb')} MiB" if c.get("gpu_memory_mb") else ""
        version = f" {c.get('backend_version')}" if c.get("backend_version") else ""
        gpu = f"{c.get('gpu_count')} device(s){memory}; active backend {c.get('active_backend')}{version} ({backends})"
    lines += [
        f"  CPU cores      {c.get('physical_cores')} usable by this process",
        f"  NUMA nodes     {c.get('numa_nodes')}",
        f"  GPU            {gpu}",
        f"  interpreter    {c.get('python_version')} on {c.get('platform')}; "
        f"sub-interpreters {_yes(c.get('subinterpreter_support'))}",
    ]
    return lines


def module_lines(modules):
    ok = sum(m["import"] == "ok" for m in modules)
    width = max(len(m["module"]) for m in modules)
    lines = [f"Modules ({ok} of {len(modules)} import)"]
    for m in modules:
        if m["import"] == "ok":
            lines.append(f"  {m['module']:<{width}}  ok       {m['summary']}")
        else:
            lines.append(f"  {m['module']:<{width}}  {m['import']}: {m['import_error']}")
    return lines


def tour_lines(name, tour):
    wrap = textwrap.TextWrapper(width=100, initial_indent="  ", subsequent_indent="    ")
    if tour["status"] != "ok":
        return [f"{name}: {tour['status']}", *wrap.wrap(tour["error"] or "")]
    lines = textwrap.wrap(f"{name}: {tour['workload']}", width=100, subsequent_indent="    ")
    lines += wrap.wrap("-> " + _tour.load(name).summary(tour["result"]))
    for m in tour["measures"]:
        lines.append(f"  {m['phase']:<19} {m['ops']:>7} ops   native {_ns(m['native_ns']):>9}   "
                     f"Python {_ns(m['python_ns']):>9}   {m['ratio']:6.1f}x")
    if not tour["agree"]:
        lines.append("  WARNING: the native and the plain-Python results differ")
    return lines


# ---------------------------------------------------------------- the job

def _finite(value):
    """`value` with every infinite or NaN float replaced by None, so that
    the document is strict JSON."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m korvane",
        description="What korvane's native layer finds on this host, and a measured tour of its modules: "
                    "each on the workload it exists for, its cost per operation beside the same work in "
                    "plain Python.",
        epilog="The ratio is plain Python's time over the native time: above 1 the native module is faster. "
               "Progress goes to stderr. Exit status 1 when a tour fails or its two results differ.")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON document")
    parser.add_argument("--quick", action="store_true", help="smaller workloads, fewer repeats (a few seconds)")
    parser.add_argument("--module", action="append", metavar="NAME", choices=list(_tour.TOURS),
                        help="tour this module only (short name, e.g. talvorn; may be repeated)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    t_start = time.perf_counter()
    names = [n for n in _tour.TOURS if not args.module or n in args.module]
    out = sys.stdout

    def emit(lines):
        if not args.json:
            out.write("\n".join(lines) + "\n\n")
            out.flush()

    modules = []
    for name in names:
        full = FULL_NAMES[name]
        state, error = import_state(full)
        modules.append({"name": name, "module": full, "summary": SUMMARIES[full], "import": state,
                        "import_error": error})
    host = host_report()
    impl = platform.python_implementation()
    emit([f"korvane {__version__} native layer on {impl} {platform.python_version()} "
          f"({sys.platform}, {platform.machine()}){', quick run' if args.quick else ''}"])
    emit(host_lines(host))
    emit(module_lines(modules))
    emit(["Tour: each module on its workload; cost per operation, natively and in plain Python,",
          "and the speed-up (Python time / native time)"])

    progress = Progress(sys.stderr, len(modules))
    for i, m in enumerate(modules, 1):
        progress.start(i, m["name"])
        m.update(run_tour(m["name"], args.quick))
        progress.done(m["status"], m["seconds"])
        emit(tour_lines(m["name"], m))

    seconds = time.perf_counter() - t_start
    bad = [m["name"] for m in modules if m["status"] == "failed" or (m["status"] == "ok" and not m["agree"])]
    if args.json:
        doc = {"korvane": __version__,
               "python": {"implementation": impl, "version": platform.python_version(), "platform": sys.platform,
                          "machine": platform.machine()},
               "quick": args.quick, "host": host, "modules": modules, "seconds": seconds}
        json.dump(_finite(doc), out, indent=2, allow_nan=False)
        out.write("\n")
    else:
        ran = sum(m["status"] == "ok" for m in modules)
        emit([f"{ran} of {len(modules)} tours ran in {seconds:.1f} s"
              + (f"; problems in: {', '.join(bad)}" if bad else "")])
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
