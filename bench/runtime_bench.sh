#!/usr/bin/env bash
# Builds and runs the runtime latency benchmark (about 30 s). Usage:
#   bench/runtime_bench.sh [json-path]     default bench/out/runtime_bench.json
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
mkdir -p "$out"
g++ -std=c++20 -O2 -g -Wall -Wextra -I"$root/src" "$root/bench/runtime_bench.cpp" \
    "$root"/src/base/*.cpp "$root"/src/runtime/*.cpp -pthread -o "$out/runtime_bench"
cd "$root"
exec "$out/runtime_bench" "$@"
