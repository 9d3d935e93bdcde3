#!/usr/bin/env bash
# Runs the Python suite against one wheel, installed into a clean virtual
# environment, on each CPython it is for: this machine's python3 (3.11 on
# Debian 12), and in a Debian unstable root python3.13, python3.14,
# python3.15 and the debug interpreter python3.14-dbg in development mode
# (-X dev, passed on to the tests' child interpreters).
#
#   test-interpreters.sh WHEEL [pytest argument...]
#
# Needs root (the Debian root under build/roots/, made on first use). Logs
# go to build/interpreters/; a summary line per interpreter at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
[ $# -ge 1 ] || { echo "usage: $0 WHEEL [pytest argument...]" >&2; exit 2; }
wheel=$(realpath "$1")
shift
# shellcheck source=scripts/debian-root.sh
source scripts/debian-root.sh
SID_PACKAGES=(python3.13-venv python3.14-venv python3.15-venv python3.14-dbg python3-dev g++ libssl-dev
  nginx openssl tmux ca-certificates)
logs="$repo/build/interpreters"
rm -rf "$logs"
mkdir -p "$logs"
summary=()
status=0

# label, then the command; its last line (pytest's tally) goes to the summary.
suite() {
  local label=$1 rc=0
  shift
  echo "== $label"
  "$@" >"$logs/$label.log" 2>&1 || rc=$?
  grep -E '^\(.*no binary' "$logs/$label.log" || true
  local tally
  tally=$(grep -E '(passed|failed|error)' "$logs/$label.log" | tail -n1)
  summary+=("$label: ${tally:-no result} (exit $rc)")
  if [ "$rc" != 0 ]; then
    status=1
    tail -n 30 "$logs/$label.log"
  fi
  echo "${summary[-1]}"
}

host_work=$(mktemp -d)
trap 'rm -rf "$host_work"' EXIT
# The README and docs/ beside the tests: the typing test checks their examples.
cp -r tests "$host_work/tests"
cp -r README.md docs "$host_work/"
suite "host-$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" \
  bash scripts/suite-in-venv.sh python3 "$host_work" "$wheel" "$@"

sid=$(make_root sid-test sid amd64 "${SID_PACKAGES[@]}")
stage="$sid/tarnix-test"
rm -rf "$stage"
mkdir -p "$stage"
cp "$wheel" scripts/suite-in-venv.sh scripts/lib.sh "$stage/"
trap 'rm -rf "$host_work"; root_umount "$sid"' EXIT
args=""
[ $# -eq 0 ] || args=$(printf ' %q' "$@")
for py in python3.13 python3.14 python3.15 python3.14-dbg; do
  label=${py#python}
  dev=""
  [ "$py" = python3.14-dbg ] && { label="3.14-dbg-Xdev"; dev="PYTHONDEVMODE=1"; }
  mkdir -p "$stage/$label"
  cp -r tests "$stage/$label/tests"
  cp -r README.md docs "$stage/$label/"
  suite "$label" in_root "$sid" \
    "$dev bash /tarnix-test/suite-in-venv.sh $py /tarnix-test/$label /tarnix-test/$(basename "$wheel")$args"
done

echo "== summary ($(basename "$wheel"))"
printf '%s\n' "${summary[@]}"
exit $status
