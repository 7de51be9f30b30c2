#!/usr/bin/env bash
# Stops the icinga2 that icinga2-start.sh started in the directory $1 (by its
# recorded pid and start time, with its own child, as tcp-peers-stop.sh does
# for the TCP peers; never by name) and removes its state there.
set -uo pipefail
dir=$(realpath -m "$1")
"$(dirname "$0")/tcp-peers-stop.sh" "$dir"
rm -rf "$dir"/{data,log,cache,spool,run,plugins} "$dir/icinga2.conf" "$dir/api.env"
exit 0
