#!/usr/bin/env bash
# Installs what building and testing need: Debian packages system-wide (as
# root, or through sudo), and Python packages only into a private virtual
# environment (default build/venv; TARNIX_VENV overrides). The user's own
# Python is never touched, so this works with a system Python that refuses
# pip outside a virtual environment.
#
#   setup.sh          everything the tests need
#   setup.sh build    only what building and installing the package needs
#
# Prints nothing on success; the venv's interpreter is "$TARNIX_VENV/bin/python".
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-test}
case "$mode" in build | test) ;; *) echo "usage: $0 [build|test]" >&2; exit 2 ;; esac
# shellcheck source=scripts/lib.sh
source scripts/lib.sh

PY=${PYTHON:-python3}
need_apt=()
want() { dpkg -s "$1" >/dev/null 2>&1 || need_apt+=("$1"); }

# Building: a C++ compiler, OpenSSL's headers, Python's headers and venv.
want g++
want libssl-dev
if ! command -v "$PY" >/dev/null 2>&1; then
  need_apt+=(python3 python3-venv python3-dev)
else
  # Debian ships ensurepip (which venv needs) and Python.h in separate packages.
  "$PY" -c 'import ensurepip' >/dev/null 2>&1 || need_apt+=(python3-venv)
  "$PY" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
    need_apt+=(python3-dev)
fi
if [ "$mode" = test ]; then
  want libgtest-dev
  want openssl
  want tmux
  # A real TLS server, which the tests start themselves.
  want nginx
  # A real forward proxy (plain requests and CONNECT tunnels), likewise
  # started by the tests.
  want tinyproxy
  command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
fi
apt_install "${need_apt[@]}"
# clang and its runtimes, for the fuzzers and the ThreadSanitizer build; root
# (or sudo) only when something is missing.
fuzz_ready() {
  command -v clang++ >/dev/null 2>&1 && command -v ninja >/dev/null 2>&1 &&
    [ "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" != libclang_rt.fuzzer-x86_64.a ]
}
if [ "$mode" = test ] && ! fuzz_ready; then
  as_root bash scripts/setup-fuzz.sh
fi

venv=${TARNIX_VENV:-build/venv}
venv_make "$venv" "$PY"
pip_packages=("scikit-build-core>=0.10" "cmake>=3.26" ninja)
if [ "$mode" = test ]; then
  pip_packages+=(pytest "cryptography>=41" mypy idna publicsuffixlist "brotli>=1.2" zstandard uvloop)
fi
venv_pip "$venv" "${pip_packages[@]}"
