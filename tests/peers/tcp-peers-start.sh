#!/usr/bin/env bash
# Starts the real service peers of the probe tests on 127.0.0.1 high ports:
#   postfix   SMTP, a second smtpd that refuses EHLO (command filter), one
#             with STARTTLS and one with TLS from the first byte (wrapper mode)
#   dovecot   POP3 with STLS, and POP3S
#   vsftpd    FTP standalone, a second one with a multi-line banner, one with
#             AUTH TLS and one with implicit FTPS
#   nginx     HTTP, and HTTPS with a valid, an expired and another name's
#             certificate
# One plain and one TLS peer per protocol listen on ::1 too, on the same
# ports: SMTP and SMTPS, POP3 and POP3S, FTP and FTPS (two more vsftpd: one
# cannot listen on both families), HTTP and HTTPS.
# The TLS peers use a certificate authority made here with openssl, its
# certificate in TLS_CA_FILE of ports.env (no system trust store knows it):
# "valid" (velkor-peer.localdomain, localhost, 127.0.0.1, ::1), "expired" (the
# same names, valid in the first half of 2020) and "other" (other.example).
# The ports go to $1/ports.env (NAME=port lines), the pids of the processes
# started here to $1/pids. Configs, state and logs live in a fresh directory
# of their own under /tmp that everyone may enter (its path in $1/scratch,
# and $1/state links to it): the daemons give up root, and the checkout (so
# $1) may sit below a directory that only its owner may enter. Without root
# nothing starts and ports.env is absent: the tests then say they were
# skipped. tcp-peers-stop.sh $1 ends exactly these pids and removes the
# scratch directory.
set -euo pipefail

dir=$(realpath -m "$1")
here=$(cd "$(dirname "$0")" && pwd)

if [[ $(id -u) -ne 0 ]]; then
  echo "tcp_peers: not root: postfix, dovecot, vsftpd and nginx NOT started; the real-peer tests will be skipped" >&2
  mkdir -p "$dir"
  rm -f "$dir/ports.env"
  exit 0
fi
for bin in /usr/lib/postfix/sbin/master /usr/sbin/dovecot /usr/sbin/vsftpd /usr/sbin/nginx /usr/bin/openssl; do
  if [[ ! -x $bin ]]; then
    echo "tcp_peers: $bin is missing (scripts/install-deps --test installs postfix, dovecot-pop3d, vsftpd, nginx-light, openssl)" >&2
    exit 1
  fi
done

# A previous run that was not stopped: end its processes (by their pids) first.
"$here/tcp-peers-stop.sh" "$dir" || true
rm -rf "$dir"
mkdir -p "$dir"
scratch=$(mktemp -d /tmp/velkor-tcp-peers.XXXXXX)
chmod 755 "$scratch"
echo "$scratch" > "$dir/scratch"
ln -s "$scratch" "$dir/state"

port_in_use() { ss -Hltn "sport = :$1" | grep -q .; }
port6_in_use() { ss -Hltn src "[::1]:$1" | grep -q .; }
taken=" "
pick_port() {
  local p
  while true; do
    # Below the kernel's ephemeral range, so no client socket holds it.
    p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 12000 ))
    [[ $taken == *" $p "* ]] && continue
    port_in_use "$p" && continue
    taken+="$p "
    echo "$p"
    return
  done
}

SMTP_PORT=$(pick_port)
SMTP_NOEHLO_PORT=$(pick_port)
POP_PORT=$(pick_port)
FTP_PORT=$(pick_port)
FTP_BANNER_PORT=$(pick_port)
HTTP_PORT=$(pick_port)
SMTP_TLS_PORT=$(pick_port)
SMTPS_PORT=$(pick_port)
POP3S_PORT=$(pick_port)
FTP_TLS_PORT=$(pick_port)
FTPS_PORT=$(pick_port)
HTTPS_PORT=$(pick_port)
HTTPS_EXPIRED_PORT=$(pick_port)
HTTPS_OTHER_PORT=$(pick_port)

: > "$dir/pids"
# name, pid and the process's start time (so that the stop never touches a
# process that merely reuses the pid).
record() {
  local st
  st=$(awk '{ sub(/^.*\) /, ""); print $20 }' "/proc/$2/stat" 2>/dev/null || echo 0)
  echo "$1 $2 $st" >> "$dir/pids"
}

# --- certificates: a CA of our own and three server certificates ----------
# Readable by everyone: the daemons read them, some after giving up root.
tls=$scratch/tls
mkdir -p "$tls/ca/newcerts"
: > "$tls/ca/index.txt"
echo 1000 > "$tls/ca/serial"
cat > "$tls/ca.cnf" <<CONF
[ ca ]
default_ca = testca
[ testca ]
dir = $tls/ca
database = \$dir/index.txt
new_certs_dir = \$dir/newcerts
serial = \$dir/serial
certificate = $tls/ca.crt
private_key = $tls/ca.key
default_md = sha256
default_days = 825
policy = anything
copy_extensions = copy
unique_subject = no
[ anything ]
organizationName = optional
commonName = supplied
CONF
openssl_quiet() { openssl "$@" >"$tls/openssl.out" 2>&1 || { cat "$tls/openssl.out" >&2; exit 1; }; }
openssl_quiet req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/ca.key" -out "$tls/ca.crt" -days 3650 \
  -subj "/O=velkor test/CN=velkor test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
openssl_quiet genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$tls/server.key"
server_cert() {  # $1 name, $2 CN, $3 subjectAltName, further: openssl ca options
  local name=$1 cn=$2 san=$3
  shift 3
  openssl_quiet req -new -key "$tls/server.key" -subj "/O=velkor test/CN=$cn" -addext "subjectAltName=$san" \
    -out "$tls/$name.csr"
  openssl_quiet ca -batch -notext -config "$tls/ca.cnf" -in "$tls/$name.csr" -out "$tls/$name.crt" "$@"
}
peer_names="DNS:velkor-peer.localdomain,DNS:localhost,IP:127.0.0.1,IP:::1"
server_cert valid velkor-peer.localdomain "$peer_names"
server_cert expired velkor-peer.localdomain "$peer_names" -startdate 20200101000000Z -enddate 20200701000000Z
server_cert other other.example "DNS:other.example"
chmod 755 "$tls"
chmod 644 "$tls"/*.crt "$tls/server.key"

# --- postfix: one master with four smtpd listeners -----------------------
pf=$scratch/postfix
mkdir -p "$pf/etc" "$pf/queue/pid" "$pf/queue/public" "$pf/queue/private" "$pf/data"
chown postfix "$pf/data" "$pf/queue/public" "$pf/queue/private"
chgrp postdrop "$pf/queue/public"
chmod 710 "$pf/queue/public"
chmod 700 "$pf/queue/private"
cat > "$pf/etc/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = velkor-peer.localdomain
mydomain = localdomain
mydestination =
alias_maps =
alias_database =
local_recipient_maps =
inet_interfaces = 127.0.0.1, [::1]
inet_protocols = all
smtpd_peername_lookup = no
smtputf8_enable = no
biff = no
maillog_file_prefixes = $pf
maillog_file = $pf/maillog
CONF
# Any EHLO becomes an unknown command: the server answers a single 500 line.
printf '/^EHLO(.*)$/ XEHLO$1\n' > "$pf/etc/ehlo_filter"
cat > "$pf/etc/master.cf" <<CONF
127.0.0.1:$SMTP_PORT inet n - n - - smtpd
127.0.0.1:$SMTP_NOEHLO_PORT inet n - n - - smtpd -o smtpd_command_filter=regexp:$pf/etc/ehlo_filter
127.0.0.1:$SMTP_TLS_PORT inet n - n - - smtpd -o smtpd_tls_security_level=may
  -o smtpd_tls_cert_file=$tls/valid.crt -o smtpd_tls_key_file=$tls/server.key
127.0.0.1:$SMTPS_PORT inet n - n - - smtpd -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_cert_file=$tls/valid.crt -o smtpd_tls_key_file=$tls/server.key
[::1]:$SMTP_PORT inet n - n - - smtpd
[::1]:$SMTPS_PORT inet n - n - - smtpd -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_cert_file=$tls/valid.crt -o smtpd_tls_key_file=$tls/server.key
tlsmgr unix - - n 1000? 1 tlsmgr
postlog unix-dgram n - n - 1 postlogd
proxymap unix - - n - - proxymap
anvil unix - - n - 1 anvil
CONF
/usr/lib/postfix/sbin/master -c "$pf/etc" -d </dev/null >"$pf/master.out" 2>&1 &
record postfix $!

# --- dovecot: POP3 with STLS and POP3S, any user name --------------------
dv=$scratch/dovecot
mkdir -p "$dv/run" "$dv/state"
cat > "$dv/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1, ::1
base_dir = $dv/run
state_dir = $dv/state
instance_name = velkor-peer
ssl = yes
ssl_cert = <$tls/valid.crt
ssl_key = <$tls/server.key
disable_plaintext_auth = no
auth_mechanisms = plain
log_path = $dv/dovecot.log
passdb {
  driver = static
  args = password=never-used-by-the-probes
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=/nonexistent
}
mail_location = mbox:~/mail:INBOX=/dev/null
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1, ::1
    port = $POP_PORT
  }
  inet_listener pop3s {
    address = 127.0.0.1, ::1
    port = $POP3S_PORT
    ssl = yes
  }
}
service stats {
  unix_listener stats-reader {
    mode = 0600
  }
  unix_listener stats-writer {
    mode = 0600
  }
}
CONF
/usr/sbin/dovecot -c "$dv/dovecot.conf" -F </dev/null >"$dv/dovecot.out" 2>&1 &
record dovecot $!

# --- vsftpd: standalone, plain banner, multi-line banner, AUTH TLS, FTPS ---
vs=$scratch/vsftpd
mkdir -p "$vs/empty"
chmod 555 "$vs/empty"
printf 'Welcome to the velkor test FTP peer.\nThis banner has three lines\nso that the greeting is a multi-line reply.\n' > "$vs/banner.txt"
write_vsftpd() {  # $1 config file, $2 port, $3 extra line, $4 "6": on ::1 instead of 127.0.0.1
  local family="listen=YES
listen_ipv6=NO
listen_address=127.0.0.1"
  [[ ${4:-} == 6 ]] && family="listen=NO
listen_ipv6=YES
listen_address6=::1"
  cat > "$1" <<CONF
$family
listen_port=$2
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=NO
pasv_enable=NO
port_enable=NO
secure_chroot_dir=$vs/empty
nopriv_user=nobody
pam_service_name=vsftpd
xferlog_enable=NO
vsftpd_log_file=$vs/vsftpd.log
seccomp_sandbox=NO
$3
CONF
}
write_vsftpd "$vs/plain.conf" "$FTP_PORT" ""
write_vsftpd "$vs/banner.conf" "$FTP_BANNER_PORT" "banner_file=$vs/banner.txt"
vsftpd_tls="ssl_enable=YES
rsa_cert_file=$tls/valid.crt
rsa_private_key_file=$tls/server.key
ssl_ciphers=HIGH
require_ssl_reuse=NO"
write_vsftpd "$vs/tls.conf" "$FTP_TLS_PORT" "$vsftpd_tls"
write_vsftpd "$vs/ftps.conf" "$FTPS_PORT" "$vsftpd_tls
implicit_ssl=YES"
write_vsftpd "$vs/plain6.conf" "$FTP_PORT" "" 6
write_vsftpd "$vs/ftps6.conf" "$FTPS_PORT" "$vsftpd_tls
implicit_ssl=YES" 6
for v in plain banner tls ftps plain6 ftps6; do
  /usr/sbin/vsftpd "$vs/$v.conf" </dev/null >"$vs/$v.out" 2>&1 &
  record "vsftpd-$v" $!
done

# --- nginx ----------------------------------------------------------------
ng=$scratch/nginx
mkdir -p "$ng/html" "$ng/tmp" "$ng/logs"
chmod 755 "$ng" "$ng/html"
printf '<html><body>velkor test peer</body></html>\n' > "$ng/html/index.html"
chmod 644 "$ng/html/index.html"
cat > "$ng/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $ng/nginx.pid;
error_log $ng/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $ng/tmp/body;
  proxy_temp_path $ng/tmp/proxy;
  fastcgi_temp_path $ng/tmp/fastcgi;
  server {
    listen 127.0.0.1:$HTTP_PORT;
    listen [::1]:$HTTP_PORT;
    root $ng/html;
    index index.html;
  }
$(for pair in "$HTTPS_PORT valid" "$HTTPS_EXPIRED_PORT expired" "$HTTPS_OTHER_PORT other"; do
  set -- $pair
  printf '  server {\n    listen 127.0.0.1:%s ssl;\n' "$1"
  [[ $2 == valid ]] && printf '    listen [::1]:%s ssl;\n' "$1"
  printf '    ssl_certificate %s/%s.crt;\n' "$tls" "$2"
  printf '    ssl_certificate_key %s/server.key;\n    root %s/html;\n    index index.html;\n  }\n' "$tls" "$ng"
done)
}
CONF
/usr/sbin/nginx -p "$ng" -c "$ng/nginx.conf" -e "$ng/logs/error.log" </dev/null >"$ng/nginx.out" 2>&1 &
record nginx $!

# --- wait for every port (10 s at most) ------------------------------------
all=("$SMTP_PORT" "$SMTP_NOEHLO_PORT" "$POP_PORT" "$FTP_PORT" "$FTP_BANNER_PORT" "$HTTP_PORT" "$SMTP_TLS_PORT"
     "$SMTPS_PORT" "$POP3S_PORT" "$FTP_TLS_PORT" "$FTPS_PORT" "$HTTPS_PORT" "$HTTPS_EXPIRED_PORT" "$HTTPS_OTHER_PORT")
all6=("$SMTP_PORT" "$SMTPS_PORT" "$POP_PORT" "$POP3S_PORT" "$FTP_PORT" "$FTPS_PORT" "$HTTP_PORT" "$HTTPS_PORT")
for _ in $(seq 1 100); do
  missing=0
  for p in "${all[@]}"; do port_in_use "$p" || missing=1; done
  for p in "${all6[@]}"; do port6_in_use "$p" || missing=1; done
  [[ $missing -eq 0 ]] && break
  sleep 0.1
done
if [[ $missing -ne 0 ]]; then
  echo "tcp_peers: not every peer came up; logs follow" >&2
  for p in "${all[@]}"; do port_in_use "$p" || echo "  port $p is not listening" >&2; done
  for p in "${all6[@]}"; do port6_in_use "$p" || echo "  port [::1]:$p is not listening" >&2; done
  cat "$pf/master.out" "$pf/maillog" "$dv/dovecot.out" "$dv/dovecot.log" "$vs"/*.out "$ng/nginx.out" \
      "$ng/logs/error.log" 2>/dev/null >&2 || true
  "$here/tcp-peers-stop.sh" "$dir" || true
  exit 1
fi

cat > "$dir/ports.env.tmp" <<ENV
SMTP_PORT=$SMTP_PORT
SMTP_NOEHLO_PORT=$SMTP_NOEHLO_PORT
POP_PORT=$POP_PORT
FTP_PORT=$FTP_PORT
FTP_BANNER_PORT=$FTP_BANNER_PORT
HTTP_PORT=$HTTP_PORT
SMTP_TLS_PORT=$SMTP_TLS_PORT
SMTPS_PORT=$SMTPS_PORT
POP3S_PORT=$POP3S_PORT
FTP_TLS_PORT=$FTP_TLS_PORT
FTPS_PORT=$FTPS_PORT
HTTPS_PORT=$HTTPS_PORT
HTTPS_EXPIRED_PORT=$HTTPS_EXPIRED_PORT
HTTPS_OTHER_PORT=$HTTPS_OTHER_PORT
TLS_CA_FILE=$tls/ca.crt
IPV6_PEERS=1
ENV
mv "$dir/ports.env.tmp" "$dir/ports.env"
echo "tcp_peers: started on 127.0.0.1 (and the first of each kind on ::1):"
sed 's/^/  /' "$dir/ports.env"
