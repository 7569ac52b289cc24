# Shared by the benches: sourced, not run.

# timed DIR COMMAND...: runs COMMAND after a sync, its output thrown away and
# its standard error kept in DIR/stderr; prints "seconds kB user sys". The
# seconds are bash's clock to the millisecond around /usr/bin/time (whose own are
# hundredths, too coarse for short joins; its start adds the same to everyone).
timed() {
  local dir=$1 start end
  shift
  sync
  start=$EPOCHREALTIME
  /usr/bin/time -f "%M %U %S" -o "$dir/time" "$@" >/dev/null 2>"$dir/stderr" || {
    echo "failed: $*" >&2
    cat "$dir/stderr" >&2
    exit 1
  }
  end=$EPOCHREALTIME
  echo "$(awk "BEGIN {printf \"%.3f\", $end - $start}") $(cat "$dir/time")"
}

# Median and maximum of numbers separated by blanks or lines, on standard input.
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
maxof() { tr ' ' '\n' | grep -v '^$' | sort -g | tail -1; }

# built_cli SRC BUILD: configures BUILD once, builds splicora-cli there and
# prints its absolute path.
built_cli() {
  [ -f "$2/build.ninja" ] || cmake -S "$1" -B "$2" -G Ninja >/dev/null
  cmake --build "$2" --target splicora-cli >/dev/null
  echo "$(cd "$2" && pwd)/cli/splicora-cli"
}

# absolute_dir DIR: makes DIR and prints its absolute path (the concat lists
# name the clips by absolute path).
absolute_dir() {
  mkdir -p "$1"
  (cd "$1" && pwd)
}

# bench_setup NAME ROUNDS [build dir] [rounds] [work dir]: the arguments every
# bench takes. Sets src, build, rounds (ROUNDS unless given), cli (built in
# build, or $SPLICORA_CLI to measure another build) and work (absolute and
# made; build/bench-NAME unless given). Needs $here, the bench's folder.
bench_setup() {
  src=$(cd "$here/.." && pwd)
  build=${3:-$src/build}
  rounds=${4:-$2}
  cli=${SPLICORA_CLI:-$(built_cli "$src" "$build")}
  work=$(absolute_dir "${5:-$build/bench-$1}")
}

# Every compressor at its defaults: a settings file that is never written.
use_default_settings() {
  export SPLICORA_SETTINGS=$work/defaults.ini
  rm -f "$SPLICORA_SETTINGS"
}
