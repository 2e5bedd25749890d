#!/usr/bin/env bash
# Runs the fuzz harnesses against the sanitizer build.
#
#   fuzz/run.sh [-t SECONDS] [-n INPUTS -s SEED] [-o DIR] [-c] [MODULE ...] [-- LIBFUZZER-ARGS ...]
#
# PYASAN: a 3.10 python with the sanitizer build of korvane (atheris is
# installed into it when missing); ASAN_ENV: the VAR=value words it needs
# (LD_PRELOAD of the sanitizer runtimes, PYTHONMALLOC=malloc, ...).  When
# either is unset, both come from .ci/lib.sh, which builds the sanitizer
# venv under build/ci if this CI run has not.  Each module runs for
# SECONDS (default 20) with its corpus in DIR/corpus/MODULE (kept between
# runs, so a longer run picks up where the last one stopped); crash files
# and logs go to DIR (default build/fuzz-out).  Prints one line per module
# with the number of inputs tried; exits non-zero if any harness found
# something.
#
# -n INPUTS -s SEED: a repeatable run instead of a timed one: each module
# stops after INPUTS inputs, the mutations follow SEED, Python's string
# hashing is fixed and the corpus is not re-read on a timer, so a fresh DIR
# gives the same inputs run after run (SECONDS, ten times over, is then only
# a bound on a hung run).  Most harnesses also run the same inputs wherever
# they run; talvorn's and quendar's course depends on object addresses as
# well, which move with the environment's size, so theirs drift a little.
#
# -c: native comparison feedback, for a sanitizer build that was also
# compiled with -fsanitize-coverage=trace-cmp (pip install ...
# --config-settings=cmake.define.CMAKE_CXX_FLAGS=-fsanitize-coverage=trace-cmp).
# libFuzzer then sees the operands of the modules' integer comparisons
# (-use_value_profile=1); gcc's floating-point comparison hooks, which
# libFuzzer lacks, are answered by an empty shim built here with cc.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
secs=20
inputs=
seed=
out=$here/../build/fuzz-out
mods=()
extra=()
cmp=0
while [ $# -gt 0 ]; do
  case $1 in
    -t) secs=$2; shift 2 ;;
    -c) cmp=1; shift ;;
    -n) inputs=$2; shift 2 ;;
    -s) seed=$2; shift 2 ;;
    -o) out=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) mods+=("$1"); shift ;;
  esac
done
[ ${#mods[@]} -eq 0 ] && mods=(varnok brisel talvorn quendar meravin pelgrun dorvask oskarel tulvane)
if [ -z "${PYASAN:-}" ] || [ -z "${ASAN_ENV:-}" ]; then
  . "$here/../.ci/lib.sh"
  ci_ensure_pyasan || exit 2
fi
# atheris ships a binary wheel for CPython 3.10 only up to 2.3.0; the newer
# releases are source-only and need clang with libFuzzer to build.
if ! "$PYASAN" -c 'import atheris' 2>/dev/null; then
  "$PYASAN" -m pip install -q --only-binary=:all: 'atheris==2.3.0' || { echo "cannot install atheris for $PYASAN"; exit 2; }
fi

# The sanitizer runtime defines empty coverage hooks; atheris's libFuzzer
# must come first in the preload list so that its own hooks are the ones
# found, or the Python coverage counters never reach the fuzzer.
core=$("$PYASAN" -c 'import atheris.core_with_libfuzzer as c; print(c.__file__)' 2>/dev/null) || {
  echo "atheris is not installed for $PYASAN"; exit 2; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
first=$core
if [ $cmp -eq 1 ]; then
  printf '%s\n' 'void __sanitizer_cov_trace_cmpf(float a, float b) { (void)a; (void)b; }' \
    'void __sanitizer_cov_trace_cmpd(double a, double b) { (void)a; (void)b; }' |
    cc -shared -fPIC -O2 -o "$out/cmpshim.so" -x c - || exit 2
  first=$core:$out/cmpshim.so
  extra=(-use_value_profile=1 "${extra[@]}")
fi
envwords=()
for w in $ASAN_ENV; do
  case $w in
    LD_PRELOAD=*) envwords+=("LD_PRELOAD=$first:${w#LD_PRELOAD=}") ;;
    ASAN_OPTIONS=*) envwords+=("$w:verify_asan_link_order=0:allocator_may_return_null=1") ;;
    *) envwords+=("$w") ;;
  esac
done

limits=(-max_total_time="$secs")
if [ -n "$inputs" ]; then
  limits=(-runs="$inputs" -max_total_time=$((secs * 10)))
fi
if [ -n "$seed" ]; then
  limits+=(-seed="$seed" -reload=0)
  envwords+=(PYTHONHASHSEED=0)
fi

status=0
total=0
for mod in "${mods[@]}"; do
  harness=$here/fuzz_$mod.py
  [ -f "$harness" ] || { echo "no harness for $mod"; status=1; continue; }
  corpus=$out/corpus/$mod
  rm -rf "$out/crashes/$mod"
  mkdir -p "$corpus" "$out/crashes/$mod"
  log=$out/$mod.log
  (cd "$out/crashes/$mod" && env "${envwords[@]}" "$PYASAN" "$harness" "$corpus" \
      "${limits[@]}" -timeout=30 -rss_limit_mb=4096 -max_len=4096 -print_final_stats=1 \
      "${extra[@]}") >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ $rc -eq 0 ]; then
    printf '%-8s %9s inputs  %s  corpus %s\n' "$mod" "$runs" "${cov:-cov: ?}" "$(ls "$corpus" | wc -l)"
  else
    status=1
    printf '%-8s FAILED (rc %s) after %s inputs; log %s\n' "$mod" "$rc" "$runs" "$log"
    grep -m 20 -E 'Finding|Error|ERROR|SUMMARY|runtime error|Traceback|raised' "$log" | sed 's/^/    /'
    ls "$out/crashes/$mod" | sed 's/^/    crash file: /'
  fi
done
echo "fuzz: $total inputs in all"
exit $status
