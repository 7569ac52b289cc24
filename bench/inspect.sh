#!/usr/bin/env bash
# Clip inspection (open + first/last frame thumbnail) through splicora-cli info,
# per clip, for 640 x 480 MPEG-4 clips, against the ffmpeg CLI extracting the
# first and the last frame of the same clips in the same run; and the resident
# set over 500 inspections in one process against 50.
# Usage: bench/inspect.sh [build dir] [clips per kind] [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
count=${2:-20}
rounds=${3:-3}
cli=$build/cli/splicora-cli
work=$build/bench-inspect
mkdir -p "$work"
cmake --build "$build" --target splicora-cli >/dev/null

now() { date +%s.%N; }
ms_per() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.2f", (b - a) * 1000 / n }'; }

# Two kinds of 10 s clips, 25 fps, MP3 audio: a key frame every 12 frames
# (ffmpeg's default) and every 250 (XviD's), where the last frame needs a
# long run of decoding after the seek.
for gop in 12 250; do
  clip=$work/source-g$gop.avi
  if [ ! -f "$clip" ]; then
    ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=size=640x480:rate=25:duration=10 \
      -f lavfi -i sine=r=44100:d=10 -c:v mpeg4 -vtag XVID -q:v 4 -g $gop -c:a libmp3lame "$clip"
  fi
  rm -rf "$work/g$gop"; mkdir -p "$work/g$gop"
  for i in $(seq -w 1 "$count"); do cp "$clip" "$work/g$gop/clip$i.avi"; done
done
cat "$work"/g*/*.avi >/dev/null  # the same warm cache for every contender

echo "machine: $(nproc) cores, $(uptime | sed 's/.*load average/load average/')"
for gop in 12 250; do
  files=("$work/g$gop"/*.avi)
  n=${#files[@]}
  for round in $(seq 1 "$rounds"); do
    # Ours: one process inspecting every clip (as a batch of added files) ...
    t0=$(now); "$cli" info --json "${files[@]}" >/dev/null; t1=$(now)
    batch=$(ms_per "$t0" "$t1" "$n")
    # ... and one process per clip, start-up included.
    t0=$(now); for f in "${files[@]}"; do "$cli" info "$f" >/dev/null; done; t1=$(now)
    single=$(ms_per "$t0" "$t1" "$n")
    # ffmpeg: the first frame, and the last one through a seek near the end.
    t0=$(now)
    for f in "${files[@]}"; do
      ffmpeg -nostdin -v error -y -i "$f" -frames:v 1 "$work/first.bmp"
      ffmpeg -nostdin -v error -y -sseof -0.04 -i "$f" -update 1 "$work/last.bmp"
    done
    t1=$(now)
    ff=$(ms_per "$t0" "$t1" "$n")
    awk -v g="$gop" -v r="$round" -v b="$batch" -v s="$single" -v f="$ff" 'BEGIN {
      printf "gop %3d round %d: splicora batch %7.2f ms/clip, one process per clip %7.2f ms/clip, ffmpeg first+last %7.2f ms/clip, ratio batch %.3f, per process %.3f\n",
        g, r, b, s, f, b / f, s / f }'
  done
done

# Memory: 500 inspections in one process against 50; a leak shows as growth.
files=()
for i in $(seq 1 25); do files+=("$work/g12"/*.avi); done
files=("${files[@]:0:500}")
rss() { /usr/bin/time -f "%M" "$cli" info "$@" 2>&1 >/dev/null | tail -1; }
r50=$(rss "${files[@]:0:50}")
r500=$(rss "${files[@]}")
echo "max resident set: 50 inspections ${r50} kB, ${#files[@]} inspections ${r500} kB"
