#!/usr/bin/env bash
# Builds the server and its tests with ThreadSanitizer (GCC) and runs the server tests: the
# connections, the generation jobs on the blocking pool, the channels and the shared model,
# both in-process and through the real program serving many streams at once.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build=build-tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_TSAN=ON >/dev/null
cmake --build "$build" --target server_tests korvex
# halt_on_error: the first report fails the run; the suppressions name library internals only.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
"$build/tests/server_tests"
