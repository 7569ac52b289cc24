#!/usr/bin/env bash
# The manual pages render without warnings, and splicora-cli's page has every
# command and option that the program's own --help (and each command's
# --help) prints, so a new option cannot be left out of the page.
set -euo pipefail
cli=$1
mandir=$2
command -v man >/dev/null || { echo "man is not installed (man-db, tools/install-deps.sh)"; exit 1; }

render() {
  # ASCII, no hyphenation surprises from the locale; col -b drops overstrikes.
  local page=$1 warnings
  warnings=$(LC_ALL=C MANWIDTH=120 man --warnings -l "$page" 2>&1 >/dev/null) || true
  [ -z "$warnings" ] || { echo "$page: $warnings" >&2; return 1; }
  LC_ALL=C MANWIDTH=120 MANPAGER=cat man -l "$page" | col -b
}

fail=0
cli_page=$(render "$mandir/splicora-cli.1") || fail=1
gui_page=$(render "$mandir/splicora.1") || fail=1
[ "$fail" = 0 ] || exit 1
grep -q '^NAME' <<<"$cli_page" || { echo "splicora-cli.1 renders without a NAME section"; exit 1; }

help=$("$cli" --help)
commands=$(sed -n 's/^  splicora-cli \([a-z][a-z-]*\).*/\1/p' <<<"$help" | sort -u)
[ -n "$commands" ] || { echo "no commands found in --help:"; echo "$help"; exit 1; }
all_help=$help
for c in $commands; do all_help+=$'\n'$("$cli" "$c" --help); done
options=$(grep -oE '(^|[][ |,])--?[a-z][a-z0-9-]*' <<<"$all_help" | sed 's/^[][ |,]*//' | sort -u)
[ "$(wc -l <<<"$options")" -ge 8 ] || { echo "too few options found in --help: $options"; exit 1; }

for c in $commands; do
  grep -qE "^ {7}$c( |$)" <<<"$cli_page" || { echo "splicora-cli.1 has no entry for the command $c"; fail=1; }
done
for o in $options; do
  # The option's own entry (an indented tag line), not just a mention.
  grep -qE "^ {7}([^ ].*[ ,])?$o([ ,]|$)" <<<"$cli_page" || { echo "splicora-cli.1 has no entry for $o"; fail=1; }
done
for code in 0 1 2 3; do
  grep -qE "^ {7}$code( |\$)" <<<"$cli_page" || { echo "splicora-cli.1 does not explain exit status $code"; fail=1; }
done
grep -q 'SPLICORA_SETTINGS' <<<"$gui_page" || { echo "splicora.1 lacks the settings file variable"; fail=1; }
echo "$(wc -w <<<"$commands") commands and $(wc -l <<<"$options") options found in splicora-cli.1"
exit $fail
