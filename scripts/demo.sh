#!/usr/bin/env bash
# The main job: builds and installs tarnix into a virtual environment of its
# own (default build/demo-venv; TARNIX_VENV overrides) and runs `tarnix --demo`
# from it. The user's own Python is left alone. Extra arguments go to tarnix.
set -euo pipefail
cd "$(dirname "$0")/.."
export TARNIX_VENV=${TARNIX_VENV:-$PWD/build/demo-venv}
bash scripts/setup.sh build
# Its own build directory: the test wheel (with its test trust store) is built
# elsewhere, so neither build can leak into the other.
"$TARNIX_VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  --config-settings=build-dir=build/demo-wheel .
"$TARNIX_VENV/bin/tarnix" --demo "$@"
