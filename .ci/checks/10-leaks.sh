#!/usr/bin/env bash
# Leak check on 3.10 (release build, package installed): every public
# operation of the nine modules 100000 times; reference counts, traced
# memory and resident size must stay within the bounds of tests/leakcheck.py.
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${PY310:?PY310 must name the 3.10 python with the package installed}"
# From outside the source tree, so that the installed package is the one checked.
cd "${CI_WORK:-/tmp}"
exec timeout 600 "$PY310" -X faulthandler "$OLDPWD/tests/leakcheck.py" --calls 100000
