#!/usr/bin/env bash
# A private Postfix on a loopback port, for the send tests against a real server.
#
#   postfix-instance.sh start DIR PORT [-o name=value ...]   configure DIR and start Postfix there
#   postfix-instance.sh stop DIR
#
# DIR holds the configuration, the queue and the mailboxes; the system's own Postfix setup is not
# touched. <user>@example.test is a mailbox for each user listed in DIR/users (created as
# "alice bob carol" when absent); its mail lands in DIR/mail/example.test/<user>/new/. Any other
# recipient is refused with 550 5.1.1. The -o options go to the listener (smtpd_hard_error_limit,
# smtpd_recipient_limit, ...). Needs root (Postfix's master runs as root) and the postfix package.
# Exits 2 with a reason when Postfix cannot be started.
set -euo pipefail

fail() { echo "postfix-instance: $*" >&2; exit 2; }

start() {
  local dir=$1 port=$2
  shift 2
  [ "$(id -u)" -eq 0 ] || fail "needs root"
  [ -x /usr/sbin/postfix ] || fail "the postfix package is not installed"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  mkdir -p "$dir/etc" "$dir/spool" "$dir/data" "$dir/mail"
  [ -f "$dir/users" ] || printf 'alice\nbob\ncarol\n' >"$dir/users"
  : >"$dir/etc/vmailbox"
  while read -r user; do
    [ -z "$user" ] || printf '%s@example.test example.test/%s/\n' "$user" "$user" >>"$dir/etc/vmailbox"
  done <"$dir/users"
  chmod 0755 "$dir"  # Postfix's own processes run as user postfix
  chown root "$dir/spool"
  chown -R postfix "$dir/data"
  chown -R 5000:5000 "$dir/mail"
  cat >"$dir/etc/main.cf" <<CF
compatibility_level = 3.6
config_directory = $dir/etc
queue_directory = $dir/spool
data_directory = $dir/data
mail_owner = postfix
setgid_group = postdrop
myhostname = mx.example.test
mydomain = example.test
myorigin = example.test
mydestination =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost =
maillog_file = $dir/maillog
maillog_file_prefixes = $dir
virtual_mailbox_domains = example.test
virtual_mailbox_base = $dir/mail
virtual_mailbox_maps = texthash:$dir/etc/vmailbox
virtual_uid_maps = static:5000
virtual_gid_maps = static:5000
virtual_minimum_uid = 100
virtual_mailbox_limit = 0
smtpd_recipient_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_banner = \$myhostname ESMTP
biff = no
append_dot_mydomain = no
alias_maps =
alias_database =
local_recipient_maps =
smtputf8_enable = no
CF
  local options=""
  while [ $# -gt 0 ]; do
    [ "$1" = "-o" ] && [ $# -ge 2 ] || fail "options are given as -o name=value"
    options+=" -o $2"
    shift 2
  done
  # The system's services without its port 25 listener, plus ours; the log through postlogd.
  sed -e '/^smtp *inet/d' /etc/postfix/master.cf >"$dir/etc/master.cf"
  printf '127.0.0.1:%s inet n - n - - smtpd%s\n' "$port" "$options" >>"$dir/etc/master.cf"
  sed -i -e 's/^postlog .*/postlog   unix-dgram n  -       n       -       1       postlogd/' "$dir/etc/master.cf"
  postfix -c "$dir/etc" check || fail "the configuration in $dir/etc does not check"
  postfix -c "$dir/etc" start >/dev/null 2>&1 || fail "postfix did not start (see $dir/maillog)"
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  fail "postfix does not listen on 127.0.0.1:$port (see $dir/maillog)"
}

case "${1:-}" in
  start) [ $# -ge 3 ] || fail "usage: postfix-instance.sh start DIR PORT [-o name=value ...]"; shift; start "$@" ;;
  stop) [ $# -eq 2 ] || fail "usage: postfix-instance.sh stop DIR"; postfix -c "$(cd "$2" && pwd)/etc" stop >/dev/null 2>&1 ;;
  *) fail "usage: postfix-instance.sh start DIR PORT [-o name=value ...] | stop DIR" ;;
esac
