#!/usr/bin/env bash
# Runs a command in a new network namespace with only loopback up, so that whatever it starts
# on fixed ports meets nothing else on the machine. Exit 77 (skipped) where no namespace can be made.
set -u
if ! unshare --net true 2>/dev/null && ! unshare --net --map-root-user true 2>/dev/null; then
  echo "SKIPPED: cannot create a network namespace here (needs root or user namespaces)"
  exit 77
fi
flags=(--net)
unshare --net true 2>/dev/null || flags+=(--map-root-user)
exec unshare "${flags[@]}" -- bash -c 'ip link set lo up && exec "$@"' bash "$@"
