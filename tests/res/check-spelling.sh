#!/usr/bin/env bash
# Every Russian word the program shows (the string table and the join
# engine's phrases) must be a word of the Russian Hunspell dictionary or one
# of our own terms listed beside this script. A slipped letter in any entry
# fails here, whoever typed the entry.
set -euo pipefail
src=$1
here=$(cd "$(dirname "$0")" && pwd)
dict=${SPLICORA_HUNSPELL_DICT:-ru_RU}
command -v hunspell >/dev/null || { echo "hunspell is not installed (tools/install-deps.sh)"; exit 1; }
probe=$(hunspell -d "$dict" -l <<<"слово" 2>&1) || true
[ -z "$probe" ] || { echo "Hunspell dictionary $dict unusable (hunspell-ru): $probe"; exit 1; }

# The texts only: comment lines and ids dropped, \r as a blank.
texts=$( { grep -v '^#' "$src/res/russian_strings.txt" | cut -f2-
           grep -v '^#' "$src/res/russian_phrases.txt" | cut -f2-; } | sed 's/\\r/ /g')
words=$(grep -oP '\p{Cyrillic}+' <<<"$texts" | sort -u)
[ "$(wc -l <<<"$words")" -gt 100 ] || { echo "too few Russian words found: is the table there?"; exit 1; }

# Our own terms (compound words the dictionary lacks), one a line.
accepted=$(grep -v '^#' "$here/russian_words.txt" | sed '/^$/d' | sort -u)
unknown=$(hunspell -d "$dict" -l <<<"$words" | sort -u | comm -23 - <(echo "$accepted"))
if [ -n "$unknown" ]; then
  echo "Russian words the dictionary does not know (a misspelling, or a term for russian_words.txt):"
  echo "$unknown"
  exit 1
fi

# The list itself stays honest: every accepted term is still used.
unused=$(comm -13 <(echo "$words") <(echo "$accepted"))
if [ -n "$unused" ]; then
  echo "russian_words.txt lists words no text uses any more:"
  echo "$unused"
  exit 1
fi

# A known misspelling must fail: the dictionary really is consulted.
[ -n "$(hunspell -d "$dict" -l <<<"Настроики")" ] || { echo "the dictionary accepts a misspelled word"; exit 1; }
echo "$(wc -l <<<"$words") Russian words checked"
