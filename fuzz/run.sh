#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them one after the other for SECONDS in all
# (default 60), a quarter each: fuzz_generator (the parameter reader, the seed argument and the
# whole run), fuzz_reader (the trace reader), fuzz_any_reader (the reader of every form) and
# fuzz_manifest (manifests and JSON parameter files). Each starts from its seeds plus what earlier
# runs in the same build directory found. Exits non-zero on a crash, a hang, a sanitizer report or a broken
# check; the input that caused it is left in BUILD_DIR/fuzz-artifacts/.
#
# usage: fuzz/run.sh [SECONDS] [extra libFuzzer flags, given to every target...]
#        BUILD_DIR (default build-fuzz) and JOBS (default 2) come from the environment.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${BUILD_DIR:-build-fuzz}
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B "$build" -DGROUPTRACE_FUZZ=ON -DGROUPTRACE_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_generator fuzz_reader fuzz_any_reader \
  fuzz_manifest grouptrace

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts" "$build/fuzz-corpus" "$build/fuzz-reader-corpus" \
  "$build/fuzz-any-reader-corpus" "$build/fuzz-manifest-corpus"

# A session of 1,200 members, whose member tree has two levels above its leaves, and a join-leave
# phase in ordered mode on it: a seed for paths the small traces of the seeds never reach.
deep="$build/fuzz-reader-corpus/generated-deep-member-tree.out"
if [ ! -s "$deep" ]; then
  printf '%s\n' 5000 1 1400 0 1200 1 5000000 10 1 90 1 9 1 | "$build/grouptrace" 7 >"$deep"
fi

# One process, one job: a single worker, so the machine's other users keep their cores.
# -timeout: any one input running this long is a hang (the slowest input either target takes runs
# well under a second); -rss_limit_mb: memory that does not follow the input is a fault.
# -max_len: long enough for a parameter line past the C library's input buffer, and for a trace
# past the reader's default buffer of 1 MiB.
run() {
  local target=$1 time=$2 max_len=$3 dict=$4 corpus=$5 seeds=$6
  shift 6
  echo "fuzz/run.sh: $target for ${time}s"
  "$build/$target" \
    -max_total_time="$time" \
    -timeout=10 \
    -rss_limit_mb=1024 \
    -max_len="$max_len" \
    -dict="$dict" \
    -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" \
    "$@" \
    "$corpus" "$seeds"
}

# The quarters add up to SECONDS; a time of 0 would mean no limit at all.
share() { local t=$(((seconds + $1) / 4)); echo $((t > 0 ? t : 1)); }
run fuzz_generator "$(share 3)" 65536 fuzz/params.dict "$build/fuzz-corpus" "$build/fuzz/seeds" \
  "$@"
run fuzz_reader "$(share 2)" 2097152 fuzz/trace.dict "$build/fuzz-reader-corpus" \
  "$build/fuzz/reader-seeds" "$@"
run fuzz_any_reader "$(share 1)" 2097152 fuzz/trace.dict "$build/fuzz-any-reader-corpus" \
  "$build/fuzz/any-reader-seeds" "$@"
# Long enough for a manifest nested past the readers' bound many times over.
run fuzz_manifest "$(share 0)" 262144 fuzz/manifest.dict "$build/fuzz-manifest-corpus" \
  "$build/fuzz/manifest-seeds" "$@"
