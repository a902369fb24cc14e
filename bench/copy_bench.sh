#!/usr/bin/env bash
# The copy step against `cp -r` of the same staged tree (about 1 GB in 2,000 files, from extract_bench's package
# set, unpacked once). Ours and cp run in alternation; every run starts after a sync so earlier writes do not
# weigh on it. Usage: bench/copy_bench.sh [build dir] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/plain}
rounds=${2:-7}
bin=$build/bench/extract_bench
work=$(mktemp -d "${TMPDIR:-/tmp}/copy-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
best() { printf '%s\n' "$@" | sort -g | head -n 1; }

"$bin" prepare "$work/app"
"$bin" extract "$work/app" >/dev/null
staged=$work/app/packages/tmp
declare -a ours ref
for ((round = 0; round < rounds; round++)); do
  sync
  ours+=("$("$bin" copy "$work/app" | tail -n 1)")

  rm -rf "$work/copy"; sync
  start=$(now); cp -r "$staged" "$work/copy"; ref+=("$(elapsed "$start" "$(now)")")
  rm -rf "$work/copy"
done

om=$(median "${ours[@]}"); ob=$(best "${ours[@]}")
rm_=$(median "${ref[@]}"); rb=$(best "${ref[@]}")
echo "rounds: $rounds, $(du -sb "$staged" | cut -f1) bytes staged"
printf 'copy: ours median %.3f s (best %.3f s), cp -r median %.3f s (best %.3f s)\n' "$om" "$ob" "$rm_" "$rb"
printf 'copy speed ours/cp -r: median %.2f, best %.2f\n' "$(echo "$rm_ / $om" | bc -l)" "$(echo "$rb / $ob" | bc -l)"
