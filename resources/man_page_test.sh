#!/usr/bin/env bash
# The man page and --help must agree: every option --help prints, and every value it lists for
# an option, is in the man page, and the page renders without warnings.
#   man_page_test.sh PROGRAM MAN_PAGE
set -uo pipefail
program=$1
page=$2

help=$("$program" --help) || { echo "man_page: $program --help failed"; exit 1; }
# roff writes a hyphen as \- and may break words with \%; the reader sees neither.
text=$(sed -e 's/\\-/-/g' -e 's/\\%//g' "$page")

failures=0
options=$(grep -oE '^  --[a-z][a-z-]*' <<<"$help" | tr -d ' ')
[ -n "$options" ] || { echo "man_page: --help lists no options"; exit 1; }
for option in $options; do
  grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"$text" || { echo "man_page: $option is not in the man page"; failures=$((failures + 1)); }
done
# Choices written as a|b|c after an option, e.g. the backends.
for value in $(grep -oE '^  --[a-z-]+ [a-z0-9]+(\|[a-z0-9]+)+' <<<"$help" | awk '{print $2}' | tr '|' ' '); do
  grep -qw -- "$value" <<<"$text" || { echo "man_page: the value $value is not in the man page"; failures=$((failures + 1)); }
done

if command -v man >/dev/null; then
  warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man_page: the page renders with warnings:"; echo "$warnings"; failures=$((failures + 1)); }
fi
[ "$failures" -eq 0 ] && echo "man_page: $(wc -w <<<"$options") options agree"
[ "$failures" -eq 0 ]
