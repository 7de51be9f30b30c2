#!/usr/bin/env bash
# Starts Debian's icinga2 in the foreground with a configuration of its own,
# running velkor-check against the real TCP peers:
#   icinga2-start.sh DIR VELKOR_CHECK VELKOR_CONF TCP_PEERS_ENV
# DIR gets the configuration, the CA and certificates, icinga2's data, log,
# cache, spool and run directories (given as -D constants, so nothing of the
# system's icinga2 is read or written), the plugin directory with a link to
# VELKOR_CHECK, the pid (DIR/pids, for tcp-peers-stop.sh) and DIR/api.env:
# the API's port, user, password and CA, and the ports the services check.
# The configuration includes the CheckCommand VELKOR_CONF from the source
# tree and defines host 127.0.0.1 with two services: velkor-healthy (every
# TCP peer) and velkor-closed (SMTP on the peer and on a closed port).
# Without root, or without the TCP peers, nothing starts and api.env is
# absent: the test then says it was skipped.
set -euo pipefail

dir=$(realpath -m "$1")
check=$(realpath "$2")
conf=$(realpath "$3")
peers_env=$4
here=$(cd "$(dirname "$0")" && pwd)

"$here/tcp-peers-stop.sh" "$dir" || true
rm -rf "$dir"
mkdir -p "$dir"
if [[ $(id -u) -ne 0 ]]; then
  echo "icinga2: not root: icinga2 NOT started; the Icinga 2 test will be skipped" >&2
  exit 0
fi
if [[ ! -x /usr/sbin/icinga2 ]]; then
  echo "icinga2: /usr/sbin/icinga2 is missing (scripts/install-deps --test installs icinga2)" >&2
  exit 1
fi
if [[ ! -s $peers_env ]]; then
  echo "icinga2: the TCP peers are not running ($peers_env is missing): icinga2 NOT started" >&2
  exit 0
fi
# shellcheck disable=SC1090
. "$peers_env"

port_in_use() { ss -Hltn "sport = :$1" | grep -q .; }
pick_port() {
  local p
  while true; do
    p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 12000 ))
    port_in_use "$p" || { echo "$p"; return; }
  done
}
API_PORT=$(pick_port)
# A port nobody listens on: taken from the same range, checked free.
CLOSED_PORT=$(pick_port)
while [[ $CLOSED_PORT == "$API_PORT" ]]; do CLOSED_PORT=$(pick_port); done
node=velkor-test
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')

mkdir -p "$dir"/{data/certs,log,cache,spool,run,plugins}
ln -s "$check" "$dir/plugins/velkor-check"
defines=(-D "DataDir=$dir/data" -D "LogDir=$dir/log" -D "CacheDir=$dir/cache" -D "SpoolDir=$dir/spool"
         -D "InitRunDir=$dir/run" -D "RunAsUser=root" -D "RunAsGroup=root")

# A CA and a certificate of its own for the API.
{
  icinga2 pki new-ca "${defines[@]}"
  icinga2 pki new-cert "${defines[@]}" --cn "$node" --key "$dir/data/certs/$node.key" --csr "$dir/data/certs/$node.csr"
  icinga2 pki sign-csr "${defines[@]}" --csr "$dir/data/certs/$node.csr" --cert "$dir/data/certs/$node.crt"
} > "$dir/log/pki.out" 2>&1 || { cat "$dir/log/pki.out" >&2; exit 1; }
cp "$dir/data/ca/ca.crt" "$dir/data/certs/ca.crt"

cat > "$dir/icinga2.conf" <<CONF
const PluginDir = "$dir/plugins"
const NodeName = "$node"
const ZoneName = NodeName

include <itl>
include <plugins>
include "$conf"

object Endpoint NodeName { }
object Zone ZoneName { endpoints = [ NodeName ] }
object CheckerComponent "checker" { }
object ApiListener "api" {
  bind_host = "127.0.0.1"
  bind_port = $API_PORT
}
object ApiUser "velkor-test" {
  password = "$password"
  permissions = [ "*" ]
}

object Host "127.0.0.1" {
  address = "127.0.0.1"
  check_command = "dummy"
  check_interval = 1h
}
// Checked when the test asks, through the API.
template Service "velkor-on-request" {
  check_command = "velkor"
  check_interval = 1h
  max_check_attempts = 1
  enable_flapping = false
}
object Service "velkor-healthy" {
  import "velkor-on-request"
  host_name = "127.0.0.1"
  vars.velkor_smtp_ports = "$SMTP_PORT"
  vars.velkor_pop_ports = "$POP_PORT"
  vars.velkor_ftp_ports = "$FTP_PORT"
  vars.velkor_http_ports = "$HTTP_PORT"
  vars.velkor_timeout = 5
}
object Service "velkor-closed" {
  import "velkor-on-request"
  host_name = "127.0.0.1"
  vars.velkor_entry = "127.0.0.1:$SMTP_PORT,$CLOSED_PORT:-:-:-"
  vars.velkor_timeout = 5
}
CONF

/usr/sbin/icinga2 daemon -c "$dir/icinga2.conf" "${defines[@]}" -x warning </dev/null >"$dir/log/icinga2.out" 2>&1 &
pid=$!
echo "icinga2 $pid $(awk '{ sub(/^.*\) /, ""); print $20 }' "/proc/$pid/stat")" > "$dir/pids"

for _ in $(seq 1 300); do
  port_in_use "$API_PORT" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! port_in_use "$API_PORT"; then
  echo "icinga2: the API did not come up on 127.0.0.1:$API_PORT; its output follows" >&2
  cat "$dir/log/icinga2.out" >&2
  "$here/tcp-peers-stop.sh" "$dir" || true
  exit 1
fi

cat > "$dir/api.env.tmp" <<ENV
API_PORT=$API_PORT
API_NODE=$node
API_USER=velkor-test
API_PASSWORD=$password
API_CA=$dir/data/certs/ca.crt
SMTP_PORT=$SMTP_PORT
POP_PORT=$POP_PORT
FTP_PORT=$FTP_PORT
HTTP_PORT=$HTTP_PORT
CLOSED_PORT=$CLOSED_PORT
ENV
mv "$dir/api.env.tmp" "$dir/api.env"
echo "icinga2: started (pid $pid), API on 127.0.0.1:$API_PORT"
