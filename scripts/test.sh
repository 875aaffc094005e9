#!/usr/bin/env bash
# Builds everything and runs every test. Shows the progress on one line, and in full what fails: the
# compiler's messages, the output of each failed test. Exit status 0 when everything passed.
#   KELVADO_SANITIZE=1  builds into build-asan with AddressSanitizer and UndefinedBehaviorSanitizer.
#   KELVADO_TSAN=1      builds the framework's and the general database's tests into build-tsan with
#                       ThreadSanitizer and runs the ones that use threads (pools, threads, store visitors, the
#                       general-database object).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
. scripts/progress.sh
jobs=${KELVADO_JOBS:-$(nproc)}
start=$SECONDS
# KELVADO_WERROR=ON (CI) turns every warning into an error.
werror=(-DKELVADO_WERROR="${KELVADO_WERROR:-OFF}")
if [ "${KELVADO_TSAN:-0}" = 1 ]; then
  cmake -S . -B build-tsan -DKELVADO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug "${werror[@]}" >/dev/null
  kv_build "Building the threaded tests (ThreadSanitizer)" build-tsan test_framework test_storage_db
  # Only failures are shown in full, then each program's summary.
  TSAN_OPTIONS="halt_on_error=1" build-tsan/bin/test_framework --gtest_brief=1 \
    --gtest_filter='TtiPool*:TDBConnectionPools*:TPooledDB*:tiThread*:tiSleepThread*:tiActiveThread*:tiLog*:Memory*:VisitorDB*:tiOID*'
  # The general-database object shared by two threads. The Firebird engine holds more locks at once than the
  # sanitizer's deadlock detector can track; data races are still reported.
  TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=0" build-tsan/bin/test_storage_db --gtest_brief=1 \
    --gtest_filter='PersistenceDBTest.*Threads*'
  echo "Threaded tests under ThreadSanitizer passed ($((SECONDS - start)) s)."
  exit 0
fi
if [ "${KELVADO_SANITIZE:-0}" = 1 ]; then
  dir=build-asan; opts=(-DKELVADO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug); what=" (AddressSanitizer, UBSan)"
else
  dir=build; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo); what=
fi
cmake -S . -B "$dir" "${opts[@]}" "${werror[@]}" >/dev/null
kv_build "Building everything in $dir$what" "$dir"
kv_ctest "$dir"
echo "All tests in $dir passed ($((SECONDS - start)) s)."
