"""`python -m korvane`: the host report and the measured tour."""

import json
import math

import pytest

import korvane
from korvane import __main__ as cli
from korvane import _tour

SHORT = [full.rsplit(".", 1)[1] for full, _ in korvane.NATIVE_MODULES]

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
        assert m["ops"] > 0
        for key in ("native_ns", "python_ns", "ratio"):
            assert m[key] > 0 and math.isfinite(m[key]), (module["name"], m)


def test_quick_json_tours_every_module(subprocess_python):
    proc = job(subprocess_python, "--quick", "--json")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert doc["quick"] is True
    assert [m["name"] for m in doc["modules"]] == SHORT
    assert [m["module"] for m in doc["modules"]] == [full for full, _ in korvane.NATIVE_MODULES]
    for m in doc["modules"]:
        assert (m["import"], m["status"], m["agree"]) == ("ok", "ok", True), m
        assert m["workload"] and m["result"]
        check_measures(m)
    host = doc["host"]
    assert host["status"] == "ok"
    caps = host["capabilities"]
    assert caps["physical_cores"] >= 1 and caps["numa_nodes"] >= 1
    assert caps["detection_time_ms"] >= 0
    assert caps["active_backend"] in ("cpu", "cuda", "rocm", "oneapi")
    # Progress goes to stderr, one line per module.
    for i, name in enumerate(SHORT, 1):
        assert f"[{i}/{len(SHORT)}] {name} ..." in proc.stderr


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
        assert doc["host"] == {"status": "missing", "error": doc["host"]["error"], "capabilities": None}
    else:
        assert doc["host"]["status"] == "ok"


def test_missing_module_in_the_text_report(subprocess_python):
    proc = job(subprocess_python, "--quick", "--module", "tulvane", blocked=["korvane.monitoring.tulvane"])
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "Modules (0 of 1 import)" in out
    assert "korvane.monitoring.tulvane  missing: import of korvane.monitoring.tulvane halted" in out
    assert "tulvane: missing" in out
    assert "0 of 1 tours ran" in out


def test_text_report_one_module(subprocess_python):
    proc = job(subprocess_python, "--quick", "--module", "talvorn")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert out.startswith(f"korvane {korvane.__version__} native layer on ")
    for text in ("Host (detect_capabilities, ", "  CPU cores ", "  NUMA nodes ", "  GPU ", "  interpreter ",
                 "Modules (1 of 1 import)", "talvorn: ", "  -> served ", "1 of 1 tours ran in "):
        assert text in out, text
    rows = [line.split() for line in out.splitlines() if " ops   native " in line]
    assert [r[0] for r in rows] == ["insert", "find_best_fit", "remove_ge"]
    assert all(r[-1].endswith("x") and float(r[-1][:-1]) > 0 for r in rows)
    assert "[1/1] talvorn ..." in proc.stderr and "[1/1]" not in out


@pytest.mark.parametrize("args, rc, text", [
    (["--help"], 0, "--module NAME"),
    (["--module", "nosuch"], 2, "invalid choice: 'nosuch'"),
    (["--quick", "extra"], 2, "unrecognized arguments: extra"),
])
def test_arguments(subprocess_python, args, rc, text):
    proc = job(subprocess_python, *args)
    assert proc.returncode == rc
    assert text in proc.stdout + proc.stderr


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
    tour = _tour.load("varnok")
    real = tour.run
    monkeypatch.setattr(tour, "run", lambda quick: {**real(quick), "agree": False})
    assert cli.main(["--quick", "--module", "varnok"]) == 1
    out = capsys.readouterr().out
    assert "WARNING: the native and the plain-Python results differ" in out
    assert "problems in: varnok" in out


def test_json_is_strict():
    doc = {"a": [1.5, float("inf"), {"b": float("nan")}], "c": (float("-inf"), "x")}
    assert json.loads(json.dumps(cli._finite(doc), allow_nan=False)) == {"a": [1.5, None, {"b": None}],
                                                                         "c": [None, "x"]}


def test_measures_per_operation():
    (m,) = _tour._common.measures({"p": 1000, "empty": 0}, {"p": 0.001, "empty": 0.0}, {"p": 0.004, "empty": 0.0})
    assert m["phase"] == "p" and m["ops"] == 1000
    assert m["native_ns"] == pytest.approx(1000.0) and m["python_ns"] == pytest.approx(4000.0)
    assert m["ratio"] == pytest.approx(4.0)


def test_tours_follow_the_module_list():
    assert list(_tour.TOURS) == SHORT
    for name, (full, _) in zip(SHORT, korvane.NATIVE_MODULES):
        tour = _tour.load(name)
        assert (tour.NAME, tour.MODULE) == (name, full)
    with pytest.raises(KeyError):
        _tour.load("_common")
