#!/usr/bin/env bash
# Stops the smbd that smb_start.sh started in the directory $1: only the
# processes whose pids it recorded (the master and its children), never by name.
set -uo pipefail

dir=$(realpath -m "$1")  # smbd changes to /: paths must be absolute
pid=""
if [[ -s $dir/smbd.pid ]]; then
  pid=$(tr -dc '0-9' < "$dir/smbd.pid")
else
  pidfile=$(ls "$dir"/run/*.pid 2>/dev/null | head -n1 || true)
  [[ -n $pidfile ]] && pid=$(tr -dc '0-9' < "$pidfile")
fi
[[ -z $pid ]] && exit 0

# Only a process that is still an smbd with this config counts as ours.
ours() { [[ -r /proc/$1/cmdline ]] && tr '\0' ' ' < "/proc/$1/cmdline" | grep -q -- "$dir/smb.conf"; }
if ours "$pid"; then
  children=()
  for stat in /proc/[0-9]*/stat; do
    read -r cpid _ _ ppid _ < "$stat" 2>/dev/null || continue
    [[ $ppid == "$pid" ]] && ours "$cpid" && children+=("$cpid")
  done
  kill -TERM "$pid" "${children[@]}" 2>/dev/null
  for _ in $(seq 1 50); do
    alive=0
    for p in "$pid" "${children[@]}"; do ours "$p" && alive=1; done
    [[ $alive -eq 0 ]] && break
    sleep 0.1
  done
  for p in "$pid" "${children[@]}"; do ours "$p" && kill -KILL "$p" 2>/dev/null; done
fi
rm -f "$dir/smbd.pid" "$dir/port"
exit 0
