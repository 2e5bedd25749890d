#!/usr/bin/env bash
# The README's two set-up commands, exactly as written there, as a new user
# runs them: in a copy of the checkout, with the system's python3 (Debian's
# /usr/bin/python3 where there is one, which refuses to install outside a
# venv).  Then checks that installing left nothing behind in the checkout
# but the venv (no build folder): after the second command, only pytest's
# and hypothesis's caches may be added.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
ci_need_gxx

# The indented command lines of the README section that holds them.
mapfile -t commands < <(awk '/^## /{on = ($0 == "## Two commands for a fresh machine")} on && /^    python3 /{sub(/^    /, ""); print}' "$CI_ROOT/README.md")
if [ ${#commands[@]} -ne 2 ]; then
  echo "expected two commands under '## Two commands for a fresh machine' in README.md, found ${#commands[@]}"
  exit 1
fi

# The system python3, and what the README asks of it (venv, the headers).
export PATH=/usr/bin:$PATH
if ! python3 -c 'import ensurepip, os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null &&
   command -v apt-get >/dev/null; then
  apt-get update -qq && apt-get install -y -qq python3-venv python3-dev >/dev/null
fi
echo "python3 is $(command -v python3), $(python3 -V)"

# A copy of the checkout as git sees it (tracked and not ignored files).
tree=$CI_WORK/readme/korvane
rm -rf "$CI_WORK/readme" && mkdir -p "$tree"
if git -C "$CI_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$CI_ROOT" ls-files -z --cached --others --exclude-standard | (cd "$CI_ROOT" && tar --null -T - -cf -) |
    tar -C "$tree" -xf -
else
  tar -C "$CI_ROOT" --exclude=./build --exclude=./.git --exclude='./.venv*' -cf - . | tar -C "$tree" -xf -
fi
cd "$tree"
listing() { find . -path ./.venv -prune -o -print | LC_ALL=C sort; }
before=$(listing)

status=0
for i in 0 1; do
  echo "\$ ${commands[$i]}"
  start=$SECONDS
  if ! bash -c "${commands[$i]}" </dev/null; then
    echo "README command $((i + 1)) failed"
    status=1
    break
  fi
  echo "(README command $((i + 1)): $((SECONDS - start)) s)"
  added=$(comm -13 <(echo "$before") <(listing))
  if [ "$i" -eq 1 ]; then
    added=$(grep -v -E '^\./(\.pytest_cache|\.hypothesis)(/|$)|/__pycache__(/|$)' <<<"$added" || true)
  fi
  if [ -n "$added" ]; then
    echo "README command $((i + 1)) left these in the checkout:"
    head -n 20 <<<"$added"
    status=1
  fi
done
exit $status
