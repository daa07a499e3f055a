#!/usr/bin/env bash
# Builds the fast generator and the straightforward one (per-request flag scan
# and stream insertion, -DGROUPTRACE_BASELINE=ON) and runs the scale workloads
# on both, side by side: wall time, user+system time, trace throughput,
# requests per second and peak resident memory. The traces of both builds are
# compared byte for byte wherever the straightforward build finishes. Then the
# fast build into pipes: `grouptrace | cat` with the two on different cores
# against /dev/null, `grouptrace | grouptrace-inspect check` against the two
# through a file one after the other, and `check` on traces of small and of
# large groups.
#
# usage: bench/run.sh [--quick] [--skip-baseline WORKLOAD...]
#   --quick  runs the slow straightforward build only on the workloads where it
#            takes seconds, not minutes (node-bound is then fast-only)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
# Workloads where the flag scan over the network would take from many minutes
# to hours.
skip=" huge large-groups full-groups-1m half-64k half-128k "
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; skip+=" node-bound "; shift ;;
    --skip-baseline) shift; while [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; do skip+=" $1 "; shift; done ;;
    *) echo "usage: bench/run.sh [--quick] [--skip-baseline WORKLOAD...]" >&2; exit 2 ;;
  esac
done

fast=build-bench/fast
base=build-bench/baseline
cmake -S . -B "$fast" -DCMAKE_BUILD_TYPE=Release -DGROUPTRACE_BUILD_TESTS=OFF >/dev/null
cmake --build "$fast" -j "$(nproc)" --target grouptrace grouptrace-inspect >/dev/null
cmake -S . -B "$base" -DCMAKE_BUILD_TYPE=Release -DGROUPTRACE_BUILD_TESTS=OFF \
  -DGROUPTRACE_BASELINE=ON >/dev/null
cmake --build "$base" -j "$(nproc)" --target grouptrace >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name nNodes nSessions maxTrans avgSize orderedJoinLeave
# small-groups and large-groups are the two ends of the cost of group size
# (groups of 30 among 1,000 nodes; 4 groups of a million among 10^8 nodes, in
# the tree); half-64k and half-128k are half-full groups on either side of
# 65,536 nodes, in bits; full-groups-1m is 10 full groups of a million nodes;
# many-sessions is a million sessions of a 10-node network.
workloads=(
  "output-bound 16 4 5000000 4 0"
  "node-bound 100000 1000 100000 50 0"
  "dense 10000 10 120000 9500 0"
  "huge 2147483647 10000 1000000 20 0"
  "full-passes 50 1000 0 2147483647 0"
  "small-groups 1000 1000 3000000 30 0"
  "large-groups 100000000 4 6000000 1000000 0"
  "half-64k 65536 4 2000000 32768 0"
  "half-128k 131072 4 2000000 65536 0"
  "full-groups-1m 1000000 10 0 1000000 0"
  "many-sessions 10 1000000 5000000 4 0"
)

params() {  # nNodes nSessions maxTrans avgSize ordered
  printf '%s\n' "$1" "$2" "$3" 0 "$4" 1 512 64 5 50 1 6 "$5"
}

# once BINARY PARAMS OUT -> prints "wall cpu peak_kB"
once() {
  local start end
  start=$EPOCHREALTIME
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$1" 7 <"$2" >"$3"
  end=$EPOCHREALTIME
  read -r user sys rss <"$work/time"
  printf '%.3f %.2f %s\n' "$(echo "$end - $start" | bc)" "$(echo "$user + $sys" | bc)" "$rss"
}

# run BINARY PARAMS OUT -> the fastest of several runs (a shared machine only
# ever adds time), repeated while they take under ten seconds each.
run() {
  local best="" result
  for _ in 1 2 3 4 5; do
    result=$(once "$@")
    if [ -z "$best" ] || [ "$(echo "${result%% *} < ${best%% *}" | bc)" = 1 ]; then best=$result; fi
    [ "$(echo "${result%% *} > 10" | bc)" = 1 ] && break
  done
  echo "$best"
}

# The fast build writes to /dev/null, as a trace consumer reading at memory
# speed would; its trace is then made once more for the comparison. The
# straightforward build writes its trace to a file, which costs it little next
# to its own formatting.
printf '%-14s %-9s %9s %9s %9s %12s %7s %8s %s\n' workload build wall_s cpu_s MB/s requests/s ns/req \
  peak_MB trace
for w in "${workloads[@]}"; do
  read -r name nodes sessions maxtrans avg ordered <<<"$w"
  params "$nodes" "$sessions" "$maxtrans" "$avg" "$ordered" >"$work/params"
  "$fast/grouptrace" 7 <"$work/params" >"$work/fast.trace"
  bytes=$(stat -c %s "$work/fast.trace")
  requests=$(tail -n 1 "$work/fast.trace" | awk '{print $5 + $7}')
  for build in fast baseline; do
    if [ "$build" = fast ]; then
      read -r wall cpu rss <<<"$(run "$fast/grouptrace" "$work/params" /dev/null)"
      same=""
    elif [[ "$skip" == *" $name "* ]]; then
      printf '%-14s %-9s %9s\n' "$name" "$build" "skipped"
      continue
    else
      read -r wall cpu rss <<<"$(run "$base/grouptrace" "$work/params" "$work/base.trace")"
      if cmp -s "$work/base.trace" "$work/fast.trace"; then same="identical"; else same="DIFFERS"; fi
      rm -f "$work/base.trace"
    fi
    mbps=$(echo "scale=1; $bytes / 1000000 / $wall" | bc)
    rps=$(echo "scale=0; $requests / $wall" | bc)
    nspr=$(echo "scale=0; $wall * 1000000000 / $requests" | bc)
    printf '%-14s %-9s %9s %9s %9s %12s %7s %8s %s\n' "$name" "$build" "$wall" "$cpu" "$mbps" "$rps" \
      "$nspr" "$((rss / 1024))" "$same"
  done
  case "$name" in small-groups | large-groups) mv "$work/fast.trace" "$work/$name.trace" ;; esac
  rm -f "$work/fast.trace"
done

# fastest WALL-SECONDS... -> the smallest
fastest() { printf '%s\n' "$@" | sort -g | head -n 1; }
# timed COMMAND -> wall seconds of one run of a shell command
timed() {
  local start end
  start=$EPOCHREALTIME
  bash -c "$1" >/dev/null
  end=$EPOCHREALTIME
  echo "$end - $start" | bc
}

echo
echo "pipes (output-bound, fastest of 5, each kind in turn):"
params 16 4 5000000 4 0 >"$work/params"
inspect="$fast/grouptrace-inspect"
devnull=() piped=() filed=() checked=()
for _ in 1 2 3 4 5; do
  devnull+=("$(timed "taskset -c 0 $fast/grouptrace 7 <$work/params >/dev/null")")
  piped+=("$(timed "taskset -c 0 $fast/grouptrace 7 <$work/params | taskset -c 1 cat >/dev/null")")
  filed+=("$(timed "$fast/grouptrace 7 <$work/params >$work/t && $inspect check $work/t")")
  checked+=("$(timed "$fast/grouptrace 7 <$work/params | $inspect check")")
done
rm -f "$work/t"
printf '  %-46s %7.3f s\n' "grouptrace > /dev/null (core 0)" "$(fastest "${devnull[@]}")"
printf '  %-46s %7.3f s\n' "grouptrace | cat (cores 0 and 1)" "$(fastest "${piped[@]}")"
printf '  %-46s %7.3f s\n' "grouptrace > file; grouptrace-inspect check file" "$(fastest "${filed[@]}")"
printf '  %-46s %7.3f s\n' "grouptrace | grouptrace-inspect check" "$(fastest "${checked[@]}")"

echo
echo "check of small and large groups (fastest of 5):"
for name in small-groups large-groups; do
  [ -f "$work/$name.trace" ] || continue
  times=()
  for _ in 1 2 3 4 5; do times+=("$(timed "$inspect check $work/$name.trace")"); done
  best=$(fastest "${times[@]}")
  requests=$(tail -n 1 "$work/$name.trace" | awk '{print $5 + $7}')
  printf '  %-14s %7.3f s %12.0f requests/s\n' "$name" "$best" "$(echo "$requests / $best" | bc -l)"
done
echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
