#!/usr/bin/env bash
# Stops the peers that tcp-peers-start.sh started in the directory $1: the
# pids recorded in $1/pids and their descendants, each checked against its
# start time so that a reused pid is never touched. Never by name. Then
# removes the scratch directory under /tmp that the start made for them.
set -uo pipefail

dir=$(realpath -m "$1")

# Only a directory that tcp-peers-start.sh made (as its name shows) is removed.
remove_scratch() {
  local s
  s=$(cat "$dir/scratch" 2>/dev/null) || s=
  if [[ $s =~ ^/tmp/velkor-tcp-peers\.[A-Za-z0-9]{6}$ && -d $s && ! -L $s ]]; then rm -rf "$s"; fi
  rm -f "$dir/scratch" "$dir/state"
}
[[ -s $dir/pids ]] || { rm -f "$dir/ports.env"; remove_scratch; exit 0; }

starttime() { awk '{ sub(/^.*\) /, ""); print $20 }' "/proc/$1/stat" 2>/dev/null; }
# Running (not a zombie) and still the process first seen.
alive() {
  local st
  [[ -r /proc/$1/stat ]] || return 1
  st=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null)
  [[ $st != Z && $(starttime "$1") == "$2" ]]
}
children_of() {
  local stat cpid ppid
  for stat in /proc/[0-9]*/stat; do
    read -r cpid ppid < <(awk '{ pid = $1; sub(/^.*\) /, ""); print pid, $2 }' "$stat" 2>/dev/null) || continue
    [[ $ppid == "$1" ]] && echo "$cpid"
  done
}

declare -A start=()
queue=()
while read -r _ pid st; do
  [[ $pid =~ ^[0-9]+$ ]] || continue
  [[ $(starttime "$pid") == "$st" ]] || continue  # gone, or the pid was reused
  queue+=("$pid")
done < "$dir/pids"

# The recorded processes and everything below them, as they are now.
i=0
while [[ $i -lt ${#queue[@]} ]]; do
  p=${queue[$i]}
  i=$((i + 1))
  [[ -n ${start[$p]:-} ]] && continue
  st=$(starttime "$p") || continue
  [[ -n $st ]] || continue
  start[$p]=$st
  while read -r c; do [[ -n $c ]] && queue+=("$c"); done < <(children_of "$p")
done

for p in "${!start[@]}"; do alive "$p" "${start[$p]}" && kill -TERM "$p" 2>/dev/null; done
for _ in $(seq 1 50); do
  left=0
  for p in "${!start[@]}"; do alive "$p" "${start[$p]}" && left=1; done
  [[ $left -eq 0 ]] && break
  sleep 0.1
done
for p in "${!start[@]}"; do alive "$p" "${start[$p]}" && kill -KILL "$p" 2>/dev/null; done
rm -f "$dir/pids" "$dir/ports.env"
remove_scratch
exit 0
