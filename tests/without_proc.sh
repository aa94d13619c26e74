#!/bin/sh
# Runs a command in a mount namespace of its own from which /proc is gone, as in a minimal chroot.
# Exit code 77 (skipped) where no such namespace can be made: it takes root, or user namespaces.
# Usage: tests/without_proc.sh COMMAND [ARG...]
if ! unshare --mount --propagation private true 2>/dev/null; then
  echo "skipped: cannot make a mount namespace here (unshare --mount needs root)"
  exit 77
fi
exec unshare --mount --propagation private sh -c \
  'umount -l /proc && ! test -e /proc/self && exec "$@"' without_proc "$@"
