#!/usr/bin/env bash
# Bounded fuzzing: every module's atheris harness (fuzz/fuzz_<module>.py)
# against the sanitizer build, through fuzz/run.sh: 30000 inputs each from a
# fixed seed, the same inputs run after run (for seven of the nine harnesses
# on any machine; see run.sh), so that a CI run does not pass or fail by
# chance.  Exploring further is the longer timed run of the README.
# PYASAN (the sanitizer venv's python) and ASAN_ENV are made when unset.  A
# crash, a sanitizer report or an unexpected exception fails the step; the
# crash file is kept under $CI_WORK/fuzz.
set -uo pipefail
. "$(dirname "$0")/../lib.sh"
cd "$CI_ROOT"
ci_ensure_pyasan || exit 1
export PYASAN ASAN_ENV
inputs=${KORVANE_FUZZ_INPUTS:-30000}

# atheris ships a binary wheel for CPython 3.10 only up to 2.3.0; the newer
# releases are source-only and need clang with libFuzzer to build.
if ! "$PYASAN" -c 'import atheris' 2>/dev/null; then
  "$PYASAN" -m pip install -q --only-binary=:all: 'atheris==2.3.0' || { echo "fuzz: cannot install atheris"; exit 1; }
fi

status=0
# The kept crash inputs and a fixed random set, replayed under the sanitizers.
root=$PWD
(cd "$CI_WORK" && env $ASAN_ENV "$PYASAN" -m pytest -q -p no:cacheprovider --rootdir "$root" \
   -c "$root/pyproject.toml" "$root/tests/test_fuzz_regressions.py") || status=1
rm -rf "$CI_WORK/fuzz"
bash fuzz/run.sh -n "$inputs" -s 1 -o "$CI_WORK/fuzz" || status=1
exit $status
