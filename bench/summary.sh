#!/usr/bin/env bash
# The short-work table in one run: Splicora against the ffmpeg CLI on the same
# machine, rotated rounds, medians and ratios.
#   - direct join of 4 clips of about 12 MB (MPEG-4 640 x 480 at 8 Mbit/s with
#     MP3, 12 s each) against `ffmpeg -f concat -c copy`;
#   - direct join of 100 and of 500 two-second clips (one clip copied), the
#     same way, with the time per clip; every output's video packets counted
#     by ffprobe against the inputs' sum;
#   - start-up: `splicora-cli --version` against `ffmpeg -version` (time, and
#     the shared libraries each maps), and `splicora-cli info` of one clip;
#   - FFV1 conversion of 2 x 4 s at 1920 x 1080: peak resident set of
#     `splicora-cli join --recompress ffv1` against the ffmpeg CLI encoding
#     the same way (bgr0, our coder and key-frame interval, PCM kept).
# Usage: [SPLICORA_CLI=...] bench/summary.sh [build dir] [rounds] [work dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_setup summary 5 "$@"
mkdir -p "$work/out"
trap 'rm -rf "$work/out"' EXIT
use_default_settings
ratio() { awk "BEGIN {printf \"%.2f\", $1 / $2}"; }

make_clip() {  # file seconds size bitrate
  [ -f "$1" ] && return
  echo "making $1..."
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$3:rate=25:duration=$2" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$2" -vf "noise=alls=8:allf=t" \
    -c:v mpeg4 -b:v "$4" -c:a libmp3lame -b:a 128k "$1"
}
# A set of clips: name count source -> $work/<name>/clipNNN.avi and <name>.txt
make_set() {
  local name=$1 count=$2 source=$3 i
  mkdir -p "$work/$name"
  : >"$work/$name.txt"
  for i in $(seq -w 1 "$count"); do
    [ -f "$work/$name/clip$i.avi" ] || cp "$source" "$work/$name/clip$i.avi"
    echo "file '$work/$name/clip$i.avi'" >>"$work/$name.txt"
  done
}
make_clip "$work/big.avi" 12 640x480 8M
make_clip "$work/short.avi" 2 640x480 2M
make_set four 4 "$work/big.avi"
make_set hundred 100 "$work/short.avi"
make_set many 500 "$work/short.avi"
cat "$work"/four/*.avi "$work"/hundred/*.avi "$work"/many/*.avi >/dev/null  # warm cache for everyone
"$cli" --version >/dev/null
ffmpeg -version >/dev/null

packets() { ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }
declare -A times
echo "load average before the rounds: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
sets=(four hundred many)
for ((r = 0; r < rounds; r++)); do
  line="round $((r + 1)):"
  for ((k = 0; k < ${#sets[@]}; k++)); do
    set=${sets[$(((r + k) % ${#sets[@]}))]}
    if ((r % 2)); then order=(ffmpeg ours); else order=(ours ffmpeg); fi
    for who in "${order[@]}"; do
      rm -f "$work/out/"*.avi
      if [ "$who" = ours ]; then
        read -r t _ < <(timed "$work/out" "$cli" join -o "$work/out/ours.avi" "$work/$set"/*.avi)
      else
        read -r t _ < <(timed "$work/out" ffmpeg -nostdin -v error -f concat -safe 0 -i "$work/$set.txt" \
          -map 0 -c copy "$work/out/ffmpeg.avi")
      fi
      times[$who-$set]+="$t "
      line+=" $who-$set ${t}s"
    done
  done
  echo "$line"
done
echo "load average after the rounds: $(cut -d' ' -f1-3 /proc/loadavg)"

# Every join once more, its output read by ffprobe.
bad=0
for set in "${sets[@]}"; do
  n=$(ls "$work/$set"/*.avi | wc -l)
  rm -f "$work/out/"*.avi
  "$cli" join -o "$work/out/ours.avi" "$work/$set"/*.avi >/dev/null 2>&1
  want=$((n * $(packets "$(ls "$work/$set"/*.avi | head -1)")))
  got=$(packets "$work/out/ours.avi")
  [ "$got" = "$want" ] || bad=1
  echo "$set: $n clips joined, ffprobe reads $got video packets (inputs: $want)"
done

# Start-up: the process alone, and the libraries it maps.
startup() {  # command...: median of 21 runs in ms
  local s all="" i
  for ((i = 0; i < 21; i++)); do
    s=$(date +%s%N)
    "$@" >/dev/null 2>&1
    all+="$((($(date +%s%N) - s) / 1000)) "
  done
  awk "BEGIN {printf \"%.1f\", $(echo "$all" | median) / 1000}"
}
libraries() { ldd "$1" | grep -c '=>'; }
# What loading libavcodec costs on its own (the first clip's first frame needs
# it), what copying the four clips costs on its own (copy_file_range, as our
# join copies), and both together, one after the other and alongside in two
# processes: the floor under a direct join of the four clips on this machine.
# Timed inside a short program, median of 21.
cat >"$work/floor.c" <<'SOURCE'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
static int Load(const char* library) { return dlopen(library, RTLD_NOW) != NULL; }
static int Copy(char** files, int count, const char* output) {
  int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644), ok = out >= 0;
  for (int i = 0; ok && i < count; ++i) {
    int in = open(files[i], O_RDONLY);
    ssize_t n;
    while ((n = copy_file_range(in, NULL, out, NULL, 1 << 30, 0)) > 0) {}
    ok = in >= 0 && n == 0;
    close(in);
  }
  close(out);
  unlink(output);
  return ok;
}
/* floor MODE LIBRARY OUTPUT FILE...: MODE is load, copy, serial or alongside */
int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const char* mode = argv[1];
  struct timespec a, b;
  int ok = 1, status = 0;
  clock_gettime(CLOCK_MONOTONIC, &a);
  if (!strcmp(mode, "alongside")) {
    pid_t child = fork();
    if (child == 0) _exit(Load(argv[2]) ? 0 : 1);
    ok = Copy(argv + 4, argc - 4, argv[3]);
    ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  } else {
    if (strcmp(mode, "copy")) ok = Load(argv[2]);
    if (strcmp(mode, "load")) ok = ok && Copy(argv + 4, argc - 4, argv[3]);
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%.1f\n", (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6);
  return ok ? 0 : 1;
}
SOURCE
cc -O2 -o "$work/floor" "$work/floor.c" -ldl
avcodec=$(ldd "$(command -v ffmpeg)" | awk '/libavcodec/ {print $1}')
declare -A floors
for ((i = 0; i < 21; i++)); do
  for mode in load copy serial alongside; do
    floors[$mode]+="$("$work/floor" "$mode" "$avcodec" "$work/out/floor.avi" "$work"/four/*.avi) "
  done
done

# What any command costs under `timed`: starting /usr/bin/time and the program.
floor=""
for ((i = 0; i < 21; i++)); do read -r t _ < <(timed "$work/out" true); floor+="$t "; done
ours_version=$(startup "$cli" --version)
ffmpeg_version=$(startup ffmpeg -version)
ours_info=$(startup "$cli" info "$work/short.avi")

# FFV1 at 1920 x 1080: peak memory against ffmpeg's.
for i in 1 2; do
  f=$work/hd$i.avi
  [ -f "$f" ] || ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=4" \
    -f lavfi -i "sine=frequency=$((330 * i)):sample_rate=44100:duration=4" -c:v mpeg4 -q:v 4 \
    -c:a pcm_s16le -ac 2 "$f"
done
printf "file '%s'\nfile '%s'\n" "$work/hd1.avi" "$work/hd2.avi" >"$work/hd.txt"
setting() { "$cli" codecs | awk -F'\t' -v h="$1" '$1 == h {print $3}' | tr ' ' '\n' | awk -F= -v k="$2" '$1 == k {print $2}'; }
coder=$(setting ffv1 coder)
ffv1key=$(setting ffv1 keyint)
declare -A rss
for ((r = 0; r < 3; r++)); do
  for who in ours ffmpeg; do
    rm -f "$work/out/$who.avi"
    if [ "$who" = ours ]; then
      read -r t m _ < <(timed "$work/out" "$cli" join --recompress ffv1 -o "$work/out/ours.avi" "$work/hd1.avi" "$work/hd2.avi")
    else
      read -r t m _ < <(timed "$work/out" ffmpeg -nostdin -v error -f concat -safe 0 -i "$work/hd.txt" -map 0:v -map 0:a \
        -c:v ffv1 -pix_fmt bgr0 -coder "$coder" -g "$ffv1key" -c:a pcm_s16le "$work/out/ffmpeg.avi")
    fi
    rss[$who]+="$m "
    times[ffv1-$who]+="$t "
  done
done
hdframes=$(packets "$work/out/ffmpeg.avi")

m() { echo "${times[$1]}" | median; }
echo
echo "| Work (median of $rounds rounds) | Splicora | ffmpeg | ratio |"
echo "|---|---|---|---|"
for set in four hundred many; do
  n=$(ls "$work/$set"/*.avi | wc -l)
  o=$(m "ours-$set")
  f=$(m "ffmpeg-$set")
  echo "| direct join of $n clips ($(du -sh "$work/$set" | cut -f1)) | $o s ($(awk "BEGIN {printf \"%.2f\", $o * 1000 / $n}") ms a clip) | $f s ($(awk "BEGIN {printf \"%.2f\", $f * 1000 / $n}") ms a clip) | $(ratio "$o" "$f") |"
done
echo "| \`--version\` (start-up only; ffmpeg -version) | $ours_version ms, $(libraries "$cli") shared libraries | $ffmpeg_version ms, $(libraries "$(command -v ffmpeg)") shared libraries | $(ratio "$ours_version" "$ffmpeg_version") |"
echo "| \`info\` of one clip | $ours_info ms | | |"
echo "| \`true\` timed the same way (in every time above) | $(echo "$floor" | median) s | | |"
echo "| loading $avcodec alone (dlopen in a program of its own) | $(echo "${floors[load]}" | median) ms | | |"
echo "| copying the four clips alone (copy_file_range, the same program) | $(echo "${floors[copy]}" | median) ms | | |"
echo "| both, one after the other; both alongside (two processes) | $(echo "${floors[serial]}" | median) ms; $(echo "${floors[alongside]}" | median) ms | | |"
o=$(echo "${rss[ours]}" | maxof)
f=$(echo "${rss[ffmpeg]}" | maxof)
echo "| FFV1 conversion 2 x 4 s 1920x1080, peak RSS | $((o / 1024)) MB ($(m ffv1-ours) s) | $((f / 1024)) MB ($(m ffv1-ffmpeg) s) | $(ratio "$o" "$f") |"
echo "FFV1 outputs: ffprobe reads $(packets "$work/out/ours.avi") (ours) and $hdframes (ffmpeg) video packets"
exit $bad
