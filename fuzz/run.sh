#!/usr/bin/env bash
# Builds the libFuzzer target of the state reader (clang, ASan and UBSan) into
# build/fuzz/ and runs it for SECONDS seconds (default 60) over the working
# corpus build/fuzz/corpus, seeded from fuzz/seeds. Usage: fuzz/run.sh [SECONDS]
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

out=build/fuzz
binary="$out/state_reader_fuzz"
sources=(fuzz/state_reader_fuzz.cpp src/core/labels/state_format.cpp src/core/labels/label_maps.cpp
         src/core/hashing/keyed_hash.cpp src/core/hashing/siphash.cpp)
cxx="${FUZZ_CXX:-clang++}"
mkdir -p "$out/corpus"

# Rebuild only when a source or header is newer than the binary.
stale=1
if [[ -x "$binary" ]]; then
  stale=0
  for f in "${sources[@]}" src/core/*.hpp src/core/*/*.hpp fuzz/run.sh; do
    [[ "$f" -nt "$binary" ]] && stale=1 && break
  done
fi
if (( stale )); then
  # UBSan findings abort, so libFuzzer records them as crashes.
  "$cxx" -std=c++20 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -O1 -g -Wall -Wextra -Isrc "${sources[@]}" -o "$binary"
fi

# New inputs go to the first directory; the seeds are only read.
exec "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" fuzz/seeds
