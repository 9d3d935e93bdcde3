#!/usr/bin/env bash
# Checks what users install: builds the portable wheel and the source
# distribution (scripts/wheel.sh), installs each into a clean virtual
# environment in a fresh directory outside the source tree, and runs
# `tarnix --demo` there; against the wheel also the TLS and command-line
# tests. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/wheel.sh >/dev/null
wheel=$(ls "$root"/dist/tarnix-*manylinux*.whl)
sdist=$(ls "$root"/dist/tarnix-*.tar.gz)
PY=${PYTHON:-python3}
# shellcheck source=scripts/lib.sh
source scripts/lib.sh

fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
cp -r "$root/tests" "$fresh/tests"
cd "$fresh"

echo "== wheel: $(basename "$wheel")"
venv_fresh wheel-venv "$PY"
# Binary only: nothing may be compiled on the way in.
venv_pip wheel-venv --only-binary :all: "$wheel"
# The engine runs on the OpenSSL inside the wheel, beside the one Python's ssl
# module loads.
wheel-venv/bin/python - <<'PY'
import ssl, tarnix._tarnix
maps = open("/proc/self/maps").read()
ours = {line.split()[-1] for line in maps.splitlines() if "/tarnix.libs/libssl" in line}
assert ours, "the engine does not use the bundled libssl"
print("engine OpenSSL:", *sorted(ours))
PY
wheel-venv/bin/tarnix --demo -n 200 -c 8 >demo.out
grep -q "completed 200 requests" demo.out || { cat demo.out; exit 1; }
echo "demo: passed"
venv_pip wheel-venv pytest "cryptography>=41"
# This wheel has no test trust store: the tests that need one skip.
(cd tests && env -u TARNIX_TEST_TRUST_STORE ../wheel-venv/bin/python -m pytest -q -p no:cacheprovider \
  py/live/test_tls.py py/live/test_cli.py py/unit/test_cli_parsing.py "$@")

echo "== source distribution: $(basename "$sdist")"
venv_fresh sdist-venv "$PY"
venv_pip sdist-venv "$sdist"
sdist-venv/bin/tarnix --demo -n 50 -c 4 >demo.out
grep -q "completed 50 requests" demo.out || { cat demo.out; exit 1; }
echo "demo: passed"
