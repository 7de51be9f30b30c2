#!/usr/bin/env bash
# Stops the smbd that smb_start.sh recorded in the directory $1 (and in
# $1/closed), and the RPC helper (samba-dcerpcd) that smbd started on demand:
# only the processes whose pids they recorded, and the children of those,
# never by name. Then removes the scratch directory under /tmp that holds
# their config and state.
set -uo pipefail

dir=$(realpath -m "$1")  # smbd changes to /: paths must be absolute
[[ -d $dir/closed ]] && "$0" "$dir/closed"
# Only a directory that smb_start.sh made (as its name shows) is used and removed.
scratch=$(cat "$dir/scratch" 2>/dev/null) || scratch=
[[ $scratch =~ ^/tmp/velkor-smb-peer\.[A-Za-z0-9]{6}$ && -d $scratch && ! -L $scratch ]] || scratch=

# Only a process still running with this scratch directory's config counts as ours.
ours() {
  [[ -n $scratch && -r /proc/$1/cmdline ]] && tr '\0' ' ' < "/proc/$1/cmdline" | grep -q -- "$scratch/smb.conf"
}

roots=()
for f in "$dir/smbd.pid" ${scratch:+"$scratch"/run/*.pid}; do
  [[ -s $f ]] || continue
  p=$(tr -dc '0-9' < "$f")
  [[ -n $p ]] && ours "$p" && roots+=("$p")
done

pids=()
for root in "${roots[@]}"; do
  pids+=("$root")
  for stat in /proc/[0-9]*/stat; do
    read -r cpid _ _ ppid _ 2>/dev/null < "$stat" || continue
    [[ $ppid == "$root" ]] && ours "$cpid" && pids+=("$cpid")
  done
done

if [[ ${#pids[@]} -gt 0 ]]; then
  kill -TERM "${pids[@]}" 2>/dev/null
  for _ in $(seq 1 50); do
    alive=0
    for p in "${pids[@]}"; do ours "$p" && alive=1; done
    [[ $alive -eq 0 ]] && break
    sleep 0.1
  done
  for p in "${pids[@]}"; do ours "$p" && kill -KILL "$p" 2>/dev/null; done
fi
rm -f "$dir/smbd.pid" "$dir/port" "$dir/scratch" "$dir/state"
[[ -n $scratch ]] && rm -rf "$scratch"
exit 0
