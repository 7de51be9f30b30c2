#!/usr/bin/env bash
# Stops the peers tcp-peers-start.sh started in $1: the pids in $1/pids and
# their descendants, each checked against its start time (a reused pid is never
# touched), never by name; then removes the start's scratch directory in /tmp.
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

# The fields of /proc/PID/stat after the command name (which may hold blanks
# and parentheses) in f, in bash alone: f[0] state, f[1] parent, f[19] start.
stat_of() {
  local line
  { read -r line < "/proc/$1/stat"; } 2>/dev/null && read -ra f <<< "${line##*) }"
}
starttime() { stat_of "$1" && echo "${f[19]}"; }
# Running (not a zombie) and still the process first seen.
alive() { stat_of "$1" && [[ ${f[0]} != Z && ${f[19]} == "$2" ]]; }
# Every process's children, read once.
declare -A kids=()
for proc in /proc/[0-9]*; do
  stat_of "${proc#/proc/}" && kids[${f[1]}]+=" ${proc#/proc/}"
done

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
  for c in ${kids[$p]:-}; do queue+=("$c"); done
done

for p in "${!start[@]}"; do alive "$p" "${start[$p]}" && kill -TERM "$p" 2>/dev/null; done
# Two seconds to end, then killed: dovecot's master may wait longer for its
# children, and nothing of theirs outlives the scratch directory.
for _ in $(seq 1 20); do
  left=0
  for p in "${!start[@]}"; do alive "$p" "${start[$p]}" && left=1; done
  [[ $left -eq 0 ]] && break
  sleep 0.1
done
for p in "${!start[@]}"; do alive "$p" "${start[$p]}" && kill -KILL "$p" 2>/dev/null; done
rm -f "$dir/pids" "$dir/ports.env"
remove_scratch
exit 0
