#!/usr/bin/env bash
# Runs COMMAND... with a full disk at hand: a tmpfs of 1 MB mounted on a fresh folder and linked
# as a free drive letter of the Wine prefix; PINECONE_FULL_DISK names that drive ("R:") for the
# test. Mounting needs root: where it is not allowed, says why and exits 77 (ctest's "skipped").
#   full_disk.sh COMMAND...
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/env.sh
. "$here/scripts/env.sh"

mount_point=$(mktemp -d "${TMPDIR:-/tmp}/pinecone-full-disk.XXXXXX")
if ! error=$(mount -t tmpfs -o size=1m,mode=0777 pinecone-full-disk "$mount_point" 2>&1); then
  echo "full_disk.sh: cannot mount a 1 MB tmpfs on $mount_point (${error:-no reason given});" \
    "the full-disk test needs root; skipped" >&2
  rmdir "$mount_point"
  exit 77
fi

# The first drive letter free in the prefix; a link left by an earlier run that was killed
# (its mount point gone) is taken over.
drive=
for letter in r s t u v w x y; do
  link="$WINEPREFIX/dosdevices/$letter:"
  if [ -L "$link" ] && [ ! -e "$link" ] && [[ "$(readlink "$link")" == */pinecone-full-disk.* ]]; then
    rm -f "$link"
  fi
  if [ ! -e "$link" ] && [ ! -L "$link" ]; then
    drive=$letter
    break
  fi
done
cleanup() {
  [ -n "$drive" ] && rm -f "$WINEPREFIX/dosdevices/$drive:"
  umount "$mount_point" && rmdir "$mount_point"
}
trap cleanup EXIT
if [ -z "$drive" ]; then
  echo "full_disk.sh: no free drive letter (r: to y:) in $WINEPREFIX/dosdevices" >&2
  exit 1
fi
mkdir -p "$WINEPREFIX/dosdevices"
ln -s "$mount_point" "$WINEPREFIX/dosdevices/$drive:"

PINECONE_FULL_DISK="$drive:" "$@"
status=$?
exit $status
