#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for SECONDS (default 60), starting from the
# seeds (committed corpus, examples, golden streams) plus what earlier runs in the same build
# directory found. Exits non-zero on a crash, a hang, a sanitizer report or a broken check; the
# input that caused it is left in BUILD_DIR/fuzz-artifacts/.
#
# usage: fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
#        BUILD_DIR (default build-fuzz) and JOBS (default 2) come from the environment.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${BUILD_DIR:-build-fuzz}
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B "$build" -DGROUPTRACE_FUZZ=ON -DGROUPTRACE_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_generator

corpus="$build/fuzz-corpus"
artifacts="$build/fuzz-artifacts"
mkdir -p "$corpus" "$artifacts"

# One process, one job: a single worker, so the machine's other users keep their cores.
# -timeout: any one input running this long is a hang (the slowest allowed scenario takes well
# under a second); -rss_limit_mb: a run whose memory does not follow its scenario is a fault.
"$build/fuzz_generator" \
  -max_total_time="$seconds" \
  -timeout=10 \
  -rss_limit_mb=1024 \
  -max_len=4096 \
  -dict=fuzz/params.dict \
  -print_final_stats=1 \
  -artifact_prefix="$artifacts/" \
  "$@" \
  "$corpus" "$build/fuzz/seeds"
