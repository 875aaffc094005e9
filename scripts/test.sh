#!/usr/bin/env bash
# Builds everything and runs every test. With KELVADO_SANITIZE=1 it builds into build-asan with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
if [ "${KELVADO_SANITIZE:-0}" = 1 ]; then
  dir=build-asan; opts=(-DKELVADO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  dir=build; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
