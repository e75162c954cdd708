#!/usr/bin/env bash
# DNS-SD advertisement against a real avahi-daemon, confined to a private network namespace (its
# only interface is loopback) and a private D-Bus, so that nothing reaches the machine's network.
#   avahi_advertisement_test.sh PATH_TO_avahi_advertise_probe
# Exit status 77 (skipped) where the tools are missing or no such namespace can be made.
set -uo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}

if [ -z "${VELMORA_IN_PRIVATE_NAMESPACE:-}" ]; then
  if [ $# -ne 1 ] || [ ! -x "$1" ]; then
    echo "usage: $0 PATH_TO_avahi_advertise_probe" >&2
    exit 2
  fi
  for tool in unshare ip avahi-daemon dbus-daemon avahi-browse; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  namespace=(unshare --net --mount)
  if ! "${namespace[@]}" true 2>/dev/null; then
    namespace=(unshare --user --map-root-user --net --mount)
    "${namespace[@]}" true 2>/dev/null || skip "cannot create a private network and mount namespace"
  fi
  VELMORA_IN_PRIVATE_NAMESPACE=1 exec "${namespace[@]}" bash "$0" "$(realpath "$1")"
fi

# From here on: inside the namespace.
probe=$1
work=$(mktemp -d /tmp/velmora-avahi-test.XXXXXX)
dbus_pid=
daemon_pid=
probe_pids=()

stop_process() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  local status=$?
  for pid in "${probe_pids[@]}"; do stop_process "$pid"; done
  stop_process "$daemon_pid"
  stop_process "$dbus_pid"
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do
    echo "--- $(basename "$log")"
    cat "$log"
  done
  exit 1
}

# wait_for DESCRIPTION COMMAND...: polls COMMAND for up to 10 seconds.
wait_for() {
  local description=$1
  shift
  local deadline=$((SECONDS + 10))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $description"
    sleep 0.1
  done
}

logged() { grep -qF -- "$2" "$work/$1.log"; }

# advertised NAME PORT: avahi-browse resolves NAME of type _velmora._tcp to PORT. Its parsable
# output escapes names (\DDD for a byte in decimal, \. for a dot).
advertised() {
  avahi-browse -rpt _velmora._tcp 2>/dev/null | NAME=$1 PORT=$2 awk -F';' '
    function unescape(text,    plain, i, c) {
      plain = ""
      for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == "\\" && substr(text, i + 1, 3) ~ /^[0-9][0-9][0-9]$/) {
          plain = plain sprintf("%c", substr(text, i + 1, 3) + 0)
          i += 3
        } else if (c == "\\") {
          plain = plain substr(text, ++i, 1)
        } else {
          plain = plain c
        }
      }
      return plain
    }
    $1 == "=" && unescape($4) == ENVIRON["NAME"] && $9 == ENVIRON["PORT"] { found = 1 }
    END { exit !found }'
}
withdrawn() { ! advertised "$@"; }

# start_probe LOG NAME TYPE PORT: sets probe_pid.
start_probe() {
  "$probe" "$2" "$3" "$4" >"$work/$1.log" 2>&1 &
  probe_pid=$!
  probe_pids+=("$probe_pid")
}

start_daemon() {
  local started
  started=$(grep -c "Server startup complete" "$work/avahi.log" 2>/dev/null)
  avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi.conf" >>"$work/avahi.log" 2>&1 &
  daemon_pid=$!
  wait_for "avahi-daemon to start" bash -c "[ \$(grep -c 'Server startup complete' '$work/avahi.log') -gt ${started:-0} ]"
}

stop_daemon() {
  stop_process "$daemon_pid"
  daemon_pid=
}

ip link set lo up multicast on || fail "cannot bring up lo"
# A private /run holds the daemon's pid file and socket and hides the machine's own daemons.
mount -t tmpfs velmora-run /run || fail "cannot mount a private /run"
mkdir -p /run/avahi-daemon
# Only the probes' services: none of the machine's static ones.
if [ -d /etc/avahi/services ]; then
  mount -t tmpfs velmora-services /etc/avahi/services || fail "cannot hide /etc/avahi/services"
fi

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
cat >"$work/avahi.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
EOF

dbus-daemon --config-file="$work/bus.conf" --nofork >"$work/dbus.log" 2>&1 &
dbus_pid=$!
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
wait_for "the private D-Bus" test -S "$work/bus"

echo "== a host started before the daemon says so, keeps running and registers once it appears"
start_probe late "Velmora Late" _velmora._tcp 45921
late_pid=$probe_pid
wait_for "the unavailable line" logged late "DNS-SD advertisement unavailable: Daemon not running; waiting for the daemon"
kill -0 "$late_pid" 2>/dev/null || fail "the probe ended without a daemon"
start_daemon
wait_for "Velmora Late on port 45921" advertised "Velmora Late" 45921
logged late "DNS-SD advertisement established: Velmora Late (_velmora._tcp)" || fail "no established line"

echo "== advertisement with its port; a second host of the same name takes the alternative name"
start_probe first "Velmora Test" _velmora._tcp 45922
first_pid=$probe_pid
wait_for "Velmora Test on port 45922" advertised "Velmora Test" 45922
start_probe second "Velmora Test" _velmora._tcp 45923
wait_for "the collision line" logged second "DNS-SD name collision; advertising as Velmora Test #2"
wait_for "Velmora Test #2 on port 45923" advertised "Velmora Test #2" 45923
advertised "Velmora Test" 45922 || fail "the first host lost its name"

echo "== a service type the daemon refuses is logged; the probe keeps running"
start_probe invalid "Velmora Invalid" "not a type" 45924
wait_for "the failure line" logged invalid "DNS-SD advertisement failed: Invalid service type"
kill -0 "$probe_pid" 2>/dev/null || fail "the probe ended after a refused advertisement"

echo "== after a daemon restart every host registers again under the name it had"
stop_daemon
wait_for "the lost daemon to be noticed" logged first "DNS-SD advertisement unavailable: "
start_daemon
wait_for "Velmora Test again" advertised "Velmora Test" 45922
wait_for "Velmora Test #2 again" advertised "Velmora Test #2" 45923
wait_for "Velmora Late again" advertised "Velmora Late" 45921

echo "== a host that quits withdraws its advertisement"
kill "$first_pid"
wait "$first_pid"
status=$?
[ "$status" -eq 0 ] || fail "the probe exited with status $status"
wait_for "Velmora Test to be withdrawn" withdrawn "Velmora Test" 45922
advertised "Velmora Late" 45921 || fail "another host's advertisement went with it"

echo "PASS"
