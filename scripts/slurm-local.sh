#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, for the tests of the batch script
# examples/slurm/fit.sbatch and for trying batch jobs by hand.
#
#   scripts/slurm-local.sh start [DIR]   installs Slurm and munge with apt-get
#                                        when they are missing, writes the
#                                        configuration under DIR, starts
#                                        munged, slurmctld and slurmd, and
#                                        returns once the node is idle
#   scripts/slurm-local.sh stop [DIR]    cancels the cluster's jobs, then ends
#                                        the daemons that start started, by
#                                        their pid files
#
# DIR defaults to $QUELMO_SLURM_DIR, else $XDG_RUNTIME_DIR/quelmo-slurm, else
# /tmp/quelmo-slurm. It holds everything: slurm.conf, the munge key and
# socket, the daemons' state, spool, logs and pid files; nothing outside it is
# written or read (a munged or Slurm of the machine's own is left alone, on
# other ports). Commands for this cluster need its configuration:
#
#   export SLURM_CONF=DIR/slurm.conf
#
# Runs as root: slurmd starts each job as its owner. The ports are 6817 and
# 6818 unless QUELMO_SLURM_PORT names the first of two free ones.
set -euo pipefail

usage() {
  echo "Usage: scripts/slurm-local.sh start|stop [DIR]" >&2
  exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
action=$1
dir=${2:-${QUELMO_SLURM_DIR:-${XDG_RUNTIME_DIR:-/tmp}/quelmo-slurm}}
case $action in start | stop) ;; *) usage ;; esac
[ "$(id -u)" -eq 0 ] || { echo "slurm-local.sh must run as root: slurmd starts each job as its owner" >&2; exit 1; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
conf=$dir/slurm.conf
export SLURM_CONF=$conf
port=${QUELMO_SLURM_PORT:-6817}

# The daemons in the order they start, each with its pid file.
daemons=(munged slurmctld slurmd)
pidfile() {
  case $1 in
    munged) echo "$dir/munge/munged.pid" ;;
    *) echo "$dir/$1.pid" ;;
  esac
}

# True while the process of pid $1 is the daemon $2 and has not ended. The
# container's first process may not reap orphans, so an ended daemon can stay
# behind as a zombie: that counts as gone.
alive() {
  local pid=$1 name=$2 stat
  [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] || return 1
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# The pid the daemon $1 recorded, when that process is still the daemon.
running_pid() {
  local file pid
  file=$(pidfile "$1")
  [ -f "$file" ] || return 1
  pid=$(tr -dc 0-9 < "$file")
  alive "$pid" "$1" || return 1
  echo "$pid"
}

# Ends the daemon $1: SIGTERM, then SIGKILL after 15 s.
end_daemon() {
  local name=$1 pid waited=0
  pid=$(running_pid "$name") || { rm -f "$(pidfile "$name")"; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  while alive "$pid" "$name"; do
    if [ $waited -ge 150 ]; then
      echo "$name (pid $pid) did not end on SIGTERM: killed" >&2
      kill -KILL "$pid" 2>/dev/null || true
      break
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  rm -f "$(pidfile "$name")"
}

# Cancels every job of the cluster and waits, at most a minute, until none is
# left: slurmd leaves its jobs' processes running when it ends.
cancel_jobs() {
  running_pid slurmctld > /dev/null || return 0
  local jobs waited=0
  jobs=$(squeue -h -o %A 2>/dev/null) || return 0
  [ -n "$jobs" ] || return 0
  # shellcheck disable=SC2086
  scancel $jobs 2>/dev/null || true
  while [ -n "$(squeue -h -o %A 2>/dev/null)" ]; do
    if [ $waited -ge 600 ]; then
      echo "jobs still not ended a minute after they were cancelled: $(squeue -h -o '%A %T' | tr '\n' ' ')" >&2
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
}

stop() {
  local status=0
  cancel_jobs || status=1
  for name in slurmd slurmctld munged; do end_daemon "$name"; done
  return $status
}

# Installs what is missing, the way scripts/install-deps.sh does.
install_packages() {
  local packages=(slurmctld slurmd slurm-client munge) missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! command -v apt-get > /dev/null; then
    echo "Slurm is not installed and cannot be installed here: no apt-get (missing: ${missing[*]})" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >&2; then
    echo "Slurm is not installed and apt-get could not install it (${missing[*]})" >&2
    return 1
  fi
}

write_config() {
  local host cpus
  host=$(hostname -s)
  cpus=$(nproc)
  rm -rf "$dir/state" "$dir/spool"
  mkdir -p "$dir/state" "$dir/spool" "$dir/log"
  cat > "$conf" << EOF
# A one-node cluster for quelmo's tests, written by scripts/slurm-local.sh.
ClusterName=quelmo-local
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
# cred_expire: a requeued job may start again 20 s after it ended, not 120.
AuthInfo=socket=$dir/munge/munge.socket,cred_expire=20
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
ReturnToService=2
# Cancelled jobs get 10 s between SIGTERM and SIGKILL.
KillWait=10
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

start_munged() {
  local m=$dir/munge
  mkdir -p "$m"
  chmod a+x "$dir"                     # munged runs as munge and must reach its folder
  [ -s "$m/munge.key" ] || { dd if=/dev/urandom of="$m/munge.key" bs=1024 count=1 status=none; }
  chown -R munge:munge "$m"
  chmod 0755 "$m"
  chmod 0600 "$m/munge.key"
  runuser -u munge -- munged --key-file="$m/munge.key" --socket="$m/munge.socket" \
    --pid-file="$m/munged.pid" --log-file="$m/munged.log" --seed-file="$m/munged.seed"
}

# Waits, at most a minute, until sinfo shows the node idle.
await_idle() {
  local waited=0 state=
  while [ $waited -lt 600 ]; do
    state=$(sinfo -h -o %t 2>/dev/null || true)
    [ "$state" = idle ] && return 0
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "The node did not become idle within a minute (sinfo: ${state:-no answer}); logs in $dir/log" >&2
  return 1
}

start() {
  for name in "${daemons[@]}"; do
    if pid=$(running_pid "$name"); then
      echo "$name of $dir runs already (pid $pid): stop that cluster first" >&2
      exit 1
    fi
  done
  for p in "$port" $((port + 1)); do
    if (exec 3<> "/dev/tcp/127.0.0.1/$p") 2> /dev/null; then
      echo "Port $p is in use (another cluster?): stop it, or give QUELMO_SLURM_PORT two free ports" >&2
      exit 1
    fi
  done
  install_packages || exit 1
  write_config
  # From here on, a failure ends whatever was started.
  trap 'stop; exit 1' ERR
  start_munged
  slurmctld
  slurmd
  await_idle
  trap - ERR
  echo "Slurm runs: export SLURM_CONF=$conf" >&2
}

"$action"
