#!/usr/bin/env bash
# What scripts/test.sh shows while it builds and tests (scripts/progress.sh), on a small project of its own:
# a few lines when everything passes, the output of a failed test in full, the compiler's message in full; and
# what scripts/main.sh and scripts/test.sh show and answer when the build or a test fails.
#   script_output.sh SCRATCH_FOLDER
set -uo pipefail
progress=$(cd "$(dirname "$0")/../../scripts" && pwd)/progress.sh
scratch=$1
rm -rf "$scratch"
mkdir -p "$scratch/src"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# Runs one of the functions as test.sh does (output not on a terminal); leaves out and status.
run() {
  status=0
  (cd "$scratch" && jobs=2 bash -c '. "$0"; "$@"' "$progress" "$@") >"$scratch/out" 2>&1 </dev/null || status=$?
  out=$(cat "$scratch/out")
}

cat >"$scratch/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(progress_check C)
enable_testing()
add_executable(check check.c)
foreach(i RANGE 1 300)
  add_test(NAME passes${i} COMMAND check)
endforeach()
if(FAIL)
  add_test(NAME fails COMMAND check fail)
endif()
EOF
cat >"$scratch/src/check.c" <<'EOF'
#include <stdio.h>
int main(int argc, char** argv) {
  (void)argv;
  if (argc < 2) return 0;
  for (int i = 1; i <= 100; ++i) printf("detail %d of the failure\n", i);
  return 1;
}
EOF
cmake -S "$scratch/src" -B "$scratch/build" >/dev/null || fail "configure"
run kv_build "Building" "$scratch/build"
[ "$status" = 0 ] || fail "the build: status $status: $out"
run kv_ctest "$scratch/build"
[ "$status" = 0 ] || fail "300 passing tests: status $status"
[ "$(wc -l <<<"$out")" -le 60 ] || fail "300 passing tests take $(wc -l <<<"$out") lines"
grep -q "100% tests passed, 0 tests failed out of 300" <<<"$out" || fail "no summary: $out"

cmake -S "$scratch/src" -B "$scratch/build" -DFAIL=ON >/dev/null
run kv_ctest "$scratch/build"
[ "$status" != 0 ] || fail "a failed test gave status 0"
grep -q "detail 1 of the failure" <<<"$out" && grep -q "detail 100 of the failure" <<<"$out" ||
  fail "the failed test's output is not shown in full: $out"
grep -q "fails (Failed)" <<<"$out" || fail "the failed test is not listed: $out"
! grep -q "passes17 " <<<"$out" || fail "passed tests are listed: $out"

printf 'int main(void) { return undeclared_name; }\n' >"$scratch/src/check.c"
run kv_build "Building" "$scratch/build"
[ "$status" != 0 ] || fail "a failed build gave status 0"
grep -q "check.c.*undeclared_name" <<<"$out" || fail "the compiler's message is not shown: $out"

# The two commands themselves, copied into a small tree of their own (the package check left out): a build that
# fails shows the compiler's message and ends with status 1, and so does a failed test.
tree=$scratch/tree
mkdir -p "$tree/scripts"
cp "$(dirname "$progress")"/{main.sh,test.sh,progress.sh} "$tree/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$tree/scripts/deps.sh"
cat >"$tree/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(commands_check C)
enable_testing()
add_executable(kelvado_example main.c)
add_test(NAME the_program_runs COMMAND kelvado_example)
EOF
run_command() {  # main|test
  status=0
  env -u KELVADO_SANITIZE -u KELVADO_TSAN KELVADO_JOBS=2 bash "$tree/scripts/$1.sh" >"$scratch/out" 2>&1 </dev/null ||
    status=$?
  out=$(cat "$scratch/out")
}
printf 'int main(void) { return undeclared_name; }\n' >"$tree/main.c"
for c in main test; do
  run_command "$c"
  [ "$status" = 1 ] || fail "scripts/$c.sh with a build that fails: status $status: $out"
  grep -q "main.c.*undeclared_name" <<<"$out" || fail "scripts/$c.sh does not show the compiler's message: $out"
done
printf '#include <stdio.h>\nint main(void) { puts("what the failed test said"); return 3; }\n' >"$tree/main.c"
run_command test
[ "$status" = 1 ] || fail "scripts/test.sh with a failed test: status $status: $out"
grep -q "what the failed test said" <<<"$out" && grep -q "the_program_runs (Failed)" <<<"$out" ||
  fail "scripts/test.sh does not show the failed test: $out"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "script output: all checks passed"
