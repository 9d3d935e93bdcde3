#!/usr/bin/env bash
# Installs what the fuzzers and the ThreadSanitizer build need from Debian:
# clang and its runtime libraries (libFuzzer and the sanitizers).
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
command -v clang++ >/dev/null 2>&1 || apt_install --recommends clang
command -v ninja >/dev/null 2>&1 || apt_install --recommends ninja-build
# libFuzzer's runtime comes in the clang-rt package of clang's own version.
if [ "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" = libclang_rt.fuzzer-x86_64.a ]; then
  ver=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
  apt_install --recommends "libclang-rt-$ver-dev"
fi
