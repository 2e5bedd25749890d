# Shared by .ci/run, the scripts in .ci/checks and tools/build-wheels.sh:
# where the interpreters are, how a venv with korvane built from this tree
# is made, and how the suite runs against it.  Source it; it sets nothing
# but CI_ROOT, CI_WORK and PYENV_ROOT (each kept when already set).
#
# A script run on its own builds what it needs itself (the 3.10 venv, the
# sanitizer venv) into CI_WORK.  Under .ci/run a venv that an earlier step
# of the same run built is reused: the step leaves a mark holding the run's
# id (KORVANE_CI_RUN), and only a mark of the current run counts.

CI_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CI_WORK=${CI_WORK:-$CI_ROOT/build/ci}
PYENV_ROOT=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo /root/.pyenv)}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
mkdir -p "$CI_WORK"

# Build and test requirements of every CI venv (the build runs without
# isolation, so that the build folder can be kept and reused).
CI_VENV_PACKAGES=(scikit-build-core cmake ninja pytest hypothesis)
# The newest hypothesis may have no wheel for an interpreter (3.13t) and its
# source build needs a Rust toolchain: pip takes the newest release that has one.
CI_VENV_PIP_OPTS=(--only-binary=hypothesis)

# A tool CI uses, installed from Debian (the package of the same name) when
# this machine lacks it.
ci_need() {  # command
  command -v "$1" >/dev/null 2>&1 && return 0
  apt-get update -qq && apt-get install -y -qq "$1" >/dev/null
}
ci_need_gxx() { ci_need g++; }

# The newest installed patch release of a CPython minor version (3.10 ...)
# under pyenv: prints its python, or fails.
ci_find_python() {
  local dir
  dir=$(ls -d "$PYENV_ROOT"/versions/"$1".[0-9]* 2>/dev/null | grep -E "/$1\.[0-9]+$" | sort -V | tail -n 1)
  [ -n "$dir" ] && [ -x "$dir/bin/python" ] && echo "$dir/bin/python"
}

ci_mark_ready() { echo "${KORVANE_CI_RUN:-}" >"$1.ready"; }
ci_is_ready() {
  [ -n "${KORVANE_CI_RUN:-}" ] && [ -f "$1.ready" ] && [ "$(cat "$1.ready")" = "$KORVANE_CI_RUN" ]
}

# A fresh venv CI_WORK/venv-NAME made by BASE-PYTHON, with korvane built
# from this tree (build folder CI_WORK/build-NAME, so nothing is written
# into the tree) and the test requirements installed.  Extra arguments go
# to the pip install of korvane (config settings).  CI_LAUNCH, when set,
# is a command (words) that each python of the making runs under.
ci_build_venv() {  # name base-python [pip-args...]
  local name=$1 base=$2 venv=$CI_WORK/venv-$1
  shift 2
  ci_need_gxx || return 1
  rm -f "$venv.ready"
  rm -rf "$venv"
  # shellcheck disable=SC2086
  ${CI_LAUNCH:-} "$base" -m venv "$venv" || return 1
  # shellcheck disable=SC2086
  ${CI_LAUNCH:-} "$venv/bin/python" -m pip install -q "${CI_VENV_PIP_OPTS[@]}" "${CI_VENV_PACKAGES[@]}" || return 1
  # shellcheck disable=SC2086
  ${CI_LAUNCH:-} "$venv/bin/python" -m pip install -q --no-build-isolation \
    --config-settings=build-dir="$CI_WORK/build-$name" "$@" "$CI_ROOT" || return 1
  ci_mark_ready "$venv"
}

# The environment the sanitizer build needs, as VAR=value words.
ci_asan_env() {
  echo "LD_PRELOAD=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    "PYTHONMALLOC=malloc KORVANE_SANITIZED=1" \
    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:handle_segv=1" \
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
}

ci_build_asan() {
  local base
  base=$(ci_find_python 3.10) || { echo "CPython 3.10 not found under $PYENV_ROOT"; return 1; }
  ci_build_venv asan "$base" --config-settings=cmake.define.KORVANE_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo
}

# Set PY310 (a 3.10 venv with korvane installed, not editable) unless it is
# set already: the venv of this run's 3.10 step, or one built now.
ci_ensure_py310() {
  [ -n "${PY310:-}" ] && return 0
  if ! ci_is_ready "$CI_WORK/venv-3.10"; then
    local base
    base=$(ci_find_python 3.10) || { echo "CPython 3.10 not found under $PYENV_ROOT" >&2; return 1; }
    echo "building the 3.10 venv ($CI_WORK/venv-3.10)" >&2
    ci_build_venv 3.10 "$base" >&2 || return 1
  fi
  PY310=$CI_WORK/venv-3.10/bin/python
}

# Set PYASAN (a 3.10 venv with the sanitizer build) and ASAN_ENV the same way.
ci_ensure_pyasan() {
  ci_need_gxx || return 1
  ASAN_ENV=${ASAN_ENV:-$(ci_asan_env)}
  [ -n "${PYASAN:-}" ] && return 0
  if ! ci_is_ready "$CI_WORK/venv-asan"; then
    echo "building the sanitizer venv ($CI_WORK/venv-asan)" >&2
    ci_build_asan >&2 || return 1
  fi
  PYASAN=$CI_WORK/venv-asan/bin/python
}

# The whole suite against the korvane that PYTHON imports, from a folder
# outside the source tree (so the installed package is the one under test).
ci_suite() {  # python [VAR=value ...]
  local py=$1
  shift
  (cd "$CI_WORK" && env "$@" "$py" -m pytest -q -p no:cacheprovider --rootdir "$CI_ROOT" \
     -c "$CI_ROOT/pyproject.toml" "$CI_ROOT/tests")
}

# ci_suite, and when the interpreter dies of a signal, the native stacks of
# all its threads, read by gdb from the core it left: a crash in a thread
# other than the one pytest's faulthandler dumps, or one whose thread state
# is too damaged for that dump, still says where it happened.
ci_suite_cored() {  # python [VAR=value ...]
  local py=$1 rc core
  rm -f "$CI_WORK"/core "$CI_WORK"/core.[0-9]*
  rc=0
  (ulimit -c unlimited 2>/dev/null || true; ci_suite "$@") || rc=$?
  if [ "$rc" -gt 128 ]; then
    core=$(ls -t "$CI_WORK"/core "$CI_WORK"/core.[0-9]* 2>/dev/null | head -n 1 || true)
    if [ -z "$core" ]; then
      echo "no core file in $CI_WORK (kernel.core_pattern: $(cat /proc/sys/kernel/core_pattern))"
    elif ci_need gdb; then
      echo "=== native stacks of every thread, from $core"
      gdb -q -batch -ex "info threads" -ex "thread apply all bt 40" "$(readlink -f "$py")" "$core" 2>&1 | tail -n 2000 || true
    fi
    rm -f "$core"
  fi
  return "$rc"
}

# The tests that run threads (tests/test_stress.py, and each module's tests
# named for threads) under ThreadSanitizer: any report fails the run, except
# those inside the interpreter that .ci/tsan.supp names, each with its reason.
ci_tsan_suite() {  # python
  local py=$1 files supp=$CI_WORK/tsan.supp
  files=$(cd "$CI_ROOT" && ls tests/test_*.py | grep -v -e test_stress -e test_main -e test_nomemory -e test_leaks)
  # TSan reads one suppression file: the interpreter's own list, then ours.
  cat "$(dirname "$(dirname "$(readlink -f "$py")")")/share/korvane/tsan-suppressions.txt" \
    "$CI_ROOT/.ci/tsan.supp" >"$supp" || return 1
  # Without pytest's faulthandler a crash is reported by TSan itself, with
  # the faulting thread's native stack (the handler's Python dump can stop short).
  tsan_pytest() {
    (cd "$CI_WORK" && env KORVANE_SANITIZED=1 \
       TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$supp" \
       bash "$CI_ROOT/.ci/ft-python.sh" tsan-run "$py" -m pytest -q -p no:cacheprovider -p no:faulthandler \
       --rootdir "$CI_ROOT" \
       -c "$CI_ROOT/pyproject.toml" "$@")
  }
  tsan_pytest "$CI_ROOT/tests/test_stress.py" &&
    # shellcheck disable=SC2046
    tsan_pytest $(printf "$CI_ROOT/%s " $files) -k "thread"
}
