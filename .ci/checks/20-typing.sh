#!/usr/bin/env bash
# Typing: the stubs of the nine extension modules against the installed
# package (mypy's stubtest, with .ci/stubtest-allowlist.txt), and the typed
# example program under mypy --strict.  PY310 names a 3.10 venv with the
# package installed non-editable (built into build/ci when unset); installs
# mypy into that venv.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
ROOT=$CI_ROOT
ci_ensure_py310
PY=$PY310
WORK=$CI_WORK/typing
mkdir -p "$WORK"
cd "$WORK"  # outside the source tree: the installed package and its stubs are checked
start=$SECONDS

"$PY" -m pip install -q --disable-pip-version-check "mypy==2.4.1"
modules=$("$PY" -c 'import korvane; print(" ".join(name for name, _ in korvane.NATIVE_MODULES))')
# The wheel must carry py.typed and a stub beside every extension module.
"$PY" - <<'PYEOF' || exit 1
import importlib, pathlib, korvane
missing = [str(p) for p in [pathlib.Path(korvane.__file__).with_name("py.typed")] + [
    pathlib.Path(importlib.import_module(n).__file__).with_name(n.rsplit(".", 1)[1] + ".pyi")
    for n, _ in korvane.NATIVE_MODULES] if not p.is_file()]
if missing:
    raise SystemExit("typing: not installed: " + ", ".join(missing))
PYEOF

status=0
# shellcheck disable=SC2086
"$PY" -m mypy.stubtest --allowlist "$ROOT/.ci/stubtest-allowlist.txt" --strict-type-check-only $modules || status=1
"$PY" -m mypy --strict --no-incremental "$ROOT/examples/typed_usage.py" || status=1
"$PY" "$ROOT/examples/typed_usage.py" || status=1

if [ $status -eq 0 ]; then
  echo "typing: stubtest clean over $(echo $modules | wc -w) modules, typed example passes mypy --strict and runs ($((SECONDS - start)) s)"
else
  echo "typing: FAILED ($((SECONDS - start)) s)"
fi
exit $status
