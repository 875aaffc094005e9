#!/usr/bin/env bash
# Builds tests/consumer, a CMake project that pulls this tree in with add_subdirectory, and runs its program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S tests/consumer -B build-consumer -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVADO_WERROR="${KELVADO_WERROR:-OFF}" >/dev/null
cmake --build build-consumer -j "$(nproc)" --target kelvado_consumer
build-consumer/kelvado/bin/kelvado_consumer
