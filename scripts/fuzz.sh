#!/usr/bin/env bash
# Builds the signalling fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time.
#   scripts/fuzz.sh [seconds]      (default 60)
# New inputs collect in build/fuzz/signaling-corpus; a crash leaves its input
# in build/fuzz/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_TO_RUN=${1:-60}
DIR=build/fuzz
JOBS=${QH_JOBS:-4}
export CCACHE_DIR=${CCACHE_DIR:-$ROOT/.cache/ccache}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DQH_FUZZ=ON -DQH_BUILD_BENCH=OFF >"$DIR.configure.log" 2>&1 || { cat "$DIR.configure.log"; exit 1; }
cmake --build "$DIR" --target signaling_fuzz -j"$JOBS"

corpus=$DIR/signaling-corpus
mkdir -p "$corpus"
cd "$DIR"
exec ./host/tests/network/signaling_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=70000 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 signaling-corpus "$ROOT/host/tests/network/fuzz/corpus"
