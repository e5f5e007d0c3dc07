#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when one is missing.
# Idempotent and quiet: a second run checks dpkg and does nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libboost1.81-dev libtbb-dev libicu-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
if [ "${KORVEX_FUZZ_TOOLS:-0}" = 1 ]; then
  packages+=(clang-19 libclang-rt-19-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The end-to-end client test uses the official npm client when node is present.
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -f "$root/tests/client/package.json" ] && command -v npm >/dev/null 2>&1; then
  if [ ! -d "$root/tests/client/node_modules" ]; then
    (cd "$root/tests/client" && npm install --no-audit --no-fund --silent >/dev/null 2>&1) \
      || echo "setup: npm install failed; the client test will be skipped" >&2
  fi
fi
