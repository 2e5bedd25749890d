"""`python -m korvane`: the host report and the measured tour."""

import importlib.util
import json
import math
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import sysconfig

import pytest

import korvane
from korvane import __main__ as cli
from korvane import _tour

SHORT = [full.rsplit(".", 1)[1] for full, _ in korvane.NATIVE_MODULES]
# With the GIL off (a free-threaded interpreter), the threaded workloads run
# after the tours by default; with it on, only on --threads.
GIL_OFF = not cli.gil_state()["gil_enabled"]
GIL_ON = {"free_threaded_build": False, "gil_enabled": True}

# Runs the job with some modules made unimportable: a None entry in
# sys.modules makes `import` raise ImportError, as for a module not built.
BLOCKED = """
import runpy, sys
for name in {blocked!r}:
    sys.modules[name] = None
sys.argv = ["korvane", *{args!r}]
try:
    runpy.run_module("korvane", run_name="__main__")
except SystemExit as exc:
    sys.exit(exc.code)
"""


def job(subprocess_python, *args, blocked=()):
    proc = subprocess_python(BLOCKED.format(blocked=list(blocked), args=list(args)), check=False)
    return proc


def check_measures(module):
    assert module["measures"], module["name"]
    for m in module["measures"]:
        assert m["ops"] > 0 and m["rounds"] >= 5
        for key in ("native_ns", "python_ns", "ratio"):
            assert m[key] > 0 and math.isfinite(m[key]), (module["name"], m)
        for side in ("native", "python"):
            low, high = m[f"{side}_ns_range"]
            assert 0 < low <= m[f"{side}_ns"] <= high, (module["name"], m)
        assert isinstance(m["unstable"], bool)


def wide_lines(text):
    return [line for line in text.splitlines() if len(line) > 80]


def test_quick_json_tours_every_module(subprocess_python):
    proc = job(subprocess_python, "--quick", "--json")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert doc["schema"] == cli.SCHEMA and doc["quick"] is True and doc["rounds"] >= 5
    assert [m["name"] for m in doc["modules"]] == SHORT
    assert [m["module"] for m in doc["modules"]] == [full for full, _ in korvane.NATIVE_MODULES]
    for m in doc["modules"]:
        assert (m["import"], m["status"], m["agree"]) == ("ok", "ok", True), m
        assert m["workload"] and m["result"]
        check_measures(m)
    gil = doc["python"]
    assert gil["free_threaded_build"] == bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert gil["gil_enabled"] or gil["free_threaded_build"]
    # With the GIL on, the threaded workloads run only when asked for.
    assert (doc["threads"] is None) == gil["gil_enabled"]
    host = doc["host"]
    assert host["status"] == "ok" and host["gpu_layer"] in ("ok", "missing", "failed")
    caps = host["capabilities"]
    assert caps["physical_cores"] >= 1 and caps["numa_nodes"] >= 1
    assert caps["detection_time_ms"] >= 0
    assert caps["active_backend"] in ("cpu", "cuda", "rocm", "oneapi")
    # Progress goes to stderr, one line per module (then per threaded workload).
    total = len(SHORT) + (len(cli.THREADED) if GIL_OFF else 0)
    for i, name in enumerate(SHORT, 1):
        assert f"[{i}/{total}] {name} ..." in proc.stderr


def test_quick_text_report_fits_80_columns(subprocess_python):
    # --threads takes the path a free-threaded interpreter takes by default.
    proc = job(subprocess_python, "--quick", "--threads")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    progress = "\n".join(line for line in proc.stderr.splitlines() if line.startswith("["))
    assert wide_lines(out) == [] and wide_lines(progress) == []
    assert out.startswith(f"korvane {korvane.__version__} native layer on ")
    for text in ("Host (detect_capabilities, ", "  CPU cores ", "  NUMA nodes ", "  GPU ", "  interpreter ",
                 f"  GIL            {'off (' if GIL_OFF else 'on: '}", "Modules (9 of 9 import; names below korvane.)",
                 "  memory.talvorn ", "talvorn: ", "  -> served ", "9 of 9 tours ran in "):
        assert text in out, text
    lines = out.splitlines()
    head = lines.index(f"{'module':<8} {'phase':<19} {'native':>9} {'Python':>9} {'ratio':>7}")
    table = lines[head + 1:lines.index("", head)]
    modules = [row[:8].strip() for row in table if row[:8].strip()]
    assert modules == SHORT
    rows = {row[9:28].strip(): row[29:].split() for row in table}
    assert list(rows)[3:6] == ["insert", "find_best_fit", "remove_ge"]
    assert all(r[4].endswith("x") and float(r[4][:-1]) > 0 for r in rows.values())
    head = next(i for i, line in enumerate(lines) if line.startswith("module   phase          side"))
    threads = [line.split() for line in lines[head + 1:lines.index("", head)]]
    assert [t[0] for t in threads[::2]] == ["varnok", "tulvane", "talvorn"]
    assert all(len(t) == 6 and t[2] == "native" for t in threads[::2])
    assert all(len(t) == 4 and t[0] == "Python" for t in threads[1::2])
    why = "is off, so threads can run" if GIL_OFF else "is on, so threads take turns running"
    assert f"the GIL {why} Python code" in " ".join(out.split())
    assert "[12/12] talvorn threads ... ok" in proc.stderr


@pytest.mark.parametrize("blocked, missing", [
    (["korvane.jit.quendar"], ["quendar"]),
    (["korvane.native.oskarel", "korvane.memory.varnok"], ["oskarel", "varnok"]),
])
def test_missing_module_is_reported(subprocess_python, blocked, missing):
    args = ["--quick", "--json", "--module", "quendar", "--module", "varnok", "--module", "oskarel"]
    proc = job(subprocess_python, *args, blocked=blocked)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    by_name = {m["name"]: m for m in doc["modules"]}
    assert list(by_name) == ["varnok", "quendar", "oskarel"]
    for name, m in by_name.items():
        if name in missing:
            assert (m["import"], m["status"]) == ("missing", "missing")
            assert "halted" in m["import_error"] and m["error"]
        else:
            assert m["status"] == "ok" and m["agree"]
            check_measures(m)
    if "oskarel" in missing:
        assert (doc["host"]["status"], doc["host"]["capabilities"]) == ("missing", None)
        assert "halted" in doc["host"]["error"]
    else:
        assert doc["host"]["status"] == "ok"


def test_missing_module_in_the_text_report(subprocess_python):
    proc = job(subprocess_python, "--quick", "--module", "tulvane", blocked=["korvane.monitoring.tulvane"])
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "Modules (0 of 1 import; " in out
    assert "  monitoring.tulvane  missing: import of korvane.monitoring.tulvane" in out
    assert "tulvane: missing" in out
    assert "0 of 1 tours ran" in out
    assert "Summary" not in out


@pytest.mark.parametrize("caps, layer, text", [
    ({"has_gpu": False, "active_backend": "cpu"}, "missing",
     "none found, so computing on the CPU. Finding a CUDA, ROCm or oneAPI backend needs korvane's GPU layer "
     "(korvane.gpu.mirrast), which is not installed"),
    ({"has_gpu": True, "gpu_count": 2, "active_backend": "cpu"}, "missing",
     "2 device(s) listed by nvidia-smi, but computing on the CPU. Finding a CUDA"),
    ({"has_gpu": False, "active_backend": "cpu"}, "ok",
     "none found, so computing on the CPU (CUDA no, ROCm no, oneAPI no)"),
    ({"has_gpu": True, "gpu_count": 1, "gpu_memory_mb": 81920, "active_backend": "cuda",
      "backend_version": "12.4", "cuda_available": True}, "ok",
     "1 device(s), 81920 MiB; computing on cuda 12.4 (CUDA yes, ROCm no, oneAPI no)"),
])
def test_gpu_line(caps, layer, text):
    assert cli.gpu_text(caps, layer, None).startswith(text)


def test_version_help_and_list(subprocess_python):
    proc = job(subprocess_python, "--version")
    assert (proc.returncode, proc.stdout) == (0, f"korvane {korvane.__version__} (CPython "
                                                 f"{'.'.join(map(str, sys.version_info[:3]))})\n")
    proc = job(subprocess_python, "--help")
    assert proc.returncode == 0 and "--module NAME" in proc.stdout
    assert all(name in " ".join(proc.stdout.split()) for name in SHORT)
    assert wide_lines(proc.stdout) == []
    proc = job(subprocess_python, "--list")
    assert proc.returncode == 0 and wide_lines(proc.stdout) == []
    lines = proc.stdout.splitlines()
    assert [line.split()[0] for line in lines] == SHORT
    assert lines[3] == "quendar  adaptive per-function compile thresholds"


@pytest.mark.parametrize("args, rc, text", [
    (["--module", "nosuch"], 2, "invalid choice: 'nosuch'"),
    (["--quick", "extra"], 2, "unrecognized arguments: extra"),
])
def test_arguments(subprocess_python, args, rc, text):
    proc = job(subprocess_python, *args)
    assert proc.returncode == rc
    assert text in " ".join((proc.stdout + proc.stderr).split())
    assert wide_lines(proc.stderr) == []


def test_plot_without_matplotlib_says_how_to_get_it(subprocess_python):
    proc = job(subprocess_python, "--quick", "--plot", "never.png", blocked=["matplotlib"])
    assert proc.returncode == 2 and proc.stdout == ""
    assert "pip install 'korvane[plot]'" in proc.stderr.replace("\n", " ")
    assert wide_lines(proc.stderr) == []


def test_plot(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    monkeypatch.setattr(cli, "gil_state", lambda: {"free_threaded_build": True, "gil_enabled": False})
    path = tmp_path / "tour.png"
    assert cli.main(["--quick", "--module", "varnok", "--module", "pelgrun", "--plot", str(path)]) == 0
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"plot written to {path}" in capsys.readouterr().err


def test_without_the_gil_threads_are_measured(monkeypatch, capsys):
    monkeypatch.setattr(cli, "gil_state", lambda: {"free_threaded_build": True, "gil_enabled": False})
    assert cli.main(["--quick", "--module", "varnok"]) == 0
    captured = capsys.readouterr()
    out = " ".join(captured.out.split())
    assert "GIL off (free-threaded build): threads run Python code at the same time" in out
    assert "the GIL is off, so threads can run Python code at the same time" in out
    assert "varnok increment native" in out and "[2/2] varnok threads ... ok" in captured.err
    assert cli.main(["--quick", "--json", "--module", "varnok"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["python"]["gil_enabled"] is False
    (run,) = doc["threads"]
    assert (run["name"], run["phase"], run["status"], run["agree"]) == ("varnok", "increment", "ok", True)
    assert [row["threads"] for row in run["by_threads"]] == [1, 2, 4]
    for row in run["by_threads"]:
        for side in ("native", "python"):
            low, high = row[f"{side}_ops_per_s_range"]
            assert 0 < low <= row[f"{side}_ops_per_s"] <= high
    # Threads that got the count wrong: marked, and the job fails.
    tour = _tour.load("varnok")
    real = tour.threads
    monkeypatch.setattr(tour, "threads", lambda quick: {**real(quick), "agree": False})
    assert cli.main(["--quick", "--module", "varnok"]) == 1
    out = capsys.readouterr().out
    assert "varnok   increment      native" in out and "  mismatch\n" in out
    assert "problems in: varnok threads" in out


def test_a_failing_tour_is_reported_and_sets_the_status(monkeypatch, capsys):
    tour = _tour.load("pelgrun")

    def broken(quick):
        raise RuntimeError("planner exploded")

    monkeypatch.setattr(tour, "run", broken)
    assert cli.main(["--quick", "--json", "--module", "pelgrun", "--module", "varnok"]) == 1
    doc = json.loads(capsys.readouterr().out)
    pel, var = doc["modules"][1], doc["modules"][0]
    assert pel["status"] == "failed" and pel["error"] == "RuntimeError: planner exploded"
    assert "planner exploded" in pel["traceback"]
    assert var["status"] == "ok"


def test_results_that_differ_set_the_status(monkeypatch, capsys):
    monkeypatch.setattr(cli, "gil_state", lambda: GIL_ON)
    tour = _tour.load("varnok")
    real = tour.run
    monkeypatch.setattr(tour, "run", lambda quick: {**real(quick), "agree": False})
    assert cli.main(["--quick", "--module", "varnok"]) == 1
    captured = capsys.readouterr()
    assert "WARNING: the native and the plain-Python results differ" in captured.out
    assert "problems in: varnok" in captured.out
    row = next(line for line in captured.out.splitlines() if line.startswith("varnok   increment"))
    assert row.endswith("x  mismatch") or "x  mismatch, unstable" in row
    assert "[1/1] varnok ... mismatch, " in captured.err


def test_interrupt_stops_with_one_line(monkeypatch, capsys):
    def interrupted(quick):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "gil_state", lambda: GIL_ON)
    monkeypatch.setattr(_tour.load("quendar"), "run", interrupted)
    assert cli.main(["--quick", "--module", "varnok", "--module", "quendar", "--module", "pelgrun"]) == 130
    err = capsys.readouterr().err
    assert err.endswith("[2/3] quendar ...\ninterrupted\n") and "pelgrun" not in err


@pytest.mark.skipif(signal.getsignal(signal.SIGINT) is signal.SIG_IGN,
                    reason="SIGINT is ignored in this process (a background job of a shell without job control), "
                           "and so in the child")
def test_ctrl_c_exits_130():
    proc = subprocess.Popen([sys.executable, "-m", "korvane"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    try:
        head = ""
        while not re.search(r"\[1/\d+\]$", head):  # the job has started
            head += proc.stderr.read(1) or pytest.fail(f"no progress: {head}")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert err.splitlines()[-1] == "interrupted" and "Traceback" not in err


def test_json_is_strict():
    doc = {"a": [1.5, float("inf"), {"b": float("nan")}], "c": (float("-inf"), "x")}
    assert json.loads(json.dumps(cli._finite(doc), allow_nan=False)) == {"a": [1.5, None, {"b": None}],
                                                                         "c": [None, "x"]}


def test_measures_median_range_and_mark():
    ms = 1e-3
    native = {"p": [1 * ms, 1.1 * ms, 1.0 * ms, 3 * ms, 0.9 * ms], "q": [ms] * 5, "r": [ms] * 5,
              "empty": [0.0] * 5}
    python = {"p": [4 * ms, 4.1 * ms, 3.9 * ms, 4 * ms, 4 * ms], "q": [0.5 * ms] * 5,
              "r": [2 * ms, 2 * ms, 2.5 * ms, 2.6 * ms, 2 * ms], "empty": [0.0] * 5}
    p, q, r = _tour._common.measures({"p": 1000, "q": 10, "r": 10, "empty": 0}, native, python,
                                     {"p": "never", "q": "why"})
    assert (p["phase"], p["ops"], p["rounds"]) == ("p", 1000, 5)
    assert p["native_ns"] == pytest.approx(1000.0) and p["python_ns"] == pytest.approx(4000.0)
    assert p["native_ns_range"] == pytest.approx([900.0, 3000.0])
    assert p["python_ns_range"] == pytest.approx([3900.0, 4100.0])
    assert p["ratio"] == pytest.approx(4.0)
    # One stray round shows in the range only; rounds 25 % apart but for the
    # extremes make a phase unstable.  A note only for a ratio below 1.
    assert (p["unstable"], p["note"]) == (False, None)
    assert (q["unstable"], q["note"], q["ratio"]) == (False, "why", pytest.approx(0.5))
    assert (r["unstable"], r["note"]) == (True, None)


def test_in_threads_hands_on_an_error():
    def work(i):
        if i == 1:
            raise ValueError("thread 1")

    with pytest.raises(ValueError, match="thread 1"):
        _tour._common.in_threads(3, work)


def test_tours_follow_the_module_list():
    assert list(_tour.TOURS) == SHORT
    for name, (full, _) in zip(SHORT, korvane.NATIVE_MODULES):
        tour = _tour.load(name)
        assert (tour.NAME, tour.MODULE) == (name, full)
    for name in cli.THREADED:
        assert callable(_tour.load(name).threads)
    with pytest.raises(KeyError):
        _tour.load("_common")


# ---------------------------------------------------------------- bench/

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"


def load_bench(name):
    found = importlib.util.spec_from_file_location(f"bench_{name}", BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_bench_runner_knows_every_script():
    # Importing a script runs no benchmark: a broken import of the harness shows here.
    run = load_bench("run")
    assert sorted(run.SCRIPTS) == sorted(p.stem for p in BENCH.glob("*.py") if p.stem != "run")
    assert list(run.SCRIPTS) == SHORT
    for name in run.SCRIPTS:
        assert callable(load_bench(name).main), name
    with pytest.raises(SystemExit) as exc:
        run.main(["varnok", "nosuch"])
    assert exc.value.code == 2


# ---------------------------------------------------------------- the plain-Python sides
# The tour and the bench scripts time these against the native modules:
# they must do the same work, on the workloads' inputs and at their edges.

def close(a, b):
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(close(x, y) for x, y in zip(a, b))
    if isinstance(a, float) or isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)
    return a == b


def test_pelgrun_formulas_match():
    from korvane.gpu import pelgrun as native
    from korvane._tour import pelgrun as plain

    rng = random.Random(1)
    ops = sorted(plain.CHUNKABLE | plain.NON_CHUNKABLE | {"add"})
    for _ in range(1000):
        shape = tuple(rng.choice([0, 1, 3, 1000, 65536, 10**6, 2**31 - 1]) for _ in range(rng.randint(1, 4)))
        size = rng.choice([1, 2, 8, 16])
        available = rng.choice([0, 1, 10**6, 11 * 2**30])
        room = rng.choice([-0.5, 0.0, 0.3, 0.99, 1.5])
        op = rng.choice(ops)
        nbytes = plain.estimate_allocation_bytes(shape, size)
        calls = [("estimate_allocation_bytes", (shape, size)), ("calculate_safe_limit", (available, room)),
                 ("is_chunkable_operation", (op,)), ("calculate_memory_pressure", (rng.randrange(2**40), 2**39)),
                 ("recommend_headroom", (rng.uniform(-0.5, 1.5), rng.random())),
                 ("decide_allocation_strategy", (nbytes, available, room, op in plain.CHUNKABLE)),
                 ("calculate_optimal_chunks", (nbytes, available, room)),
                 ("score_gpu_suitability", (nbytes, op, available, room))]
        if shape[0] <= 1000 and 0 not in shape:
            calls.append(("compute_chunk_shapes", (shape, size, rng.choice([1, 4096, 2**30]))))
        for name, args in calls:
            assert close(getattr(native, name)(*args), getattr(plain, name)(*args)), (name, args)
    for message, kind in [("CUDA out of memory", "RuntimeError"), ("", "OutOfMemoryError"),
                          ("Allocation FAILED", "E"), ("gpu memory", ""), ("fine", "ValueError")]:
        assert native.is_oom_error(message, kind) == plain.is_oom_error(message, kind)


def test_dorvask_arithmetic_matches():
    from korvane.plugins.analyzer import dorvask as native
    from korvane._tour import dorvask as plain

    rng = random.Random(3)
    keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
    for _ in range(1500):
        n, step = rng.choice([0, 2, 3, 5, 9, 10, 150]), rng.choice([0.0, 0.5, 1.0])
        history = [(100.0 + k * step, rng.choice([0.0, 100.0]) + rng.uniform(-5, 5)) for k in range(n)]
        start = rng.choice([-1.0, 100.0 + n * step / 2, 100.0 + n * step + 1])
        baseline = rng.choice([0.0, 100.0, 110.0])
        assert close(native.calculate_performance_trend(history, start), plain.py_trend(history, start))
        assert native.detect_performance_degradation(history, baseline, 0.05, start) == \
            plain.py_degradation(history, baseline, 0.05, start)
        assert close(native.predict_resource_requirements(history, 60.0), plain.py_predict(history, 60.0))
        seen = [{k: rng.random() for k in keys} for _ in range(rng.choice([0, 5, 6, 9]))]
        if seen and rng.random() < 0.2:
            del seen[-1]["cpu_intensity"]
        assert close(native.detect_workload_characteristics_change(seen, 0.3), plain.py_workload_change(seen, 0.3))
        args = (rng.uniform(-1, 2), rng.uniform(-1, 2), rng.uniform(-1, 2), rng.random() < 0.5)
        assert close(native.calculate_adaptation_urgency(*args), plain.py_urgency(*args))
        args = (rng.uniform(0, 100), rng.uniform(0, 200), 60.0)
        assert native.should_skip_adaptation(*args) == plain.py_skip(*args)


def test_tulvane_aggregator_matches():
    from korvane.monitoring.tulvane import CounterAggregator
    from korvane._tour.tulvane import PyAggregator, _same

    rng = random.Random(9)
    native, plain = CounterAggregator(50), PyAggregator(50)
    for _ in range(5000):
        i, value = rng.randrange(0, 50, 3), rng.choice([rng.uniform(-1e3, 1e3), 7, 0.0])
        native.update(i, value)
        plain.update(i, value)
    assert _same(native.get_all_stats(), plain.get_all_stats())
    assert close(list(native.get_stats(1).values()), list(plain.get_stats(1).values()))
    for bad in (-1, 50):
        for agg in (native, plain):
            with pytest.raises(IndexError, match=f"Counter ID {bad} out of range"):
                agg.update(bad, 1.0)


def test_talvorn_free_list_matches():
    from korvane.memory.talvorn import FastRedBlackTree
    from korvane._tour.talvorn import BisectFreeList, free_list_workload

    data = free_list_workload(3000, 200, 2000, seed=4, extra=True)
    tree, plain = FastRedBlackTree(), BisectFreeList()
    for s, b in zip(data.sizes, data.blocks):
        assert tree.insert(s, b) == plain.insert(s, b)
    rng = random.Random(4)
    for r, (s, b) in zip(data.reqs, data.extra):
        # Blocks of one size may come back in another order: compare sizes.
        ours, theirs = tree.find_best_fit(r), plain.find_best_fit(r)
        assert (ours is None) == (theirs is None) and (ours is None or ours.size == theirs.size)
        if rng.random() < 0.5:
            assert tree.insert(s, b) and plain.insert(s, b)
            assert tree.delete(s, b) and plain.delete(s, b)
        assert not tree.delete(s, b) and not plain.delete(s, b)
        assert tree.remove_ge(r)[0] == plain.remove_ge(r)[0]


def test_brisel_header_matches():
    from korvane.memory.brisel import FastSlabHeaderOps
    from korvane._tour.brisel import PySlabHeader, logger, slab_workload

    slabs, _ = slab_workload(300, seed=2)
    for sci, objects, allocated, freed in slabs:
        native, plain = FastSlabHeaderOps(sci, objects), PySlabHeader(sci, objects)
        for j in allocated + [-1, 64, 70]:
            native.py_allocate_object_at(j)
            plain.allocate(j)
        for j in freed + allocated[len(freed):]:
            native.py_deallocate_object_at(j)
            plain.deallocate(j)
        packed = native.pack_header()
        assert packed == plain.pack()
        damaged = packed[:2] + bytes([packed[2] ^ 1]) + packed[3:]
        level = logger.level
        logger.setLevel("ERROR")
        try:
            native.unpack_header(damaged)
            plain.unpack(damaged)
        finally:
            logger.setLevel(level)
        assert native.pack_header()[1] == plain.pack()[1]


@pytest.mark.parametrize("code, name", [
    ("", ""), ("import numpy as np\nnp.dot(a, b).sum()", "Matmul_Kernel"),
    ("WITH LOCK: GLOBAL Counter += 1  # Pandas DataFrame", None),
    ("df.groupby('k').agg(mean) ** 2 @ w  - 1e9 Gb", "apply_batch"), ("ünïcödé → for x in range(3)", "ß"),
])
def test_meravin_rules_match(code, name):
    from korvane.plugins.analyzer import meravin as native
    from korvane._tour import meravin as plain

    assert native.score_indicators(code, name) == plain.py_score_indicators(code, name)
    assert close(native.score_framework_patterns(code), plain.py_score_framework_patterns(code))


@pytest.mark.parametrize("config", [(100, 10, 10000, 0.1, 2.0), (50, 40, 60, 0.5, 1.0), (500, 10, 600, 0.9, 3.5)])
def test_quendar_policy_matches(config):
    from korvane.jit.quendar import PolicyConfig, Quendar
    from korvane._tour.quendar import PyPolicy, Record, Store

    names = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")
    native, plain = Quendar(PolicyConfig(**dict(zip(names, config)))), PyPolicy(*config)
    rng = random.Random(sum(config))
    records = {f"f{i}": Record() for i in range(20)}
    store = Store(records)
    for _ in range(400):
        fid = rng.choice(list(records))
        r = records[fid]
        r.call_count += rng.choice([0, 5, 60])
        r.compile_count += rng.random() < 0.3
        r.avg_speedup = rng.choice([0.5, 1.0, 2.0, 3.5])
        r.last_compiled = rng.choice([0.0, 1e18])
        assert native.should_compile(fid, store) == plain.should_compile(fid, store)
        native.update(fid, store)
        plain.update(fid, store)
        assert native.get_threshold(fid) == plain.get_threshold(fid)
    assert native.get_statistics() == plain.get_statistics()


def test_meravin_classification_matches():
    from korvane.plugins.analyzer import meravin as native
    from korvane._tour import meravin as plain

    rng = random.Random(5)
    edges = [0.0, 0.2, 0.3, 0.5, 0.6, 0.7, 0.6000001, 1.0, float("nan")]
    for _ in range(3000):
        floats = [rng.choice(edges + [rng.random()]) for _ in range(8)]
        counts = [rng.choice([0, 1, 2, 3]) for _ in range(2)]
        thresholds = [rng.choice([0.15, 0.2, 0.3, 0.5, 0.6]) for _ in range(6)]
        args = (*floats, *counts, *thresholds, rng.random() < 0.5)
        assert native.determine_workload_pattern(*args) == plain.py_determine_workload_pattern(*args), args
        scores = [rng.randint(-3, 40) for _ in range(5)]
        assert close(native.normalize_scores(*scores), plain.py_normalize_scores(*scores))


def test_oskarel_detection_matches():
    from korvane.native import oskarel as native
    from korvane._tour import oskarel as plain

    ours, theirs = native.detect_capabilities(), plain.detect_capabilities()
    assert list(ours) == list(theirs)
    assert {k: v for k, v in ours.items() if k not in plain.VOLATILE} == \
        {k: v for k, v in theirs.items() if k not in plain.VOLATILE}
    assert (ours["detector"], theirs["detector"]) == ("native", "python")


@pytest.mark.parametrize("tty, expected", [
    (False, "[1/2] varnok ... ok, 0.5 s\n[2/2] talvorn ...\n"),
    (True, "\r\033[K[1/2] varnok ...\r\033[K\r\033[K[2/2] talvorn ...\r\033[K"),
])
def test_progress_lines(tty, expected):
    import io

    class Stream(io.StringIO):
        def isatty(self):
            return tty

    stream = Stream()
    progress = cli.Progress(stream, 2)
    progress.start(1, "varnok")
    progress.done("ok", 0.5)
    progress.interrupted()  # nothing to end
    progress.start(2, "talvorn")
    progress.interrupted()
    assert stream.getvalue() == expected
