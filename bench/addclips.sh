#!/usr/bin/env bash
# Adding 100 clips of 640 x 480 MPEG-4 in one Add File batch: time per clip and
# memory, against the ffmpeg CLI decoding the same first and last frames and
# cat reading the same files. Usage: bench/addclips.sh [build dir] [clips]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${1:-$src/build}
count=${2:-100}
work=$build/bench-addclips
mkdir -p "$work/clips"

cmake --build "$build" --target splicora_app >/dev/null
cmake -S "$here/addclips" -B "$work/obj" -G Ninja -DSPLICORA_SOURCE_DIR="$src" \
  -DSPLICORA_BUILD_DIR="$build" >/dev/null
cmake --build "$work/obj" >/dev/null

clip=$work/source.avi
if [ ! -f "$clip" ]; then
  ffmpeg -nostdin -y -v error -f lavfi -i testsrc=size=640x480:rate=25:duration=10 \
    -f lavfi -i sine=r=44100:d=10 -ac 2 -c:v mpeg4 -q:v 4 -c:a pcm_s16le "$clip"
fi
rm -f "$work"/clips/*.avi
for i in $(seq -w 1 "$count"); do cp "$clip" "$work/clips/clip$i.avi"; done
cat "$work"/clips/*.avi >/dev/null  # same warm cache for every contender

# Growth of the resident set by the first round, for a batch of 10 and of all:
# the difference per extra clip is what one add keeps.
growth() { awk '/rss at start/ {s=$NF+0; sub(/ kB/,"",s)} /^round 1:/ {for(i=1;i<=NF;i++) if($i=="full") f=$(i+1)} END {print f-s}' "$1"; }
small=$work/clips10
rm -rf "$small"; mkdir -p "$small"
ls "$work"/clips/*.avi | head -10 | xargs -I{} cp {} "$small/"

echo "== Splicora: Add File with 10 clips (3 rounds: add all, remove all)"
"$work/obj/bench_addclips" "$small" 3 2>/dev/null | tee "$work/run10.txt"
echo "== Splicora: Add File with $count clips (3 rounds: add all, remove all)"
/usr/bin/time -f "wall %e s, max rss %M kB" "$work/obj/bench_addclips" "$work/clips" 3 2>&1 \
  | grep -v -e propagateSizeHints -e XDG_RUNTIME_DIR | tee "$work/run.txt"
g10=$(growth "$work/run10.txt"); gall=$(growth "$work/run.txt")
echo "memory kept per extra clip: $(( (gall - g10) / (count - 10) )) kB (a 256 x 96 thumbnail is 96 kB)"

echo "== ffmpeg CLI: first and last frame of each clip, decoded to nothing"
start=$(date +%s.%N)
for f in "$work"/clips/*.avi; do
  ffmpeg -nostdin -v error -i "$f" -frames:v 1 -f null - 
  ffmpeg -nostdin -v error -sseof -0.5 -i "$f" -an -f null -
done
end=$(date +%s.%N)
echo "ffmpeg: $(echo "($end - $start) * 1000 / $count" | bc -l | xargs printf '%.2f') ms per clip"

echo "== cat of the same files"
start=$(date +%s.%N)
cat "$work"/clips/*.avi >/dev/null
end=$(date +%s.%N)
echo "cat: $(echo "($end - $start) * 1000 / $count" | bc -l | xargs printf '%.2f') ms per clip"
