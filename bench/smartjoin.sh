#!/usr/bin/env bash
# The smart join against its two alternatives, in the same run. Two large
# matching clips (MPEG-4 640 x 480 25 fps with light noise, PCM stereo; made
# once by the ffmpeg CLI) and a 3-second clip whose video differs (MJPEG
# 320 x 240 at 30 fps) are joined
#   smart:     `splicora-cli join --fit` (the two copied, the odd one re-encoded)
#   recompress: `splicora-cli join --recompress divx` of the same list (the
#              command line refuses a differing clip in a conversion, as the
#              list does; a 3-second clip in the large clips' format stands in)
#   direct:    `splicora-cli join` of the two matching clips alone
# and the odd clip's encode is timed on its own: the ffmpeg CLI decoding,
# fitting and encoding it as the smart join does (mpeg4 at the large clips'
# average bit rate, 25 fps, 640 x 480). Rotating order, a fresh output after a
# `sync` each time; medians of the rounds. Targets: smart <= 0.15 x
# recompress, smart <= 1.2 x direct + the odd clip's encode.
# Usage: bench/smartjoin.sh [build dir] [rounds] [work dir] [seconds per large clip]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_setup smartjoin 3 "$@"
seconds=${4:-60}
trap 'rm -rf "$work/out"' EXIT
use_default_settings

for i in 1 2; do
  clip=$work/large$i.avi
  [ -f "$clip" ] && continue
  echo "making $clip: $seconds s 640x480 MPEG-4 with PCM..."
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=$((220 * i)):sample_rate=44100:duration=$seconds" -vf "noise=alls=8:allf=t" \
    -c:v mpeg4 -vtag XVID -q:v 4 -c:a pcm_s16le -ac 2 "$work/.partial.avi"
  mv "$work/.partial.avi" "$clip"
done
odd=$work/odd.avi
if [ ! -f "$odd" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=320x240:rate=30:duration=3" \
    -f lavfi -i "sine=frequency=880:sample_rate=44100:duration=3" -c:v mjpeg -q:v 3 -c:a pcm_s16le -ac 2 \
    "$work/.partial.avi"
  mv "$work/.partial.avi" "$odd"
fi
same=$work/odd-same.avi
if [ ! -f "$same" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=640x480:rate=25:duration=3" \
    -f lavfi -i "sine=frequency=880:sample_rate=44100:duration=3" -c:v mpeg4 -vtag XVID -q:v 4 -c:a pcm_s16le -ac 2 \
    "$work/.partial.avi"
  mv "$work/.partial.avi" "$same"
fi
list=("$work/large1.avi" "$odd" "$work/large2.avi")
cat "${list[@]}" "$same" >/dev/null  # warm the page cache for everyone alike

# The large clips' average video bit rate: what the odd clip is encoded at.
bytes=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$work/large1.avi" | awk '{s+=$1} END {print s}')
rate=$((bytes * 8 / seconds))

run() {  # name: one timed run into a fresh output; prints its seconds
  local d=$work/out/$1
  rm -rf "$d"
  mkdir -p "$d"
  case $1 in
    smart) timed "$d" "$cli" join --fit -o "$d/out.avi" "${list[@]}" ;;
    recompress) timed "$d" "$cli" join --recompress divx -o "$d/out.avi" "$work/large1.avi" "$same" "$work/large2.avi" ;;
    direct) timed "$d" "$cli" join -o "$d/out.avi" "$work/large1.avi" "$work/large2.avi" ;;
    encode) timed "$d" ffmpeg -nostdin -v error -y -i "$odd" -an -vf "fps=25,scale=640:480,format=yuv420p" \
      -c:v mpeg4 -b:v "$rate" -qmax 10 -g 250 -f avi "$d/out.avi" ;;
  esac | awk '{print $1}'
}

declare -A times
names=(smart recompress direct encode)
for ((r = 0; r < rounds; r++)); do
  for ((k = 0; k < ${#names[@]}; k++)); do
    name=${names[$(((k + r) % ${#names[@]}))]}
    times[$name]="${times[$name]:-} $(run "$name")"
  done
done

# The smart join's output once more, checked: frames, both decoders silent.
d=$work/out/check
mkdir -p "$d"
"$cli" join --fit -o "$d/out.avi" "${list[@]}" >/dev/null 2>"$d/stderr"
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$d/out.avi")
errors=$(ffmpeg -nostdin -v error -i "$d/out.avi" -f null - 2>&1 | wc -l)
gst=$(timeout 300 gst-launch-1.0 -q filesrc location="$d/out.avi" ! avidemux name=m m.video_0 ! queue ! decodebin ! \
  fakesink m.audio_0 ! queue ! decodebin ! fakesink 2>&1 | wc -l)

smart=$(echo "${times[smart]}" | median)
recompress=$(echo "${times[recompress]}" | median)
direct=$(echo "${times[direct]}" | median)
encode=$(echo "${times[encode]}" | median)
echo "clips: 2 x $seconds s 640x480 MPEG-4 + PCM, 3 s 320x240 30 fps MJPEG; $rounds rounds, load $(cut -d' ' -f1 /proc/loadavg)"
echo "smart join (--fit):          ${smart} s   (rounds:${times[smart]})"
echo "recompress (divx):           ${recompress} s   (rounds:${times[recompress]})"
echo "direct join, matching only:  ${direct} s   (rounds:${times[direct]})"
echo "odd clip's encode alone:     ${encode} s   (rounds:${times[encode]})"
awk -v s="$smart" -v r="$recompress" -v d="$direct" -v e="$encode" 'BEGIN {
  printf "smart / recompress = %.3f (target <= 0.15)\n", s / r
  printf "smart / (1.2 x direct + encode) = %.3f (target <= 1)\n", s / (1.2 * d + e)
}'
echo "check: $frames video frames (expected $((2 * seconds * 25 + 75))), ffmpeg error lines $errors, GStreamer lines $gst"
