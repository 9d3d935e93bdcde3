#!/usr/bin/env bash
# Runs inside the Debian 11 build root (scripts/release.sh sets it up): builds
# OpenSSL from the source package in /release/sources and the extension for
# one architecture against it, plus, for aarch64, the C++ unit tests and the
# ThreadSanitizer tests to run in an arm64 root.
#
#   release-build.sh x86_64|aarch64
#
# /tarnix-src holds the source tree, /release the cache (bind-mounted from
# build/release on the host).
set -euo pipefail
arch=$1
JOBS=${JOBS:-2}
src=/tarnix-src
rel=/release
export PATH="$rel/tools-venv/bin:$PATH"
# shellcheck source=scripts/lib.sh
source "$src/scripts/lib.sh"

# CMake 3.26+ and Ninja from PyPI (bullseye's CMake is 3.18).
if [ ! -x "$rel/tools-venv/bin/cmake" ]; then
  venv_make "$rel/tools-venv"
  venv_pip "$rel/tools-venv" "cmake>=3.26,<4" ninja
fi

case "$arch" in
  x86_64) ossl_target=linux-x86_64 cross=() triplet=x86_64-linux-gnu toolchain=() ;;
  aarch64)
    ossl_target=linux-aarch64 cross=(--cross-compile-prefix=aarch64-linux-gnu-) triplet=aarch64-linux-gnu
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake")
    ;;
  *) echo "release-build: unknown architecture $arch" >&2; exit 2 ;;
esac

ossl_src=$(find "$rel/sources" -mindepth 1 -maxdepth 1 -type d -name 'openssl-3.*' | head -n1)
ossl_version=${ossl_src##*/openssl-}
# Static and position-independent: linked into the extension, whose export
# list keeps every OpenSSL symbol local, so it can never bind to (or be bound
# by) the OpenSSL that Python's ssl module loads. It reads no configuration
# file and loads no engine or provider module: the directories compiled in
# are under /proc, where nobody can create a file. The 64-bit P-256/P-384/P-521
# code makes the P-384 key share of every ClientHello several times cheaper.
ossl_opts=(no-shared -fPIC enable-ec_nistp_64_gcc_128 no-engine no-module no-autoload-config no-tests no-docs no-apps
  --prefix=/proc/tarnix-openssl --openssldir=/proc/tarnix-openssl/ssl --libdir=lib)
key=$(printf '%s\n' "$ossl_version" "$ossl_target" "${ossl_opts[@]}" | sha256sum | cut -c1-12)
ossl="$rel/openssl/$ossl_version-$arch-$key"
if [ ! -e "$ossl/lib/libssl.a" ]; then
  echo "== OpenSSL $ossl_version for $arch (log: build/release/openssl-$arch.log)"
  work="$rel/openssl-work-$arch"
  rm -rf "$work" "$ossl"
  cp -r "$ossl_src" "$work"
  if ! (cd "$work" && ./Configure "$ossl_target" "${cross[@]}" "${ossl_opts[@]}" &&
    make -j"$JOBS" && make install_sw DESTDIR="$work/dest") >"$rel/openssl-$arch.log" 2>&1; then
    tail -n 30 "$rel/openssl-$arch.log" >&2
    exit 1
  fi
  mkdir -p "$(dirname "$ossl")"
  mv "$work/dest/proc/tarnix-openssl" "$ossl"
  rm -rf "$work"
else
  echo "== OpenSSL $ossl_version for $arch: cached"
fi

# CPython's headers from a newer Debian: the stable ABI needs no libpython.
headers="$rel/sources/python-headers-$arch/usr/include"
pyinc=$(find "$headers" -maxdepth 1 -type d -name 'python3.*' | head -n1)
# libstdc++ and libgcc go inside: the wheel then asks only glibc for symbols.
link="-static-libstdc++ -static-libgcc"
prefix_path="$ossl"
if [ "$arch" = aarch64 ]; then
  # GoogleTest for the unit tests, from Debian 13's source of it.
  gtest="$rel/gtest-aarch64"
  if [ ! -e "$gtest/lib/libgtest.a" ]; then
    cmake -S "$rel/sources/googletest" -B "$rel/gtest-build-aarch64" -G Ninja "${toolchain[@]}" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_GMOCK=OFF >/dev/null
    cmake --build "$rel/gtest-build-aarch64" -j"$JOBS" >/dev/null
    cmake --install "$rel/gtest-build-aarch64" >/dev/null
  fi
  prefix_path="$ossl;$gtest"
fi

common=(-G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DOPENSSL_ROOT_DIR="$ossl"
  -DOPENSSL_USE_STATIC_LIBS=TRUE -DTARNIX_AARCH64_PREFIX="$prefix_path" -DCMAKE_PREFIX_PATH="$prefix_path"
  -DCMAKE_SHARED_LINKER_FLAGS="$link" -DCMAKE_MODULE_LINKER_FLAGS="$link" -DCMAKE_EXE_LINKER_FLAGS="$link")

echo "== extension for $arch"
out="$rel/build-$arch"
rm -rf "$out"
cmake -S "$src" -B "$out" "${common[@]}" -DTARNIX_BUILD_EXTENSION=ON -DTARNIX_BUILD_TESTS=OFF \
  -DPython_INCLUDE_DIR="$pyinc" -DCMAKE_CXX_FLAGS="-isystem $headers" >"$out.log" 2>&1 ||
  { cat "$out.log" >&2; exit 1; }
grep -q "^OPENSSL_SSL_LIBRARY:FILEPATH=$ossl/lib/libssl.a" "$out/CMakeCache.txt" ||
  { echo "CMake did not pick the OpenSSL in $ossl" >&2; exit 1; }
cmake --build "$out" -j"$JOBS" >>"$out.log" 2>&1 || { tail -n 40 "$out.log" >&2; exit 1; }
ls "$out"/_tarnix*.so

if [ "$arch" = aarch64 ]; then
  # Tests run in the arm64 root, whose paths differ: the unit tests' trust
  # store file goes beside them.
  for kind in unit tsan; do
    echo "== $kind tests for $arch"
    tout="$rel/tests-$kind-$arch"
    rm -rf "$tout"
    flag=(-DTARNIX_BUILD_TESTS=ON -DTARNIX_TEST_TRUST_STORE=/tarnix-tests/test-trust-store/ca.pem)
    [ "$kind" = tsan ] && flag=(-DTARNIX_TSAN=ON)
    # The test roots' own libstdc++ is newer than bullseye's: no need to link it in.
    cmake -S "$src" -B "$tout" "${common[@]}" -DTARNIX_BUILD_EXTENSION=OFF "${flag[@]}" -DCMAKE_EXE_LINKER_FLAGS= \
      >"$tout.log" 2>&1 ||
      { cat "$tout.log" >&2; exit 1; }
    target=tarnix_unit_tests
    [ "$kind" = tsan ] && target=tarnix_tsan_tests
    cmake --build "$tout" -j"$JOBS" --target "$target" >>"$tout.log" 2>&1 || { tail -n 40 "$tout.log" >&2; exit 1; }
  done
fi
