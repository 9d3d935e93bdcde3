#!/usr/bin/env bash
# The main job: builds and installs tarnix into a virtual environment of its
# own (default build/demo-venv; TARNIX_VENV overrides) and runs `tarnix --demo`
# from it. The user's own Python is left alone. Extra arguments go to tarnix.
set -euo pipefail
cd "$(dirname "$0")/.."
export TARNIX_VENV=${TARNIX_VENV:-$PWD/build/demo-venv}
bash scripts/setup.sh build
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
# Its own build directory: the test wheel (with its test trust store) is built
# elsewhere, so neither build can leak into the other.
venv_pip "$TARNIX_VENV" --no-build-isolation --config-settings=build-dir=build/demo-wheel .
"$TARNIX_VENV/bin/tarnix" --demo "$@"
