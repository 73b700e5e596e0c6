#!/usr/bin/env bash
# Boots a throw-away systemd machine from this machine's own root and runs a
# command inside it. Nothing on the host changes: the machine's root is an
# overlay of the host's / with a tmpfs as its writable layer, mounted in a
# private mount namespace, and the machine has no network but its loopback.
#
#   machine.sh <command> [args...]
#
# The command runs on the host side with MACHINE_PID set to the machine's
# PID 1; `machine-exec <command...>` (on its PATH) runs a command inside the
# machine. The machine has its own /tmp: directories listed (space separated)
# in MACHINE_BINDS are bound into it read-only at the same paths; it boots to
# MACHINE_TARGET (default basic.target), and MACHINE_UPPER (see below) keeps
# its disk for another boot. The harness
# exits with the command's status. It needs root and systemd-nspawn, and
# exits 77 (skipped) without them.
set -euo pipefail

if [ "$(id -u)" -ne 0 ] || ! command -v systemd-nspawn >/dev/null; then
  echo "machine: needs root and systemd-nspawn; skipped" >&2
  exit 77
fi
if [ $# -eq 0 ]; then
  echo "usage: machine.sh <command> [args...]" >&2
  exit 2
fi

if [ "$1" = "--watchdog" ]; then
  set +e
  harness=$2 nspawn=$3 state=$4
  shift 4
  for cg in "$@"; do echo $$ >"$(dirname "$cg")/cgroup.procs"; done
  # Gone, or a zombie its parent has not reaped yet.
  alive() { [ -e /proc/"$harness" ] && ! grep -q '^[0-9]* (.*) Z' /proc/"$harness"/stat 2>/dev/null; }
  while alive; do sleep 0.5; done
  kill -TERM "$nspawn" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$nspawn" 2>/dev/null
  for _ in $(seq 20); do
    for pid in $(find "$@" -name cgroup.procs -exec cat {} + 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    sleep 0.2
    find "$@" -depth -type d -exec rmdir {} + 2>/dev/null
    for cg in "$@"; do [ -d "$cg" ] && continue 2; done
    break
  done
  umount -R "$state" 2>/dev/null
  rmdir "$state" 2>/dev/null
  exit 0
fi

if [ -z "${VESK_MACHINE_NS:-}" ]; then
  # Everything below happens in a mount namespace of its own.
  exec unshare --mount --propagation private env VESK_MACHINE_NS=1 "$0" "$@"
fi

state=$(mktemp -d /tmp/vesk-machine.XXXXXX)
name=vesk-machine-$$
# A cgroup of our own in each hierarchy systemd uses: the cgroup2 one and the
# name=systemd one on a hybrid host like this, the one tree on a pure v2 host.
if [ -d /sys/fs/cgroup/unified ]; then
  cgroups=(/sys/fs/cgroup/unified/$name /sys/fs/cgroup/systemd/$name)
else
  cgroups=(/sys/fs/cgroup/$name)
fi
nspawn=
watchdog=

# SIGKILL to every process in the machine's cgroups (the caller is outside).
kill_cgroups() {
  local pid
  for cg in "${cgroups[@]}"; do
    [ -d "$cg" ] || continue
    for pid in $(find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null); do
      kill -KILL "$pid" 2>/dev/null
    done
  done
}

# Kills what commands entered into the machine left behind (they are the
# host's to reap, and would stall the machine's halt), halts the machine,
# and removes the cgroups. Safe to run twice.
teardown() {
  set +e
  if [ -n "${MACHINE_PID:-}" ] && [ -d /proc/$MACHINE_PID ]; then
    for pid in $(pgrep --ns "$MACHINE_PID" --nslist pid 2>/dev/null); do
      [ "$(ps -o ppid= -p "$pid" | tr -d ' ')" = "$MACHINE_PID" ] && continue
      [ "$pid" = "$MACHINE_PID" ] && continue
      if ! grep -q "/$name/" /proc/$pid/cgroup 2>/dev/null; then kill -9 "$pid" 2>/dev/null; fi
    done
  fi
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn"
    for _ in $(seq 50); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn" 2>/dev/null
    wait "$nspawn" 2>/dev/null
  fi
  if [ -n "$watchdog" ]; then
    kill -KILL "$watchdog" 2>/dev/null
    wait "$watchdog" 2>/dev/null
  fi
  # Out of the machine's cgroups ourselves; whatever outlived the halt (a
  # machine that would not stop) goes now, then the trees, bottom-up.
  for cg in "${cgroups[@]}"; do echo $$ >"$(dirname "$cg")/cgroup.procs" 2>/dev/null; done
  kill_cgroups
  for cg in "${cgroups[@]}"; do
    [ -d "$cg" ] || continue
    for _ in $(seq 50); do
      find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null
      [ -d "$cg" ] || break
      kill_cgroups
      sleep 0.1
    done
  done
  umount -R "$state" 2>/dev/null
  rmdir "$state" 2>/dev/null
}
trap teardown EXIT
trap 'exit 130' INT TERM

mount -t tmpfs -o mode=0700 vesk-machine "$state"
mkdir -p "$state"/upper "$state"/work "$state"/root
# MACHINE_UPPER keeps the machine's disk (the overlay's writable layer) in a
# directory of the caller's, so a second boot on it is the same machine
# rebooted.
upper=${MACHINE_UPPER:-$state}
mkdir -p "$upper"/upper "$upper"/work
mount -t overlay overlay -o lowerdir=/,upperdir="$upper"/upper,workdir="$upper"/work "$state"/root
# A container image's policy-rc.d forbids starting services from package
# scripts; a booted Debian machine has none.
rm -f "$state"/root/usr/sbin/policy-rc.d
# The host's runtime state stays out of the machine and out of the way.
mount -t tmpfs -o mode=0755 vesk-run /run

for cg in "${cgroups[@]}"; do
  mkdir -p "$cg"
  echo $$ >"$cg"/cgroup.procs
done

binds=()
for dir in ${MACHINE_BINDS:-}; do binds+=(--bind-ro="$dir"); done
systemd-nspawn -D "$state"/root "${binds[@]}" --boot --register=no --keep-unit --private-network \
  --link-journal=no --console=read-only -- systemd.unit="${MACHINE_TARGET:-basic.target}" \
  >"$state"/console.log 2>&1 &
nspawn=$!

# If this harness is killed outright (its whole process group included), a
# watchdog in a session of its own still halts the machine and cleans up.
setsid "$0" --watchdog $$ "$nspawn" "$state" "${cgroups[@]}" </dev/null >/dev/null 2>&1 &
watchdog=$!

MACHINE_PID=
for _ in $(seq 100); do
  MACHINE_PID=$(pgrep -P "$nspawn" -x systemd || true)
  [ -n "$MACHINE_PID" ] && break
  sleep 0.05
done
if [ -z "$MACHINE_PID" ]; then
  echo "machine: did not boot" >&2
  cat "$state"/console.log >&2
  exit 1
fi
export MACHINE_PID
# The manager's own socket appears a moment after PID 1 starts: until then
# systemctl answers "offline" (or nothing), which a loaded host may prolong.
state_now=
for _ in $(seq 600); do
  state_now=$(timeout 60 nsenter -t "$MACHINE_PID" --all systemctl is-system-running --wait 2>/dev/null || true)
  case "$state_now" in
    '' | offline) sleep 0.05 ;;
    *) break ;;
  esac
done
case "$state_now" in
  running | degraded) ;;
  *)
    echo "machine: did not come up ($state_now)" >&2
    cat "$state"/console.log >&2
    exit 1
    ;;
esac

bin="$state"/bin
mkdir -p "$bin"
cat >"$bin"/machine-exec <<EXEC
#!/bin/sh
exec nsenter -t "$MACHINE_PID" --all -- "\$@"
EXEC
chmod 755 "$bin"/machine-exec
export PATH="$bin:$PATH"

set +e
"$@"
status=$?
set -e
exit $status
