#!/usr/bin/env bash
# A private single-node Slurm cluster on this machine, for trying the cluster
# recipe (scripts/slurm-compare-pairs.sh) and for its test.
#
#   scripts/slurm-local.sh start    install slurm-wlm and munge if missing, write
#                                   the configuration, start munged, slurmctld and
#                                   slurmd, and wait until the node is idle
#   scripts/slurm-local.sh stop     cancel its jobs and stop the three daemons
#   scripts/slurm-local.sh status   say whether the daemons run and show sinfo
#   scripts/slurm-local.sh env      print the line that points the Slurm commands
#                                   (sbatch, squeue, sinfo ...) at this cluster:
#                                       eval "$(scripts/slurm-local.sh env)"
#
# Everything the cluster keeps (configuration, munge key and socket, controller
# state, slurmd spool, pid files and logs) lives under one directory,
# $TOOLKIT_SLURM_DIR (default /tmp/toolkit-slurm), so the system's own
# /etc/slurm and /etc/munge are left alone and a system munged, if one runs, is
# not disturbed. Each start begins with empty controller state.
#
# Settings from the environment:
#   TOOLKIT_SLURM_DIR      the cluster's directory           [/tmp/toolkit-slurm]
#   TOOLKIT_SLURM_PORT     slurmctld's port; slurmd takes the next one    [6817]
#   TOOLKIT_SLURM_TIMEOUT  seconds to wait for the node to become idle      [60]
#
# The daemons run as root and are started directly (no systemd needed). There
# are no cgroups, no accounting database and no job containers: processes are
# tracked by parent id (proctrack/linuxproc) and tasks are not bound to CPUs.
set -euo pipefail

die() {
  echo "slurm-local: $*" >&2
  exit 1
}

dir=${TOOLKIT_SLURM_DIR:-/tmp/toolkit-slurm}
port=${TOOLKIT_SLURM_PORT:-6817}
timeout=${TOOLKIT_SLURM_TIMEOUT:-60}

case "$dir" in
  /*) ;;
  *) dir="$PWD/$dir" ;;
esac
{ [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1024 ] && [ "$port" -le 65534 ]; } ||
  die "TOOLKIT_SLURM_PORT must be a number from 1024 to 65534, not '$port'"
{ [[ "$timeout" =~ ^[0-9]+$ ]] && [ "$timeout" -ge 1 ]; } ||
  die "TOOLKIT_SLURM_TIMEOUT must be a positive number of seconds, not '$timeout'"

conf="$dir/etc/slurm.conf"
munge_dir="$dir/munge"
munge_key="$munge_dir/munge.key"
munge_socket="$munge_dir/munge.socket.2"
run_dir="$dir/run"
log_dir="$dir/log"

export SLURM_CONF="$conf"

usage() {
  cat >&2 <<EOF
usage: slurm-local.sh start|stop|status|env
  start   install slurm-wlm and munge if missing, start a single-node cluster on
          this machine and wait until its node is idle
  stop    cancel the cluster's jobs and stop its daemons
  status  report the daemons and the node state (exit 0 when all run)
  env     print 'export SLURM_CONF=...' for the Slurm commands
cluster directory: \$TOOLKIT_SLURM_DIR (now $dir)
EOF
  exit 2
}

# --- installation ------------------------------------------------------------

install_packages() {
  local needed=() p status
  for p in slurm-wlm munge; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || needed+=("$p")
  done
  [ ${#needed[@]} -eq 0 ] && return 0

  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 ||
      die "these packages are missing and neither root nor sudo is available: ${needed[*]}"
    sudo=(sudo)
  fi
  echo "slurm-local: installing ${needed[*]}" >&2
  # The packages' maintainer scripts try to start the system services; in a
  # container without an init system that is refused, which is harmless: the
  # cluster here runs its own daemons.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 ||
    die "apt-get update failed"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${needed[@]}" >&2 ||
    die "apt-get install ${needed[*]} failed"
}

require_programs() {
  local p
  for p in munged slurmctld slurmd sinfo scontrol; do
    command -v "$p" >/dev/null 2>&1 || die "$p is not installed (package slurm-wlm or munge)"
  done
}

# --- configuration -----------------------------------------------------------

# The node line comes from slurmd itself ('slurmd -C' reports the sockets, cores,
# threads and memory it will find at start-up), so the node is never marked
# invalid for promising more than the machine has. nproc and /proc/meminfo are
# the fallback.
node_line() {
  local line
  line=$(slurmd -C 2>/dev/null | grep -m1 '^NodeName=' || true)
  if [ -z "$line" ]; then
    local cpus mem
    cpus=$(nproc)
    mem=$(awk '/^MemTotal:/ { printf "%d", $2 / 1024 }' /proc/meminfo)
    line="NodeName=$(node_name) CPUs=$cpus RealMemory=$mem"
  fi
  # slurmd -C names the node after the short host name, which is what slurmd
  # looks itself up by; it is reached on the loopback address.
  echo "$line NodeAddr=127.0.0.1 NodeHostname=$(node_name) State=UNKNOWN"
}

node_name() {
  local h
  h=$(hostname -s 2>/dev/null || true)
  [ -n "$h" ] || h=localhost
  echo "$h"
}

write_config() {
  local host
  host=$(node_name)
  mkdir -p "$dir/etc" "$dir/ctld" "$dir/spool" "$run_dir" "$log_dir"
  chmod 0755 "$dir" "$dir/etc"
  cat >"$conf" <<EOF
# Written by scripts/slurm-local.sh for a single-node cluster on this machine.
ClusterName=toolkit
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root

AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$munge_socket

StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$run_dir/slurmctld.pid
SlurmdPidFile=$run_dir/slurmd.pid
SlurmctldLogFile=$log_dir/slurmctld.log
SlurmdLogFile=$log_dir/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info

# No cgroups, accounting or interconnect: plain process tracking.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
MpiDefault=none
MailProg=/bin/true

# One CPU per task by default, so the array tasks of a job share the node.
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
SlurmdTimeout=60
InactiveLimit=0
KillWait=5
MinJobAge=300

$(node_line)
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

# --- processes ---------------------------------------------------------------

pid_of() { # pid file -> pid of a live process, or nothing
  local f=$1 pid
  [ -s "$f" ] || return 1
  pid=$(tr -dc '0-9' <"$f")
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

running() { pid_of "$run_dir/$1.pid" >/dev/null; }

stop_daemon() { # name: TERM, then KILL after 15 s
  local name=$1 pid i
  pid=$(pid_of "$run_dir/$name.pid") || {
    rm -f "$run_dir/$name.pid"
    return 0
  }
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 150; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "slurm-local: $name (pid $pid) did not stop on TERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$run_dir/$name.pid"
}

log_tails() {
  local f
  for f in "$log_dir/munged.log" "$log_dir/slurmctld.log" "$log_dir/slurmd.log" \
    "$log_dir/slurmctld.out" "$log_dir/slurmd.out"; do
    [ -s "$f" ] || continue
    echo "----- last lines of $f -----" >&2
    tail -n 25 "$f" >&2
  done
}

fail_start() {
  echo "slurm-local: $*" >&2
  log_tails
  do_stop >/dev/null 2>&1 || true
  exit 1
}

start_munge() {
  running munged && return 0
  mkdir -p "$munge_dir"
  # munged insists that only its owner can write to the key and socket
  # directory, and that everyone can search it to reach the socket.
  chmod 0755 "$munge_dir"
  if [ ! -s "$munge_key" ]; then
    if command -v mungekey >/dev/null 2>&1; then
      mungekey --create --keyfile="$munge_key" >/dev/null ||
        die "mungekey could not create $munge_key"
    else
      dd if=/dev/urandom of="$munge_key" bs=1024 count=1 status=none ||
        die "could not create $munge_key"
    fi
  fi
  chmod 0400 "$munge_key"
  rm -f "$munge_socket" "$munge_socket.lock"
  munged --key-file="$munge_key" --socket="$munge_socket" \
    --pid-file="$run_dir/munged.pid" --log-file="$log_dir/munged.log" \
    --seed-file="$munge_dir/munged.seed" >"$log_dir/munged.out" 2>&1 ||
    fail_start "munged did not start"
  local i
  for ((i = 0; i < 50; i++)); do
    [ -S "$munge_socket" ] && return 0
    sleep 0.1
  done
  fail_start "munged started but its socket $munge_socket did not appear"
}

node_state() {
  sinfo -h -N -n "$(node_name)" -o '%T' 2>/dev/null | head -n1 || true
}

port_taken() { # something already listens on 127.0.0.1:port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

do_start() {
  [ "$(id -u)" -eq 0 ] || die "start needs root: slurmd runs jobs as their users"
  install_packages
  require_programs

  if running slurmctld && running slurmd && running munged; then
    echo "slurm-local: already running (SLURM_CONF=$conf)"
    return 0
  fi
  # A partial cluster from an earlier start is taken down and started afresh.
  do_stop >/dev/null 2>&1 || true

  local p
  for p in "$port" $((port + 1)); do
    ! port_taken "$p" ||
      die "port $p on 127.0.0.1 is in use (another Slurm?); choose other ports with TOOLKIT_SLURM_PORT"
  done

  write_config
  rm -rf "${dir:?}/ctld/"* "${dir:?}/spool/"*
  # Fresh logs, so the tails shown when something fails are from this start.
  rm -f "$log_dir"/*.log "$log_dir"/*.out

  start_munge

  # Without -D both daemons fork into the background and write their pid files.
  slurmctld -f "$conf" -c >"$log_dir/slurmctld.out" 2>&1 ||
    fail_start "slurmctld did not start"
  slurmd -f "$conf" >"$log_dir/slurmd.out" 2>&1 ||
    fail_start "slurmd did not start"

  # The forked daemons write their pid files a moment after the commands
  # return; on a busy machine that moment can be long.
  local i
  for ((i = 0; i < 200; i++)); do
    [ -s "$run_dir/slurmctld.pid" ] && [ -s "$run_dir/slurmd.pid" ] && break
    sleep 0.1
  done

  local waited=0 state=""
  while [ "$waited" -lt "$timeout" ]; do
    running slurmctld || fail_start "slurmctld exited during start-up"
    running slurmd || fail_start "slurmd exited during start-up"
    state=$(node_state)
    case "$state" in
      idle) break ;;
      # A node that came back after a lost contact is put back by ReturnToService=2;
      # one marked 'down' from the first registration is resumed by hand.
      down*)
        scontrol update NodeName="$(node_name)" State=RESUME >/dev/null 2>&1 || true ;;
    esac
    sleep 1
    waited=$((waited + 1))
  done
  if [ "$state" != idle ]; then
    local reason
    reason=$(sinfo -h -N -n "$(node_name)" -o '%E' 2>/dev/null | head -n1 || true)
    fail_start "node $(node_name) not idle after ${timeout}s (state ${state:-unknown}${reason:+, reason: $reason})"
  fi
  echo "slurm-local: node $(node_name) is idle (SLURM_CONF=$conf)"
}

do_stop() {
  if running slurmctld; then
    # Jobs first, so no slurmstepd is left running the cluster's work.
    local ids i
    ids=$(squeue -h -r -o '%A' 2>/dev/null | sort -u | tr '\n' ' ' || true)
    # shellcheck disable=SC2086 # one word per job id
    [ -z "${ids// /}" ] || scancel --quiet $ids >/dev/null 2>&1 || true
    for ((i = 0; i < 100; i++)); do
      [ -z "$(squeue -h -o '%i' 2>/dev/null)" ] && break
      sleep 0.1
    done
  fi
  stop_daemon slurmd
  stop_daemon slurmctld
  stop_daemon munged
  echo "slurm-local: stopped"
}

do_status() {
  local name rc=0 pid
  for name in munged slurmctld slurmd; do
    if pid=$(pid_of "$run_dir/$name.pid"); then
      echo "$name: running (pid $pid)"
    else
      echo "$name: not running"
      rc=1
    fi
  done
  if running slurmctld; then
    sinfo -N -o '%N %T %c %m %E' 2>&1 || rc=1
  fi
  echo "SLURM_CONF=$conf"
  return "$rc"
}

[ $# -eq 1 ] || usage
case "$1" in
  start) do_start ;;
  stop) do_stop ;;
  status) do_status ;;
  env) printf 'export SLURM_CONF=%q\n' "$conf" ;;
  -h | --help) usage ;;
  *)
    echo "slurm-local: unknown command '$1'" >&2
    usage
    ;;
esac
