#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-19, ASan + UBSan), writes their seed corpora, replays the
# saved crash reproducers of fuzz/regressions/<target>/, then fuzzes every target for a fixed
# number of executions with a time cap per target. Fails when any target fails.
#
#   KORVEX_FUZZ_RUNS     executions per target (default 20000)
#   KORVEX_FUZZ_SECONDS  time cap per target in seconds (default 60)
#   KORVEX_FUZZ_JOBS     targets fuzzed at the same time (default 4)
#   KORVEX_FUZZ_TARGETS  space-separated subset of the targets (default: all)
#
# The growing corpus of each target stays in build-fuzz/corpus/<target>, so later runs start
# where earlier ones stopped; crash inputs land in build-fuzz/artifacts/<target>/ and the logs
# in build-fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${KORVEX_FUZZ_RUNS:-20000}
seconds=${KORVEX_FUZZ_SECONDS:-60}
jobs=${KORVEX_FUZZ_JOBS:-4}

KORVEX_FUZZ_TOOLS=1 ./scripts/setup.sh
build=build-fuzz
CXX=clang++-19 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEX_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null

if [ -n "${KORVEX_FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$KORVEX_FUZZ_TARGETS"
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
cmake --build "$build" --target make_seeds "${targets[@]}"

symbolizer=$(command -v llvm-symbolizer-19 || command -v llvm-symbolizer || true)
export ASAN_SYMBOLIZER_PATH=${symbolizer}
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

rm -rf "$build/seeds"
"$build/fuzz/make_seeds" "$build/seeds"
mkdir -p "$build/logs"

# Every saved reproducer must now run cleanly.
for t in "${targets[@]}"; do
  dir=fuzz/regressions/$t
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ]; then
    if ! "$build/fuzz/$t" -runs=1 "$dir"/* >"$build/logs/$t.regressions.log" 2>&1; then
      echo "fuzz: $t fails on a saved reproducer; see $build/logs/$t.regressions.log" >&2
      tail -n 40 "$build/logs/$t.regressions.log" >&2
      exit 1
    fi
  fi
done

# Flags of one target. The connection target's server frees on its own threads after each
# input has returned, which libFuzzer's per-input leak check would take for a possible leak
# and answer with a full (slow) scan every time; leaks still show in the scan at exit.
target_flags() {
  case $1 in
    fuzz_http_head) echo "-detect_leaks=0" ;;
    *) echo "" ;;
  esac
}

fuzz_one() {
  local t=$1
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  local start=$SECONDS rc=0
  # shellcheck disable=SC2046
  "$build/fuzz/$t" $(target_flags "$t") -runs="$runs" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
    "$build/corpus/$t" "$build/seeds/$t" >"$build/logs/$t.log" 2>&1 || rc=$?
  local done_runs
  done_runs=$(grep -o '^Done [0-9]* runs' "$build/logs/$t.log" | tail -n 1 | awk '{print $2}')
  if [ "$rc" = 0 ]; then
    echo "fuzz: $t ok, ${done_runs:-?} executions in $((SECONDS - start)) s"
  else
    echo "fuzz: $t FAILED (status $rc) after $((SECONDS - start)) s; input in $build/artifacts/$t/" >&2
    grep -m 1 -A 30 -E 'ERROR:|runtime error|deadly signal|out-of-memory|timeout' "$build/logs/$t.log" >&2 || true
  fi
  return "$rc"
}

failed=0
pids=()
for t in "${targets[@]}"; do
  fuzz_one "$t" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit "$failed"
