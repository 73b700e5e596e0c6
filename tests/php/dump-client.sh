#!/usr/bin/env bash
# The PHP dump client against what another account of the machine can do in
# /tmp: take /tmp/vesk first and listen there, plant a link, or listen and
# never read. Runs in a mount namespace of its own, with a /tmp of its own.
#
#   dump-client.sh VESK CLIENT_PHP
#
# Exit status: 0 passed, 1 failed, 77 cannot run here.
set -uo pipefail
if [ "${1:-}" != "--inside" ]; then
  vesk=$(readlink -f "${1:?usage: dump-client.sh VESK CLIENT_PHP}")
  client=$(readlink -f "${2:?usage: dump-client.sh VESK CLIENT_PHP}")
  if [ "$(id -u)" -ne 0 ] || ! command -v php >/dev/null || ! command -v runuser >/dev/null ||
     ! unshare --mount true 2>/dev/null; then
    echo "vesk dump client test: needs root, php, runuser and mount namespaces; not run here"
    exit 77
  fi
  exec unshare --mount --propagation private bash "$0" --inside "$vesk" "$client"
fi
vesk=$2 client=$3
. "$(dirname "$(readlink -f "$0")")/../e2e/steps.sh"
# The programs are copied out first: the build may itself be under /tmp,
# which the test replaces.
tools=/mnt
mount -t tmpfs -o mode=0755 tmpfs "$tools"
cp "$vesk" "$tools/vesk"
cp "$client" "$tools/vesk-dump.php"
vesk=$tools/vesk client=$tools/vesk-dump.php
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -m 0700 /tmp/home
# Runs CODE as a page with the client prepended, as the pools run it.
php_as_developer() {
  printf '<?php %s\n' "$1" >/tmp/home/page.php
  HOME=/tmp/home php -d auto_prepend_file="$client" /tmp/home/page.php
}
# A listener that takes connections and never reads: prints how many came.
cat >/tmp/listener.php <<'PHP'
<?php
$server = stream_socket_server('unix://' . $argv[1]);
$count = 0;
$held = [];
while ($c = @stream_socket_accept($server, 2)) {
    $count++;
    $held[] = $c;
}
echo $count, "\n";
PHP

step "another account took /tmp/vesk first and listens on the socket"
runuser -u nobody -- env HOME=/tmp "$vesk" dumps --json >/tmp/theirs.out 2>/tmp/theirs.err &
theirs=$!
wait_for 5 test -S /tmp/vesk/vesk-debug.sock || fail "nobody's listener did not start"
printf '    /tmp/vesk: %s\n' "$(stat -c '%U %a' /tmp/vesk)"
php_as_developer 'vesk_dump(["session" => "secret-token"]); echo "page done\n";' | sed 's/^/    /'
sleep 0.3
kill "$theirs" 2>/dev/null; wait "$theirs" 2>/dev/null
[ -s /tmp/theirs.out ] && fail "the dump reached another account: $(cat /tmp/theirs.out)"
grep -q secret-token /tmp/theirs.out && fail "the session reached another account"
out=$(HOME=/tmp/home "$vesk" dumps 2>&1); rc=$?
printf '    vesk dumps: %s\n' "$out"
[ $rc -eq 1 ] || fail "vesk dumps took over another account's directory (exit $rc)"
echo "$out" | grep -q "belongs to another user, nobody" || fail "vesk dumps does not say whose it is"
echo "$out" | grep -q "rm -r /tmp/vesk" || fail "vesk dumps does not say what to do"
rm -rf /tmp/vesk

step "a link planted at /tmp/vesk"
mkdir -m 0700 /tmp/real
php /tmp/listener.php /tmp/real/vesk-debug.sock >/tmp/linked.count &
listener=$!
wait_for 5 test -S /tmp/real/vesk-debug.sock
ln -s /tmp/real /tmp/vesk
php_as_developer 'vesk_dump("through the link");'
wait "$listener"
[ "$(cat /tmp/linked.count)" = 0 ] || fail "the client followed the link ($(cat /tmp/linked.count) connections)"
echo "    no connection through the link"
rm -rf /tmp/vesk /tmp/real

step "a listener of the developer's own that never reads"
mkdir -m 0700 /tmp/vesk
php /tmp/listener.php /tmp/vesk/vesk-debug.sock >/tmp/stuck.count &
listener=$!
wait_for 5 test -S /tmp/vesk/vesk-debug.sock
t0=$(date +%s%N)
php_as_developer '$big = str_repeat("x", 600000); for ($i = 0; $i < 20; $i++) { vesk_dump($big); } echo "20 dumps\n";' |
  sed 's/^/    /'
echo "    the page took $(( ($(date +%s%N) - t0) / 1000000 )) ms"
wait "$listener"
[ "$(cat /tmp/stuck.count)" = 1 ] || fail "$(cat /tmp/stuck.count) connections: the client kept trying after the first failed"
echo "    one connection, then nothing more for the rest of the request"
rm -rf /tmp/vesk

step "the developer's own vesk dumps gets the dump"
HOME=/tmp/home "$vesk" dumps --json >/tmp/mine.out 2>/dev/null &
mine=$!
wait_for 5 test -S /tmp/vesk/vesk-debug.sock || fail "vesk dumps did not start"
php_as_developer 'vesk_dump(["answer" => 42]);'
wait_for 5 grep -q '42' /tmp/mine.out || fail "the dump did not arrive"
kill "$mine"; wait "$mine" 2>/dev/null
head -c 200 /tmp/mine.out | sed 's/^/    /'; echo

[ $failed -eq 0 ] && echo "vesk dump client test: passed" || echo "vesk dump client test: FAILED"
exit $failed
