#!/usr/bin/env bash
# Cross-builds the engine, its C++ unit tests and the extension module for
# Windows x64 with mingw-w64, against OpenSSL 3 built here from Debian's
# source package, and runs the tests under Wine. Everything goes to
# build/win/; the Linux build is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/win
prefix=$out/prefix
jobs=${TARNIX_JOBS:-2}
host=x86_64-w64-mingw32
mkdir -p "$out" "$prefix"

# shellcheck source=scripts/lib.sh
source scripts/lib.sh

echo "== packages"
mapfile -t need < <(apt_missing g++-mingw-w64-x86-64 wine64 wine dpkg-dev libgtest-dev cmake ninja-build python3-dev)
apt_install --recommends "${need[@]}"

# Debian's source package for OpenSSL, of the machine's own release, through
# a private apt directory.
fetch_openssl_source() {
  local suite v
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  private_apt "$out/apt" "$suite" || return 1
  v=$(source_package openssl . "$out/openssl-src") || return 1
  echo "OpenSSL $v"
}

echo "== OpenSSL for Windows"
if [ ! -f "$prefix/lib/libssl.a" ]; then
  ls -d "$out"/openssl-src/openssl-*/ >/dev/null 2>&1 || fetch_openssl_source
  src=$(find "$out/openssl-src" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n1)
  (
    cd "$src"
    # Static libraries only, no legacy engines or modules to load at run time.
    ./Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib \
      no-shared no-module no-engine no-tests >/dev/null
    make -j"$jobs" build_libs >/dev/null
    make install_dev >/dev/null
  )
fi

# cmake 3.26 or later comes with the project's private venv.
bash scripts/setup.sh
export PATH="${TARNIX_VENV:-$root/build/venv}/bin:$PATH"
toolchain=$root/cmake/mingw-w64-x86_64.cmake

echo "== GoogleTest for Windows"
if [ ! -f "$prefix/lib/libgtest.a" ]; then
  cmake -S /usr/src/googletest -B "$out/gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$out/gtest" -j"$jobs" >/dev/null
  cmake --install "$out/gtest" >/dev/null
fi

echo "== python3.dll import library"
# CPython's public headers with a Windows configuration of ours; the import
# library lists every name the headers declare for the stable ABI.
pyinc=$out/python-include
pyhdr=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
rm -rf "$pyinc" && mkdir -p "$pyinc"
cp -r "$pyhdr"/. "$pyinc"/
rm -f "$pyinc/pyconfig.h"
cp cmake/win-python/pyconfig.h "$pyinc/"
printf '#define Py_LIMITED_API 0x030A0000\n#include <Python.h>\n' >"$out/python-abi.c"
$host-gcc -E -I"$pyinc" "$out/python-abi.c" -o "$out/python-abi.i"
python3 scripts/win-python3-def.py "$out/python-abi.i" "$out/python3.def"
$host-dlltool -d "$out/python3.def" -D python3.dll -l "$out/libpython3.a"

echo "== engine, unit tests and extension module for Windows"
cmake -S . -B "$out/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DTARNIX_WIN_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DOPENSSL_ROOT_DIR="$prefix" \
  -DOPENSSL_USE_STATIC_LIBS=ON -DGTest_DIR="$prefix/lib/cmake/GTest" \
  -DTARNIX_BUILD_TESTS=ON -DTARNIX_BUILD_EXTENSION=ON \
  -DTARNIX_PYTHON_INCLUDE_DIRS="$pyinc" -DTARNIX_PYTHON3_IMPLIB="$out/libpython3.a" >/dev/null
cmake --build "$out/build" -j"$jobs"

echo "== extension module: exports and imports"
pyd=$out/build/_tarnix.pyd
dump=$($host-objdump -p "$pyd")
exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/\[/{print $NF} t&&!/\[/{t=0}' | sort | tr '\n' ' ')
echo "exports: $exports"
[ "$exports" = "PyInit__tarnix tarnix_module_methods " ] || { echo "unexpected exports" >&2; exit 1; }
dlls=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | sort -f | tr '\n' ' ')
echo "imports from: $dlls"
grep -qi 'DLL Name: python3.dll' <<<"$dump" || { echo "python3.dll not imported" >&2; exit 1; }
if grep -qiE 'DLL Name: (python3[0-9]+|libstdc|libgcc|libwinpthread|libssl|libcrypto)' <<<"$dump"; then
  echo "the module needs a DLL that does not come with Windows or the stable ABI" >&2
  exit 1
fi

echo "== unit tests under Wine"
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi
# Bounded: a connection that never settles would otherwise hang the run.
timeout 900 wine "$out/build/tarnix_unit_tests.exe" "$@"
