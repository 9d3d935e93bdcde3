#!/usr/bin/env bash
# Builds tarnix against OpenSSL 3.5 on a machine whose own OpenSSL is older
# (Debian 12 has 3.0) and runs the C++ and Python tests with it. OpenSSL 3.5
# comes from Debian 13's source package and is built into build/openssl-3.5
# when missing. The system's OpenSSL and apt configuration are left alone:
# apt runs on a private sources list and state directory under build/.
# The source package comes from the Debian mirror in the machine's own apt
# configuration. Not part of CI: it builds OpenSSL (several minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
export TARNIX_VENV=${TARNIX_VENV:-$root/build/venv}
bash scripts/setup.sh
PY="$TARNIX_VENV/bin/python"
export PATH="$TARNIX_VENV/bin:$PATH"
JOBS=${JOBS:-2}
SUITE=${OPENSSL35_SUITE:-trixie}
prefix="$root/build/openssl-3.5"
work="$root/build/openssl-3.5-work"
out="$root/build/openssl35"

if [ ! -e "$prefix/lib/libssl.so.3" ]; then
  echo "== OpenSSL 3.5 from Debian's source package into $prefix"
  private_apt "$work/apt" "$SUITE"
  version=$(source_package openssl '^3\.5\.' "$work/src")
  echo "OpenSSL source package $version"
  src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'openssl-3.5*' | head -n1)
  log="$root/build/openssl-3.5-build.log"
  if ! (cd "$src" && ./Configure --prefix="$prefix" --openssldir="$prefix/ssl" --libdir=lib shared no-tests &&
    make -j"$JOBS" && make install_sw) >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "building OpenSSL failed; the whole log is $log" >&2
    exit 1
  fi
  rm -rf "$work"
fi
export LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PATH="$prefix/bin:$PATH"
openssl version

test_trust_store

echo "== build against $prefix"
cmake -S . -B "$out" -G Ninja -DOPENSSL_ROOT_DIR="$prefix" -DTARNIX_BUILD_TESTS=ON \
  -DTARNIX_BUILD_EXTENSION=ON -DTARNIX_DEV_INPLACE=OFF -DTARNIX_TEST_TRUST_STORE="$test_store" >/dev/null
grep -q "^OPENSSL_SSL_LIBRARY:FILEPATH=$prefix/" "$out/CMakeCache.txt" ||
  { echo "CMake did not pick the OpenSSL in $prefix" >&2; exit 1; }
cmake --build "$out" -j"$JOBS"

echo "== C++ unit tests"
ctest --test-dir "$out" --output-on-failure -j"$JOBS"

# The package with this build's extension, staged apart from the source tree
# so that the in-place development build stays as it was.
site="$out/site"
rm -rf "$site"
mkdir -p "$site"
cp -r tarnix "$site/"
find "$site" \( -name '_tarnix*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp "$out"/_tarnix*.so "$site/tarnix/"
export PYTHONPATH="$site"

# One process holds one libssl.so.3: the extension and Python's ssl module
# (the tests' servers) both run on 3.5 here, so the ClientHello test demands
# the hybrid group and a key share per group. Run from the staged package so
# that the source tree (no engine) does not shadow it.
(cd "$site" && "$PY" - "$prefix") <<'EOF'
import ssl, sys
import tarnix._tarnix
libs = {line.split()[-1] for line in open("/proc/self/maps") if "libssl.so" in line or "libcrypto.so" in line}
print("loaded:", *sorted(libs))
assert libs and all(path.startswith(sys.argv[1] + "/") for path in libs), libs
assert ssl.OPENSSL_VERSION_INFO >= (3, 5), ssl.OPENSSL_VERSION
EOF

echo "== Python tests"
cd "$root/tests"
"$PY" -m pytest -q -p no:cacheprovider py "$@"
