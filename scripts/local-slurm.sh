#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, for the farm tests and the farm benchmark.
#
#   scripts/local-slurm.sh start [FOLDER]   start munged, slurmctld and slurmd
#   scripts/local-slurm.sh stop [FOLDER]    cancel the cluster's jobs and stop those daemons
#
# FOLDER (default ${TMPDIR:-/tmp}/kestrel-slurm-$USER) holds everything: slurm.conf, the munge
# key and socket, the daemons' state, logs and pid files. The node is this machine with all its
# CPUs and memory; processes are tracked through /proc (proctrack/linuxproc) and tasks are not
# bound (task/none), so no cgroups and no systemd are needed. The daemons run as the current
# user. `start` prints the line that points sbatch, squeue and kestrel farm at the cluster:
#   export SLURM_CONF=FOLDER/slurm.conf
# `stop` stops exactly the processes that `start` recorded, by their process ids.
set -euo pipefail

action=${1:-}
state=${2:-${TMPDIR:-/tmp}/kestrel-slurm-$(id -un)}

die() {
  echo "local-slurm: $*" >&2
  exit 1
}

need() {
  command -v "$1" >/dev/null 2>&1 ||
    die "$1 is not installed: run scripts/setup.sh (Debian packages slurm-wlm and munge)"
}

# A TCP port nobody listens on, from the kernel.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Stops the process whose id is in the file, if it is still the one that was started.
stop_pid() {
  local file=$1 pid
  [[ -f $file ]] || return 0
  pid=$(<"$file")
  if [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

stop() {
  [[ -d $state ]] || return 0
  if [[ -f $state/slurm.conf ]] && command -v scancel >/dev/null 2>&1 &&
    [[ -f $state/slurmctld.started ]] && kill -0 "$(<"$state/slurmctld.started")" 2>/dev/null; then
    # Jobs still running are cancelled first, so that no task outlives the cluster.
    SLURM_CONF=$state/slurm.conf scancel --quiet --user "$(id -un)" 2>/dev/null || true
    for _ in $(seq 50); do
      [[ -z $(SLURM_CONF=$state/slurm.conf squeue -h -o %i 2>/dev/null) ]] && break
      sleep 0.2
    done
  fi
  stop_pid "$state/slurmd.started"
  stop_pid "$state/slurmctld.started"
  stop_pid "$state/munged.started"
}

start() {
  need munged
  need slurmctld
  need slurmd
  need sbatch
  if [[ -f $state/slurmctld.started ]] && kill -0 "$(<"$state/slurmctld.started")" 2>/dev/null; then
    die "a cluster already runs from $state: stop it first with $0 stop $state"
  fi
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  rm -rf "$state/spool" "$state/ctld" "$state/munge"
  mkdir -p "$state/spool" "$state/ctld" "$state/munge" "$state/log"
  chmod 700 "$state/munge"

  local user host cpus memory ctld_port d_port
  user=$(id -un)
  host=$(hostname -s)
  cpus=$(nproc)
  memory=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
  ctld_port=$(free_port)
  d_port=$(free_port)
  while [[ $d_port == "$ctld_port" ]]; do d_port=$(free_port); done

  # munge: a fresh key of this cluster alone, and its own socket.
  dd if=/dev/urandom of="$state/munge/munge.key" bs=1024 count=1 status=none
  chmod 600 "$state/munge/munge.key"
  local force=()
  [[ $(id -u) -eq 0 ]] && force=(--force)
  setsid munged --foreground "${force[@]}" --key-file="$state/munge/munge.key" \
    --socket="$state/munge/munge.socket" --pid-file="$state/munge/munged.pid" \
    --log-file="$state/log/munged.log" --seed-file="$state/munge/munged.seed" \
    </dev/null >>"$state/log/munged.out" 2>&1 &
  echo $! >"$state/munged.started"
  for _ in $(seq 50); do
    [[ -S $state/munge/munge.socket ]] && break
    sleep 0.1
  done
  [[ -S $state/munge/munge.socket ]] || {
    stop
    die "munged did not start: see $state/log/munged.log"
  }

  cat >"$state/slurm.conf" <<EOF
# A one-node cluster on $host, written by scripts/local-slurm.sh.
ClusterName=kestrel-local
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$d_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$state/munge/munge.socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
KillWait=2
MinJobAge=600
MailProg=/bin/true
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/spool
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.pid
SlurmctldLogFile=$state/log/slurmctld.log
SlurmdLogFile=$state/log/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF

  setsid slurmctld -D -c -f "$state/slurm.conf" </dev/null >>"$state/log/slurmctld.out" 2>&1 &
  echo $! >"$state/slurmctld.started"
  setsid slurmd -D -f "$state/slurm.conf" -N "$host" </dev/null >>"$state/log/slurmd.out" 2>&1 &
  echo $! >"$state/slurmd.started"

  # Ready when the node takes work.
  local node=""
  for _ in $(seq 150); do
    node=$(SLURM_CONF=$state/slurm.conf sinfo -h -n "$host" -o %T 2>/dev/null || true)
    [[ $node == idle* ]] && break
    sleep 0.2
  done
  if [[ $node != idle* ]]; then
    stop
    die "the cluster did not come up (node state \"$node\"): see $state/log/"
  fi
  echo "export SLURM_CONF=$state/slurm.conf"
}

case $action in
start) start ;;
stop) stop ;;
*) die "usage: $0 start|stop [FOLDER]" ;;
esac
