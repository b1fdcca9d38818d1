#!/usr/bin/env bash
# The GNU parallel recipe of the README: N shards of one list run as N jobs,
# merged into one table that holds every pair of a single run exactly once.
# Usage: test_parallel.sh COMPARE_PAIRS SAMPLES_DIR
set -euo pipefail
compare_pairs=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

command -v parallel >/dev/null || { echo "GNU parallel is not installed" >&2; exit 1; }

# Pairs of the samples in both orders, with an image against itself.
{
  echo "# first second"
  for a in chelsea.png coffee.png rocket.jpg; do
    for b in coffee.png rocket.jpg chelsea.png; do
      printf '%s\t%s\n' "$samples/$a" "$samples/$b"
    done
  done
} > pairs.txt

shards=4
parallel --will-cite -j 2 "$compare_pairs" -j 1 --shard {}/$shards --out shard-{}.csv --resume pairs.txt \
  ::: $(seq 0 $((shards - 1)))
"$compare_pairs" --merge --list pairs.txt --out table.csv $(for k in $(seq 0 $((shards - 1))); do echo shard-$k.csv; done)
"$compare_pairs" --out direct.csv pairs.txt 2>/dev/null

[ "$(grep -c '^first,second,status' table.csv)" -eq 1 ] || { echo "header not once" >&2; exit 1; }
[ "$(head -n 1 table.csv)" = "$(head -n 1 direct.csv)" ] || { echo "headers differ" >&2; exit 1; }
# Merged against the list, the rows come in its order, as one run writes them.
if ! diff table.csv direct.csv; then
  echo "the merged shards differ from a single run" >&2
  exit 1
fi
[ "$(tail -n +2 table.csv | wc -l)" -eq 9 ] || { echo "expected 9 rows" >&2; exit 1; }
echo "GNU parallel: $shards shards merged into $(tail -n +2 table.csv | wc -l) rows, same as one run"
