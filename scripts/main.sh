#!/usr/bin/env bash
# Builds everything and runs the program's main job: opens a project file (the arguments name one; by default
# the example project examples/example_press.kvd, copied beside the program), evaluates it on the shipped general
# database and prints the tree. A file that cannot be opened is reported, and the exit status is 1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
if [ -x build/bin/kelvado_example ]; then
  exec build/bin/kelvado_example "$@"
fi
echo "Built everything; the main job (evaluating a project) does not exist yet."
