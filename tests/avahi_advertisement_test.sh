#!/usr/bin/env bash
# DNS-SD advertisement against a real avahi-daemon in a private network namespace (loopback only)
# on a private D-Bus, so that nothing reaches the machine's network.
#   avahi_advertisement_test.sh PATH_TO_avahi_advertise_probe
# Exit status 77 (skipped) where the tools are missing or no such namespace can be made.
set -uo pipefail
skip() { echo "SKIP: $*"; exit 77; }

if [ -z "${VELMORA_IN_PRIVATE_NAMESPACE:-}" ]; then
  [ $# -eq 1 ] && [ -x "$1" ] || { echo "usage: $0 PATH_TO_avahi_advertise_probe" >&2; exit 2; }
  for tool in unshare ip avahi-daemon dbus-daemon avahi-browse; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  for flags in "--net --mount" "--user --map-root-user --net --mount"; do
    # shellcheck disable=SC2086 # a list of flags
    unshare $flags true 2>/dev/null && VELMORA_IN_PRIVATE_NAMESPACE=1 exec unshare $flags bash "$0" "$(realpath "$1")"
  done
  skip "cannot create a private network and mount namespace"
fi

probe=$1
work=$(mktemp -d /tmp/velmora-avahi-test.XXXXXX)
pids=()
daemon_pid=
cleanup() {
  local status=$?
  kill "${pids[@]}" "$daemon_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  tail -n +1 "$work"/*.log
  exit 1
}
# wait_for DESCRIPTION COMMAND...: polls COMMAND for up to 10 seconds.
wait_for() {
  local description=$1 deadline=$((SECONDS + 10))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $description"
    sleep 0.1
  done
}
logged() { grep -qF -- "$2" "$work/$1.log"; }
# advertised NAME PORT, NAME as avahi-browse's parsable output escapes it (\032 a space, \035 '#').
advertised() {
  avahi-browse -rpt _velmora._tcp 2>/dev/null | NAME=$1 PORT=$2 \
    awk -F';' '$1 == "=" && $4 == ENVIRON["NAME"] && $9 == ENVIRON["PORT"] { found = 1 } END { exit !found }'
}
# start_probe LOG NAME TYPE PORT: sets probe_pid.
start_probe() {
  "$probe" "$2" "$3" "$4" >"$work/$1.log" 2>&1 &
  probe_pid=$!
  pids+=("$probe_pid")
}
started() { [ "$(grep -c 'Server startup complete' "$work/avahi.log")" -gt "$1" ]; }
start_daemon() {
  local before
  before=$(grep -c "Server startup complete" "$work/avahi.log" 2>/dev/null)
  avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi.conf" >>"$work/avahi.log" 2>&1 &
  daemon_pid=$!
  wait_for "avahi-daemon to start" started "${before:-0}"
}

ip link set lo up multicast on || fail "cannot bring up lo"
# A private /run holds the daemon's pid file and socket and hides the machine's own daemons; only
# the probes' services are published.
mount -t tmpfs velmora-run /run && mkdir -p /run/avahi-daemon || fail "cannot mount a private /run"
[ ! -d /etc/avahi/services ] || mount -t tmpfs velmora-services /etc/avahi/services || fail "cannot hide services"
cat >"$work/bus.conf" <<EOF
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
printf '%s\n' "[server]" use-ipv4=yes use-ipv6=no allow-interfaces=lo enable-dbus=yes "[wide-area]" \
  enable-wide-area=no "[publish]" publish-workstation=no publish-hinfo=no >"$work/avahi.conf"
dbus-daemon --config-file="$work/bus.conf" --nofork >"$work/dbus.log" 2>&1 &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
wait_for "the private D-Bus" test -S "$work/bus"

echo "== a host started before the daemon says so, keeps running and registers once it appears"
start_probe late "Velmora Late" _velmora._tcp 45921
wait_for "the unavailable line" logged late \
  "DNS-SD advertisement unavailable: Daemon not running; waiting for the daemon"
start_daemon
wait_for "Velmora Late on port 45921" advertised 'Velmora\032Late' 45921
logged late "DNS-SD advertisement established: Velmora Late (_velmora._tcp)" || fail "no established line"

echo "== a second host of the same name takes the alternative name; a refused service type is logged"
start_probe first "Velmora Test" _velmora._tcp 45922
first_pid=$probe_pid
wait_for "Velmora Test on port 45922" advertised 'Velmora\032Test' 45922
start_probe second "Velmora Test" _velmora._tcp 45923
wait_for "the collision line" logged second "DNS-SD name collision; advertising as Velmora Test #2"
wait_for "Velmora Test #2 on port 45923" advertised 'Velmora\032Test\032\0352' 45923
start_probe invalid "Velmora Invalid" "not a type" 45924
wait_for "the failure line" logged invalid "DNS-SD advertisement failed: Invalid service type"
kill -0 "$probe_pid" 2>/dev/null || fail "the probe ended after a refused advertisement"

echo "== after a daemon restart every host registers again under the name it had"
kill "$daemon_pid" && wait "$daemon_pid"
wait_for "the lost daemon to be noticed" logged first "DNS-SD advertisement unavailable: "
start_daemon
wait_for "Velmora Test again" advertised 'Velmora\032Test' 45922
wait_for "Velmora Test #2 again" advertised 'Velmora\032Test\032\0352' 45923
wait_for "Velmora Late again" advertised 'Velmora\032Late' 45921

echo "== a host that quits withdraws its advertisement, and only its own"
kill "$first_pid" && wait "$first_pid" || fail "the probe did not exit cleanly"
wait_for "Velmora Test to be withdrawn" eval "! advertised 'Velmora\\032Test' 45922"
advertised 'Velmora\032Late' 45921 || fail "another host's advertisement went with it"
echo "PASS"
