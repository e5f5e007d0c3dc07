#!/usr/bin/env bash
# Builds korvex and runs it with the given arguments (default: the demo model).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target korvex >/dev/null
if [ $# -eq 0 ]; then set -- models/stories260K.gguf "Once upon a time" 64; fi
exec ./build/src/korvex "$@"
