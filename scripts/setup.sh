#!/usr/bin/env bash
# Installs what building and testing need: Debian packages system-wide, and
# Python packages only into a private virtual environment (default
# build/venv; TARNIX_VENV overrides). The user's own Python is never touched.
# Prints nothing on success; the venv's interpreter is "$TARNIX_VENV/bin/python".
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
dpkg -s libssl-dev >/dev/null 2>&1 || need_apt+=(libssl-dev)
dpkg -s openssl >/dev/null 2>&1 || need_apt+=(openssl)
dpkg -s g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
if [ ${#need_apt[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

# clang and its runtimes, for the fuzzers and the ThreadSanitizer build.
bash scripts/setup-fuzz.sh

PY=${PYTHON:-python3}
venv=${TARNIX_VENV:-build/venv}
if [ ! -x "$venv/bin/python" ]; then
  "$PY" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest "cryptography>=41"
"$venv/bin/python" -m pip install -q --disable-pip-version-check mypy idna "brotli>=1.2" zstandard
