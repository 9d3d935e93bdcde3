#!/usr/bin/env bash
# Installs a wheel into a new virtual environment of the given interpreter and
# runs the Python suite against it (used by scripts/test-interpreters.sh and
# scripts/release-test.sh, on this machine and inside Debian roots).
#
#   suite-in-venv.sh PYTHON WORKDIR WHEEL [pytest argument...]
#
# WORKDIR holds a copy of tests/; the venv goes beside it. PYTHONDEVMODE=1 in
# the environment runs everything (the tests' child interpreters too) in
# development mode.
set -euo pipefail
py=$1 work=$2 wheel=$3
shift 3
# Its callers copy lib.sh beside it into the Debian roots.
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
venv_fresh "$work/venv" "$py"
vpy="$work/venv/bin/python"
# Binary only for the engine: nothing may be compiled on the way in.
venv_pip "$work/venv" --only-binary :all: "$wheel"
venv_pip "$work/venv" pytest "cryptography>=41"
# Optional: their tests skip without them, and a new interpreter may have no
# binary of them yet.
for extra in mypy "brotli>=1.2" zstandard uvloop; do
  venv_pip "$work/venv" --only-binary :all: "$extra" >/dev/null 2>&1 ||
    echo "($("$vpy" -c 'import sys; print(sys.version.split()[0])'): no binary of $extra, its tests skip)"
done
# The whole suite unless told which tests.
[ $# -gt 0 ] || set -- py
cd "$work/tests"
"$vpy" -c 'import sys, tarnix._tarnix as m; print("engine:", m.__file__, "on", sys.version.split()[0])'
# The wheel carries no test trust store: the tests that need one skip.
env -u TARNIX_TEST_TRUST_STORE "$vpy" -m pytest -q -p no:cacheprovider "$@"
