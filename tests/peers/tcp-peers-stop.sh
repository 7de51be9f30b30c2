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

# A process's state and start time from /proc/PID/stat, in bash alone (the
# command name may hold blanks and parentheses; the fields after its last ") "
# do not).
stat_of() {
  local line rest
  { read -r line < "/proc/$1/stat"; } 2>/dev/null || return 1
  rest=${line##*) }
  read -ra f <<< "$rest"
}
starttime() { stat_of "$1" && echo "${f[19]}"; }
# Running (not a zombie) and still the process first seen.
alive() { stat_of "$1" && [[ ${f[0]} != Z && ${f[19]} == "$2" ]]; }
# Every process's children, read once.
declare -A kids=()
for stat in /proc/[0-9]*/stat; do
  pid=${stat#/proc/}
  pid=${pid%/stat}
  stat_of "$pid" && kids[${f[1]}]+=" $pid"
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
# Two seconds for them to end; dovecot's master may wait longer for its
# children, and nothing of theirs outlives the scratch directory, so the rest
# are killed.
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
