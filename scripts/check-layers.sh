#!/usr/bin/env bash
# Checks that the folders under src/ form layers: a file includes only from
# its own folder and from folders below it in the order below. Prints every
# include that breaks the rule, and every folder missing from the order, and
# exits 1 when there is any.
set -euo pipefail
cd "$(dirname "$0")/.."

# Bottom to top.
layers=(platform base parsedate article distrib dedupe history spool incoming feeds control service)

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

failed=0
for dir in src/*/; do
  folder=$(basename "$dir")
  if [ -z "${rank[$folder]+x}" ]; then
    echo "src/$folder/ is not in the layer order of scripts/check-layers.sh"
    failed=1
  fi
done

while IFS=: read -r file line text; do
  folder=$(cut -d/ -f2 <<<"$file")
  target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)\/.*/\1/p' <<<"$text")
  [ -n "$target" ] || continue
  [ -n "${rank[$folder]+x}" ] || continue  # src/main.cc and unknown folders
  if [ -z "${rank[$target]+x}" ] || ((rank[$target] > rank[$folder])); then
    echo "$file:$line: $folder/ includes from $target/, which is not below it:$text"
    failed=1
  fi
done < <(grep -rn --include='*.h' --include='*.cc' --include='*.y' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' src/*/)

if ((failed)); then
  echo "layers: FAILED (order, bottom to top: ${layers[*]})"
  exit 1
fi
echo "layers: every include goes down (${layers[*]})"
