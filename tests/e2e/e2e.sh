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
  for f in VeskHelper/vesk-helper VeskHelper/vesk-helperctl tests/vesk-render-site; do
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
  cp "$build/VeskHelper/vesk-helper" "$build/VeskHelper/vesk-helperctl" \
     "$build/tests/vesk-render-site" "$self" "$r/opt/vesk-e2e/"
  exec chroot "$r" /bin/bash /opt/vesk-e2e/e2e.sh --chrooted
fi

# ---- inside the namespaces, in the overlay root ----------------------------
e2e=/opt/vesk-e2e
ctl() { "$e2e/vesk-helperctl" "$@"; }
failed=0
step() { printf '==> %s\n' "$*"; }
expect() {  # expect DESCRIPTION COMMAND...: runs, prints the reply, records failure
  local what=$1; shift
  local out
  out=$("$@" 2>&1); local rc=$?
  printf '    %s\n' "$out"
  if [ $rc -ne 0 ]; then printf '    FAILED: %s (exit %d)\n' "$what" "$rc"; failed=1; fi
  return $rc
}
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
echo "nameserver 127.0.0.1" > /etc/resolv.conf
printf 'hosts: files dns\n' > /etc/nsswitch.conf
rm -rf /usr/local/vesk /usr/local/bin/vesk /etc/resolver /Library
mkdir -p /Library/LaunchDaemons

step "start the helper"
"$e2e/vesk-helper" 2>/tmp/helper.log &
helper=$!
for _ in $(seq 100); do [ -S /run/vesk/com.vesk.helper ] && break; sleep 0.05; done
head -2 /tmp/helper.log | sed 's/^/    /'
[ -S /run/vesk/com.vesk.helper ] || { echo "    FAILED: no socket"; failed=1; finish; }

step "install the environment"
res=/opt/vesk-e2e/Resources
mkdir -p "$res/bin"
cp /usr/sbin/nginx "$res/bin/nginx"
cp /usr/sbin/dnsmasq "$res/bin/dnsmasq"
cp "$e2e/vesk-helperctl" "$res/bin/vesk"
expect "InstallEnvironment" ctl InstallEnvironment "bundleResourcesPath=$res"
expect "GetInstalledVersion" ctl GetInstalledVersion
[ "$(readlink /usr/local/bin/vesk)" = /usr/local/vesk/bin/vesk ] || { echo "    FAILED: CLI link"; failed=1; }

step "resolver file for the development domain"
expect "WriteResolver" ctl WriteResolver tld=test ip=127.0.0.1
printf '    /etc/resolver/test: %q\n' "$(cat /etc/resolver/test)"

step "dnsmasq answers .test on 127.0.0.1"
cat > /tmp/dnsmasq.conf <<'CONF'
port=53
listen-address=127.0.0.1
bind-interfaces
no-resolv
no-hosts
user=root
address=/test/127.0.0.1
CONF
expect "WriteFile dnsmasq.conf" ctl WriteFile path=/usr/local/vesk/etc/dnsmasq.conf content=@/tmp/dnsmasq.conf permissions=0644
expect "StartDnsmasq" ctl StartDnsmasq configPath=/usr/local/vesk/etc/dnsmasq.conf
answer=$(dig +short +time=2 +tries=3 @127.0.0.1 app.test A)
printf '    dig app.test: %s\n' "$answer"
[ "$answer" = 127.0.0.1 ] || { echo "    FAILED: app.test does not resolve"; failed=1; }

step "PHP-FPM 8.2 pool"
mkdir -p /usr/local/vesk/php/8.2/sbin
cp /usr/sbin/php-fpm8.2 /usr/local/vesk/php/8.2/sbin/php-fpm
cat > /tmp/php-fpm.conf <<'CONF'
[global]
pid = /usr/local/vesk/run/php-fpm-8.2.pid
error_log = /usr/local/vesk/log/php-fpm-8.2.log
daemonize = yes

[vesk]
user = www-data
group = www-data
listen = /usr/local/vesk/run/php-fpm-8.2.sock
listen.mode = 0666
pm = static
pm.max_children = 2
CONF
expect "WriteFile php-fpm.conf" ctl WriteFile path=/usr/local/vesk/etc/php-fpm-8.2.conf content=@/tmp/php-fpm.conf permissions=0644
expect "StartPHPFPM" ctl StartPHPFPM version=8.2 configPath=/usr/local/vesk/etc/php-fpm-8.2.conf
for _ in $(seq 100); do [ -S /usr/local/vesk/run/php-fpm-8.2.sock ] && break; sleep 0.05; done

step "nginx serves app.test from the laravel template"
site=/opt/vesk-e2e/sites/app
mkdir -p "$site/public"
echo '<?php echo "Hello from Vesk on PHP " . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION;' > "$site/public/index.php"
chmod -R a+rX /opt/vesk-e2e/sites
{
  echo "user www-data;"
  echo "worker_processes 1;"
  # "nginx -s" (stop, reload) finds the master through the pid path of
  # Debian's build, which this configuration therefore keeps.
  echo "pid /run/nginx.pid;"
  echo "error_log /usr/local/vesk/log/nginx-error.log;"
  echo "events { worker_connections 64; }"
  echo "http {"
  echo "    access_log /usr/local/vesk/log/nginx-access.log;"
  "$e2e/vesk-render-site" app.test "$site" /usr/local/vesk/run/php-fpm-8.2.sock
  echo "}"
} > /tmp/nginx.conf
expect "WriteFile fastcgi_params" ctl WriteFile path=/usr/local/vesk/etc/fastcgi_params content=@/etc/nginx/fastcgi_params permissions=0644
expect "WriteFile nginx.conf" ctl WriteFile path=/usr/local/vesk/etc/nginx.conf content=@/tmp/nginx.conf permissions=0644
expect "StartNginx" ctl StartNginx configPath=/usr/local/vesk/etc/nginx.conf
page=$(curl -s --max-time 5 http://app.test/)
printf '    GET http://app.test/: %s\n' "$page"
[ "$page" = "Hello from Vesk on PHP 8.2" ] || { echo "    FAILED: unexpected page"; failed=1; }

step "reload nginx"
expect "ReloadNginx" ctl ReloadNginx
sleep 0.3
page=$(curl -s --max-time 5 http://app.test/)
printf '    GET http://app.test/: %s\n' "$page"
[ "$page" = "Hello from Vesk on PHP 8.2" ] || { echo "    FAILED: unexpected page after reload"; failed=1; }

step "stop everything"
expect "StopNginx" ctl StopNginx
expect "StopPHPFPM" ctl StopPHPFPM version=8.2
expect "StopDnsmasq" ctl StopDnsmasq
expect "RemoveResolver" ctl RemoveResolver tld=test
for _ in $(seq 100); do
  pgrep -x nginx >/dev/null || pgrep -f php-fpm >/dev/null || pgrep -x dnsmasq >/dev/null || break
  sleep 0.05
done
left=$(pgrep -a -x nginx; pgrep -a -f 'php-fpm: master'; pgrep -a -x dnsmasq)
if [ -n "$left" ]; then printf '    FAILED: still running: %s\n' "$left"; failed=1; else echo "    no server process left"; fi

step "uninstall the helper"
expect "UninstallHelper" ctl UninstallHelper
wait $helper
status=$?
echo "    helper exited with status $status"
[ $status -eq 0 ] || failed=1
finish
