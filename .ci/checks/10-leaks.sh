#!/usr/bin/env bash
# Leak check on 3.10 (release build, package installed): every public
# operation of the nine modules 100000 times; reference counts, traced
# memory and resident size must stay within the bounds of tests/leakcheck.py.
# PY310 names the interpreter (built into build/ci when unset).
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
ci_ensure_py310
# From outside the source tree, so that the installed package is the one checked.
cd "$CI_WORK"
exec timeout 600 "$PY310" -X faulthandler "$CI_ROOT/tests/leakcheck.py" --calls 100000
