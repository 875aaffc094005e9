#!/usr/bin/env bash
# Builds what the main job needs and runs it: opens a project file (the arguments name one; by default the
# example project examples/example_press.kvd, copied beside the program), evaluates it on the shipped general
# database and prints the tree (build/bin/kelvado_example --help says more). The build shows its progress on
# one line; when it fails, the compiler's messages are shown in full and the status is 1.
set -euo pipefail
# A file named on the command line is taken from the folder the command was run in, as with any program.
here=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
. scripts/progress.sh
jobs=${KELVADO_JOBS:-$(nproc)}
kv_build "Building the main job" build kelvado_example
cd "$here"
exec "$root/build/bin/kelvado_example" "$@"
