#!/usr/bin/env bash
# Checks the engine's layering (scripts/check-layers.sh), then sets up,
# builds and runs every test suite: C++ unit tests (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer), the concurrency tests under
# ThreadSanitizer, a short run of each fuzzer, then the Python tests
# against the wheel installed into a private virtual environment under
# build/ (the user's own Python is left alone), a short soak, and what users
# install (scripts/test-wheel.sh). Fails when any suite fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export TARNIX_VENV=${TARNIX_VENV:-$root/build/venv}
PY="$TARNIX_VENV/bin/python"

echo "== Layering of src/"
bash scripts/check-layers.sh

bash scripts/setup.sh
export PATH="$TARNIX_VENV/bin:$PATH"

echo "== C++ unit tests"
cmake -S . -B build/unit -G Ninja -DTARNIX_BUILD_EXTENSION=OFF -DTARNIX_BUILD_TESTS=ON >/dev/null
cmake --build build/unit
ctest --test-dir build/unit --output-on-failure -j2

echo "== C++ unit tests under ASan + UBSan"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNIX_BUILD_EXTENSION=OFF \
  -DTARNIX_BUILD_TESTS=ON -DTARNIX_SANITIZE=ON >/dev/null
cmake --build build/sanitize
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j2

echo "== C++ concurrency tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNIX_BUILD_EXTENSION=OFF -DTARNIX_TSAN=ON >/dev/null
cmake --build build/tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/tarnix_tsan_tests --gtest_brief=1

echo "== Fuzzers (${TARNIX_FUZZ_SECONDS:-20} s each)"
bash scripts/fuzz.sh "${TARNIX_FUZZ_SECONDS:-20}"

echo "== Python wheel"
# Test trust store: this wheel looks for the system trust store at a path the
# tests write first, before the system's own locations; the tests learn the
# path from TARNIX_TEST_TRUST_STORE. Such a wheel is for testing only, so it
# goes to build/test-wheel, not dist/.
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
test_trust_store
wheels=build/test-wheel
rm -rf "$wheels"
# A build directory of its own: a plain `pip install .` builds in a temporary
# one, so neither build can pick up the other's configuration.
"$PY" -m pip wheel -q --no-deps --disable-pip-version-check --no-build-isolation -w "$wheels" \
  --config-settings=build-dir=build/test-wheel-build --config-settings=cmake.define.TARNIX_TEST_TRUST_STORE="$test_store" .
"$PY" -m pip install -q --force-reinstall --no-deps --disable-pip-version-check "$wheels"/tarnix-*.whl

# One abi3 binary must load in every CPython the machine has.
others=()
for cand in /usr/bin/python3 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[0-9]*/bin/python3; do
  [ -x "$cand" ] && others+=("$cand")
done
for other in "${others[@]}"; do
  site=$(mktemp -d)
  "$other" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$wheels"/tarnix-*.whl "$site"
  (cd "$site" && PYTHONPATH="$site" "$other" -c 'import sys, tarnix._tarnix as m; assert m.__doc__; print("loads in", sys.version.split()[0])')
  rm -rf "$site"
done

echo "== Python tests"
# Run from tests/ so that the installed package, not the source tree, is imported.
cd "$root/tests"
"$PY" -m pytest -q -p no:cacheprovider py "$@"

echo "== Soak (short): memory, descriptors and threads back to their baseline"
cd "$root"
"$PY" bench/soak.py --requests "${TARNIX_SOAK_REQUESTS:-2000}"

echo "== What users install: the portable wheel and the source distribution"
cd "$root"
bash scripts/test-wheel.sh

echo "== Reference docs, built strictly: a broken link or anchor fails"
cd "$root"
bash scripts/docs.sh
