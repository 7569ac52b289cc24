#!/usr/bin/env bash
# The direct join against its peers. Eight clips of about 125 MB (MPEG-4
# 640 x 480 with MP3, made once by the ffmpeg CLI) are joined by
# `splicora-cli join`, copied by `cat`, and remuxed by
# `ffmpeg -f concat -safe 0 -i list -map 0 -c copy`, in rotating order, each
# into a fresh output after a `sync`; medians of the rounds and the peak
# resident set of each. Then clips are joined into one output past 4 GiB and
# ffprobe reads it whole: its packet and frame counts must equal the inputs';
# a Ctrl-C during that join says how soon a cancel ends it. Last, on a file
# system with shared extents (an XFS image in a file, loop-mounted where the
# machine allows; otherwise skipped with the reason): the eight clips joined
# against `cat` (time and new disk space, rotating, medians), and the 4.5 GB join.
# Usage: bench/join.sh [build dir] [rounds] [work dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_setup join 5 "$@"
xfs_mnt=$work/xfs
cleanup() {
  rm -rf "$work/out" "$work/big"
  if mountpoint -q "$xfs_mnt" 2>/dev/null; then umount "$xfs_mnt"; fi
  rm -f "$work/xfs.img"
}
trap cleanup EXIT

clip=$work/clip.avi
if [ ! -f "$clip" ]; then
  echo "making a 125 s 640x480 MPEG-4 clip with MP3 (about 125 MB)..."
  # Light noise keeps the encoder at its bit rate; the GOP is ffmpeg's default.
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x480:rate=25:duration=125" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=125" -vf "noise=alls=8:allf=t" \
    -c:v mpeg4 -b:v 8M -c:a libmp3lame -b:a 128k "$clip"
fi
clips=()
: >"$work/list.txt"
for i in 1 2 3 4 5 6 7 8; do
  [ -f "$work/clip$i.avi" ] || cp "$clip" "$work/clip$i.avi"
  clips+=("$work/clip$i.avi")
  echo "file '$work/clip$i.avi'" >>"$work/list.txt"
done
total=$(du -cb "${clips[@]}" | tail -1 | cut -f1)
echo "inputs: 8 clips, $total bytes"
cat "${clips[@]}" >/dev/null  # warm the page cache for everyone alike

mkdir -p "$work/out"
run() {  # command...: one timed run into a fresh output, prints "seconds kB user sys [join]"
  rm -f "$work/out/"*
  local t
  t=$(timed "$work/out" "$@")
  # splicora-cli also reports the join proper, after its clip checks.
  echo "$t $(grep -aoE 'Joined [0-9]+ clips in [0-9.]+' "$work/out/stderr" | awk '{print $NF}')"
}
declare -A commands times mems joins cpus
commands[splicora]="exec '$cli' join -o '$work/out/ours.avi' ${clips[*]}"
commands[cat]="exec cat ${clips[*]} >'$work/out/cat.avi'"
commands[ffmpeg]="exec ffmpeg -nostdin -v error -f concat -safe 0 -i '$work/list.txt' -map 0 -c copy '$work/out/ffmpeg.avi'"
names=(splicora cat ffmpeg)
echo "load average before the rounds: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
for ((r = 0; r < rounds; r++)); do
  line="round $((r + 1)):"
  for ((k = 0; k < 3; k++)); do
    name=${names[$(((r + k) % 3))]}
    read -r t m u sy j < <(run bash -c "${commands[$name]}")
    times[$name]+="$t "
    mems[$name]+="$m "
    cpus[$name]+="$(awk "BEGIN {print $u + $sy}") "
    line+=" $name ${t}s"
    if [ -n "${j:-}" ]; then
      joins[$name]+="$j "
      line+=" (join proper ${j}s)"
    fi
  done
  echo "$line"
done
o=$(echo "${times[splicora]}" | median)
c=$(echo "${times[cat]}" | median)
f=$(echo "${times[ffmpeg]}" | median)
echo "load average after the rounds: $(cut -d' ' -f1-3 /proc/loadavg)"
j=$(echo "${joins[splicora]}" | median)
echo "medians: splicora $o s (join proper $j s), cat $c s, ffmpeg concat $f s"
echo "ratios, whole command: splicora/cat $(awk "BEGIN {printf \"%.3f\", $o / $c}"), splicora/ffmpeg $(awk "BEGIN {printf \"%.3f\", $o / $f}")"
echo "ratios, join proper:   splicora/cat $(awk "BEGIN {printf \"%.3f\", $j / $c}"), splicora/ffmpeg $(awk "BEGIN {printf \"%.3f\", $j / $f}")"
echo "CPU time (user + system), medians: splicora $(echo "${cpus[splicora]}" | median) s, cat $(echo "${cpus[cat]}" | median) s, ffmpeg $(echo "${cpus[ffmpeg]}" | median) s"
echo "peak RSS: splicora $(echo "${mems[splicora]}" | maxof) kB, cat $(echo "${mems[cat]}" | maxof) kB, ffmpeg $(echo "${mems[ffmpeg]}" | maxof) kB"
# What every run of the command costs before it does anything: the loader
# maps Qt and FFmpeg with their ~150 shared libraries (`--version` starts,
# prints and exits). No whole command can be faster than cat by less than this.
starts=""
for ((i = 0; i < 21; i++)); do
  s=$(date +%s%N)
  "$cli" --version >/dev/null
  starts+="$((($(date +%s%N) - s) / 1000)) "
done
startup=$(awk "BEGIN {printf \"%.3f\", $(echo "$starts" | median) / 1e6}")
echo "process start and exit (splicora-cli --version, median of 21): $startup s = $(awk "BEGIN {printf \"%.3f\", $startup / $c}") x cat"

# Past 4 GiB: 35 clips of about 125 MB.
n=${SPLICORA_BENCH_BIG_CLIPS:-35}
big=()
for ((i = 0; i < n; i++)); do big+=("${clips[$((i % 8))]}"); done
mkdir -p "$work/big"
rm -f "$work/big/"*
sync
/usr/bin/time -f "%e %M %U %S" -o "$work/big/time" "$cli" join -o "$work/big/big.avi" "${big[@]}" >/dev/null 2>"$work/big/stderr"
read -r t m _ <"$work/big/time"
size=$(stat -c %s "$work/big/big.avi")
echo "past 4 GiB: $n clips into $size bytes in $t s, peak RSS $m kB"
count() {  # file: video packets, audio packets, decoded video frames
  ffprobe -v error -count_packets -count_frames -select_streams v:0 -show_entries stream=nb_read_packets,nb_read_frames -of csv=p=0 "$1" | tr -d '\n'
  echo -n ","
  ffprobe -v error -count_packets -select_streams a:0 -show_entries stream=nb_read_packets -of csv=p=0 "$1"
}
one=$(count "$clip")
IFS=, read -r vp vf ap <<<"$one"
got=$(count "$work/big/big.avi")
IFS=, read -r gvp gvf gap <<<"$got"
echo "ffprobe on the whole output: video packets $gvp, video frames $gvf, audio packets $gap"
echo "inputs' sums:                 video packets $((vp * n)), video frames $((vf * n)), audio packets $((ap * n))"
# Each clip's audio is cut where its video ends, so audio a little longer
# than its video loses a packet now and then; the audio's length must match
# the video's within one MP3 frame.
vdur=$(ffprobe -v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 "$work/big/big.avi")
adur=$(awk "BEGIN {printf \"%.4f\", $gap * 1152 / 44100}")
echo "durations: video $vdur s, audio $adur s ($((ap * n - gap)) audio packets cut to keep each clip's sound on its pictures)"
ok=$(awk "BEGIN {d = $adur - $vdur; if (d < 0) d = -d; print (d <= 1152 / 44100) ? 1 : 0}")
if [ "$gvp" = "$((vp * n))" ] && [ "$gvf" = "$((vf * n))" ] && [ "$ok" = 1 ]; then
  echo "video counts equal the inputs'; audio matches the video"
else
  echo "MISMATCH"
  exit 1
fi

# Ctrl-C one second into the same join (after the clip checks): how long until
# the command has ended, and the file left must be readable.
rm -f "$work/big/"*
sync
"$cli" join -o "$work/big/cancel.avi" "${big[@]}" >/dev/null 2>"$work/big/stderr" &
pid=$!
sleep 1
t0=$(date +%s%N)
if ! kill -INT "$pid" 2>/dev/null; then
  echo "Ctrl-C: the join ended within the first second (fewer clips than the bench's 35?): not measured"
fi
status=0
wait "$pid" || status=$?
t1=$(date +%s%N)
probe=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$work/big/cancel.avi")
echo "Ctrl-C 1 s into the 4.5 GB join: ended after $(((t1 - t0) / 1000000)) ms, exit $status, $(stat -c %s "$work/big/cancel.avi") bytes written, ffprobe reads $probe video packets"
rm -f "$work/big/"*

# A file system with shared extents: XFS in an image file.
xfs() {
  if [ "$(id -u)" != 0 ]; then
    echo "XFS: loop-mounting an image needs root: skipped"
    return
  fi
  if ! command -v mkfs.xfs >/dev/null && ! apt-get install -y xfsprogs >/dev/null 2>&1; then
    echo "XFS: no mkfs.xfs and xfsprogs cannot be installed: skipped"
    return
  fi
  rm -f "$work/xfs.img"
  truncate -s 8G "$work/xfs.img"
  mkfs.xfs -q "$work/xfs.img"
  mkdir -p "$xfs_mnt"
  if ! mount -o loop "$work/xfs.img" "$xfs_mnt" 2>"$work/out/mount.err"; then
    echo "XFS: the image cannot be mounted here ($(cat "$work/out/mount.err")): skipped"
    return
  fi
  echo "XFS image mounted: $(xfs_info "$xfs_mnt" | grep -o 'reflink=[01]'), block size $(stat -f -c %S "$xfs_mnt")"
  local xclips=() i
  for i in 1 2 3 4 5 6 7 8; do
    cp --reflink=never "$clip" "$xfs_mnt/clip$i.avi"
    xclips+=("$xfs_mnt/clip$i.avi")
  done
  mkdir -p "$xfs_mnt/out"
  used() { df -B1 --output=used "$xfs_mnt" | tail -1; }
  settle() {  # XFS frees removed files' blocks in the background
    sync
    local a b
    a=$(used)
    while sleep 0.5; b=$(used); [ "$a" != "$b" ]; do a=$b; done
  }
  xrun() {  # command...: "seconds kB new-bytes" for one run into a fresh output
    rm -f "$xfs_mnt/out/"*
    settle
    local before after
    before=$(used)
    local t start end
    t=$(timed "$work/out" "$@")
    # Until the data is on disk: the command and a sync after it.
    start=$EPOCHREALTIME
    sync
    end=$EPOCHREALTIME
    settle
    after=$(used)
    echo "$(cut -d' ' -f1-2 <<<"$t") $((after - before)) $(grep -aoE 'Joined [0-9]+ clips in [0-9.]+' "$work/out/stderr" | awk '{print $NF}') $(awk "BEGIN {printf \"%.3f\", $(cut -d' ' -f1 <<<"$t") + $end - $start}")"
  }
  declare -A xt xs xm xj xd
  local xnames=(splicora cat) r k name t m sp j d line
  for ((r = 0; r < rounds; r++)); do
    line="XFS round $((r + 1)):"
    for ((k = 0; k < 2; k++)); do
      name=${xnames[$(((r + k) % 2))]}
      if [ "$name" = splicora ]; then
        read -r t m sp j d < <(xrun "$cli" join -o "$xfs_mnt/out/ours.avi" "${xclips[@]}")
        xj[$name]+="$j "
      else
        read -r t m sp d < <(xrun bash -c "exec cat ${xclips[*]} >'$xfs_mnt/out/cat.avi'")
      fi
      xt[$name]+="$t "
      xd[$name]+="$d "
      xs[$name]+="$sp "
      xm[$name]+="$m "
      line+=" $name ${t}s (on disk ${d}s) new $((sp / 1000000)) MB"
    done
    echo "$line"
  done
  local so sc
  so=$(echo "${xt[splicora]}" | median)
  sc=$(echo "${xt[cat]}" | median)
  echo "XFS medians: splicora $so s (join proper $(echo "${xj[splicora]}" | median) s), cat $sc s; ratio splicora/cat $(awk "BEGIN {printf \"%.3f\", $so / $sc}"), join proper/cat $(awk "BEGIN {printf \"%.3f\", $(echo "${xj[splicora]}" | median) / $sc}")"
  echo "XFS until on disk (command + sync), medians: splicora $(echo "${xd[splicora]}" | median) s, cat $(echo "${xd[cat]}" | median) s; ratio $(awk "BEGIN {printf \"%.3f\", $(echo "${xd[splicora]}" | median) / $(echo "${xd[cat]}" | median)}")"
  echo "XFS new disk space, medians: splicora $(echo "${xs[splicora]}" | median) bytes, cat $(echo "${xs[cat]}" | median) bytes, for outputs of $total bytes"
  echo "XFS peak RSS: splicora $(echo "${xm[splicora]}" | maxof) kB"
  echo "XFS: process start and exit alone $(awk "BEGIN {printf \"%.3f\", $startup / $sc}") x cat"

  local xbig=()
  for ((i = 0; i < n; i++)); do xbig+=("${xclips[$((i % 8))]}"); done
  read -r t m sp j d < <(xrun "$cli" join -o "$xfs_mnt/out/big.avi" "${xbig[@]}")
  size=$(stat -c %s "$xfs_mnt/out/big.avi")
  got=$(count "$xfs_mnt/out/big.avi")
  IFS=, read -r gvp gvf gap <<<"$got"
  echo "XFS past 4 GiB: $n clips into $size bytes in $t s (join proper $j s, on disk $d s), new disk space $sp bytes, peak RSS $m kB"
  echo "  ffprobe: video packets $gvp, frames $gvf, audio packets $gap (inputs: $((vp * n)), $((vf * n)), $((ap * n)))"
  [ "$gvp" = "$((vp * n))" ] && [ "$gvf" = "$((vf * n))" ] || { echo "MISMATCH"; exit 1; }
}
xfs
