#!/usr/bin/env bash
# Builds the projects that pull this tree in with add_subdirectory, as a program that embeds the engine would:
#   tests/consumer, and the template for one's own machine (examples/my_machine), built from a copy in a
#   temporary folder outside the checkout as the README's recipe does, whose program then writes a project
#   that the main job evaluates.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
werror=(-DKELVADO_WERROR="${KELVADO_WERROR:-OFF}")
cmake -S tests/consumer -B build-consumer -DCMAKE_BUILD_TYPE=RelWithDebInfo "${werror[@]}" >/dev/null
jobs=${KELVADO_JOBS:-$(nproc)}
cmake --build build-consumer -j "$jobs" --target kelvado_consumer
build-consumer/kelvado/bin/kelvado_consumer

mine=$(mktemp -d)
trap 'rm -rf "$mine"' EXIT
export KELVADO_CONFIG_DIR="$mine/config"
cp -r examples/my_machine "$mine/"
cp examples/make_example_project.cpp "$mine/my_machine/my_machine.cpp"
cmake -S "$mine/my_machine" -B "$mine/build" -DKELVADO_ROOT="$PWD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${werror[@]}" >/dev/null
cmake --build "$mine/build" -j "$jobs" --target my_machine
"$mine/build/kelvado/bin/my_machine" "$mine/my_machine/my_machine.kvd"
report=$(bash scripts/main.sh "$mine/my_machine/my_machine.kvd")
grep -m 1 '^Project ' <<<"$report"
