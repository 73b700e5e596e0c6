#!/usr/bin/env bash
# The package under a real systemd: builds the Debian package from BUILD_DIR,
# boots a throw-away machine from this machine's root and runs a scenario in
# it (default scenario.sh; developer.sh is a developer's daily loop). Exit
# status: 0 passed, 1 failed, 77 cannot run here.
#
#   system-test.sh BUILD_DIR [SCENARIO]
set -euo pipefail
build=$(cd "${1:?usage: system-test.sh BUILD_DIR [SCENARIO]}" && pwd)
scenario=${2:-scenario.sh}
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v systemd-nspawn >/dev/null; then
  echo "vesk system test: needs root and systemd-nspawn; not run here"
  exit 77
fi
package=$build/package-${scenario%.sh}
rm -rf "$package"
(cd "$build" && cpack -G DEB -B "$package" >/dev/null)
deb=$(ls "$package"/vesk_*.deb)
# The sources and the build reach the machine wherever they are (its /tmp is
# its own).
# systemd-resolved's packages (scripts/install-deps.sh keeps them) are
# installed inside the machine only.
debs=/var/cache/vesk-test
# The Vite project's packages and Chromium's driver, from the npm registry
# once (the machine has no network); without the registry the test that
# needs them says it was skipped.
if [ ! -d "$debs/npm/node_modules/vite" ] || [ ! -d "$debs/npm/node_modules/puppeteer-core" ]; then
  mkdir -p "$debs/npm"
  # Vite 7 needs Node.js 20; Debian 12's own is 18, which Vite 5 takes.
  vite=vite@7
  [ "$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)" -ge 20 ] || vite=vite@5
  (cd "$debs/npm" && echo '{"private": true}' >package.json &&
    timeout 300 npm install --no-audit --no-fund --loglevel=error "$vite" puppeteer-core@24 >/dev/null 2>&1) ||
    echo "system test: the npm registry does not answer; the Vite test will be skipped"
fi
export MACHINE_BINDS="$(dirname "$(dirname "$here")") $build $debs"
started=$(date +%s.%N)
set +e
if [ "$scenario" = developer.sh ]; then
  # Two boots on one disk: the developer's first day, then the machine
  # rebooted with nothing typed.
  export here deb debs
  unshare --mount --propagation private bash -c '
    disk=$(mktemp -d /tmp/vesk-disk.XXXXXX)
    mount -t tmpfs -o mode=0700 vesk-disk "$disk"
    MACHINE_UPPER=$disk bash "$here/machine.sh" machine-exec bash "$here/developer.sh" "$deb" \
      "$(dirname "$here")" first
    rc=$?
    if [ $rc -eq 0 ]; then
      echo "==> reboot: the same disk booted again (to multi-user.target)"
      MACHINE_UPPER=$disk MACHINE_TARGET=multi-user.target bash "$here/machine.sh" machine-exec \
        bash "$here/developer.sh" "$deb" "$(dirname "$here")" rebooted
      rc=$?
    fi
    umount "$disk"
    rmdir "$disk"
    exit $rc'
  rc=$?
else
  bash "$here/machine.sh" machine-exec bash "$here/$scenario" "$deb" "$(dirname "$here")" \
    "$build/tests/vesk-render-site" "$debs"
  rc=$?
fi
awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "boot, test and halt took %.1f s\n", e - s }'

[ "$scenario" = scenario.sh ] || exit $rc

# The harness itself: killed outright, its watchdog still halts the machine
# and removes its cgroups.
echo "==> a harness killed outright leaves no machine behind"
marker=$(mktemp)
setsid bash "$here/machine.sh" sh -c "echo \$MACHINE_PID >$marker; sleep 60" >/dev/null 2>&1 &
harness=$!
for _ in $(seq 200); do [ -s "$marker" ] && break; sleep 0.05; done
machine=$(cat "$marker")
rm -f "$marker"
if [ -z "$machine" ]; then
  echo "    FAILED: the machine did not boot"; rc=1
else
  kill -KILL -- -"$harness"
  wait "$harness" 2>/dev/null
  gone=0
  for _ in $(seq 200); do
    if ! kill -0 "$machine" 2>/dev/null && [ ! -d /sys/fs/cgroup/unified/vesk-machine-"$harness" ] && [ ! -d /sys/fs/cgroup/vesk-machine-"$harness" ]; then
      gone=1; break
    fi
    sleep 0.05
  done
  if [ $gone -eq 1 ]; then echo "    machine $machine halted, cgroups removed"; else echo "    FAILED: machine $machine left"; rc=1; fi
fi
exit $rc
