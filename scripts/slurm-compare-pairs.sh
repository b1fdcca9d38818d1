#!/usr/bin/env bash
# Compares a long list of image pairs on a Slurm cluster with compare-pairs.
#
#   scripts/slurm-compare-pairs.sh [-n SHARDS] [-o OUTDIR] [-j THREADS]
#                                  [-m MAX_RUNNING] [--metrics LIST] [--profiles HOW]
#                                  [--merge-only] [--parsable] PAIRS
#
# PAIRS is the same list compare-pairs takes (one pair a line: two image paths
# separated by a tab, or by spaces when there is no tab; blank and '#' lines are
# skipped), or '-' to read it from standard input. Relative image paths are
# taken relative to the directory you submit from, which is where the jobs run,
# so that directory and the images must be visible from the compute nodes
# (a shared file system).
#
# What is submitted:
#
#   1. A job array of SHARDS tasks. Task K runs
#          compare-pairs --shard K/SHARDS --out OUTDIR/shard-K.csv --resume \
#                        -j THREADS [--metrics LIST] [--profiles HOW] OUTDIR/pairs.txt
#      i.e. it compares every SHARDS-th line of the list, starting at line K
#      (0-based), and writes its own table. Because of --resume a task that is
#      requeued, or rerun by submitting again, keeps the rows it already has and
#      compares only the pairs that are missing.
#   2. A merge job that waits for all array tasks (--dependency=afterany), checks
#      that every shard table is there and has a row for each line of its part
#      of the list, and joins them into OUTDIR/table.csv with
#          compare-pairs --merge --list OUTDIR/pairs.txt --out OUTDIR/table.csv \
#                        OUTDIR/shard-0.csv ...
#      which checks that each line of the list has exactly one row, whole, and
#      writes the rows in the order of the list. A pair that could not be
#      compared, or a malformed line, has a row whose status is 'error: ...';
#      such rows do not make the merge fail, a missing, short or inconsistent
#      shard table does.
#
# The job ids are printed (with --parsable: just "ARRAY_ID MERGE_ID"). Watch
# them with `squeue -u $USER`; the merged table is ready when the merge job has
# left the queue. Each task's output goes to OUTDIR/logs/.
#
# Options:
#   -n SHARDS        number of array tasks the list is split into          [4]
#   -o OUTDIR        directory for the tables, logs and job scripts
#                    [./compare-pairs-out]
#   -j THREADS       threads of each compare-pairs run; each task asks Slurm
#                    for that many CPUs (--cpus-per-task)                  [1]
#   -m MAX_RUNNING   at most that many array tasks run at once (array '%M')
#   --metrics LIST   passed on to compare-pairs (perceptual, lab or both)
#   --profiles HOW   passed on to compare-pairs (convert or ignore)
#   --merge-only     submit only the merge job, e.g. after fixing a shard by hand
#   --parsable       print only the two job ids
#   -h, --help       this text
#
# Environment:
#   COMPARE_PAIRS    the compare-pairs program; otherwise the one on PATH. Its
#                    absolute path is written into the job scripts, so it must
#                    be at the same path on the compute nodes.
#   SBATCH_EXTRA     more sbatch options for every job, split on spaces, e.g.
#                    SBATCH_EXTRA="--partition=short --time=02:00:00 --mem=4G".
#                    Slurm's own SBATCH_* variables (SBATCH_PARTITION,
#                    SBATCH_TIMELIMIT, SBATCH_ACCOUNT, ...) work as usual too.
#
# Running it again with the same OUTDIR continues the earlier run: finished
# pairs are kept and only the missing ones are compared. That needs the same
# SHARDS and metrics and the same version of compare-pairs (one whose tables
# have the same columns), and the list may only have grown at its end (lines
# appended), since the line numbers decide the shards; otherwise use a new
# OUTDIR. A run whose jobs are still queued or running is not submitted twice.
#
# Example, on the single-node test cluster of scripts/slurm-local.sh:
#   scripts/slurm-local.sh start && eval "$(scripts/slurm-local.sh env)"
#   COMPARE_PAIRS=build/bin/compare-pairs scripts/slurm-compare-pairs.sh -n 3 \
#       -o /tmp/run pairs.txt
set -euo pipefail

prog=slurm-compare-pairs
die() {
  echo "$prog: $*" >&2
  exit 1
}
usage_error() {
  echo "$prog: $*" >&2
  echo "usage: slurm-compare-pairs.sh [-n SHARDS] [-o OUTDIR] [-j THREADS] [-m MAX_RUNNING] [--metrics LIST] [--profiles HOW] [--merge-only] [--parsable] PAIRS" >&2
  exit 2
}
positive() { [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -ge 1 ]; }

shards=4
outdir=./compare-pairs-out
threads=1
max_running=""
metrics=""
profiles=""
merge_only=0
parsable=0
pairs=""

while [ $# -gt 0 ]; do
  case "$1" in
    -n | -o | -j | -m | --metrics | --profiles)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case "$1" in
        -n) shards=$2 ;;
        -o) outdir=$2 ;;
        -j) threads=$2 ;;
        -m) max_running=$2 ;;
        --metrics) metrics=$2 ;;
        --profiles) profiles=$2 ;;
      esac
      shift 2
      ;;
    --metrics=*) metrics=${1#--metrics=}; shift ;;
    --profiles=*) profiles=${1#--profiles=}; shift ;;
    --merge-only) merge_only=1; shift ;;
    --parsable) parsable=1; shift ;;
    -h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    --) shift; break ;;
    -) break ;;
    -*) usage_error "unknown option '$1'" ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || usage_error "expected one PAIRS file (or '-'), got $#"
pairs=$1

positive "$shards" || usage_error "-n SHARDS must be a positive whole number, not '$shards'"
positive "$threads" || usage_error "-j THREADS must be a positive whole number, not '$threads'"
[ -z "$max_running" ] || positive "$max_running" ||
  usage_error "-m MAX_RUNNING must be a positive whole number, not '$max_running'"
[ -n "$outdir" ] || usage_error "-o OUTDIR must not be empty"
[[ "$metrics" != *[[:space:]]* ]] || usage_error "--metrics takes a comma-separated list without spaces"
[ -z "$profiles" ] || [ "$profiles" = convert ] || [ "$profiles" = ignore ] ||
  usage_error "--profiles takes convert or ignore, not '$profiles'"
if [ "$pairs" != - ]; then
  { [ -f "$pairs" ] && [ -r "$pairs" ]; } || die "cannot read the pairs list '$pairs'"
fi

# --- the program and the cluster ---------------------------------------------

compare_pairs=${COMPARE_PAIRS:-}
if [ -z "$compare_pairs" ]; then
  compare_pairs=$(command -v compare-pairs || true)
  [ -n "$compare_pairs" ] || die "compare-pairs is not on PATH; set COMPARE_PAIRS to the program"
fi
{ [ -f "$compare_pairs" ] && [ -x "$compare_pairs" ]; } || die "COMPARE_PAIRS '$compare_pairs' is not an executable file"
compare_pairs=$(cd "$(dirname "$compare_pairs")" && pwd -P)/$(basename "$compare_pairs")

for tool in sbatch squeue; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is not available: run this on a Slurm login node"
done

extra=()
if [ -n "${SBATCH_EXTRA:-}" ]; then
  read -r -a extra <<<"$SBATCH_EXTRA"
fi

# --- the output directory ----------------------------------------------------

mkdir -p "$outdir/logs" "$outdir/jobs" || die "cannot create the output directory '$outdir'"
outdir=$(cd "$outdir" && pwd -P)
workdir=$(pwd -P)

# Jobs of an earlier submission to this directory that are still in the queue
# would write the same shard tables.
if [ -s "$outdir/jobs/ids" ]; then
  earlier=$(tr -s ' \n' ',' <"$outdir/jobs/ids" | sed 's/^,//; s/,$//')
  queued=$(squeue -h -r -o '%A' -j "$earlier" 2>/dev/null || true)
  [ -z "$queued" ] ||
    die "jobs $earlier of an earlier submission to $outdir are still queued or running; wait for them or scancel them"
fi

settings="shards=$shards metrics=${metrics:-default}${profiles:+ profiles=$profiles}"
if [ -s "$outdir/settings" ] && [ "$(cat "$outdir/settings")" != "$settings" ]; then
  die "$outdir was used with '$(cat "$outdir/settings")', not '$settings': use a new -o OUTDIR"
fi

# A shard table another version of compare-pairs wrote, with other columns,
# cannot be completed by this one: its task would be refused and the merge
# would fail. The header this one writes is that of an empty list.
header=$("$compare_pairs" ${metrics:+--metrics "$metrics"} - </dev/null 2>/dev/null | head -n 1 || true)
if [ -n "$header" ]; then
  for table in "$outdir"/shard-*.csv; do
    [ -s "$table" ] || continue
    [ "$(head -n 1 "$table")" = "$header" ] ||
      die "$table has other columns than this compare-pairs writes for this run (was it written by another version?): use a new -o OUTDIR, or finish the run with the compare-pairs that started it"
  done
fi

# The jobs read a copy of the list, so editing PAIRS after submitting changes
# nothing. A list that grew at its end keeps every old line on its shard.
new_list="$outdir/pairs.txt.new"
if [ "$pairs" = - ]; then
  cat >"$new_list" || die "cannot write $new_list"
else
  cp -- "$pairs" "$new_list" || die "cannot copy '$pairs' to $outdir"
fi
if [ -e "$outdir/pairs.txt" ]; then
  old_size=$(wc -c <"$outdir/pairs.txt")
  if [ "$(wc -c <"$new_list")" -lt "$old_size" ] ||
    ! cmp -s -n "$old_size" "$outdir/pairs.txt" "$new_list"; then
    rm -f "$new_list"
    die "$outdir/pairs.txt (the list of an earlier run) is not the start of this list; lines may only be appended: use a new -o OUTDIR"
  fi
fi
mv -f "$new_list" "$outdir/pairs.txt"
printf '%s\n' "$settings" >"$outdir/settings"

# --- the job scripts ---------------------------------------------------------

# Values are written into the scripts with printf %q, so paths with spaces or
# quotes survive; the rest of each script is fixed text.
assignments() {
  printf 'compare_pairs=%q\n' "$compare_pairs"
  printf 'outdir=%q\n' "$outdir"
  printf 'shards=%q\n' "$shards"
  printf 'threads=%q\n' "$threads"
  printf 'metrics=%q\n' "$metrics"
  printf 'profiles=%q\n' "$profiles"
}

{
  echo '#!/usr/bin/env bash'
  echo '# One shard of the pairs list; written by slurm-compare-pairs.sh.'
  assignments
  cat <<'EOF'
k=${SLURM_ARRAY_TASK_ID:?run this as a task of a job array}
args=(--shard "$k/$shards" --out "$outdir/shard-$k.csv" --resume -j "$threads")
[ -z "$metrics" ] || args+=(--metrics "$metrics")
[ -z "$profiles" ] || args+=(--profiles "$profiles")
echo "shard $k/$shards on $(hostname) at $(date '+%F %T')"
"$compare_pairs" "${args[@]}" "$outdir/pairs.txt"
status=$?
# Status 1 means some pair could not be compared; its row says why. The merge
# job checks that the table is complete.
echo "shard $k/$shards finished at $(date '+%F %T') with status $status"
exit "$status"
EOF
} >"$outdir/jobs/shard.sbatch"

{
  echo '#!/usr/bin/env bash'
  echo '# Joins the shard tables; written by slurm-compare-pairs.sh.'
  assignments
  cat <<'EOF'
set -u
fail() {
  echo "merge: $*" >&2
  exit 1
}
# No stale table from an earlier run is left behind when this one fails.
rm -f "$outdir/table.csv"
tables=()
problems=()
for ((k = 0; k < shards; k++)); do
  table="$outdir/shard-$k.csv"
  if [ ! -s "$table" ]; then
    problems+=("shard-$k.csv is missing (see logs/shard-$k.log)")
    continue
  fi
  # Every pair of the shard's part of the list must have a row. Lines that are
  # blank or start with '#' (after spaces) are no pairs.
  expected=$(awk -v n="$shards" -v k="$k" \
    '(NR - 1) % n == k && !/^[[:space:]]*$/ && !/^[[:space:]]*#/ { c++ } END { print c + 0 }' \
    "$outdir/pairs.txt")
  rows=$(($(wc -l <"$table") - 1))
  if [ "$rows" -ne "$expected" ]; then
    problems+=("shard-$k.csv has $rows rows for $expected pairs (see logs/shard-$k.log)")
  fi
  tables+=("$table")
done
if [ ${#problems[@]} -gt 0 ]; then
  printf 'merge: %s\n' "${problems[@]}" >&2
  fail "table.csv not written; submit the same command again to finish the shards"
fi
# The merge checks every row against the list: each of its lines once, none
# twice, none missing, every row whole; the rows come in the list's order.
rm -f "$outdir/table.partial.csv"
"$compare_pairs" --merge --list "$outdir/pairs.txt" --out "$outdir/table.partial.csv" "${tables[@]}" ||
  fail "compare-pairs --merge failed with status $?; submit the same command again to finish the shards"
mv -f "$outdir/table.partial.csv" "$outdir/table.csv" || fail "cannot write $outdir/table.csv"
echo "merged $shards shard tables into $outdir/table.csv ($(($(wc -l <"$outdir/table.csv") - 1)) rows)"
EOF
} >"$outdir/jobs/merge.sbatch"
chmod +x "$outdir/jobs/shard.sbatch" "$outdir/jobs/merge.sbatch"

# --- submission --------------------------------------------------------------

common=(--parsable --chdir="$workdir" "${extra[@]}")

array_id=""
dependency=()
if [ "$merge_only" -eq 0 ]; then
  range="0-$((shards - 1))${max_running:+%$max_running}"
  array_out=$(sbatch "${common[@]}" --job-name=compare-pairs --array="$range" \
    --cpus-per-task="$threads" --output="$outdir/logs/shard-%a.log" \
    "$outdir/jobs/shard.sbatch") || die "sbatch refused the shard array"
  array_id=${array_out%%;*}
  dependency=(--dependency="afterany:$array_id")
fi
merge_out=$(sbatch "${common[@]}" --job-name=compare-pairs-merge "${dependency[@]}" \
  --output="$outdir/logs/merge.log" "$outdir/jobs/merge.sbatch") || {
  [ -z "$array_id" ] || scancel "$array_id" 2>/dev/null || true
  die "sbatch refused the merge job${array_id:+ (shard array $array_id cancelled)}"
}
merge_id=${merge_out%%;*}
echo "$array_id $merge_id" >"$outdir/jobs/ids"

if [ "$parsable" -eq 1 ]; then
  echo "${array_id:--} $merge_id"
else
  [ -z "$array_id" ] || echo "shards: job array $array_id (tasks 0-$((shards - 1)), tables $outdir/shard-K.csv)"
  echo "merge:  job $merge_id (writes $outdir/table.csv${array_id:+ once all shards have ended})"
  echo "logs:   $outdir/logs/"
fi
