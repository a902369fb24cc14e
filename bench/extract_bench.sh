#!/usr/bin/env bash
# Extraction against `bsdtar -xf` and the copy against `cp -r`, on one package set of about 1 GB in 2,000 files.
# Ours and the reference run in alternation; every run starts after a sync so earlier writes do not weigh on it.
# Usage: bench/extract_bench.sh [build dir] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/plain}
rounds=${2:-7}
bin=$build/bench/extract_bench
work=$(mktemp -d "${TMPDIR:-/tmp}/extract-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }

"$bin" prepare "$work/app"
zip=$work/app/packages/set.zip
declare -a ours_x ref_x ours_c ref_c
for ((round = 0; round < rounds; round++)); do
  rm -rf "$work/app/packages/tmp" "$work/ref"; sync
  ours_x+=("$("$bin" extract "$work/app" | tail -n 1)")

  mkdir "$work/ref"; sync
  start=$(now); bsdtar -xf "$zip" -C "$work/ref"; ref_x+=("$(elapsed "$start" "$(now)")")
  rm -rf "$work/ref"; sync

  # The last round's copy goes first, as cp's does, so its removal is not timed with ours.
  rm -rf "$work/app"/d*; sync
  ours_c+=("$("$bin" copy "$work/app" | tail -n 1)")

  rm -rf "$work/copy"; sync
  start=$(now); cp -r "$work/app/packages/tmp" "$work/copy"; ref_c+=("$(elapsed "$start" "$(now)")")
  rm -rf "$work/copy"
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
report() {
  local what=$1 ref=$2; shift 2
  local -n ours_runs=$1 ref_runs=$2
  local om ob rm_ rb
  om=$(median "${ours_runs[@]}"); ob=$(best "${ours_runs[@]}")
  rm_=$(median "${ref_runs[@]}"); rb=$(best "${ref_runs[@]}")
  printf '%s: ours median %.3f s (best %.3f s), %s median %.3f s (best %.3f s)\n' "$what" "$om" "$ob" "$ref" "$rm_" "$rb"
  printf '%s speed ours/%s: median %.2f, best %.2f\n' "$what" "$ref" "$(echo "$rm_ / $om" | bc -l)" \
    "$(echo "$rb / $ob" | bc -l)"
}
echo "rounds: $rounds, zip $(stat -c %s "$zip") bytes"
report extraction "bsdtar -xf" ours_x ref_x
report copy "cp -r" ours_c ref_c
