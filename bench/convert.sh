#!/usr/bin/env bash
# Join with Recompress against the ffmpeg CLI. Three clips (MPEG-4 640 x 480
# 25 fps with light noise, PCM stereo 44.1 kHz; made once by the ffmpeg CLI)
# are converted by `splicora-cli join --recompress HANDLER [--mp3]` and, in
# the same run, by `ffmpeg -f concat` encoding with the same encoder and the
# same settings, for three pairs:
#   divx: MPEG-4 Part 2 at the settings dialog's defaults + MP3 128 kbit/s
#   ffv1: FFV1 (bgr0, its coder and key-frame interval) + the PCM kept
#   x264: H.264 with our preset, crf and key-frame interval + MP3 128 kbit/s
# Our settings are the defaults (a settings file that does not exist), read
# back from `splicora-cli codecs`, so ffmpeg is given what we really use.
# Rotating order, each into a fresh output after a `sync`; medians of the
# rounds, CPU time and peak resident set. Every output is checked once with
# ffprobe (frames = the inputs' sum, audio present), and our peak memory is
# measured again with clips twice as long.
# Usage: bench/convert.sh [build dir] [rounds] [work dir] [seconds per clip]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_setup convert 3 "$@"
seconds=${4:-8}
trap 'rm -rf "$work/out"' EXIT
use_default_settings

make_clips() {  # seconds suffix: three clips of that length, tones apart so they differ
  local s=$1 tag=$2 i
  for i in 1 2 3; do
    local clip=$work/clip$i$tag.avi
    [ -f "$clip" ] && continue
    echo "making $clip: $s s 640x480 MPEG-4 with PCM..."
    ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$s" \
      -f lavfi -i "sine=frequency=$((220 * i)):sample_rate=44100:duration=$s" -vf "noise=alls=8:allf=t" \
      -c:v mpeg4 -vtag XVID -q:v 4 -c:a pcm_s16le -ac 2 "$clip"
  done
  : >"$work/list$tag.txt"
  for i in 1 2 3; do echo "file '$work/clip$i$tag.avi'" >>"$work/list$tag.txt"; done
}
make_clips "$seconds" ""
make_clips "$((seconds * 2))" "-long"
clips=("$work/clip1.avi" "$work/clip2.avi" "$work/clip3.avi")
longclips=("$work/clip1-long.avi" "$work/clip2-long.avi" "$work/clip3-long.avi")
cat "${clips[@]}" "${longclips[@]}" >/dev/null  # warm the page cache for everyone alike

# Our defaults, as `splicora-cli codecs` reports them.
setting() { "$cli" codecs | awk -F'\t' -v h="$1" '$1 == h {print $3}' | tr ' ' '\n' | awk -F= -v k="$2" '$1 == k {print $2}'; }
quality=$(setting divx quality)
divxkey=$(setting divx keyint)
# The settings dialog's quality 1..100 onto the MPEG quantiser 31..2, as the compressor maps it.
quant=$((2 + ((100 - quality) * 29 + 49) / 99))
preset=$(setting x264 preset)
crf=$(setting x264 crf)
x264key=$(setting x264 keyint)
coder=$(setting ffv1 coder)
ffv1key=$(setting ffv1 keyint)
echo "our defaults: divx quality $quality (quantiser $quant) keyint $divxkey; x264 preset $preset crf $crf keyint $x264key; ffv1 coder $coder keyint $ffv1key"

declare -A ours ffargs
ours[divx]="--recompress divx --mp3"
ours[ffv1]="--recompress ffv1"
ours[x264]="--recompress x264 --mp3"
ffargs[divx]="-c:v mpeg4 -vtag DIVX -q:v $quant -g $divxkey -bf 0 -c:a libmp3lame -b:a 128k"
ffargs[ffv1]="-c:v ffv1 -pix_fmt bgr0 -coder $coder -g $ffv1key -c:a pcm_s16le"
ffargs[x264]="-c:v libx264 -preset $preset -crf $crf -g $x264key -bf 0 -c:a libmp3lame -b:a 128k"
pairs=(divx ffv1 x264)
for p in "${pairs[@]}"; do echo "$p: splicora-cli join ${ours[$p]}  |  ffmpeg -f concat ... ${ffargs[$p]}"; done

mkdir -p "$work/out"
run() {  # output command...: one timed run into a fresh output, prints "seconds kB user sys [conversion]"
  local out=$1
  shift
  rm -f "$out" "$work/out/time" "$work/out/stderr"
  local t
  t=$(timed "$work/out" "$@")
  # splicora-cli also reports the conversion proper, after its clip checks.
  echo "$t $(grep -aoE 'Converted [0-9]+ clips in [0-9.]+' "$work/out/stderr" | awk '{print $NF}')"
}
command_for() {  # contender pair tag output
  if [ "$1" = ours ]; then
    local files=("$work/clip1$3.avi" "$work/clip2$3.avi" "$work/clip3$3.avi")
    # shellcheck disable=SC2086
    echo "$cli" join ${ours[$2]} -o "$4" "${files[@]}"
  else
    echo ffmpeg -nostdin -v error -y -f concat -safe 0 -i "$work/list$3.txt" -map 0:v -map 0:a ${ffargs[$2]} "$4"
  fi
}
# Both programs' libraries into the page cache before the first timed run.
"$cli" info "${clips[@]}" >/dev/null 2>&1
ffmpeg -nostdin -v error -i "${clips[0]}" -t 1 -c:v libx264 -c:a libmp3lame -f null - 2>/dev/null
declare -A times mems cpus convs
echo "load average before the rounds: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
for ((r = 0; r < rounds; r++)); do
  line="round $((r + 1)):"
  for ((k = 0; k < 3; k++)); do
    p=${pairs[$(((r + k) % 3))]}
    if ((r % 2)); then order=(ffmpeg ours); else order=(ours ffmpeg); fi
    for who in "${order[@]}"; do
      out=$work/out/$who-$p.avi
      # shellcheck disable=SC2046
      read -r t m u sy c < <(run "$out" $(command_for "$who" "$p" "" "$out"))
      times[$who-$p]+="$t "
      mems[$who-$p]+="$m "
      cpus[$who-$p]+="$(awk "BEGIN {print $u + $sy}") "
      [ -n "${c:-}" ] && convs[$who-$p]+="$c "
      line+=" $who-$p ${t}s"
    done
  done
  echo "$line"
done
echo "load average after the rounds: $(cut -d' ' -f1-3 /proc/loadavg)"
for p in "${pairs[@]}"; do
  o=$(echo "${times[ours-$p]}" | median)
  f=$(echo "${times[ffmpeg-$p]}" | median)
  j=$(echo "${convs[ours-$p]}" | median)
  echo "$p: medians splicora $o s (conversion proper $j s), ffmpeg $f s;" \
    "ratio splicora/ffmpeg $(awk "BEGIN {printf \"%.3f\", $o / $f}") (proper $(awk "BEGIN {printf \"%.3f\", $j / $f}"));" \
    "CPU splicora $(echo "${cpus[ours-$p]}" | median) s, ffmpeg $(echo "${cpus[ffmpeg-$p]}" | median) s;" \
    "peak RSS splicora $(echo "${mems[ours-$p]}" | maxof) kB, ffmpeg $(echo "${mems[ffmpeg-$p]}" | maxof) kB"
done

# Every output once through ffprobe: decoded frames, the codec, audio present.
probe() {  # file: "video codec,pix fmt,decoded frames|audio codec,rate,channels"
  echo "$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=codec_name,pix_fmt,nb_read_frames -of csv=p=0 "$1")|$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$1")"
}
# Ours writes one frame per video chunk (a drop chunk repeats its picture);
# the ffmpeg CLI one per decoded frame. With these clips both are the same.
chunks=0
frames=0
for c in "${clips[@]}"; do
  chunks=$((chunks + $(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 "$c")))
  frames=$((frames + $(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$c")))
done
echo "inputs: $chunks video chunks, $frames decoded frames"
bad=0
for p in "${pairs[@]}"; do
  for who in ours ffmpeg; do
    got=$(probe "$work/out/$who-$p.avi")
    n=$(echo "$got" | cut -d'|' -f1 | cut -d, -f3)
    a=$(echo "$got" | cut -d'|' -f2)
    want=$frames
    [ "$who" = ours ] && want=$chunks
    verdict=ok
    if [ "$n" != "$want" ] || [ -z "$a" ]; then
      verdict=MISMATCH
      bad=1
    fi
    echo "$who-$p: $got (want $want frames, audio): $verdict"
  done
done

# Peak memory against clip length: ours again with clips twice as long.
for p in "${pairs[@]}"; do
  out=$work/out/long-$p.avi
  # shellcheck disable=SC2046
  read -r t m _ < <(run "$out" $(command_for ours "$p" "-long" "$out"))
  n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$out")
  echo "$p, clips twice as long: $t s, peak RSS $m kB (short clips: $(echo "${mems[ours-$p]}" | maxof) kB), $n frames"
done
exit $bad
