#!/usr/bin/env bash
# Free-threaded CPython 3.13 (3.13t) for the GIL-free checks, built from
# Debian's python3.13 source package and kept under /opt, outside any clone,
# so that every clone and CI run on this machine reuses it.
#
#   .ci/ft-python.sh                 make sure /opt/korvane-py313t exists;
#                                    print the path of its python3.13t
#   .ci/ft-python.sh tsan            the same, then a ThreadSanitizer build of
#                                    the same source in /opt/korvane-py313t-tsan;
#                                    print the path of that python3.13t
#   .ci/ft-python.sh tsan-run CMD..  run CMD the way TSan-built programs need on
#                                    this kernel (with address-space randomisation
#                                    off where the TSan runtime cannot map its
#                                    shadow memory otherwise); builds nothing
#
# Only what is missing or half-made is built: an interpreter counts as made
# once its stamp file exists (written after `make install`), and as ready once
# a second stamp records that pytest and hypothesis went in. A prefix without
# the first stamp is a broken build and is removed and built again.
# Downloaded sources are cached under /opt as well.
#
# The TSan interpreter's own suppression list, from its source, is kept at
# /opt/korvane-py313t-tsan/share/korvane/tsan-suppressions.txt; an extension
# built with -fsanitize=thread (same gcc) loads into it without LD_PRELOAD.
#
# Progress goes to stderr, the build logs to /opt/korvane-py313t*.log; stdout
# carries only the interpreter's path.
#
# Environment: KORVANE_FT_ROOT (default /opt), KORVANE_FT_JOBS (make -j,
# default 2), KORVANE_FT_SETARCH=1 forces the setarch launch for TSan.
set -euo pipefail

ROOT=${KORVANE_FT_ROOT:-/opt}
JOBS=${KORVANE_FT_JOBS:-2}
NAME=korvane-py313t
PREFIX=$ROOT/$NAME
TSAN_PREFIX=$ROOT/$NAME-tsan
SRC_CACHE=$ROOT/$NAME-src
PY=bin/python3.13t
BASE_CONFIGURE=(--disable-gil --with-ensurepip=install)
TSAN_CONFIGURE=(--with-thread-sanitizer)
# What goes into each interpreter. The newest hypothesis may have no wheel
# usable on 3.13t and its source build needs a Rust toolchain, so only wheels
# are taken for it and pip picks the newest release that has one.
PACKAGES=(pytest hypothesis)
PIP_OPTS=(--only-binary=hypothesis)
DEPS=(build-essential libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev
      libsqlite3-dev libreadline-dev uuid-dev libgdbm-dev libgdbm-compat-dev
      libncurses-dev libzstd-dev libexpat1-dev)

say() { printf '[ft-python] %s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

# --- ThreadSanitizer and address-space randomisation --------------------------
# Some kernels randomise mmap over more bits than the TSan runtime of this
# compiler can place its shadow memory around ("unexpected memory mapping");
# there, TSan programs run with randomisation off (setarch -R), which their
# children inherit. Decided by running a tiny TSan program.
tsan_launcher=()
probe_tsan() {
  local dir out
  if [ "${KORVANE_FT_SETARCH:-0}" = 1 ]; then
    tsan_launcher=(setarch "$(uname -m)" -R)
    return
  fi
  dir=$(mktemp -d)
  cat >"$dir/probe.c" <<'EOF'
#include <pthread.h>
static int n;
static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static void *run(void *arg) { pthread_mutex_lock(&m); n++; pthread_mutex_unlock(&m); return arg; }
int main(void) { pthread_t t; pthread_create(&t, 0, run, 0); run(0); pthread_join(t, 0); return n != 2; }
EOF
  gcc -fsanitize=thread -O1 "$dir/probe.c" -o "$dir/probe" || { rm -rf "$dir"; die "gcc cannot build a -fsanitize=thread program"; }
  if out=$("$dir/probe" 2>&1); then
    tsan_launcher=()
  elif setarch "$(uname -m)" -R "$dir/probe" >/dev/null 2>&1; then
    say "TSan programs need address-space randomisation off on this kernel (vm.mmap_rnd_bits=$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo '?')); running them under setarch -R"
    tsan_launcher=(setarch "$(uname -m)" -R)
  else
    rm -rf "$dir"
    die "a TSan program fails here, with and without setarch -R: ${out:0:400}"
  fi
  rm -rf "$dir"
}

if [ "${1:-}" = tsan-run ]; then
  shift
  [ $# -gt 0 ] || die "tsan-run needs a command"
  probe_tsan
  exec ${tsan_launcher[@]+"${tsan_launcher[@]}"} "$@"
fi

want_tsan=0
case "${1:-}" in
  "") ;;
  tsan) want_tsan=1 ;;
  *) die "usage: $0 [tsan | tsan-run COMMAND...]" ;;
esac

mkdir -p "$ROOT"
# One build at a time on this machine, whichever clone asks.
exec 9>"$ROOT/.$NAME.lock"
flock 9
# Scratch folders of a run that was stopped: nothing else can be using them now.
rm -rf "$ROOT/.$NAME"-apt.* "$ROOT/.$NAME"-build.* "$ROOT/.$NAME"-tsan-build.*

# --- build dependencies (bookworm, the machine's own apt sources) -------------
install_deps() {
  local missing=() p
  for p in "${DEPS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  say "installing build dependencies: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# --- source: Debian's python3.13 source package from sid ----------------------
# The archive's address is read from this machine's own apt sources (the entry
# for its own release), never written down here.
archive_entry() {  # prints "URI<TAB>signed-by-file" of the machine's Debian archive
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || die "cannot tell this machine's Debian release from /etc/os-release"
  {
    # one-line format: deb [opts] URI suite components...
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk -v rel="$codename" '
      $1 == "deb" || $1 == "deb-src" {
        i = 2; opts = ""
        if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
        uri = $i; suite = $(i + 1); main = 0
        for (j = i + 2; j <= NF; j++) if ($j == "main") main = 1
        if (suite != rel || !main) next
        key = ""
        if (match(opts, /signed-by=[^] ]+/)) key = substr(opts, RSTART + 10, RLENGTH - 10)
        print uri "\t" key
      }'
    # deb822 format
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v rel="$codename" '
      function flush() {
        if (uri != "" && has_suite && has_main && enabled) print uri "\t" key
        uri = ""; key = ""; has_suite = 0; has_main = 0; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (j = 2; j <= NF; j++) if ($j == rel) has_suite = 1 }
      tolower($1) == "components:" { for (j = 2; j <= NF; j++) if ($j == "main") has_main = 1 }
      tolower($1) == "signed-by:" && NF == 2 { key = $2 }
      tolower($1) == "enabled:" && tolower($2) == "no" { enabled = 0 }
      END { flush() }'
  } | head -n 1
}

SOURCE_TARBALL=
fetch_source() {
  if [ -f "$SRC_CACHE/TARBALL" ] && [ -f "$SRC_CACHE/$(cat "$SRC_CACHE/TARBALL")" ]; then
    SOURCE_TARBALL=$SRC_CACHE/$(cat "$SRC_CACHE/TARBALL")
    return
  fi
  local entry uri key tmp opts versions v out got=
  entry=$(archive_entry)
  [ -n "$entry" ] || die "no Debian archive for this release in /etc/apt/sources.list{,.d}"
  uri=${entry%%$'\t'*}
  key=${entry#*$'\t'}
  tmp=$(mktemp -d "$ROOT/.$NAME-apt.XXXXXX")
  chmod 755 "$tmp"
  mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/download"
  # apt downloads as its own unprivileged user where it can
  if id _apt >/dev/null 2>&1; then chown _apt "$tmp/download"; fi
  if [ -n "$key" ]; then
    printf 'deb-src [signed-by=%s] %s sid main\n' "$key" "$uri" >"$tmp/sources.list"
  else
    printf 'deb-src %s sid main\n' "$uri" >"$tmp/sources.list"
  fi
  opts=(-o "Dir::Etc::sourcelist=$tmp/sources.list" -o Dir::Etc::sourceparts=-
        -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache"
        -o Acquire::Check-Valid-Until=false)
  say "reading the sid source index"
  apt-get "${opts[@]}" update -qq >&2
  # The index may list a release whose files the mirror does not carry yet:
  # take the newest one that downloads.
  versions=$(apt-cache "${opts[@]}" showsrc python3.13 | sed -n 's/^Version: //p' | sort -Vr | uniq)
  [ -n "$versions" ] || die "python3.13 is not in the sid source index"
  for v in $versions; do
    say "downloading python3.13 $v sources"
    if out=$(cd "$tmp/download" && apt-get "${opts[@]}" source --download-only -qq "python3.13=$v" 2>&1); then
      got=$v
      break
    fi
    say "python3.13 $v: $(grep -m1 -o '[0-9]\{3\} [A-Za-z ]*' <<<"$out" || echo 'download failed')"
    rm -f "$tmp/download"/*
  done
  [ -n "$got" ] || { rm -rf "$tmp"; die "no python3.13 source package in sid could be downloaded"; }
  local orig
  orig=$(cd "$tmp/download" && ls python3.13_*.orig.tar.* | head -n 1)
  [ -n "$orig" ] || { rm -rf "$tmp"; die "the python3.13 $got source package has no .orig tarball"; }
  mkdir -p "$SRC_CACHE"
  mv "$tmp/download/$orig" "$SRC_CACHE/$orig"
  mv "$tmp/download"/*.dsc "$SRC_CACHE/" 2>/dev/null || true
  echo "$orig" >"$SRC_CACHE/TARBALL.new"
  mv "$SRC_CACHE/TARBALL.new" "$SRC_CACHE/TARBALL"
  rm -rf "$tmp"
  SOURCE_TARBALL=$SRC_CACHE/$orig
}

# --- interpreters -------------------------------------------------------------
check_python() {  # prefix: the interpreter starts and is a free-threaded build
  # (race reports are the threaded check's business, not a reason to rebuild)
  local py=$1/$PY
  [ -x "$py" ] &&
    ${launcher[@]+"${launcher[@]}"} env -u PYTHON_GIL TSAN_OPTIONS="report_bugs=0 exitcode=0" "$py" -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled()' 2>/dev/null
}

launcher=()
build_python() {  # prefix configure-args...
  local prefix=$1
  shift
  local config="${BASE_CONFIGURE[*]}${*:+ $*}"
  local log=$ROOT/$(basename "$prefix").log
  if [ -f "$prefix/.korvane-built" ] && [ "$(cat "$prefix/.korvane-built")" = "$config" ] && check_python "$prefix"; then
    return
  fi
  if [ -e "$prefix" ]; then
    say "$prefix is incomplete or from another recipe: building it again"
    rm -rf "$prefix"
  fi
  install_deps
  fetch_source
  local tmp top start
  tmp=$(mktemp -d "$ROOT/.$(basename "$prefix")-build.XXXXXX")
  start=$SECONDS
  say "building $prefix from $(basename "$SOURCE_TARBALL") (log: $log)"
  tar -xf "$SOURCE_TARBALL" -C "$tmp"
  top=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  if ! (
    cd "$top"
    # The build runs its own interpreter (module set-up, ensurepip); a TSan
    # build reports the interpreter's own races there, which are not ours to
    # judge in this step.
    # `make install` byte-compiles the whole standard library three times
    # over, which takes longer than the build itself under TSan: only its
    # top level is compiled here (-l), the rest on first import.
    # (errexit does not hold inside a tested subshell: each step is chained.)
    export TSAN_OPTIONS="report_bugs=0 exitcode=0"
    ./configure --prefix="$prefix" "${BASE_CONFIGURE[@]}" "$@" &&
      ${launcher[@]+"${launcher[@]}"} make -j"$JOBS" &&
      ${launcher[@]+"${launcher[@]}"} make install COMPILEALL_OPTS="-j0 -l" || exit 1
    # The interpreter's own TSan suppressions, kept for the runs that use it.
    if [ -f Tools/tsan/suppressions_free_threading.txt ]; then
      mkdir -p "$prefix/share/korvane" &&
        cp Tools/tsan/suppressions_free_threading.txt "$prefix/share/korvane/tsan-suppressions.txt" || exit 1
    fi
  ) >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    rm -rf "$tmp"
    die "building $prefix failed (full log: $log)"
  fi
  rm -rf "$tmp"
  check_python "$prefix" || die "$prefix/$PY does not start as a free-threaded interpreter"
  echo "$config" >"$prefix/.korvane-built"
  say "built $prefix in $((SECONDS - start)) s, $(du -sh "$prefix" | cut -f1)"
}

install_packages() {  # prefix
  local prefix=$1 want
  want="${PACKAGES[*]} ${PIP_OPTS[*]}"
  if [ -f "$prefix/.korvane-ready" ] && [ "$(cat "$prefix/.korvane-ready")" = "$want" ]; then
    return
  fi
  rm -f "$prefix/.korvane-ready"
  say "installing ${PACKAGES[*]} into $prefix"
  ${launcher[@]+"${launcher[@]}"} env TSAN_OPTIONS="report_bugs=0 exitcode=0" \
    "$prefix/$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore "${PIP_OPTS[@]}" "${PACKAGES[@]}" >&2
  ${launcher[@]+"${launcher[@]}"} env TSAN_OPTIONS="report_bugs=0 exitcode=0" \
    "$prefix/$PY" -c 'import pytest, hypothesis' ||
    die "pytest or hypothesis does not import in $prefix"
  echo "$want" >"$prefix/.korvane-ready"
}

build_python "$PREFIX"
install_packages "$PREFIX"
if [ $want_tsan = 0 ]; then
  echo "$PREFIX/$PY"
  exit 0
fi

probe_tsan
launcher=(${tsan_launcher[@]+"${tsan_launcher[@]}"})
build_python "$TSAN_PREFIX" "${TSAN_CONFIGURE[@]}"
install_packages "$TSAN_PREFIX"
# The TSan interpreter must run threads without a report of its own, given
# the interpreter's suppressions.
supp=$TSAN_PREFIX/share/korvane/tsan-suppressions.txt
tsan_opts="halt_on_error=1 exitcode=66"
[ -f "$supp" ] && tsan_opts="suppressions=$supp $tsan_opts"
if ! ${launcher[@]+"${launcher[@]}"} env -u PYTHON_GIL TSAN_OPTIONS="$tsan_opts" "$TSAN_PREFIX/$PY" -c '
import sys, threading
assert not sys._is_gil_enabled()
total = []
lock = threading.Lock()
def work():
    local = sum(range(20000))
    with lock:
        total.append(local)
threads = [threading.Thread(target=work) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
assert len(total) == 4 and len(set(total)) == 1
' >&2; then
  die "$TSAN_PREFIX/$PY fails a threaded run under TSan"
fi
echo "$TSAN_PREFIX/$PY"
