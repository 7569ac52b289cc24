# Shared by the benches: sourced, not run.

# timed DIR COMMAND...: runs COMMAND after a sync, its output thrown away and
# its standard error kept in DIR/stderr; prints "seconds kB user sys".
timed() {
  local dir=$1
  shift
  sync
  /usr/bin/time -f "%e %M %U %S" -o "$dir/time" "$@" >/dev/null 2>"$dir/stderr" || {
    echo "failed: $*" >&2
    cat "$dir/stderr" >&2
    exit 1
  }
  cat "$dir/time"
}

# Median and maximum of numbers separated by blanks or lines, on standard input.
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
maxof() { tr ' ' '\n' | grep -v '^$' | sort -g | tail -1; }
