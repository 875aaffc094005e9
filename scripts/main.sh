#!/usr/bin/env bash
# Builds what the main job needs and runs it: opens a project file (the arguments name one; by default the
# example project examples/example_press.kvd, copied beside the program), evaluates it on the shipped general
# database and prints the tree (build/bin/kelvado_example --help says more). The build shows its progress on
# one line; when it fails, the compiler's messages are shown in full.
set -euo pipefail
# A file named on the command line is taken from the folder the command was run in, as with any program.
here=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Progress from the build's "[ 42%]" lines: updated in place on a terminal, else one line when done.
progress() {
  local line pct=0
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
      pct=${BASH_REMATCH[1]}
      [ -t 1 ] && printf '\rBuilding the main job: %3d%%' "$pct"
    fi
  done
  [ -t 1 ] && printf '\r\033[K'
  return 0
}
[ -t 1 ] || echo "Building the main job ..."
if ! cmake --build build -j "$(nproc)" --target kelvado_example 2>&1 | progress; then
  echo "The build failed:" >&2
  # Everything but the progress lines: the compiler's and linker's messages in full.
  grep -v -E '^\[ *[0-9]+%\] (Building|Linking|Built target|Generating)|^(Consolidate|Scanning dependencies)' \
    "$log" >&2 || cat "$log" >&2
  exit 1
fi
rm -f "$log"  # exec leaves no shell to run the trap
cd "$here"
exec "$root/build/bin/kelvado_example" "$@"
