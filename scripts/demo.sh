#!/usr/bin/env bash
# The main job, as a user meets it: builds the Debian package, boots a
# throw-away systemd machine from this machine's own root (nothing on the
# host changes), installs the package there and, through the signed client,
# serves a PHP site at http://app.test/, runs a launch daemon under systemd,
# stops everything and uninstalls. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
build=$PWD/build/default
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
deb=$(ls "$build"/package/vesk_*.deb)
echo "==> boot a throw-away systemd machine"
export MACHINE_BINDS="$PWD $build"
started=$(date +%s.%N)
set +e
bash tests/system/machine.sh machine-exec bash "$PWD/tests/system/main-job.sh" "$deb" "$PWD/tests" \
  "$build/tests/vesk-render-site"
rc=$?
awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "boot, main job and halt took %.1f s\n", e - s }'
exit $rc
