#!/usr/bin/env bash
# Writes the synthetic benchmark models that are not there yet: the 0.5B shape in every
# element type, the 1.5B shape in Q8_0 and the Q4_K_M mix. About 10.5 GB in all.
#
#   bench/make_models.sh [BUILD_DIR]   (default: build; models go to $KORVEX_BENCH_MODELS,
#                                       default /work/models-bench)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
make_model="${1:-$root/build}/bench/make_model"
out="${KORVEX_BENCH_MODELS:-/work/models-bench}"
if [ ! -x "$make_model" ]; then
  echo "make_models: $make_model not found; build the benchmarks first" >&2
  exit 1
fi
mkdir -p "$out"

write() {  # shape type
  local file="$out/qwen-$1-${2,,}.gguf"
  if [ -e "$file" ]; then
    echo "$file: present"
  else
    "$make_model" --shape "$1" --type "$2" "$file"
  fi
}

for type in F32 F16 BF16 Q8_0 Q5_0 Q5_1 IQ4_NL Q4_K_M; do write 0.5b "$type"; done
for type in Q8_0 Q4_K_M; do write 1.5b "$type"; done
