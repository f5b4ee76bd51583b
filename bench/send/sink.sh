# Sourced by the send benchmarks: installs Postfix's smtp-sink if missing (Postfix itself is left
# unconfigured and never started), starts it on a free loopback port and makes a work folder.
# Sets SINK, port, sink_pid and work; both go away when the sourcing script exits.
if ! command -v smtp-sink >/dev/null && [ ! -x /usr/sbin/smtp-sink ]; then
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends postfix >/dev/null
fi
SINK=$(command -v smtp-sink || echo /usr/sbin/smtp-sink)

work=$(mktemp -d)
sink_pid=""
cleanup() { [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$SINK" -u nobody -c 127.0.0.1:"$port" 64 >/dev/null 2>&1 &
sink_pid=$!
sleep 0.5
