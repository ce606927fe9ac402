#!/usr/bin/env bash
# veltrane.conf(5) against the relay: every key of README's configuration
# table, of the integer key table in src/base/config.cc and of the shipped
# configuration files has an entry, every integer key's entry names the
# range the relay enforces ("Range MIN to MAX"), and the page lists no key
# the relay does not know. Then every manual page renders without a warning.
set -euo pipefail
cd "$(dirname "$0")/../.."
page=man/veltrane.conf.5
problems=0
problem() {
  echo "check-manpages: $*" >&2
  problems=$((problems + 1))
}

# The text of a key's entry: from ".B KEY" after ".TP" up to the next
# paragraph macro.
entry() {
  awk -v key="$1" '
    prev == ".TP" && $0 == ".B " key { on = 1; prev = $0; next }
    on && /^\.(TP|SS|SH)/ { exit }
    on { print }
    { prev = $0 }' "$page" | tr '\n' ' '
}

readme_keys=$(sed -n '/^## Configuration/,/^## /p' README.md | sed -n 's/^| `\([A-Za-z]*\)` |.*/\1/p')
[[ -n $readme_keys ]] || problem "no keys found in README's configuration table"
integer_keys=$(sed -n 's/^ *{"\([A-Za-z]*\)", *\([0-9]*\), *\([0-9A-Za-z]*\)},.*/\1 \2 \3/p' src/base/config.cc)
[[ -n $integer_keys ]] || problem "no integer keys found in src/base/config.cc"
file_keys=$(sed -n 's/^#\{0,1\}\([A-Z][A-Za-z]*\) *=.*/\1/p' etc/veltrane.conf etc/system/veltrane.conf | sort -u)
page_keys=$(awk 'prev == ".TP" && /^\.B [A-Z][A-Za-z]*$/ { print $2 } { prev = $0 }' "$page" | sort -u)

for key in $readme_keys $file_keys $(awk '{print $1}' <<<"$integer_keys"); do
  grep -qxF "$key" <<<"$page_keys" || problem "$page has no entry for $key"
done
for key in $page_keys; do
  grep -qxF "$key" <<<"$readme_keys" || problem "$page documents $key, which README's table lacks"
done
while read -r key min max; do
  [[ $max == kU32 ]] && max=4294967295
  entry "$key" | grep -qF "Range $min to $max" || problem "$page: $key's entry does not say \"Range $min to $max\""
done <<<"$integer_keys"

for f in man/*.[0-9]; do
  warnings=$(MANWIDTH=80 man --warnings -l "$f" 2>&1 >/dev/null)
  [[ -z $warnings ]] || problem "$f: $warnings"
done

((problems == 0)) || exit 1
echo "check-manpages: $(wc -w <<<"$page_keys") keys documented, $(wc -l <<<"$integer_keys") integer ranges match"
