#!/usr/bin/env bash
# Runs a command in a new network namespace with only loopback up, so that whatever it starts
# on fixed ports meets nothing else on the machine. Where it can, also in a mount namespace of its
# own (then VELMORA_PRIVATE_MOUNT_NAMESPACE=1), so that a test may mount a file system (a small
# tmpfs, say) that nobody else sees and that goes away with the namespace. Exit 77 (skipped)
# where no network namespace can be made.
set -u
unset VELMORA_PRIVATE_MOUNT_NAMESPACE
for flags in "--net --mount" "--net --mount --map-root-user" "--net" "--net --map-root-user"; do
  # shellcheck disable=SC2086 # each entry is a list of flags
  if unshare $flags true 2>/dev/null; then
    [[ $flags == *--mount* ]] && export VELMORA_PRIVATE_MOUNT_NAMESPACE=1
    exec unshare $flags -- bash -c 'ip link set lo up && exec "$@"' bash "$@"
  fi
done
echo "SKIPPED: cannot create a network namespace here (needs root or user namespaces)"
exit 77
