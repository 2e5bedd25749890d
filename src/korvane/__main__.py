"""`python -m korvane`: what the native layer finds on this host, and what
each of its modules buys on the workload it exists for.

Prints the host capability report, the import state of every module and a
measured tour: each module's workload run natively and as plain Python, in
turns over several rounds, with the median cost per operation of both, the
range of the rounds and the ratio, then one summary table.  Where the GIL
is off (or with --threads) the threaded workloads also run at 1, 2 and 4
threads.  Progress goes to stderr, so `--json` leaves stdout one JSON
document.  Exit status 0; 1 when a tour failed or its native and
plain-Python results differ, or the plot could not be written; 2 for a
wrong argument; 130 when interrupted.
A module that cannot be imported is reported and skipped.
"""

import argparse
import importlib
import json
import math
import platform
import shutil
import sys
import sysconfig
import textwrap
import time
import traceback

from korvane import NATIVE_MODULES, __version__, _tour
from korvane._tour._common import THREAD_ROUNDS, UNSTABLE, rounds

SUMMARIES = dict(NATIVE_MODULES)
FULL_NAMES = {full.rsplit(".", 1)[1]: full for full, _ in NATIVE_MODULES}
GPU_LAYER = "korvane.gpu.mirrast"
# Tours with a workload for several threads, each with a threads(quick).
THREADED = ("varnok", "tulvane", "talvorn")
THREAD_COUNTS = (1, 2, 4)
# Version of the layout of the --json document.
SCHEMA = 2
WIDTH = 80


def import_state(full_name):
    """("ok" | "missing" | "failed", error text or None)."""
    try:
        importlib.import_module(full_name)
    except ImportError as exc:
        return "missing", str(exc)
    except Exception as exc:  # a module whose load raised something else
        return "failed", f"{type(exc).__name__}: {exc}"
    return "ok", None


def gil_state():
    """Whether this interpreter is built to run without the GIL, and
    whether the GIL is enabled now (a free-threaded build turns it back on
    for a module that does not declare it can do without)."""
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    check = getattr(sys, "_is_gil_enabled", None)
    return {"free_threaded_build": free, "gil_enabled": bool(check()) if check else True}


def host_report():
    layer, layer_error = import_state(GPU_LAYER)
    state, error = import_state("korvane.native.oskarel")
    if state != "ok":
        return {"status": state, "error": error, "capabilities": None, "gpu_layer": layer,
                "gpu_layer_error": layer_error}
    from korvane.native.oskarel import detect_capabilities

    caps = detect_capabilities()
    return {"status": "ok", "error": caps.get("error"), "capabilities": caps, "gpu_layer": layer,
            "gpu_layer_error": layer_error}


def _attempt(out, run, quick):
    """`out` with what run(quick) returns: status "ok", or "mismatch" when
    its two sides disagree, "missing" when a module it needs is not there,
    "failed" when it raised."""
    out.update(status="ok", error=None)
    try:
        out.update(run(quick))
    except ImportError as exc:
        out.update(status="missing", error=str(exc))
    except Exception as exc:
        out.update(status="failed", error=f"{type(exc).__name__}: {exc}",
                   traceback=traceback.format_exc())
    if out["status"] == "ok" and not out["agree"]:
        out["status"] = "mismatch"
    return out


def run_tour(name, quick):
    """One module's tour as a dict: status, seconds and, when it ran, what
    it computed and what it cost."""
    t0 = time.perf_counter()
    out = _attempt({}, _tour.load(name).run, quick)
    out["seconds"] = time.perf_counter() - t0
    return out


def run_threads(name, quick):
    """One module's threaded workload, as run_tour() gives a tour."""
    return _attempt({"name": name}, _tour.load(name).threads, quick)


class Progress:
    """One line per step on stderr; on a terminal a line that is rewritten
    in place and cleared when the step is done."""

    def __init__(self, stream, total):
        self.stream, self.total = stream, total
        self.tty = hasattr(stream, "isatty") and stream.isatty()
        self.open = False

    def start(self, i, name):
        text = f"[{i}/{self.total}] {name} ..."
        self.stream.write(f"\r\033[K{text}" if self.tty else text)
        self.stream.flush()
        self.open = True

    def done(self, status, seconds):
        self.stream.write("\r\033[K" if self.tty else f" {status}, {seconds:.1f} s\n")
        self.stream.flush()
        self.open = False

    def interrupted(self):
        """Ends a step cut short, so that what follows starts a line."""
        if self.open:
            self.stream.write("\r\033[K" if self.tty else "\n")
            self.open = False


# ---------------------------------------------------------------- the text

def _width(stream, most=WIDTH):
    """Columns to fill: the terminal's, at most `most`; 80 when not a
    terminal."""
    if hasattr(stream, "isatty") and stream.isatty():
        return max(40, min(most, shutil.get_terminal_size((WIDTH, 24)).columns))
    return WIDTH


def _wrap(text, width, indent=0, first=0):
    """`text` in lines of at most `width` columns: the first indented by
    `first` spaces, the rest by `indent`."""
    return textwrap.wrap(text, width=width, initial_indent=" " * first, subsequent_indent=" " * indent,
                         break_on_hyphens=False) or [""]


def _unit(value):
    for limit, scale, name in ((1e3, 1.0, "ns"), (1e6, 1e3, "us"), (1e9, 1e6, "ms")):
        if value < limit:
            return scale, name
    return 1e9, "s"


def _digits(value):
    """`value` to three significant digits (no more than the integer part)."""
    if value >= 100:
        return f"{value:.0f}"
    return f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def _ns(value):
    scale, name = _unit(value)
    return f"{_digits(value / scale)} {name}"


def _ns_range(median, low, high):
    """'36 ns (34-41)': the median with the range in the median's unit."""
    scale, name = _unit(median)
    return f"{_digits(median / scale)} {name} ({_digits(low / scale)}-{_digits(high / scale)})"


def _ratio(value):
    return f"{value:.1f}x" if value >= 1 else f"{value:.2f}x"


def _yes(flag):
    return "yes" if flag else "no"


def _shorten(text, width):
    """`text` cut at a word to fit `width` columns, marked with '...'."""
    return textwrap.shorten(text, width=width, placeholder=" ...")


def gpu_text(caps, layer, layer_error):
    """What the GPU detection found, said for a user."""
    backends = (f"CUDA {_yes(caps.get('cuda_available'))}, ROCm {_yes(caps.get('rocm_available'))}, "
                f"oneAPI {_yes(caps.get('oneapi_available'))}")
    if layer == "missing":
        why = (f"Finding a CUDA, ROCm or oneAPI backend needs korvane's GPU layer ({GPU_LAYER}), "
               "which is not installed")
    elif layer == "failed":
        why = f"korvane's GPU layer ({GPU_LAYER}) failed to load ({layer_error}), so no backend was found"
    else:
        why = None
    count = caps.get("gpu_count") or 0
    if caps.get("has_gpu") and caps.get("active_backend") != "cpu":
        memory = f", {caps.get('gpu_memory_mb')} MiB" if caps.get("gpu_memory_mb") else ""
        version = f" {caps.get('backend_version')}" if caps.get("backend_version") else ""
        return f"{count} device(s){memory}; computing on {caps.get('active_backend')}{version} ({backends})"
    if caps.get("has_gpu"):
        found = f"{count} device(s) listed by nvidia-smi, but computing on the CPU"
    else:
        found = "none found, so computing on the CPU"
    return f"{found}. {why}" if why else f"{found} ({backends})"


def gil_text(gil):
    if not gil["gil_enabled"]:
        return "off (free-threaded build): threads run Python code at the same time"
    if gil["free_threaded_build"]:
        return ("on: this build can run without it, but it was turned back on (by PYTHON_GIL=1, or by a "
                "module imported without a free-threading declaration)")
    return "on: threads take turns running Python code"


def host_lines(host, gil, width):
    def field(name, text):
        return _wrap(f"{name:<14} {text}", width, indent=17, first=2)

    if host["status"] != "ok":
        return (["Host", *_wrap(f"not detected: korvane.native.oskarel is {host['status']} ({host['error']})",
                                width, indent=4, first=2)]
                + field("GIL", gil_text(gil)))
    c = host["capabilities"]
    lines = [f"Host (detect_capabilities, {c.get('detection_time_ms', 0.0):.2f} ms, detector {c.get('detector')})"]
    if c.get("error"):
        lines += _wrap(f"detection failed ({c['error']}); the fallback values follow", width, indent=4, first=2)
    lines += field("CPU cores", f"{c.get('physical_cores')} usable by this process")
    lines += field("NUMA nodes", f"{c.get('numa_nodes')}")
    lines += field("GPU", gpu_text(c, host.get("gpu_layer"), host.get("gpu_layer_error")))
    lines += field("interpreter", f"{c.get('python_version')} on {c.get('platform')}; "
                                  f"sub-interpreters {_yes(c.get('subinterpreter_support'))}")
    lines += field("GIL", gil_text(gil))
    return lines


def _dotted(full):
    return full[len("korvane."):] if full.startswith("korvane.") else full


def module_lines(modules, width):
    ok = sum(m["import"] == "ok" for m in modules)
    col = max(len(_dotted(m["module"])) for m in modules) + 4
    lines = [f"Modules ({ok} of {len(modules)} import; names below korvane.)"]
    for m in modules:
        text = m["summary"] if m["import"] == "ok" else f"{m['import']}: {m['import_error']}"
        lines += _wrap(f"{_dotted(m['module']):<{col - 2}}{text}", width, indent=col, first=2)
    return lines


def measure_line(m, width):
    text = (f"{m['phase']}, {m['ops']} ops: native {_ns_range(m['native_ns'], *m['native_ns_range'])}, "
            f"Python {_ns_range(m['python_ns'], *m['python_ns_range'])}")
    return _wrap(text, width, indent=4, first=2)


def tour_lines(name, tour, width):
    if tour["status"] in ("missing", "failed"):
        return [f"{name}: {tour['status']}", *_wrap(tour["error"] or "", width, indent=4, first=2)]
    lines = _wrap(f"{name}: {tour['workload']}", width, indent=4)
    lines += _wrap("-> " + _tour.load(name).summary(tour["result"]), width, indent=4, first=2)
    for m in tour["measures"]:
        lines += measure_line(m, width)
    if not tour["agree"]:
        lines.append("  WARNING: the native and the plain-Python results differ")
    return lines


def summary_lines(modules, width):
    """The table of every measured phase, and the notes it points to."""
    lines = ["Summary: median cost of one operation; ratio = Python time / native time",
             "(above 1 the native module is faster)",
             "",
             f"{'module':<8} {'phase':<19} {'native':>9} {'Python':>9} {'ratio':>7}"]
    notes, unstable = [], False
    for m in modules:
        if m["status"] in ("missing", "failed"):
            lines.append(f"{m['name']:<8} not run: {m['status']}")
            continue
        for i, x in enumerate(m["measures"]):
            marks = []
            if m["status"] == "mismatch":
                marks.append("mismatch")
            if x["unstable"]:
                marks.append("unstable")
                unstable = True
            mark = ", ".join(marks)
            if x.get("note"):
                notes.append(f"{m['name']} {x['phase']}: {x['note']}")
                mark += f" [{len(notes)}]"
            row = (f"{m['name'] if i == 0 else '':<8} {x['phase']:<19} {_ns(x['native_ns']):>9} "
                   f"{_ns(x['python_ns']):>9} {_ratio(x['ratio']):>7}  {mark.strip()}")
            lines.append(row.rstrip())
    if notes or unstable:
        lines.append("")
    for i, note in enumerate(notes, 1):
        lines += _wrap(f"[{i}] {note}", width, indent=4)
    if unstable:
        lines += _wrap(f"unstable: the rounds of one side, but for the fastest and the slowest, spread over "
                       f"more than {UNSTABLE:.0%} of their median, so the ratio may be off by as much; "
                       "something else was using the CPU (run again on a quieter machine)", width, indent=2)
    return lines


def thread_lines(runs, gil, rounds, width):
    if not gil["gil_enabled"]:
        why = "the GIL is off, so threads can run Python code at the same time"
    else:
        why = ("the GIL is on, so threads take turns running Python code: only the native work done "
               "without the GIL can overlap")
    counts = "".join(f"{f'{n} thread' + ('s' if n > 1 else ''):>11}" for n in THREAD_COUNTS)
    lines = _wrap(f"Threads: millions of operations per second by thread count, median of {rounds} "
                  f"rounds; {why}", width)
    lines += ["", f"{'module':<8} {'phase':<14} {'side':<7}{counts}"]
    for r in runs:
        if r["status"] in ("missing", "failed"):
            lines += _wrap(f"{r['name']:<8} not run: {r['status']} ({r['error']})", width, indent=9)
            continue
        for j, side in enumerate(("native", "python")):
            rates = "".join(f"{row[f'{side}_ops_per_s'] / 1e6:>11.2f}" for row in r["by_threads"])
            head = f"{r['name']:<8} {r['phase']:<14}" if j == 0 else " " * 23
            mark = "  mismatch" if r["status"] == "mismatch" and j == 0 else ""
            lines.append(f"{head} {'Python' if side == 'python' else side:<7}{rates}{mark}")
    return lines


def list_lines(width):
    return [f"{name:<8} {_shorten(SUMMARIES[full], width - 9)}" for name, full in FULL_NAMES.items()]


# ---------------------------------------------------------------- the plot

PLOT_HINT = ("--plot needs matplotlib, which is not installed here; "
             "install it with: python -m pip install 'korvane[plot]'  (or: python -m pip install matplotlib)")


def _pyplot():
    """matplotlib.pyplot drawing to files, or None when not installed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def plot(path, modules, threads, gil, plt):
    """Speed-ups per phase, and throughput by thread count where measured."""
    rows = [(f"{m['name']} {x['phase']}", x) for m in modules if m["status"] in ("ok", "mismatch")
            for x in m["measures"]]
    runs = [r for r in threads or () if r["status"] in ("ok", "mismatch")]
    panels = 1 + bool(runs)
    fig, axes = plt.subplots(1, panels, figsize=(7 + 5 * (panels - 1), 0.38 * len(rows) + 1.8), squeeze=False)
    ax = axes[0][0]
    labels = [label for label, _ in rows][::-1]
    xs = [x for _, x in rows][::-1]
    ratios = [x["ratio"] for x in xs]
    # The ratio's range: slowest Python round over fastest native, and the other way round.
    low = [r - x["python_ns_range"][0] / x["native_ns_range"][1] for r, x in zip(ratios, xs)]
    high = [x["python_ns_range"][1] / x["native_ns_range"][0] - r for r, x in zip(ratios, xs)]
    colors = ["#d08c2f" if x["unstable"] else ("#3b7dd8" if r >= 1 else "#b04040") for r, x in zip(ratios, xs)]
    # Bars grow from 1: to the right where the native module is faster.
    ax.barh(range(len(xs)), [r - 1 for r in ratios], left=1, color=colors,
            xerr=[[max(v, 0) for v in low], [max(v, 0) for v in high]], ecolor="#444444", capsize=2)
    ax.set_yticks(range(len(xs)))
    ax.set_yticklabels(labels, fontsize=8)
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    for i, (r, up) in enumerate(zip(ratios, high)):
        ax.text(max(r, 1) + max(up, 0) * 1.1 + max(r, 1) * 0.06, i, _ratio(r), va="center", fontsize=7)
    ax.set_xlim(min(0.5, min(ratios) / 2), max(r + max(h, 0) for r, h in zip(ratios, high)) * 3)
    ax.set_xlabel("plain Python time / native time (log scale)\nwhiskers: range of the rounds", fontsize=9)
    ax.set_title("Speed-up of the native module, per phase\n(orange: unstable; red: slower)", fontsize=10)
    if runs:
        ax = axes[0][1]
        for r in runs:
            n = [row["threads"] for row in r["by_threads"]]
            for side, style in (("native", "-o"), ("python", "--s")):
                ax.plot(n, [row[f"{side}_ops_per_s"] / 1e6 for row in r["by_threads"]], style,
                        label=f"{r['name']} {r['phase']}, {'Python' if side == 'python' else side}")
        ax.set_xticks(list(THREAD_COUNTS))
        ax.set_xlabel("threads")
        ax.set_ylabel("million operations per second (median)")
        ax.set_ylim(bottom=0)
        ax.set_title(f"Throughput by thread count (GIL {'off' if not gil['gil_enabled'] else 'on'})\n"
                     "solid: native; dashed: plain Python", fontsize=10)
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


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


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        """argparse's error, wrapped to the width like the rest."""
        self.print_usage(sys.stderr)
        text = "\n".join(_wrap(f"{self.prog}: error: {message}", _width(sys.stderr), indent=2))
        self.exit(2, text + "\n")


def parse_args(argv):
    names = ", ".join(_tour.TOURS)
    parser = _Parser(
        prog="python -m korvane",
        description="What korvane's native layer finds on this host, and a measured tour of its modules "
                    f"({names}): each on the workload it exists for, its cost per operation beside the "
                    "same work in plain Python.",
        epilog="The ratio is plain Python's time over the native time: above 1 the native module is "
               f"faster. Each phase runs at least 5 rounds per side, in turns; a phase whose rounds, but "
               f"for the fastest and the slowest, spread over more than {UNSTABLE:.0%} of their median is "
               "marked unstable. Progress goes to "
               "stderr. Exit status 0; 1 when a tour fails or its two results differ (or the plot cannot "
               "be written); 2 for a wrong argument; 130 when interrupted.")
    parser.add_argument("--version", action="version",
                        version=f"korvane {__version__} ({platform.python_implementation()} "
                                f"{platform.python_version()})")
    parser.add_argument("--list", action="store_true", help="list the modules, one line each, and exit")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON document")
    parser.add_argument("--quick", action="store_true", help="smaller workloads, fewer rounds (about a second)")
    parser.add_argument("--module", action="append", metavar="NAME", choices=list(_tour.TOURS),
                        help=f"tour this module only (may be repeated); NAME is one of {names}")
    parser.add_argument("--threads", action="store_true",
                        help="also measure the threaded workloads at 1, 2 and 4 threads (the default "
                             "when the GIL is off)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="draw the speed-ups (and the throughput by thread count) into FILE.png; "
                             "needs matplotlib: pip install 'korvane[plot]'")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    out = sys.stdout
    width = _width(out)
    if args.list:  # a wide terminal shows every summary whole
        out.write("\n".join(list_lines(_width(out, most=200))) + "\n")
        return 0
    plt = None
    if args.plot:
        plt = _pyplot()
        if plt is None:
            sys.stderr.write("\n".join(_wrap(PLOT_HINT, _width(sys.stderr))) + "\n")
            return 2
    names = [n for n in _tour.TOURS if not args.module or n in args.module]
    progress = Progress(sys.stderr, len(names))
    try:
        return _job(args, names, out, width, progress, plt)
    except KeyboardInterrupt:
        progress.interrupted()
        sys.stderr.write("interrupted\n")
        return 130


def _job(args, names, out, width, progress, plt):
    t_start = time.perf_counter()

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
    gil = gil_state()  # after the imports: a module may have turned the GIL back on
    impl = platform.python_implementation()
    emit(_wrap(f"korvane {__version__} native layer on {impl} {platform.python_version()} "
               f"({sys.platform}, {platform.machine()}){', quick run' if args.quick else ''}", width, indent=4))
    emit(host_lines(host, gil, width))
    emit(module_lines(modules, width))
    emit(_wrap(f"Tour: each module on its workload, natively and in plain Python, in turns: "
               f"{rounds(args.quick)} rounds each after a warm-up. Per phase the median cost of one "
               "operation, with the range of the rounds in brackets.", width))

    threaded = [n for n in THREADED if n in names] if args.threads or not gil["gil_enabled"] else []
    progress.total = len(modules) + len(threaded)
    for i, m in enumerate(modules, 1):
        progress.start(i, m["name"])
        m.update(run_tour(m["name"], args.quick))
        progress.done(m["status"], m["seconds"])
        emit(tour_lines(m["name"], m, width))

    threads = None
    if threaded:
        threads = []
        for i, name in enumerate(threaded, len(modules) + 1):
            progress.start(i, f"{name} threads")
            t0 = time.perf_counter()
            threads.append(run_threads(name, args.quick))
            progress.done(threads[-1]["status"], time.perf_counter() - t0)

    if any(m["status"] not in ("missing", "failed") for m in modules):
        emit(summary_lines(modules, width))
    if threads:
        emit(thread_lines(threads, gil, THREAD_ROUNDS, width))
    plotted = True
    if plt is not None:
        try:
            plot(args.plot, modules, threads, gil, plt)
            sys.stderr.write(f"plot written to {args.plot}\n")
        except OSError as exc:
            sys.stderr.write(f"could not write the plot to {args.plot}: {exc.strerror or exc}\n")
            plotted = False

    seconds = time.perf_counter() - t_start
    bad = [m["name"] for m in modules if m["status"] in ("failed", "mismatch")]
    bad += [f"{r['name']} threads" for r in threads or () if r["status"] in ("failed", "mismatch")]
    if args.json:
        doc = {"schema": SCHEMA, "korvane": __version__,
               "python": {"implementation": impl, "version": platform.python_version(), "platform": sys.platform,
                          "machine": platform.machine(), **gil},
               "quick": args.quick, "rounds": rounds(args.quick), "host": host, "modules": modules,
               "threads": threads, "seconds": seconds}
        json.dump(_finite(doc), out, indent=2, allow_nan=False)
        out.write("\n")
    else:
        ran = sum(m["status"] in ("ok", "mismatch") for m in modules)
        emit(_wrap(f"{ran} of {len(modules)} tours ran in {seconds:.1f} s"
                   + (f"; problems in: {', '.join(bad)}" if bad else ""), width, indent=4))
    return 1 if bad or not plotted else 0


if __name__ == "__main__":
    sys.exit(main())
