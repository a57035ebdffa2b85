#!/usr/bin/env bash
# Fuzzes the JSON core with libFuzzer: reading never crashes or hangs, and any
# accepted text survives read -> write -> read with the same value and the
# same written text.
#
#   tools/fuzz.sh [SECONDS]        (default 60)
#
# Needs clang with libFuzzer (Debian: clang-14 libclang-rt-14-dev). The corpus
# grows in build/fuzz/corpus; crashes land in build/fuzz/artifacts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
out=${TAMSO_FUZZ_DIR:-$root/build/fuzz}
cxx=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [ -z "$cxx" ]; then
  echo "fuzz.sh: no clang++ found (apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 2
fi
mkdir -p "$out/corpus" "$out/artifacts"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" "$root"/tools/fuzz/fuzz_json.cpp "$root"/src/json/*.cpp -o "$out/fuzz_json"
cp -n "$root"/tools/fuzz/seeds/* "$out/corpus/" 2>/dev/null || true
"$out/fuzz_json" -max_total_time="$seconds" -timeout=5 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$out/artifacts/" "$out/corpus" 2>&1 | tail -n 25
