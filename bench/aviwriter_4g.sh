#!/usr/bin/env bash
# The AVI writer past 4 GiB: writes about 4.5 GB (320 x 240 RGB24 video at
# 25 fps plus PCM, 19000 frames) through media::AviWriter (the disabled
# `large` case DISABLED_PastFourGibibytes). A first run checks the whole file
# with ffmpeg, a byte walker and our reader; timed rounds follow, each also
# timing real peers writing the same amount: `cat` copying the file and the
# ffmpeg CLI remuxing it into its own OpenDML AVI. Every contender starts
# after a `sync`; two times are taken: until the writer returns (page cache)
# and until `sync -d` of its output returns (on disk). Medians are reported.
# Usage: bench/aviwriter_4g.sh [build dir] [frames] [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
frames=${2:-19000}
rounds=${3:-3}
[ -f "$build/build.ninja" ] || cmake -S "$src" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target avi_test_aviwriter_large >/dev/null

export SPLICORA_TEST_TMP=$build/test-tmp SPLICORA_AVIWRITER_FRAMES=$frames
log=$(mktemp)
dirs=()
cleanup() { rm -f "$log"; for d in "${dirs[@]}"; do rm -rf "$d"; done; }
trap cleanup EXIT
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
run_case() {
  /usr/bin/time -f "process: wall %e s, max rss %M kB" \
    "$build/tests/avi_test_aviwriter_large" --gtest_also_run_disabled_tests \
    --gtest_filter='*PastFourGibibytes*' >"$log" 2>&1 || true
  grep -E "aviwriter:|process:|OK \]|FAILED|Failure|Which is" "$log" || true
  grep -q "\[       OK \]" "$log" || { echo "the 4 GiB case failed"; exit 1; }
}

echo "== check: $frames frames written, then every chunk verified"
sync
run_case

export SPLICORA_AVIWRITER_SKIP_VERIFY=1 SPLICORA_KEEP_OUTPUT=1
ours=() oursDisk=() cats=() catsDisk=() ffs=() ffsDisk=()
for round in $(seq 1 "$rounds"); do
  echo "== round $round"
  sync  # no dirty pages of an earlier contender
  t0=$(now)
  run_case
  out=$(sed -n 's/.* to \(.*\)$/\1/p' "$log" | head -1)
  bytes=$(sed -n 's/aviwriter: wrote \([0-9]*\) bytes.*/\1/p' "$log")
  written=$(sed -n 's/.* bytes in \([0-9.]*\) s.*/\1/p' "$log")
  dir=$(dirname "$out")
  dirs+=("$dir")
  t1=$(now); sync -d "$out"; t2=$(now)
  ours+=("$written"); oursDisk+=("$(calc %.3f "$written + $t2 - $t1")")

  cat "$out" >/dev/null  # warm cache for the readers
  sync
  t0=$(now); cat "$out" >"$dir/copy.avi"; t1=$(now); sync -d "$dir/copy.avi"; t2=$(now)
  cats+=("$(calc %.3f "$t1 - $t0")"); catsDisk+=("$(calc %.3f "$t2 - $t0")")
  rm -f "$dir/copy.avi"
  sync
  t0=$(now); ffmpeg -nostdin -y -v error -i "$out" -map 0 -c copy -f avi "$dir/ffmpeg.avi"; t1=$(now)
  sync -d "$dir/ffmpeg.avi"; t2=$(now)
  ffs+=("$(calc %.3f "$t1 - $t0")"); ffsDisk+=("$(calc %.3f "$t2 - $t0")")
  rm -rf "$dir"
  echo "round $round, returned / on disk: Splicora ${ours[-1]} / ${oursDisk[-1]} s," \
       "cat ${cats[-1]} / ${catsDisk[-1]} s, ffmpeg ${ffs[-1]} / ${ffsDisk[-1]} s"
done

row() {  # name, median returned, median on disk, Splicora's two medians
  echo "| $1 | $2 s | $3 s | $(calc %.0f "$bytes / 1048576 / $3") MiB/s |" \
       "$([ -n "${4:-}" ] && echo "$(calc %.2f "$4 / $2") / $(calc %.2f "$5 / $3")") |"
}
o=$(median "${ours[@]}"); od=$(median "${oursDisk[@]}")
echo
echo "Median of $rounds rounds, $bytes bytes each:"
echo "| Writer | Returned | On disk | Throughput on disk | Ratio Splicora / peer (returned / on disk) |"
echo "|---|---|---|---|---|"
row "Splicora AviWriter" "$o" "$od"
row "cat (copy of the file)" "$(median "${cats[@]}")" "$(median "${catsDisk[@]}")" "$o" "$od"
row "ffmpeg -c copy -f avi" "$(median "${ffs[@]}")" "$(median "${ffsDisk[@]}")" "$o" "$od"
