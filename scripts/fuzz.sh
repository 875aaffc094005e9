#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (installing clang only when it is missing) and runs them for a
# fixed time in all, shared equally:  bash scripts/fuzz.sh [seconds, default 60]
# A crash fails the run: its input is printed (base64) and kept in build/fuzz/artifacts/; add it to the
# target's corpus under tests/ so that every build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=2
each=$(( seconds / targets > 0 ? seconds / targets : 1 ))
bash scripts/deps.sh

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
can_fuzz() {
  command -v clang++ >/dev/null 2>&1 || return 1
  printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' \
    > "$probe_dir/probe.cpp"
  clang++ -fsanitize=fuzzer,address "$probe_dir/probe.cpp" -o "$probe_dir/probe" >/dev/null 2>&1
}
if ! can_fuzz; then
  echo "Installing clang with its libFuzzer runtime"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y --no-install-recommends clang >/dev/null
  major=$(clang++ -dumpversion | cut -d. -f1)
  apt-get install -y --no-install-recommends "libclang-rt-${major}-dev" >/dev/null
  can_fuzz
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kelvado_fuzz

run() {  # target, corpus
  local target=$1 corpus=$2 work=build/fuzz/work/$1 artifacts=build/fuzz/artifacts/$1/
  mkdir -p "$work" "$artifacts"
  echo "Fuzzing $target for ${each}s (seeds: $corpus)"
  if ! "build/fuzz/bin/$target" -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "$corpus" > "build/fuzz/$target.log" 2>&1; then
    tail -n 60 "build/fuzz/$target.log"
    for f in "$artifacts"*; do
      echo "Input that failed: $f (base64):"
      base64 "$f"
    done
    return 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "build/fuzz/$target.log"
}
run fuzz_xml_store tests/framework/fuzz/xml_corpus
run fuzz_xml_light tests/framework/fuzz/xml_light_corpus
