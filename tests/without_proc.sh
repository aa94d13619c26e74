#!/bin/sh
# Runs a command in a mount namespace of its own from which /proc is gone, as in a minimal chroot.
# Exit code 77 (skipped) where no such namespace can be made: unshare --mount takes root.
# The namespace keeps its parent's propagation (in a chroot, "/" is no mount point to change), so
# /proc alone is made private before it goes: its unmounting must not reach the parent.
# Usage: tests/without_proc.sh COMMAND [ARG...]
if ! test -e /proc/self; then
  exec "$@"  # no /proc here to begin with
fi
if ! unshare --mount --propagation unchanged true 2>/dev/null; then
  echo "skipped: cannot make a mount namespace here (unshare --mount needs root)"
  exit 77
fi
exec unshare --mount --propagation unchanged sh -c \
  'mount --make-rprivate /proc && umount -l /proc && ! test -e /proc/self && exec "$@"' \
  without_proc "$@"
