#!/usr/bin/env bash
# The AVI writer past 4 GiB: writes about 4.5 GB (320 x 240 RGB24 video at
# 25 fps plus PCM, 19000 frames) through media::AviWriter; the first round
# checks the whole file with ffmpeg, a byte walker and our reader (the
# disabled `large` case DISABLED_PastFourGibibytes). Each round then times
# real peers writing the same amount: `cat` copying the file and the ffmpeg
# CLI remuxing it into its own OpenDML AVI. Warm page cache for reading,
# `sync` before each contender, nobody fsyncs; the median of the rounds is
# reported (writeback on a shared disk is noisy).
# Usage: bench/aviwriter_4g.sh [build dir] [frames] [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
frames=${2:-19000}
rounds=${3:-3}
[ -f "$build/build.ninja" ] || cmake -S "$src" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target media_test_aviwriter_large >/dev/null

export SPLICORA_TEST_TMP=$build/test-tmp SPLICORA_AVIWRITER_FRAMES=$frames SPLICORA_KEEP_OUTPUT=1
log=$(mktemp)
dirs=()
cleanup() { rm -f "$log"; for d in "${dirs[@]}"; do rm -rf "$d"; done; }
trap cleanup EXIT
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@"; t1=$(date +%s.%N); calc %.3f "$t1 - $t0"; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

ours=() cats=() ffs=()
for round in $(seq 1 "$rounds"); do
  if [ "$round" -gt 1 ]; then export SPLICORA_AVIWRITER_SKIP_VERIFY=1; fi
  echo "== round $round: Splicora AviWriter, $frames frames$([ "$round" = 1 ] && echo ", then verified")"
  sync  # every contender starts with no dirty pages of an earlier one
  /usr/bin/time -f "process: wall %e s, max rss %M kB" \
    "$build/tests/media_test_aviwriter_large" --gtest_also_run_disabled_tests \
    --gtest_filter='*PastFourGibibytes*' >"$log" 2>&1 || true
  grep -E "aviwriter:|process:|OK \]|FAILED|Failure|Which is" "$log" || true
  grep -q "\[       OK \]" "$log" || { echo "the 4 GiB case failed"; exit 1; }
  out=$(sed -n 's/.* to \(.*\)$/\1/p' "$log" | head -1)
  bytes=$(sed -n 's/aviwriter: wrote \([0-9]*\) bytes.*/\1/p' "$log")
  ours+=("$(sed -n 's/.* bytes in \([0-9.]*\) s.*/\1/p' "$log")")
  dir=$(dirname "$out")
  dirs+=("$dir")

  cat "$out" >/dev/null  # the same warm cache for every reader
  sync
  cats+=("$(seconds sh -c "cat '$out' > '$dir/copy.avi'")")
  rm -f "$dir/copy.avi"
  sync
  ffs+=("$(seconds ffmpeg -nostdin -y -v error -i "$out" -map 0 -c copy -f avi "$dir/ffmpeg.avi")")
  rm -f "$dir/ffmpeg.avi"
  rm -rf "$dir"
  echo "round $round: Splicora ${ours[-1]} s, cat ${cats[-1]} s, ffmpeg ${ffs[-1]} s"
done

o=$(median "${ours[@]}"); c=$(median "${cats[@]}"); f=$(median "${ffs[@]}")
mb() { calc %.0f "$bytes / 1048576 / $1"; }
echo
echo "Median of $rounds rounds, $bytes bytes each:"
echo "| Writer | Time | Throughput | Ratio Splicora / peer |"
echo "|---|---|---|---|"
echo "| Splicora AviWriter | $o s | $(mb "$o") MiB/s | |"
echo "| cat (copy of the file) | $c s | $(mb "$c") MiB/s | $(calc %.2f "$o / $c") |"
echo "| ffmpeg -c copy -f avi | $f s | $(mb "$f") MiB/s | $(calc %.2f "$o / $f") |"
