#!/usr/bin/env bash
# The development sites as another machine on the same network meets them:
# Debian's nginx runs on the configuration the vesk command writes, in a
# network namespace of its own (the laptop), and a second namespace joined to
# it by a veth pair (a machine on the café's Wi-Fi) tries every site over
# HTTP and HTTPS. Then the dot-files, the parked folders' catch-all and the
# names no site is served under, from the laptop itself; last, the
# developer's own choice to let the network in.
#
#   network.sh RENDER_CONFIG
#
# Exit status: 0 passed, 1 failed, 77 cannot run here (not root, no
# namespaces, no nginx).
set -uo pipefail

if [ "${1:-}" != "--inside" ]; then
  render=$(readlink -f "${1:?usage: network.sh RENDER_CONFIG}")
  if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || [ ! -x /usr/sbin/nginx ] ||
     ! unshare --mount --net --pid --fork true 2>/dev/null; then
    echo "vesk network test: needs root, ip, nginx and network namespaces; not run here"
    exit 77
  fi
  exec unshare --mount --net --pid --fork --mount-proc --propagation private bash "$0" --inside "$render"
fi

render=$2
here=$(dirname "$(readlink -f "$0")")
. "$here/steps.sh"
mount -t tmpfs tmpfs /run
work=$(mktemp -d /tmp/vesk-network.XXXXXX)
trap 'ip netns del lan 2>/dev/null; rm -rf "$work"' EXIT

ip link set lo up
ip netns add lan
ip link add vlan0 type veth peer name vlan1
ip link set vlan1 netns lan
ip addr add 10.77.0.1/24 dev vlan0
ip link set vlan0 up
ip netns exec lan ip addr add 10.77.0.2/24 dev vlan1
ip netns exec lan ip link set vlan1 up
ip netns exec lan ip link set lo up
from_lan() { ip netns exec lan "$@"; }

# Projects of every shape, each with a secret beside its code.
sites=$work/Sites
mkdir -p "$sites"/{alpha/public,plain,docs,vault} "$work/etc" "$work/log" "$work/run" "$work/tmp"
echo '<?php echo "alpha";' >"$sites/alpha/public/index.php"
echo '<?php echo "plain";' >"$sites/plain/index.php"
echo '<h1>docs</h1>' >"$sites/docs/index.html"
echo 'vault' >"$sites/vault/index.html"
for d in alpha/public plain docs vault; do
  echo 'DB_PASSWORD=hunter2' >"$sites/$d/.env"
  mkdir -p "$sites/$d/.git" "$sites/$d/.well-known"
  echo '[remote "origin"] url = https://token@example.invalid/x.git' >"$sites/$d/.git/config"
  echo 'proof' >"$sites/$d/.well-known/acme"
done
cp /etc/nginx/fastcgi_params "$work/etc/fastcgi_params"

step "the servers' configuration, written as vesk writes it"
"$render" "$work" loopback "$sites" || { fail "vesk-render-config"; exit 1; }
expect "nginx -t" /usr/sbin/nginx -q -t -c "$work/etc/nginx.conf"
expect "nginx" /usr/sbin/nginx -c "$work/etc/nginx.conf"
wait_for 5 test -s "$work/run/nginx.pid" || fail "nginx did not start"
ss -Hltn | awk '{ print "    listening: " $4 }'
code() { curl -s -o /dev/null -w '%{http_code}' --max-time 3 "$@"; }
# get HOST PATH [CURL_ARGS...]: HOST is a name (over HTTP) or https://NAME.
get() {
  local host=$1 path=$2; shift 2
  case $host in
    https://*) curl -s --max-time 3 --cacert "$work/authority/vesk-ca.crt" \
                 --resolve "${host#https://}:443:127.0.0.1" "$host$path" "$@" ;;
    *) curl -s --max-time 3 -H "Host: $host" "http://127.0.0.1$path" "$@" ;;
  esac
}
[ "$(curl -s --max-time 3 -H 'Host: docs.test' http://127.0.0.1/)" = "<h1>docs</h1>" ] ||
  fail "docs.test on 127.0.0.1"
[ "$(curl -s --max-time 3 -H 'Host: docs.test' 'http://[::1]/')" = "<h1>docs</h1>" ] ||
  fail "docs.test on [::1]"

step "a machine on the same network reaches no site"
# Refused at once (a reset from 10.77.0.1): the network is there, the sites are not.
refused() { # WHAT CURL_ARGS...
  local what=$1 out rc; shift
  out=$(from_lan curl -sS -o /dev/null --max-time 3 "$@" 2>&1); rc=$?
  [ $rc -eq 7 ] && echo "$out" | grep -q 'after [0-9] ms' ||
    fail "$what from the network: curl exit $rc ($out)"
}
for host in alpha.test plain.test docs.test vault.test nosuch.test; do
  refused "http://$host/.env" -H "Host: $host" http://10.77.0.1/.env
done
refused "https://vault.test/" -k --resolve vault.test:443:10.77.0.1 https://vault.test/
echo "    HTTP and HTTPS refused from 10.77.0.2"

step "no dot-file is served, whatever the template"
for host in alpha.test plain.test docs.test https://vault.test; do
  for path in /.env /.git/config /.git/ /x/.env; do
    got=$(get "$host" "$path" -o /dev/null -w '%{http_code}')
    [ "$got" = 403 ] || [ "$got" = 404 ] || fail "$host$path answers $got"
    get "$host" "$path" | grep -q 'hunter2\|token@' && fail "$host$path serves the secret"
  done
  got=$(get "$host" /.well-known/acme -o /dev/null -w '%{http_code}')
  [ "$got" = 200 ] || fail "$host/.well-known/acme answers $got"
done
echo "    /.env and /.git refused for Laravel, plain PHP, static files and a secured site; /.well-known served"

step "a project made later in the parked folder: the catch-all, dot-files refused"
mkdir -p "$sites/fresh" "$sites/-lead" "$sites/$(printf 'a%.0s' $(seq 64))"
echo fresh >"$sites/fresh/index.html"
echo 'SECRET=1' >"$sites/fresh/.env"
echo lead >"$sites/-lead/index.html"
echo long >"$sites/$(printf 'a%.0s' $(seq 64))/index.html"
[ "$(curl -s --max-time 3 -H 'Host: fresh.test' http://127.0.0.1/)" = fresh ] || fail "fresh.test"
[ "$(code -H 'Host: fresh.test' http://127.0.0.1/.env)" = 403 ] || fail "fresh.test/.env is served"
[ "$(code -H 'Host: -lead.test' http://127.0.0.1/)" = 404 ] || fail "-lead.test is served"
[ "$(code -H "Host: $(printf 'a%.0s' $(seq 64)).test" http://127.0.0.1/)" = 404 ] ||
  fail "a 64-character name is served"

step "a name no site is served under gets no certificate"
[ "$(get https://vault.test /)" = vault ] || fail "https://vault.test/ with the authority"
for name in nosuch.test docs.test www.google.com; do
  curl -sk -o /dev/null --max-time 3 --resolve "$name:443:127.0.0.1" "https://$name/"
  rc=$?
  [ $rc -eq 35 ] || fail "https://$name/: curl exit $rc (35: handshake refused)"
done
echo "    nosuch.test, docs.test (not secured) and www.google.com: handshake refused"

step "the developer lets the network in: vesk lan on"
"$render" "$work" lan "$sites" || fail "vesk-render-config lan"
# A reload cannot move a port from the loopback to every address: vesk lan
# restarts nginx.
expect "nginx -s stop" /usr/sbin/nginx -c "$work/etc/nginx.conf" -s stop
wait_for 5 sh -c "! test -e '$work/run/nginx.pid'" || fail "nginx did not stop"
expect "nginx" /usr/sbin/nginx -c "$work/etc/nginx.conf"
wait_for 5 sh -c '[ "$(ip netns exec lan curl -s --max-time 1 -H "Host: docs.test" http://10.77.0.1/)" = "<h1>docs</h1>" ]' ||
  fail "docs.test from the network after the developer's choice"
[ "$(from_lan curl -s -o /dev/null -w '%{http_code}' --max-time 3 -H 'Host: docs.test' http://10.77.0.1/.env)" = 403 ] ||
  fail "docs.test/.env from the network"
echo "    docs.test answers 10.77.0.2; its .env still refused"

[ $failed -eq 0 ] && echo "vesk network test: passed" || echo "vesk network test: FAILED"
exit $failed
