#!/usr/bin/env bash
# Without a display Splicora's window cannot open: show the direct join on the
# command line instead. Three small clips are made with the ffmpeg CLI in a
# temporary folder, joined by splicora-cli, and the result described by ffprobe.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "No display (DISPLAY and WAYLAND_DISPLAY unset): running the command-line join and conversion demo instead of the window." >&2
cli=${SPLICORA_CLI:-./build/cli/splicora-cli}
if [ ! -x "$cli" ]; then
  echo "splicora-cli is not built; run ./tools/build.sh first." >&2
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/splicora-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
for clip in "1:440:2" "2:660:3" "3:880:1.5"; do
  IFS=: read -r n freq seconds <<<"$clip"
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=320x240:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=$freq:sample_rate=44100:duration=$seconds" \
    -c:v mpeg4 -q:v 5 -c:a libmp3lame -b:a 128k "$work/clip$n.avi"
  echo "made $work/clip$n.avi ($seconds s)" >&2
done
out=$("$cli" join -o "$work/joined.avi" "$work/clip1.avi" "$work/clip2.avi" "$work/clip3.avi")
echo "joined into $out" >&2
ffprobe -v error -show_entries format=filename,duration,size:stream=index,codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,duration,nb_frames \
  -of default=noprint_wrappers=0 "$out"
converted=$("$cli" join --recompress x264 --mp3 -o "$work/converted.avi" "$work/clip1.avi" "$work/clip2.avi" "$work/clip3.avi")
echo "converted (H.264 and MP3) into $converted" >&2
ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,sample_rate,bit_rate -of compact "$converted"
