#!/usr/bin/env bash
# CPython 3.14 and 3.15 for CI: Debian sid's packages, in a chroot kept
# outside the clone and reused from run to run.
#
#   .ci/sid-chroot.sh ensure             make the chroot unless a complete one is there
#   .ci/sid-chroot.sh suite MINOR ...    build this tree and run the whole suite on
#                                        python MINOR (3.14, 3.15) inside, from outside
#                                        the source tree, as CI does on the other interpreters
#   .ci/sid-chroot.sh sync-src DIR       copy this tree to DIR inside the chroot
#   .ci/sid-chroot.sh run CMD ...        run CMD inside, with /proc and /dev mounted
#   .ci/sid-chroot.sh path               print the chroot's folder
#   .ci/sid-chroot.sh ready              exit 0 when a complete chroot is there (makes nothing)
#   .ci/sid-chroot.sh remove             remove the chroot (and a half-made one)
#
# KORVANE_SID_ROOT names the folder (default /opt/korvane-sid).  The chroot
# counts as complete when its stamp file, written last, names this script's
# recipe; a folder without it (an interrupted or older making) is removed
# and made again.  Making one takes about two minutes: debootstrap with its
# default mirror, then the interpreters, g++ and the host's extra
# certificate authorities (HTTPS, pip's included, goes through a proxy that
# signs with them).  The mirror serves a frozen snapshot whose Release file
# has expired, so apt inside does not check its date.
#
# /proc, /dev, /dev/pts and /dev/shm are mounted while a command runs inside
# and unmounted when it ends, however it ends; nothing is removed while
# anything is still mounted below the folder.
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin   # debootstrap, chroot
SRC=$(cd "$(dirname "$0")/.." && pwd)
SID=${KORVANE_SID_ROOT:-/opt/korvane-sid}
MINORS=(3.14 3.15)
PACKAGES=(g++ git ca-certificates)
for m in "${MINORS[@]}"; do PACKAGES+=("python$m" "python$m-dev" "python$m-venv"); done
STAMP=.korvane-chroot-complete
RECIPE="korvane sid chroot 1: debootstrap --variant=minbase sid; ${PACKAGES[*]}"
INNER=/root/korvane-ci   # the work folder inside the chroot

say() { printf 'sid-chroot: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

# -- mounts -----------------------------------------------------------------
MOUNTED=()
mounts_below() {  # the mount points at or below $1, deepest first
  local root
  root=$(readlink -f "$1")
  awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}
unmount_below() {
  local m
  for m in $(mounts_below "$1"); do
    umount "$m" 2>/dev/null || umount -l "$m" || true
  done
  [ -z "$(mounts_below "$1")" ]
}
mount_all() {  # root
  local root=$1
  mkdir -p "$root/proc" "$root/dev"
  mount -t proc proc "$root/proc" && MOUNTED+=("$root/proc")
  mount --bind /dev "$root/dev" && MOUNTED+=("$root/dev")
  if [ -d /dev/pts ]; then mount --bind /dev/pts "$root/dev/pts" && MOUNTED+=("$root/dev/pts"); fi
  if [ -d /dev/shm ]; then mount --bind /dev/shm "$root/dev/shm" && MOUNTED+=("$root/dev/shm"); fi
}
unmount_all() {
  local i
  for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
    umount "${MOUNTED[$i]}" 2>/dev/null || umount -l "${MOUNTED[$i]}" || say "could not unmount ${MOUNTED[$i]}"
  done
  MOUNTED=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

remove_tree() {  # removes a chroot folder, never while something is mounted below it
  [ -e "$1" ] || return 0
  unmount_below "$1" || die "$1 still has mounts below it; not removing it"
  rm -rf --one-file-system "$1"
}

# A command inside the chroot, with a small environment of its own: the
# host's variables name host paths (pip's find-links, for one).
in_chroot() {  # root cmd...
  local root=$1 v
  shift
  local envs=(HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1
    PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1)
  for v in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY CI KORVANE_STRESS_SECONDS; do
    if [ -n "${!v:-}" ]; then envs+=("$v=${!v}"); fi
  done
  env -i "${envs[@]}" chroot "$root" "$@"
}

complete() { [ -f "$SID/$STAMP" ] && [ "$(cat "$SID/$STAMP")" = "$RECIPE" ]; }

make_chroot() {
  local tmp=$SID.partial start=$SECONDS log
  remove_tree "$tmp"
  if [ -e "$SID" ]; then
    say "$SID is not a complete chroot of this recipe (an interrupted or older making): making it again"
    remove_tree "$SID"
  fi
  if ! command -v debootstrap >/dev/null 2>&1; then
    say "installing debootstrap"
    apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null
  fi
  mkdir -p "$(dirname "$SID")"
  log=$(mktemp)
  say "debootstrap --variant=minbase sid $tmp"
  if ! debootstrap --variant=minbase sid "$tmp" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    rm -f "$log"
    die "debootstrap failed"
  fi
  rm -f "$log"
  say "base system in $((SECONDS - start)) s"
  echo 'Acquire::Check-Valid-Until "false";' >"$tmp/etc/apt/apt.conf.d/80korvane-frozen-snapshot"
  cp -L /etc/resolv.conf "$tmp/etc/resolv.conf"
  mount_all "$tmp"
  in_chroot "$tmp" apt-get update -qq
  in_chroot "$tmp" apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/dev/null
  if compgen -G '/usr/local/share/ca-certificates/*' >/dev/null; then
    mkdir -p "$tmp/usr/local/share/ca-certificates"
    cp -rL /usr/local/share/ca-certificates/. "$tmp/usr/local/share/ca-certificates/"
  fi
  in_chroot "$tmp" update-ca-certificates >/dev/null
  in_chroot "$tmp" apt-get clean
  local versions=() m
  for m in "${MINORS[@]}"; do
    versions+=("$(in_chroot "$tmp" "python$m" -c 'import os, platform, sysconfig, venv
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(platform.python_version())')") || die "python$m is not usable in the new chroot"
  done
  unmount_all
  unmount_below "$tmp" || die "$tmp still has mounts below it"
  printf '%s\n' "$RECIPE" >"$tmp/$STAMP"
  mv "$tmp" "$SID"
  say "made $SID in $((SECONDS - start)) s: CPython ${versions[*]}, $(chroot "$SID" g++ --version | head -n 1)"
}

ensure() {
  exec {lock}>"$SID.lock"
  flock -w 1800 "$lock" || die "another run holds $SID.lock"
  if complete; then
    # mounts left by a run that was killed outright
    unmount_below "$SID" || die "cannot unmount what is mounted below $SID"
    # the host's resolver may have changed since the chroot was made
    cp -L /etc/resolv.conf "$SID/etc/resolv.conf"
  else
    make_chroot
  fi
}

# Copies the source tree (no build output, no git data, no venvs) to a
# folder inside the chroot, replacing what was there.
sync_src() {  # inner-path
  local dest=$SID$1
  rm -rf "$dest" && mkdir -p "$dest"
  tar -C "$SRC" --exclude=./build --exclude=./.git --exclude='./.venv*' --exclude='__pycache__' \
    --exclude='*.so' --exclude=./dist -cf - . | tar -C "$dest" -xf -
}

# Inside the chroot: a fresh venv, the package built from the copied tree
# (build output kept out of it), the whole suite from the work folder.
inside_suite() {  # minor
  local minor=$1 py=python$1 venv=$INNER/venv-$1 build=$INNER/build-$1 log=$INNER/build-$1.log
  set -o pipefail
  command -v "$py" >/dev/null || { echo "$py is not installed in the chroot"; return 1; }
  rm -rf "$venv" "$build"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q scikit-build-core cmake ninja pytest hypothesis
  if ! "$venv/bin/python" -m pip install -v --no-build-isolation \
      --config-settings=build-dir="$build" "$INNER/src" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "build failed on $("$py" -V 2>&1)"
    return 1
  fi
  local status=0
  if grep -E ': warning: ' "$log"; then
    echo "the build warned on $("$py" -V 2>&1) (above)"
    status=1
  fi
  echo "$("$venv/bin/python" -V) ($("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')), $(g++ --version | head -n 1)"
  (cd "$INNER" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$INNER/src" \
     -c "$INNER/src/pyproject.toml" "$INNER/src/tests") || status=1
  return $status
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case $cmd in
  ensure) ensure ;;
  path) echo "$SID" ;;
  ready) complete ;;
  remove)
    exec {lock}>"$SID.lock"
    flock -w 1800 "$lock" || die "another run holds $SID.lock"
    remove_tree "$SID.partial"
    remove_tree "$SID"
    rm -f "$SID.lock" ;;
  sync-src)
    [ $# -eq 1 ] || die "usage: sync-src DIR"
    ensure
    sync_src "$1" ;;
  run)
    [ $# -gt 0 ] || die "usage: run CMD ..."
    ensure
    mount_all "$SID"
    in_chroot "$SID" "$@" ;;
  suite)
    [ $# -gt 0 ] || die "usage: suite MINOR ..."
    ensure
    sync_src "$INNER/src"
    mount_all "$SID"
    status=0
    for minor in "$@"; do
      in_chroot "$SID" /bin/bash "$INNER/src/.ci/sid-chroot.sh" inside-suite "$minor" || status=1
    done
    exit $status ;;
  inside-suite)  # run by `suite`, inside the chroot
    inside_suite "$1" ;;
  *)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2 ;;
esac
