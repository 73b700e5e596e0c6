#!/usr/bin/env bash
# End to end: the real helper, unchanged, serving a PHP site with Debian's
# nginx, dnsmasq and php-fpm, in private mount, network and pid namespaces
# over an overlay of this machine's root. Nothing on the machine changes.
#
#   e2e.sh BUILD_DIR
#
# Exit status: 0 passed, 1 failed, 77 cannot run here (not root, no unshare).
set -uo pipefail

if [ "${1:-}" != "--inside" ] && [ "${1:-}" != "--chrooted" ]; then
  build=$(cd "${1:?usage: e2e.sh BUILD_DIR}" && pwd)
  if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1 ||
     ! unshare --mount --net --pid --fork true 2>/dev/null; then
    echo "vesk e2e: needs root and unshare (mount, network and pid namespaces); not run here"
    exit 77
  fi
  for f in VeskHelper/vesk-helper VeskHelper/vesk-helperctl tests/vesk-render-site nss/libnss_vesk.so.2; do
    [ -x "$build/$f" ] || { echo "vesk e2e: $build/$f is missing; build first"; exit 1; }
  done
  for f in /usr/sbin/nginx /usr/sbin/dnsmasq /usr/sbin/php-fpm8.2; do
    [ -x "$f" ] || { echo "vesk e2e: $f is missing; run scripts/install-deps.sh"; exit 1; }
  done
  layers=$(mktemp -d /tmp/vesk-e2e.XXXXXX)
  unshare --mount --net --pid --fork --propagation private \
    bash "$0" --inside "$build" "$layers" "$(readlink -f "$0")"
  rc=$?
  rmdir "$layers" 2>/dev/null || rm -rf "$layers"
  exit $rc
fi

if [ "$1" = "--inside" ]; then
  build=$2 layers=$3 self=$4
  mount -t tmpfs tmpfs "$layers" || exit 1
  mkdir -p "$layers"/{upper,work,root}
  mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$layers/root" || exit 1
  r=$layers/root
  mount -t proc proc "$r/proc"
  mount --rbind /dev "$r/dev"
  mount -t tmpfs tmpfs "$r/run"
  mount -t tmpfs tmpfs "$r/tmp"
  mkdir -p "$r/opt/vesk-e2e"
  # The name-service module, installed as the package installs it.
  cp "$build/nss/libnss_vesk.so.2" "$r/lib/x86_64-linux-gnu/libnss_vesk.so.2"
  cp "$build/VeskHelper/vesk-helper" "$build/VeskHelper/vesk-helperctl" \
     "$build/tests/vesk-render-site" "$self" "$(dirname "$self")/steps.sh" \
     "$(dirname "$self")/serve-site.sh" "$r/opt/vesk-e2e/"
  exec chroot "$r" /bin/bash /opt/vesk-e2e/e2e.sh --chrooted
fi

# ---- inside the namespaces, in the overlay root ----------------------------
e2e=/opt/vesk-e2e
work=$e2e helperctl=$e2e/vesk-helperctl render_site=$e2e/vesk-render-site
ctl() { "$helperctl" "$@"; }
. "$e2e/steps.sh"
finish() {
  if [ $failed -ne 0 ]; then
    echo "---- helper log"; cat /tmp/helper.log 2>/dev/null
    for f in /usr/local/vesk/log/*; do echo "---- $f"; tail -20 "$f"; done
    [ -f /usr/local/vesk/etc/nginx.conf ] && /usr/local/vesk/bin/nginx -t -c /usr/local/vesk/etc/nginx.conf 2>&1 | sed "s/^/    nginx -t: /"
    echo "vesk e2e: FAILED"
    exit 1
  fi
  echo "vesk e2e: passed"
  exit 0
}

ip link set lo up
# Names resolve through the system's own lookup: /etc/resolv.conf is left as
# it is, and the hosts line names the module, as the package writes it.
sed -i 's/^hosts:.*/hosts:          files vesk [NOTFOUND=return] dns/' /etc/nsswitch.conf
rm -rf /usr/local/vesk /usr/local/bin/vesk /etc/resolver /Library
mkdir -p /Library/LaunchDaemons

step "start the helper"
"$e2e/vesk-helper" 2>/tmp/helper.log &
helper=$!
for _ in $(seq 100); do [ -S /run/vesk/com.vesk.helper ] && break; sleep 0.05; done
head -2 /tmp/helper.log | sed 's/^/    /'
[ -S /run/vesk/com.vesk.helper ] || { echo "    FAILED: no socket"; failed=1; finish; }

. "$e2e/serve-site.sh"

step "uninstall the helper"
expect "UninstallHelper" ctl UninstallHelper
wait $helper
status=$?
echo "    helper exited with status $status"
[ $status -eq 0 ] || failed=1
finish
