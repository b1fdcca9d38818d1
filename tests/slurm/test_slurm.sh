#!/usr/bin/env bash
# The cluster recipe end to end on a real single-node Slurm on this machine:
# scripts/slurm-local.sh starts it, scripts/slurm-compare-pairs.sh submits a
# 3-shard comparison of the sample photographs, and the merged table must hold
# exactly the rows of one direct compare-pairs run. Then the recipe's reruns:
# an interrupted shard is finished, a complete run is left as it is, a missing
# shard table makes the merge fail; and its refusals of bad input.
#
#   tests/slurm/test_slurm.sh [COMPARE_PAIRS]
#
# The program is the argument, else $COMPARE_PAIRS, else build/bin/compare-pairs.
# The cluster lives in $TOOLKIT_SLURM_DIR (default /tmp/toolkit-slurm-test, on
# ports $TOOLKIT_SLURM_PORT and the next, default 6827) so it does not meet a
# cluster started by hand; it is stopped when the test ends, however it ends.
# SLURM_TEST_TIMEOUT bounds the wait for each job (seconds, default 300).
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd -P)
compare_pairs=${1:-${COMPARE_PAIRS:-$repo/build/bin/compare-pairs}}
export TOOLKIT_SLURM_DIR=${TOOLKIT_SLURM_DIR:-/tmp/toolkit-slurm-test}
export TOOLKIT_SLURM_PORT=${TOOLKIT_SLURM_PORT:-6827}
job_timeout=${SLURM_TEST_TIMEOUT:-300}
slurm_local="$repo/scripts/slurm-local.sh"
recipe="$repo/scripts/slurm-compare-pairs.sh"

passed=0
failed=0
note() { echo "test_slurm: $*"; }
pass() {
  passed=$((passed + 1))
  echo "ok: $*"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*" >&2
}
# A failure after which nothing further can be checked.
abort() {
  echo "FAIL: $*" >&2
  failed=$((failed + 1))
  echo "$passed passed, $failed failed"
  exit 1
}

case "$compare_pairs" in
  /*) ;;
  *) compare_pairs="$PWD/$compare_pairs" ;;
esac
[ -x "$compare_pairs" ] || abort "compare-pairs not found or not executable: $compare_pairs"
export COMPARE_PAIRS="$compare_pairs"

work=$(mktemp -d /tmp/test-slurm.XXXXXX) || abort "cannot make a working directory"
cleanup() {
  "$slurm_local" stop >/dev/null 2>&1 || echo "test_slurm: could not stop the test cluster in $TOOLKIT_SLURM_DIR" >&2
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- bad input is refused before anything is submitted -----------------------
# (these need no running cluster: the recipe stops at its checks)

expect_refusal() { # description, expected status, command...
  local what=$1 want=$2 out status
  shift 2
  out=$("$@" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -ne "$want" ]; then
    fail "$what: exit status $status, expected $want"
  elif ! grep -q '^slurm-compare-pairs: ' <<<"$out"; then
    fail "$what: no error message on stderr (got '$out')"
  else
    pass "$what"
  fi
}

cd "$work" || abort "cannot enter $work"
printf 'a.png\tb.png\n' >one.txt
expect_refusal "missing pairs list" 1 "$recipe" -o "$work/bad" no-such-list.txt
expect_refusal "zero shards" 2 "$recipe" -n 0 -o "$work/bad" one.txt
expect_refusal "non-numeric shards" 2 "$recipe" -n three -o "$work/bad" one.txt
expect_refusal "unknown option" 2 "$recipe" --shards 3 one.txt
expect_refusal "two lists" 2 "$recipe" one.txt one.txt
expect_refusal "program that is not there" 1 env COMPARE_PAIRS="$work/none" "$recipe" one.txt

# --- the cluster -------------------------------------------------------------

note "starting Slurm in $TOOLKIT_SLURM_DIR"
"$slurm_local" start || abort "scripts/slurm-local.sh start failed"
eval "$("$slurm_local" env)"
"$slurm_local" status >/dev/null || abort "the cluster does not report all daemons running"
pass "single-node cluster started and idle"

# --- the pairs list ----------------------------------------------------------
# Relative paths, so the jobs must run in the directory they were submitted
# from; a comment, a blank line, a space-separated pair and a missing image.

mkdir -p img
cp "$repo/samples/chelsea.png" "$repo/samples/coffee.png" "$repo/samples/rocket.jpg" img/ ||
  abort "cannot copy the sample photographs"
{
  printf '# sample pairs for the cluster test\n'
  printf 'img/chelsea.png\timg/coffee.png\n'
  printf 'img/coffee.png\timg/rocket.jpg\n'
  printf '\n'
  printf 'img/rocket.jpg\timg/chelsea.png\n'
  printf 'img/chelsea.png\timg/chelsea.png\n'
  printf 'img/coffee.png\timg/missing.png\n'
  printf 'img/rocket.jpg img/coffee.png\n'
  printf 'img/coffee.png\timg/chelsea.png\n'
  printf 'img/rocket.jpg\timg/rocket.jpg\n'
} >pairs.txt
npairs=8

"$compare_pairs" --out direct.csv pairs.txt 2>direct.err
status=$?
[ "$status" -eq 1 ] || abort "direct run: exit status $status, expected 1 for the missing image ($(tail -n 3 direct.err))"
[ "$(($(wc -l <direct.csv) - 1))" -eq "$npairs" ] || abort "direct run: $(($(wc -l <direct.csv) - 1)) rows for $npairs pairs"
grep -Eq '^img/coffee.png,img/missing.png,"?error: ' direct.csv || abort "direct run: no error row for the missing image"
header=$(head -n 1 direct.csv)
tail -n +2 direct.csv | sort >direct.rows

# --- helpers -----------------------------------------------------------------

job_state() { # id -> JobState while slurmctld remembers the job
  scontrol show job "$1" -o 2>/dev/null | grep -o 'JobState=[A-Z_]*' | head -n 1 | cut -d= -f2
}

wait_job() { # id: until it has left the queue
  local id=$1 waited=0
  while [ -n "$(squeue -h -j "$id" -o '%i' 2>/dev/null)" ]; do
    if [ "$waited" -ge $((job_timeout * 2)) ]; then
      squeue >&2
      abort "job $id still queued after ${job_timeout}s"
    fi
    sleep 0.5
    waited=$((waited + 1))
  done
}

submit() { # recipe arguments: sets array and merge to the job ids
  local ids
  ids=$("$recipe" --parsable "$@") || abort "slurm-compare-pairs.sh $* failed"
  [[ "$ids" =~ ^(-|[0-9]+)\ [0-9]+$ ]] || abort "slurm-compare-pairs.sh --parsable printed '$ids'"
  read -r array merge <<<"$ids"
}

check_table() { # what, table: the merged table equals the direct run
  local what=$1 table=$2 ok=1
  if [ ! -s "$table" ]; then
    fail "$what: no table $table"
    return
  fi
  if [ "$(head -n 1 "$table")" != "$header" ]; then
    fail "$what: first line '$(head -n 1 "$table")' is not the header '$header'"
    ok=0
  fi
  local headers
  headers=$(grep -cxF "$header" "$table")
  if [ "$headers" -ne 1 ]; then
    fail "$what: the header appears $headers times"
    ok=0
  fi
  local repeated
  repeated=$(tail -n +2 "$table" | cut -d, -f1,2 | sort | uniq -d)
  if [ -n "$repeated" ]; then
    fail "$what: pairs with more than one row: $repeated"
    ok=0
  fi
  tail -n +2 "$table" | sort >"$table.rows"
  if ! cmp -s direct.rows "$table.rows"; then
    fail "$what: rows differ from the direct run:"
    diff direct.rows "$table.rows" >&2
    ok=0
  fi
  [ "$ok" -eq 0 ] || pass "$what: header once, the $npairs rows of the direct run, each pair once"
}

check_job() { # what, id, expected JobState
  local state
  state=$(job_state "$2")
  if [ "$state" = "$3" ]; then
    pass "$1: job $2 $state"
  else
    fail "$1: job $2 ended ${state:-out of memory of slurmctld}, expected $3"
  fi
}

# --- a full run --------------------------------------------------------------

t0=$(date +%s)
submit -n 3 -o out pairs.txt
note "shard array $array, merge job $merge"
wait_job "$merge"
note "first run took $(($(date +%s) - t0)) s from submission"
check_job "merge after the shards" "$merge" COMPLETED
check_table "3-shard run" out/table.csv
for k in 0 1 2; do
  [ -s "out/shard-$k.csv" ] || fail "no shard table out/shard-$k.csv"
done
# Shard 0 holds lines 0, 3, 6 and 9: the comment, the blank line and two pairs.
rows0=$(($(wc -l <out/shard-0.csv) - 1))
if [ "$rows0" -eq 2 ]; then
  pass "shard 0 compared exactly its 2 pairs"
else
  fail "shard 0 has $rows0 rows, expected 2"
fi

# --- an interrupted shard is finished by submitting again ---------------------

# As if task 1 had been killed before its last pair: drop that row.
head -n -1 out/shard-1.csv >out/shard-1.tmp && mv out/shard-1.tmp out/shard-1.csv
rm -f out/table.csv
submit -n 3 -o out pairs.txt
wait_job "$merge"
check_job "rerun after an interrupted shard" "$merge" COMPLETED
check_table "rerun after an interrupted shard" out/table.csv

# --- a complete run submitted again changes nothing ----------------------------

cp out/table.csv table.before
submit -n 3 -o out pairs.txt
wait_job "$merge"
check_table "rerun of a complete run" out/table.csv
if cmp -s table.before out/table.csv; then
  pass "rerun of a complete run leaves the table as it was"
else
  fail "rerun of a complete run changed the table"
fi

# --- rows already in a shard table are kept, not compared again ---------------

# Give the first pair of shard 1 the figures of its second pair: a rerun that
# compared it again would put its own figures back.
cp out/shard-1.csv shard-1.kept
first=$(sed -n 2p out/shard-1.csv)
second=$(sed -n 3p out/shard-1.csv)
marked="$(cut -d, -f1,2 <<<"$first"),$(cut -d, -f3- <<<"$second")"
[ "$marked" != "$first" ] || abort "the first two pairs of shard 1 have the same figures; cannot mark a row"
row="$marked" awk 'NR == 2 { print ENVIRON["row"]; next } { print }' shard-1.kept >out/shard-1.csv
submit -n 3 -o out pairs.txt
wait_job "$merge"
if grep -qxF "$marked" out/table.csv; then
  pass "a rerun keeps the rows a shard table already has"
else
  fail "a rerun compared again a pair its shard table already had"
fi
cp shard-1.kept out/shard-1.csv

# --- the list grown at its end ------------------------------------------------

printf 'img/chelsea.png\timg/rocket.jpg\n' >>pairs.txt
rm -f direct.csv
"$compare_pairs" --out direct.csv pairs.txt 2>direct.err
status=$?
[ "$status" -eq 1 ] || abort "direct run of the longer list: exit status $status, expected 1 ($(tail -n 3 direct.err))"
tail -n +2 direct.csv | sort >direct.rows
npairs=9
submit -n 3 -o out pairs.txt
wait_job "$merge"
check_table "rerun with a pair appended to the list" out/table.csv

# --- a missing shard table fails the merge ------------------------------------

rm -f out/shard-2.csv
submit -n 3 -o out --merge-only pairs.txt
[ "$array" = - ] || fail "--merge-only submitted a shard array ($array)"
wait_job "$merge"
check_job "merge with a missing shard table" "$merge" FAILED
if grep -q 'shard-2.csv is missing' out/logs/merge.log; then
  pass "merge log names the missing shard table"
else
  fail "merge log does not name shard-2.csv: $(cat out/logs/merge.log)"
fi
if [ ! -e out/table.csv ]; then
  pass "no table is left after a failed merge"
else
  fail "a table is left after a failed merge"
fi

# --- tasks killed by their time limit and submitted again ---------------------
# Each shard has more work than fits in Slurm's shortest time limit (one
# minute), so its task is killed part way; the same command is submitted
# again until the merge job succeeds. The merged table must hold each line of
# the list exactly once, the malformed ones included.

mkdir -p slow
{ printf 'P6\n2000 1500\n255\n'; head -c 9000000 /dev/urandom; } >slow/noise.ppm ||
  abort "cannot write a noise image"
slow_pairs=140
{
  for ((i = 0; i < slow_pairs; i++)); do
    ln -sf noise.ppm "slow/a$i.ppm"
    ln -sf noise.ppm "slow/b$i.ppm"
    printf 'slow/a%d.ppm\tslow/b%d.ppm\n' "$i" "$i"
    # A malformed line now and then: its error row must not be repeated.
    [ $((i % 20)) -ne 7 ] || printf 'slow/a%d.ppm\n' "$i"
  done
} >slow-pairs.txt
slow_lines=$(grep -cv '^[[:space:]]*$' slow-pairs.txt)
timeouts=0
rounds=0
for round in 1 2 3 4 5 6; do
  rounds=$round
  SBATCH_EXTRA="--time=1" submit -n 2 -o slow-out slow-pairs.txt
  wait_job "$merge"
  for k in 0 1; do
    [ "$(job_state "${array}_$k")" != TIMEOUT ] || timeouts=$((timeouts + 1))
  done
  [ "$(job_state "$merge")" != COMPLETED ] || break
  if [ -e slow-out/table.csv ]; then
    fail "round $round: the merge failed but left a table"
  fi
done
note "time-limited shards: $timeouts tasks timed out over $rounds submissions"
if [ "$timeouts" -ge 1 ]; then
  pass "shard tasks were killed by their time limit ($timeouts times)"
else
  fail "no shard task reached its time limit: the test's pairs are too few for this machine"
fi
if [ "$(job_state "$merge")" = COMPLETED ] && [ -s slow-out/table.csv ]; then
  rows=$(($(wc -l <slow-out/table.csv) - 1))
  distinct=$(tail -n +2 slow-out/table.csv | cut -d, -f1,2 | sort -u | wc -l)
  if [ "$rows" -eq "$slow_lines" ] && [ "$distinct" -eq "$slow_lines" ]; then
    pass "after $rounds submissions the merged table holds each of the $slow_lines lines once"
  else
    fail "the merged table holds $rows rows, $distinct distinct, for $slow_lines lines"
  fi
  if [ "$(tail -n +2 slow-out/table.csv | cut -d, -f1)" = "$(grep -v '^$' slow-pairs.txt | cut -f1)" ]; then
    pass "the merged table follows the order of the list"
  else
    fail "the merged table is not in the order of the list"
  fi
else
  fail "the merge did not succeed after $rounds submissions: $(tail -n 5 slow-out/logs/merge.log)"
fi

# --- an output directory is not reused with other settings --------------------

expect_refusal "same output directory, other shard count" 1 "$recipe" -n 2 -o out pairs.txt
printf 'img/coffee.png\timg/coffee.png\n' >other.txt
expect_refusal "same output directory, a different list" 1 "$recipe" -n 3 -o out other.txt
mkdir -p earlier
printf 'first,second,status,Q,J,C,M,s,L,ab\nimg/chelsea.png,img/coffee.png,ok,1,1,1,1,1,1,1\n' >earlier/shard-0.csv
expect_refusal "output directory with a shard table of an earlier compare-pairs" 1 "$recipe" -n 3 -o earlier pairs.txt

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
