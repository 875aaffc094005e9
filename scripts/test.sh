#!/usr/bin/env bash
# Builds everything and runs every test.
#   KELVADO_SANITIZE=1  builds into build-asan with AddressSanitizer and UndefinedBehaviorSanitizer.
#   KELVADO_TSAN=1      builds the framework's tests into build-tsan with ThreadSanitizer and runs the ones
#                       that use threads (pools, threads, store visitors).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
if [ "${KELVADO_TSAN:-0}" = 1 ]; then
  cmake -S . -B build-tsan -DKELVADO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-tsan -j "$jobs" --target test_framework
  TSAN_OPTIONS="halt_on_error=1" build-tsan/bin/test_framework \
    --gtest_filter='TtiPool*:TDBConnectionPools*:TPooledDB*:tiThread*:tiSleepThread*:tiActiveThread*:tiLog*:Memory*:VisitorDB*:tiOID*'
  exit 0
fi
if [ "${KELVADO_SANITIZE:-0}" = 1 ]; then
  dir=build-asan; opts=(-DKELVADO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  dir=build; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
