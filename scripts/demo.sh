#!/usr/bin/env bash
# The main job, as a developer meets it: builds the Debian package, boots a
# throw-away systemd machine from this machine's own root (nothing on the
# host changes), installs the package there and, as a developer, runs
# sudo vesk install, vesk park, vesk secure and sudo vesk trust, fetches the
# sites over HTTP and HTTPS, reboots the machine, finds them served again,
# runs vesk doctor and uninstalls. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
build=$PWD/build/default
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
deb=$(ls "$build"/package/vesk_*.deb)
export MACHINE_BINDS="$PWD $build"
started=$(date +%s.%N)
# Two boots on one disk (the overlay's writable layer, in a tmpfs of this
# job's own mount namespace): the developer's first session, then the same
# machine rebooted.
set +e
export deb
unshare --mount --propagation private bash -c '
  disk=$(mktemp -d /tmp/vesk-disk.XXXXXX)
  mount -t tmpfs -o mode=0700 vesk-disk "$disk"
  echo "==> boot a throw-away systemd machine"
  MACHINE_UPPER=$disk bash tests/system/machine.sh machine-exec bash "$PWD/tests/system/main-job.sh" \
    "$deb" "$PWD/tests" first
  rc=$?
  if [ $rc -eq 0 ]; then
    echo "==> reboot: the same machine boots again (to multi-user.target)"
    MACHINE_UPPER=$disk MACHINE_TARGET=multi-user.target bash tests/system/machine.sh machine-exec \
      bash "$PWD/tests/system/main-job.sh" "$deb" "$PWD/tests" rebooted
    rc=$?
  fi
  umount "$disk"
  rmdir "$disk"
  exit $rc'
rc=$?
awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "two boots, main job and halts took %.1f s\n", e - s }'
exit $rc
