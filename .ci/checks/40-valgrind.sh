#!/usr/bin/env bash
# Valgrind memcheck over the suites of the three memory modules (varnok,
# brisel, talvorn) on the 3.10 release build: no invalid read or write, no
# use of uninitialised memory, and no block of ours definitely lost.
# PYTHONMALLOC=malloc hands every object to the C allocator, so memcheck
# sees each one.  About four minutes here.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
ROOT=$CI_ROOT
ci_ensure_py310
ci_need valgrind
out="$CI_WORK/valgrind"
rm -rf "$out" && mkdir -p "$out"
cd "$out"
PYTHONMALLOC=malloc timeout 1500 valgrind --tool=memcheck --error-exitcode=99 \
  --suppressions="$ROOT/.ci/valgrind.supp" --num-callers=40 \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --log-file="$out/memcheck.%p.log" \
  "$PY310" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" -c "$ROOT/pyproject.toml" \
  "$ROOT/tests/test_varnok.py" "$ROOT/tests/test_brisel.py" "$ROOT/tests/test_talvorn.py" \
  || { rc=$?; grep -L 'ERROR SUMMARY: 0 ' "$out"/memcheck.*.log | xargs -r grep -hv '^==[0-9]*== *$' | head -n 300
       exit "$rc"; }
