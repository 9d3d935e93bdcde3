#!/usr/bin/env bash
# Installs what building and testing need: Debian packages, then Python ones.
set -euo pipefail

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

PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest "cryptography>=41"
