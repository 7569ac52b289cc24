#!/usr/bin/env bash
# The AVI writer past 4 GiB: writes about 4.5 GB (320 x 240 RGB24 video at
# 25 fps plus PCM, 19000 frames) through media::AviWriter, checks the whole
# file with ffmpeg, GStreamer-free byte walking and our reader (the disabled
# `large` case DISABLED_PastFourGibibytes), then times real peers writing the
# same amount: `cat` copying the file and the ffmpeg CLI remuxing it into its
# own OpenDML AVI. Warm page cache for reading, `sync` before each contender,
# none timed with an fsync of its own.
# Usage: bench/aviwriter_4g.sh [build dir] [frames]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
frames=${2:-19000}
[ -f "$build/build.ninja" ] || cmake -S "$src" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target media_test_aviwriter_large >/dev/null

export SPLICORA_TEST_TMP=$build/test-tmp SPLICORA_AVIWRITER_FRAMES=$frames SPLICORA_KEEP_OUTPUT=1
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "== Splicora AviWriter: $frames frames, then verified by ffmpeg, a byte walker and AviReader"
sync  # every contender starts with no dirty pages of an earlier one
/usr/bin/time -f "process: wall %e s, max rss %M kB" \
  "$build/tests/media_test_aviwriter_large" --gtest_also_run_disabled_tests \
  --gtest_filter='*PastFourGibibytes*' 2>&1 | grep -E "aviwriter:|process:|OK|FAILED|Failure|Which is|error" | tee "$log"
grep -q "\[       OK \]" "$log" || { echo "the 4 GiB case failed"; exit 1; }
out=$(sed -n 's/.* to \(.*\)$/\1/p' "$log" | head -1)
bytes=$(sed -n 's/aviwriter: wrote \([0-9]*\) bytes.*/\1/p' "$log")
ours=$(sed -n 's/.* bytes in \([0-9.]*\) s.*/\1/p' "$log")
dir=$(dirname "$out")
trap 'rm -f "$log"; rm -rf "$dir"' EXIT

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@"; t1=$(date +%s.%N); calc %.3f "$t1 - $t0"; }
echo "== cat: copying the same $bytes bytes"
cat "$out" >/dev/null  # the same warm cache for every contender
sync
tcat=$(seconds sh -c "cat '$out' > '$dir/copy.avi'")
rm -f "$dir/copy.avi"
echo "cat: $tcat s"
echo "== ffmpeg CLI: remuxing the file into its own AVI (stream copy)"
sync
tff=$(seconds ffmpeg -nostdin -y -v error -i "$out" -map 0 -c copy -f avi "$dir/ffmpeg.avi")
ffsize=$(stat -c %s "$dir/ffmpeg.avi")
rm -f "$dir/ffmpeg.avi"
echo "ffmpeg: $tff s ($ffsize bytes)"

mb() { calc %.0f "$bytes / 1048576 / $1"; }
echo
echo "| Writer | Time | Throughput | Ratio Splicora / peer |"
echo "|---|---|---|---|"
echo "| Splicora AviWriter | $ours s | $(mb "$ours") MiB/s | |"
echo "| cat (copy of the file) | $tcat s | $(mb "$tcat") MiB/s | $(calc %.2f "$ours / $tcat") |"
echo "| ffmpeg -c copy -f avi | $tff s | $(mb "$tff") MiB/s | $(calc %.2f "$ours / $tff") |"
