#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, under ASan + UBSan) and runs each for
# the given number of seconds (default 60), starting from the seed corpus in
# tests/fuzz/corpus/NAME. New inputs go to build/fuzz/corpus/NAME, so the
# committed seeds stay small; a crashing input is written to
# build/fuzz/artifacts/ and the script fails.
#
#   bash scripts/fuzz.sh [seconds-per-target] [target...]
#   targets: framing decode host ca_bundle (default: all)
# TARNIX_FUZZ_FLAGS adds libFuzzer flags to every run (e.g. -jobs=2).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(framing decode host ca_bundle)

bash scripts/setup-fuzz.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNIX_BUILD_EXTENSION=OFF -DTARNIX_FUZZ=ON >/dev/null
cmake --build build/fuzz -j2 >/dev/null

mkdir -p build/fuzz/artifacts
status=0
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t
  mkdir -p "$work"
  dict=()
  case $t in framing|decode) dict=(-dict=tests/fuzz/http.dict) ;; esac
  echo "-- fuzz_$t: ${seconds}s"
  # -rss_limit_mb: a response that announces gigabytes must not be allowed to take them.
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build/fuzz/fuzz_$t" "$work" "tests/fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/"$t"- \
      "${dict[@]}" ${TARNIX_FUZZ_FLAGS:-} >"build/fuzz/$t.log" 2>&1; then
    echo "fuzz_$t FAILED; the log is build/fuzz/$t.log:"
    tail -n 60 "build/fuzz/$t.log"
    status=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "build/fuzz/$t.log" | tr '\n' ' '
    echo
  fi
done
exit $status
