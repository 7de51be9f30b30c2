#!/usr/bin/env bash
# Starts two private smbd on 127.0.0.1 and ::1 at free high ports for the
# share-listing tests: one that lists its shares to anyone, recorded in the
# directory given as $1, and one that refuses anonymous users the list (as
# most Windows servers do), recorded in $1/closed. Each one's port goes to
# its port file and its pid to its smbd.pid. Everything else (config, state,
# logs, shared directories) lives in a fresh directory of its own under /tmp
# that everyone may enter (its path in the scratch file, and the state link
# points to it): smbd works in the shares as the guest user, and the checkout
# (so $1) may sit below a directory that only its owner may enter.
# Needs root (smbd drops to the connecting user per session).
set -euo pipefail

dir=$(realpath -m "$1")  # smbd changes to /: paths must be absolute
if [[ $(id -u) -ne 0 ]]; then
  echo "smb_peers: not root, smbd not started" >&2
  mkdir -p "$dir"; rm -f "$dir/port" "$dir/smbd.pid"
  exit 0
fi
smbd=$(command -v smbd || echo /usr/sbin/smbd)
if [[ ! -x $smbd ]]; then
  echo "smb_peers: smbd is missing (scripts/install-deps --test installs samba)" >&2
  exit 1
fi

# A previous run that was not stopped: end its smbd (by their pids) first.
"$(dirname "$0")/smb_stop.sh" "$dir" || true
rm -rf "$dir"

# smbd binds its addresses one after the other: ready once 127.0.0.1 listens, and ::1 too where lo has it
serving() { ss -Hltn "src 127.0.0.1 and sport = :$1" | grep -q . && { ! ip -6 addr show dev lo | grep -q '::1/' || ss -Hltn "src [::1] and sport = :$1" | grep -q .; }; }

# start_smbd DIR LINES: one smbd, recorded in DIR; LINES go into its [global]
# section.
start_smbd() {
  local dir=$1 lines=$2 port scratch pidfile
  mkdir -p "$dir"

  for attempt in 1 2 3 4 5 6 7 8; do
    port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    ss -Hltn "sport = :$port" | grep -q . && continue
    scratch=$(mktemp -d /tmp/velkor-smb-peer.XXXXXX)
    echo "$scratch" > "$dir/scratch"
    ln -sfn "$scratch" "$dir/state"
    mkdir -p "$scratch"/{lock,state,cache,run,private,ncalrpc,log,data,c,admin,nine,eightchr}
    chmod 755 "$scratch" "$scratch"/{data,c,admin,nine,eightchr}
    echo hello > "$scratch/data/hello.txt"
    cat > "$scratch/smb.conf" <<CONF
[global]
  workgroup = VKRTEST
  netbios name = VKRTESTSMB
  server string = velkor test peer
  interfaces = 127.0.0.1 ::1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  disable spoolss = yes
  load printers = no
  printing = bsd
  printcap name = /dev/null
$lines
  guest account = nobody
  server role = standalone server
  lock directory = $scratch/lock
  state directory = $scratch/state
  cache directory = $scratch/cache
  pid directory = $scratch/run
  private dir = $scratch/private
  ncalrpc dir = $scratch/ncalrpc
  log file = $scratch/log/log.%m
  logging = file
  max log size = 1000
  usershare path =
  registry shares = no
  passdb backend = tdbsam:$scratch/private/passdb.tdb

[data]
  path = $scratch/data
  comment = shared data
  guest ok = yes
  read only = yes

[C\$]
  path = $scratch/c
  comment = Default share
  guest ok = yes
  read only = yes

[ADMIN\$]
  path = $scratch/admin
  comment = Remote Admin
  guest ok = yes
  read only = yes

[NINECHARS]
  path = $scratch/nine
  comment = nine characters
  guest ok = yes
  read only = yes

[eightchr]
  path = $scratch/eightchr
  guest ok = yes
  read only = yes
CONF
    "$smbd" -D -s "$scratch/smb.conf" </dev/null >"$scratch/log/start.out" 2>&1 || true
    # Wait up to 10 s for the pid file and the listening port.
    for _ in $(seq 1 100); do
      pidfile=$(ls "$scratch"/run/smbd*.pid 2>/dev/null | head -n1 || true)
      if [[ -n $pidfile && -s $pidfile ]] && serving "$port"; then
        tr -dc '0-9' < "$pidfile" > "$dir/smbd.pid"
        echo "$port" > "$dir/port"
        echo "smb_peers: smbd pid $(cat "$dir/smbd.pid") on 127.0.0.1 and [::1] port $port ($dir)"
        return 0
      fi
      sleep 0.1
    done
    # Did not come up on this port: stop what started (the stop removes the
    # scratch directory, so its logs are shown first), try another port.
    echo "smb_peers: smbd did not come up on port $port; its logs follow" >&2
    cat "$scratch"/log/* >&2 || true
    "$(dirname "$0")/smb_stop.sh" "$dir" || true
  done
  echo "smb_peers: smbd did not start ($dir)" >&2
  return 1
}

start_smbd "$dir" "  map to guest = Bad User" || exit 1
# Anonymous sessions are let in, the share list is not given to them. Every
# logon is logged ("Auth: ... user [domain]\[name] ...") for the tests to see
# whom the listing logged on as.
start_smbd "$dir/closed" "  map to guest = Never
  restrict anonymous = 2
  log level = 1 auth_audit:3" || exit 1
