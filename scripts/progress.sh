# Sourced by scripts/main.sh and scripts/test.sh: a build and a test run that show their progress on one line
# (updated in place on a terminal, elsewhere a line when they start) and, when something fails, what failed in
# full: the compiler's and linker's messages, the output of every failed test.

# Every line of the build's output goes to the log; its "[ 42%]" lines move the progress.
kv_build_progress() {  # LABEL LOG
  local line pct=0
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$2"
    if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
      pct=${BASH_REMATCH[1]}
      [ -t 1 ] && printf '\r%s: %3d%%' "$1" "$pct"
    fi
  done
  [ -t 1 ] && printf '\r\033[K'
  return 0
}

# Builds TARGETs (all when none) in build folder DIR with $jobs jobs; on failure shows the messages and fails.
kv_build() {  # LABEL DIR [TARGET...]
  local label=$1 dir=$2
  shift 2
  local targets=() t log
  for t in "$@"; do targets+=(--target "$t"); done
  log=$(mktemp)
  [ -t 1 ] || echo "$label ..."
  # The status is passed in a file: it counts whether or not the caller runs with pipefail. Taken with "||",
  # so that a caller's errexit cannot end this side at the failed build before the status is written.
  { local rc=0; cmake --build "$dir" -j "$jobs" "${targets[@]}" 2>&1 || rc=$?; echo "$rc" >"$log.status"; } |
    kv_build_progress "$label" "$log"
  if [ "$(cat "$log.status")" != 0 ]; then
    echo "The build failed:" >&2
    # Everything but the progress lines: the compiler's and linker's messages in full.
    grep -v -E '^\[ *[0-9]+%\] (Building|Linking|Built target|Generating)|^(Consolidate|Scanning dependencies)' \
      "$log" >&2 || cat "$log" >&2
    rm -f "$log" "$log.status"
    return 1
  fi
  rm -f "$log" "$log.status"
}

# Runs the tests of build folder DIR with ctest. Passed: the summary. Failed: ctest's output without the lines
# of passed tests, which leaves the output of each failed test, the list of them and the summary.
kv_ctest() {  # DIR
  local dir=$1 log line done=0 total=0
  log=$(mktemp)
  [ -t 1 ] || echo "Running the tests ..."
  { local rc=0; ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 2>&1 || rc=$?
    echo "$rc" >"$log.status"; } | {
    while IFS= read -r line; do
      printf '%s\n' "$line" >>"$log"
      if [[ $line =~ ^\ *([0-9]+)/([0-9]+)\ Test ]]; then
        done=$((done + 1))
        total=${BASH_REMATCH[2]}
        [ -t 1 ] && printf '\rRunning the tests: %d/%d' "$done" "$total"
      fi
    done
    [ -t 1 ] && printf '\r\033[K'
    true
  }
  local status
  status=$(cat "$log.status")
  rm -f "$log.status"
  local passed='^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$'
  if [ "$status" != 0 ] || ! grep -q '^100% tests passed' "$log"; then
    grep -v -E "$passed|^Test project |^Internal ctest changing into directory|^ *Start +[0-9]+: " "$log"
    rm -f "$log"
    return 1
  fi
  # The summary; a long list of tests that did not run (skipped) is cut.
  sed -n '/tests passed, /,$p' "$log" | awk 'NF == 0 && blank { next } { blank = (NF == 0); print }' |
    awk '/did not run:/ { list = 1; print; next } list && /^\t/ { if (++n <= 10) print; next }
         { print } END { if (n > 10) printf "\t... and %d more\n", n - 10 }'
  rm -f "$log"
}
