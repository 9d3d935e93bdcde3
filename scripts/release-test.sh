#!/usr/bin/env bash
# Tests what scripts/release.sh put into dist/, each file in a clean Debian
# root (made on first use under build/roots/):
#   - the x86-64 wheel: the Python suite on every interpreter
#     (scripts/test-interpreters.sh);
#   - the aarch64 wheel, in an arm64 Debian 13 root run by qemu: the C++ unit
#     tests and the ThreadSanitizer tests built beside it, then the Python
#     suite against the installed wheel;
#   - the sdist, built from source by pip in the Debian unstable root, then
#     `tarnix --demo`.
#   release-test.sh [x86_64] [aarch64] [sdist] [-- pytest argument...]
#
# Without names, all three. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
rel="$repo/build/release"
# shellcheck source=scripts/debian-root.sh
source scripts/debian-root.sh
parts=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  parts+=("$1")
  shift
done
[ "${1:-}" = -- ] && shift
[ ${#parts[@]} -gt 0 ] || parts=(x86_64 aarch64 sdist)
wanted() { [[ " ${parts[*]} " == *" $1 "* ]]; }
args=""
[ $# -eq 0 ] || args=$(printf ' %q' "$@")
status=0
x86=$(ls dist/tarnix-*manylinux*_x86_64.whl)
arm=$(ls dist/tarnix-*manylinux*_aarch64.whl)
sdist=$(ls dist/tarnix-*.tar.gz)

if wanted x86_64; then
  echo "=== x86-64 wheel: $(basename "$x86")"
  bash scripts/test-interpreters.sh "$x86" "$@" || status=1
fi

if wanted aarch64; then
  echo "=== aarch64 wheel: $(basename "$arm")"
  arm_root=$(make_root trixie-arm64 trixie arm64 python3-venv nginx openssl tmux ca-certificates)
  trap 'root_umount "$arm_root"' EXIT
  stage="$arm_root/tarnix-tests"
  rm -rf "$stage"
  mkdir -p "$stage/test-trust-store" "$stage/lib" "$stage/suite"
  cp "$rel/tests-unit-aarch64/tarnix_unit_tests" "$rel/tests-tsan-aarch64/tarnix_tsan_tests" "$stage/"
  # The ThreadSanitizer runtime of the compiler that built the tests.
  cp -L "$repo/build/roots/bullseye-build/usr/aarch64-linux-gnu/lib/libtsan.so.0" "$stage/lib/"
  cp "$arm" scripts/suite-in-venv.sh scripts/lib.sh "$stage/"
  cp -r tests "$stage/suite/tests"
  cp -r README.md docs "$stage/suite/"
  if in_root "$arm_root" "cd /tarnix-tests && ./tarnix_unit_tests --gtest_brief=1" >"$rel/unit-aarch64.log" 2>&1; then
    echo "aarch64 unit tests ($(in_root "$arm_root" "uname -m")): $(grep -E 'PASSED' "$rel/unit-aarch64.log" | tail -n1)"
  else
    tail -n 40 "$rel/unit-aarch64.log"
    echo "aarch64 unit tests: FAILED"
    status=1
  fi
  # TSan maps its shadow memory at fixed addresses; under emulation it may not
  # get them, which is reported rather than taken for a failure of the engine.
  # Under qemu a thread's fault on the stack guard page reaches TSan's report
  # but never ends the process, so the death test is left to the plain run.
  if in_root "$arm_root" "cd /tarnix-tests && LD_LIBRARY_PATH=/tarnix-tests/lib ./tarnix_tsan_tests --gtest_brief=1 \
    --gtest_filter=-ThreadStacksDeathTest.*" \
    >"$rel/tsan-aarch64.log" 2>&1; then
    echo "aarch64 ThreadSanitizer tests: $(grep -E 'PASSED|FAILED' "$rel/tsan-aarch64.log" | tail -n1)"
  elif grep -q -E 'unexpected memory mapping|unsupported VMA|failed to allocate|FATAL: ThreadSanitizer' "$rel/tsan-aarch64.log"; then
    echo "aarch64 ThreadSanitizer tests: TSan does not run under this emulator:"
    grep -m1 -E 'ThreadSanitizer' "$rel/tsan-aarch64.log"
  else
    tail -n 40 "$rel/tsan-aarch64.log"
    echo "aarch64 ThreadSanitizer tests: FAILED"
    status=1
  fi
  # Tells the fork test that qemu-user itself can hang its children (see tests/py/test_fork.py).
  in_root "$arm_root" "TARNIX_TEST_QEMU_USER=1 bash /tarnix-tests/suite-in-venv.sh python3 /tarnix-tests/suite /tarnix-tests/$(basename "$arm")$args" \
    >"$rel/suite-aarch64.log" 2>&1 || { tail -n 30 "$rel/suite-aarch64.log"; status=1; }
  echo "aarch64 Python suite: $(grep -E '(passed|failed)' "$rel/suite-aarch64.log" | tail -n1)"
  root_umount "$arm_root"
  trap - EXIT
fi

if wanted sdist; then
  echo "=== sdist: $(basename "$sdist")"
  sid="$repo/build/roots/sid-test"
  rm -rf "$sid/tarnix-sdist"
  mkdir -p "$sid/tarnix-sdist"
  cp "$sdist" "$sid/tarnix-sdist/"
  if in_root "$sid" "cd /tarnix-sdist && python3 -m venv venv && venv/bin/python -m pip install -q --disable-pip-version-check $(basename "$sdist") &&
    venv/bin/tarnix --demo -n 50 -c 4 | grep 'completed 50 requests'"; then
    echo "sdist: built from source and passed the demo"
  else
    echo "sdist: FAILED"
    status=1
  fi
  root_umount "$sid"
fi
exit $status
