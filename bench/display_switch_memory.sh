#!/usr/bin/env bash
# Resident memory of velmora-host over many display switches: a headless host on two virtual
# displays, and velmora-client switching between them, each switch waiting for five pictures of
# the new display (every switch rebuilds the capture and the encoder). Prints the host's resident
# memory twice a second, after the first switch and after the last one, and the time all switches took.
# Needs fixed ports: run it in a network namespace of its own, e.g.
#   tests/in_network_namespace.sh bench/display_switch_memory.sh [SWITCHES]
set -euo pipefail

switches=${1:-100}
build=${VELMORA_BUILD:-build}
home=$(mktemp -d)
trap 'kill "$host" 2>/dev/null; rm -rf "$home"' EXIT

XDG_CONFIG_HOME=$home XDG_RUNTIME_DIR=$home "$build/bin/velmora-host" --headless --backend virtual \
  --virtual-displays 1280x720,1280x720 >"$home/host.log" 2>&1 &
host=$!
code=""
for _ in $(seq 100); do
  code=$(grep -oE '[Cc]ode[^0-9]*[0-9]{4}' "$home/host.log" | grep -oE '[0-9]{4}' | head -n 1 || true)
  [ -n "$code" ] && break
  sleep 0.1
done
[ -n "$code" ] || { echo "the host showed no verification code" >&2; cat "$home/host.log" >&2; exit 1; }

{
  echo '{"waitForPictures":{"display":0,"count":5,"timeout":20}}'
  for round in $(seq "$switches"); do
    echo "{\"switchDisplay\":{\"displayID\":$((round % 2 + 1))}}"
    echo "{\"waitForPictures\":{\"display\":0,\"count\":$((5 * round + 5)),\"timeout\":20}}"
    [ "$round" -eq 1 ] && echo '{"sleep":3}'
  done
  echo '{"sleep":2}'
} >"$home/script"

rss() { awk '/VmRSS/ {print $2}' "/proc/$host/status"; }
start=$(date +%s.%N)
"$build/bin/velmora-client" --host 127.0.0.1 --code "$code" --script "$home/script" --duration 0 \
  --log-level error >"$home/client.json" 2>"$home/client.log" &
client=$!
samples=()
times=()
while kill -0 "$client" 2>/dev/null; do
  samples+=("$(rss)")
  times+=("$(date +%s.%N)")
  sleep 0.5
done
wait "$client" || { echo "the client failed" >&2; tail -n 5 "$home/client.log" >&2; exit 1; }
end=$(date +%s.%N)
# Both while the session streams, in the pauses after the first switch and after the last one:
# the last sample before the second switch reached the host, and the last sample of all.
second=$(grep 'Received switchDisplay request' "$home/host.log" | sed -n 2p | cut -d' ' -f1)
second=$(date -d "$second" +%s.%N)
first=0
for index in "${!times[@]}"; do
  if awk -v t="${times[$index]}" -v s="$second" 'BEGIN { exit !(t < s) }'; then
    first=${samples[$index]}
  fi
done
last=${samples[-1]:-0}
echo "resident memory every half second (kB): ${samples[*]}"
awk -v n="$switches" -v s="$start" -v e="$end" -v f="$first" -v l="$last" 'BEGIN {
  printf "%d display switches in %.1f s; resident memory after the first switch %d kB, after the last switch %d kB (%.2fx)\n", n, e - s, f, l, l / f }'
