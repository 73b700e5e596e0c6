#!/usr/bin/env bash
# Runs inside a booted throw-away systemd machine (see machine.sh): installs
# the package with dpkg and checks the helper under systemd, launch daemons as
# units, UninstallHelper and removal.
#
#   scenario.sh DEB TESTS_DIR RENDER_SITE RESOLVED_DEBS_DIR
set -u
deb=$1 tests=$2 render_site=$3 resolved_debs=$4
plists=$tests/system/plists golden=$tests/golden/launchctl
. "$tests/e2e/steps.sh"
ctl() { vesk-helperctl "$@"; }
is() { [ "$(systemctl is-active "$1")" = "$2" ]; }
main_pid() { systemctl show --property=MainPID --value "$1"; }
started=$(date +%s.%N)

step "install the package on a machine whose Debian nginx.service holds port 80"
# The machine boots to basic.target; a fresh Debian 12 has started the
# nginx.service that Vesk's dependency on nginx installed and enabled.
expect "Debian's nginx.service" systemctl start nginx.service
curl -s --max-time 5 http://127.0.0.1/ | grep -q 'Welcome to nginx' || fail "Debian's nginx does not serve its welcome page"
expect "dpkg -i" dpkg -i "$deb"
is nginx.service inactive || fail "Debian's untouched nginx.service still runs"
[ "$(systemctl is-enabled nginx.service)" = disabled ] || fail "Debian's untouched nginx.service is still enabled"
exposure=$(systemd-analyze security vesk-helper.service 2>/dev/null | tail -n 1)
echo "    $exposure"
level=$(echo "$exposure" | grep -o '[0-9]*\.[0-9]' | head -n 1)
awk -v l="$level" 'BEGIN { exit !(l != "" && l <= 4.0) }' || fail "exposure level ${level:-unknown} above 4.0"
is vesk-helper.socket active || fail "the socket does not listen"
is vesk-helper.service inactive || fail "the helper runs before any call"
[ "$(stat -c %a:%U /run/vesk/com.vesk.helper)" = 666:root ] || fail "socket mode"
[ "$(stat -c %a:%U /run/vesk)" = 755:root ] || fail "socket directory mode"
pgrep -x vesk-helper >/dev/null && fail "a helper process runs"
grep -q '^hosts:.* vesk \[NOTFOUND=return\] dns' /etc/nsswitch.conf || fail "nsswitch.conf does not name the module"
printf '    %s\n' "$(grep '^hosts:' /etc/nsswitch.conf)"

step "a signed client's call starts the helper"
expect "GetInstalledVersion" ctl GetInstalledVersion
is vesk-helper.service active || fail "the helper was not started"

step "an unsigned caller is refused"
vesk-codesign strip /usr/bin/vesk-helperctl /tmp/unsigned >/dev/null
expect_fails "an unsigned call" 2 /tmp/unsigned GetInstalledVersion

step "a PHP site at http://app.test/, its name found by the system's own lookup"
work=/tmp/site helperctl=vesk-helperctl
mkdir -p "$work"
. "$tests/e2e/serve-site.sh"

step "the servers the helper starts outlive it"
res=/tmp/resources
mkdir -p "$res/bin"
cp /usr/sbin/nginx /usr/sbin/dnsmasq "$res/bin/"
cp /usr/bin/vesk-helperctl "$res/bin/vesk"
expect "InstallEnvironment" ctl InstallEnvironment "bundleResourcesPath=$res"
printf 'port=5353\nlisten-address=127.0.0.1\nbind-interfaces\nno-resolv\nno-hosts\nuser=root\naddress=/test/127.0.0.1\n' >/tmp/dnsmasq.conf
expect "WriteFile dnsmasq.conf" ctl WriteFile path=/usr/local/vesk/etc/dnsmasq.conf \
  content=@/tmp/dnsmasq.conf permissions=0644
expect "StartDnsmasq" ctl StartDnsmasq configPath=/usr/local/vesk/etc/dnsmasq.conf
wait_for 5 pgrep -x dnsmasq || fail "dnsmasq did not start"
dnsmasq=$(pgrep -x dnsmasq)
expect "systemctl stop vesk-helper.service" systemctl stop vesk-helper.service
is vesk-helper.service inactive || fail "the helper still runs"
kill -0 "$dnsmasq" 2>/dev/null && echo "    dnsmasq ($dnsmasq) still runs" || fail "dnsmasq was stopped with the helper"

step "launch daemons become units"
for label in com.vesk.sleeper com.vesk.every-key com.vesk.keepalive com.vesk.arguments; do
  expect "InstallDaemon $label" ctl InstallDaemon "label=$label" "plistContent=@$plists/$label.plist"
  cmp "/etc/systemd/system/$label.service" "$golden/$label.service" || fail "$label: unit text"
  wait_for 5 is "$label.service" active || fail "$label is not active"
done
# A binary property list cannot travel in a text parameter; it reaches
# launchctl in place, as the helper would hand it over.
mkdir -p /Library/LaunchDaemons
cp "$plists/com.vesk.binary.plist" /Library/LaunchDaemons/
expect "launchctl bootstrap (binary)" /usr/libexec/vesk/launchctl bootstrap system \
  /Library/LaunchDaemons/com.vesk.binary.plist
cmp /etc/systemd/system/com.vesk.binary.service "$golden/com.vesk.binary.service" || fail "binary: unit text"
wait_for 5 is com.vesk.binary.service active || fail "com.vesk.binary is not active"

cmdline() { local pid; pid=$(main_pid "$1"); [ "$pid" -gt 1 ] && tr '\0' ' ' </proc/"$pid"/cmdline; }
[ "$(cmdline com.vesk.sleeper.service)" = "/bin/sleep 1000 " ] || fail "sleeper runs $(cmdline com.vesk.sleeper.service)"
[ "$(cmdline com.vesk.binary.service)" = "sleep 1002 " ] || fail "binary runs $(cmdline com.vesk.binary.service)"
wait_for 5 test -s /run/vesk-arguments.out
printf '%s\n' "quoted argv0" "two words" 'say "hi"' "it's" "100%" "%n" '$HOME' '${HOME}' '$$' \
  'back\slash' "new" "line" ";" "	tab" >/tmp/arguments.expected
cmp /run/vesk-arguments.out /tmp/arguments.expected && echo "    every argument arrived unchanged" ||
  { fail "arguments changed"; diff /tmp/arguments.expected /run/vesk-arguments.out | sed 's/^/    /'; }
wait_for 5 test -s /tmp/every-key.out
[ "$(cat /tmp/every-key.out)" = 'hello world 50% of "all" in /tmp' ] || fail "every-key printed $(cat /tmp/every-key.out)"
[ "$(ps -o user= -p "$(main_pid com.vesk.every-key.service)" 2>/dev/null)" = nobody ] || fail "every-key does not run as nobody"
expect_fails "a property list with an unknown key" 1 ctl InstallDaemon label=com.vesk.unknown-key \
  "plistContent=@$plists/com.vesk.unknown-key.plist"
[ -e /etc/systemd/system/com.vesk.unknown-key.service ] && fail "a unit was written for an unknown key"

step "a KeepAlive job that is killed comes back"
before=$(main_pid com.vesk.keepalive.service)
[ "$before" -gt 1 ] && kill -9 "$before"
back() { local now; now=$(main_pid com.vesk.keepalive.service); [ "$now" != 0 ] && [ "$now" != "$before" ]; }
wait_for 10 back && echo "    pid $before killed, back as $(main_pid com.vesk.keepalive.service)" || fail "keepalive did not come back"

step "launchctl never takes a unit of the system, nor one it cannot prove"
plist() { # LABEL EXTRA_XML: writes a list running sleep at load, prints its path
  mkdir -p /tmp/plists
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>Label</key><string>%s</string><key>ProgramArguments</key><array><string>/bin/sleep</string><string>1001</string></array><key>RunAtLoad</key><true/>%s</dict></plist>\n' "$1" "$2" >"/tmp/plists/$1.plist"
  echo "/tmp/plists/$1.plist"
}
mkdir -p '/tmp/x User=nobody\'
expect_fails "a path ending in a backslash" 1 ctl InstallDaemon label=com.vesk.backslash \
  "plistContent=@$(plist com.vesk.backslash '<key>UserName</key><string>nobody</string><key>WorkingDirectory</key><string>/tmp/x User=nobody\</string>')"
[ -e /etc/systemd/system/com.vesk.backslash.service ] && fail "a unit was written for a path ending in a backslash"
# A SysV service of the system: its unit is made by a generator.
printf '#!/bin/sh\n### BEGIN INIT INFO\n# Provides: com.vesk.sysv\n# Default-Start: 2 3 4 5\n# Default-Stop: 0 1 6\n### END INIT INFO\ncase "$1" in start) setsid /bin/sleep 1003 >/dev/null 2>&1 & ;; esac\nexit 0\n' >/etc/init.d/com.vesk.sysv
chmod 755 /etc/init.d/com.vesk.sysv
systemctl daemon-reload
expect "start the system's SysV service" systemctl start com.vesk.sysv.service
expect_fails "a label naming a generated unit" 1 ctl InstallDaemon label=com.vesk.sysv \
  "plistContent=@$(plist com.vesk.sysv '')"
[ -e /etc/systemd/system/com.vesk.sysv.service ] && fail "the generated unit was replaced"
[ "$(systemctl show -p SourcePath --value com.vesk.sysv.service)" = /etc/init.d/com.vesk.sysv ] || fail "the SysV unit changed"
is com.vesk.sysv.service active || fail "the system's SysV service was stopped"
# A transient job of the system, running.
expect "a transient job" systemd-run --quiet --unit=com.vesk.transient /bin/sleep 1004
expect_fails "a label naming a transient unit" 1 ctl InstallDaemon label=com.vesk.transient \
  "plistContent=@$(plist com.vesk.transient '')"
is com.vesk.transient.service active || fail "the system's transient job was stopped"
[ -e /etc/systemd/system/com.vesk.transient.service ] && fail "a unit was written over a transient one"
# Drop-ins alone.
mkdir -p /etc/systemd/system/com.vesk.dropin.service.d
printf '[Service]\nEnvironment=X=1\n' >/etc/systemd/system/com.vesk.dropin.service.d/admin.conf
systemctl daemon-reload
expect_fails "a label with an administrator's drop-in" 1 ctl InstallDaemon label=com.vesk.dropin \
  "plistContent=@$(plist com.vesk.dropin '')"
[ -e /etc/systemd/system/com.vesk.dropin.service.d/admin.conf ] || fail "the drop-in was touched"
[ -e /etc/systemd/system/com.vesk.dropin.service ] && fail "a unit was written under a drop-in"
for label in com.vesk.sysv com.vesk.transient com.vesk.dropin; do
  expect_fails "launchctl itself on $label" 1 /usr/libexec/vesk/launchctl bootstrap system \
    "/Library/LaunchDaemons/$label.plist"
done
# A binary list of 20 levels, each referring twice to the next.
bomb=/Library/LaunchDaemons/com.vesk.bomb.plist
{
  printf 'bplist00'
  for i in $(seq 0 19); do printf "\\xa2\\x$(printf %02x $((i + 1)))\\x$(printf %02x $((i + 1)))"; done
  printf '\x09'
  for i in $(seq 0 20); do printf "\\x$(printf %02x $((8 + 3 * i)))"; done
  printf '\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x15\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x45'
} >"$bomb"
t0=$(date +%s%N)
expect_fails "a binary list that expands to a million objects" 1 /usr/libexec/vesk/launchctl bootstrap system "$bomb"
ms=$((($(date +%s%N) - t0) / 1000000))
echo "    refused in $ms ms"
[ "$ms" -lt 2000 ] || fail "the parse bomb took $ms ms"
systemctl stop com.vesk.transient.service com.vesk.sysv.service
rm -rf /etc/init.d/com.vesk.sysv /etc/systemd/system/com.vesk.dropin.service.d "$bomb" \
  /Library/LaunchDaemons/com.vesk.{sysv,transient,dropin,backslash}.plist
systemctl daemon-reload

step "removeDaemon takes the units away"
for label in com.vesk.sleeper com.vesk.every-key com.vesk.keepalive com.vesk.arguments; do
  expect "RemoveDaemon $label" ctl RemoveDaemon "label=$label"
  [ -e "/etc/systemd/system/$label.service" ] && fail "$label: unit left"
  is "$label.service" active && fail "$label still runs"
done
expect_fails "bootout of a job never loaded" 3 /usr/libexec/vesk/launchctl bootout system/com.vesk.never

step "UninstallHelper: exit 0, no restart until the next call"
expect "UninstallHelper" ctl UninstallHelper
wait_for 5 is vesk-helper.service inactive || fail "the helper did not exit"
[ "$(systemctl show --property=ExecMainStatus --value vesk-helper.service)" = 0 ] || fail "exit status"
sleep 2
is vesk-helper.service inactive || fail "the helper was restarted without a call"
expect "the next call" ctl GetInstalledVersion
is vesk-helper.service active || fail "the next call did not start the helper"

step "with systemd-resolved: the module asked before it, the domain routed through it"
expect "install systemd-resolved and libnss-resolve" dpkg -i "$resolved_debs"/systemd-resolved_*.deb \
  "$resolved_debs"/libnss-resolve_*.deb
wait_for 10 is systemd-resolved.service active || fail "systemd-resolved does not run"
printf '    hosts: %s (libnss-resolve)\n' "$(grep '^hosts:' /etc/nsswitch.conf | sed 's/^hosts: *//')"
resolv_before=$(ls -l /etc/resolv.conf; cat /etc/resolv.conf 2>/dev/null)
expect "dpkg -i (upgrade)" dpkg -i "$deb"
printf '    hosts: %s\n' "$(grep '^hosts:' /etc/nsswitch.conf | sed 's/^hosts: *//')"
grep -q '^hosts:.* vesk \[NOTFOUND=return\] resolve \[!UNAVAIL=return\]' /etc/nsswitch.conf ||
  fail "the module is not asked before resolve"
printf 'port=53\nlisten-address=127.0.0.1\nbind-interfaces\nno-resolv\nno-hosts\nuser=root\naddress=/test/127.0.0.1\nlog-queries\nlog-facility=/tmp/dnsmasq-queries.log\n' >/tmp/dnsmasq-resolved.conf
expect "WriteFile dnsmasq.conf" ctl WriteFile path=/usr/local/vesk/etc/dnsmasq.conf \
  content=@/tmp/dnsmasq-resolved.conf permissions=0644
expect "StartDnsmasq" ctl StartDnsmasq configPath=/usr/local/vesk/etc/dnsmasq.conf
expect "WriteResolver" ctl WriteResolver tld=test ip=127.0.0.1
wait_for 5 sh -c 'resolvectl domain vesk0 | grep -q "~test"' || fail "no routing for .test in systemd-resolved"
resolvectl status vesk0 | sed 's/^/    | /'
wait_for 10 sh -c 'dig +short +time=1 +tries=1 @127.0.0.53 app.test A | grep -qx 127.0.0.1' ||
  fail "dig @127.0.0.53 app.test"
echo "    dig @127.0.0.53 app.test: $(dig +short +time=2 @127.0.0.53 app.test A)"
expect "getent hosts app.test (module before resolve)" getent hosts app.test
# A VPN's link that claims every domain (Domains=~.) takes every other name;
# the development domain stays routed to its own server.
{ ip link add vpn0 type dummy 2>/dev/null || ip link add vpn0 type veth peer name vpn0peer; } &&
  ip link set vpn0 up && ip addr add 192.0.2.77/32 dev vpn0 && resolvectl dns vpn0 192.0.2.99 &&
  resolvectl domain vpn0 '~.' && resolvectl default-route vpn0 true || fail "no link claiming ~."
ip link set vpn0peer up 2>/dev/null
wait_for 5 sh -c 'resolvectl domain vpn0 | grep -q "~\.$"' || fail "resolved has no ~. on vpn0"
wait_for 10 sh -c 'dig +short +time=1 +tries=1 @127.0.0.53 app.test A | grep -qx 127.0.0.1' ||
  fail "dig @127.0.0.53 app.test with another link's Domains=~."
echo "    with vpn0 claiming ~.: dig @127.0.0.53 app.test: $(dig +short +time=2 @127.0.0.53 app.test A)"
ip link del vpn0
expect "getent hosts localhost" getent hosts localhost
dig +time=1 +tries=1 @127.0.0.53 www.example.org A >/dev/null 2>&1
grep -q 'example.org' /tmp/dnsmasq-queries.log && fail "a name outside .test was sent to dnsmasq"
grep -q 'app.test' /tmp/dnsmasq-queries.log || fail "dnsmasq was never asked for app.test"
[ "$(ls -l /etc/resolv.conf; cat /etc/resolv.conf 2>/dev/null)" = "$resolv_before" ] || fail "/etc/resolv.conf was changed"
expect "RemoveResolver" ctl RemoveResolver tld=test
ip link show vesk0 >/dev/null 2>&1 && fail "the routing stayed after RemoveResolver"
dig +short +time=1 +tries=1 @127.0.0.53 app.test A | grep -qx 127.0.0.1 && fail "resolved still routes .test"
# The installation writes the domain's resolver file itself: routed too.
expect "InstallEnvironment (again)" ctl InstallEnvironment "bundleResourcesPath=$res"
wait_for 10 sh -c 'dig +short +time=1 +tries=1 @127.0.0.53 app.test A | grep -qx 127.0.0.1' ||
  fail "the installation's resolver file is not routed through resolved"
expect "StopDnsmasq" ctl StopDnsmasq

step "seven UninstallHelper calls in a row, each followed by a call"
for i in $(seq 7); do
  expect "UninstallHelper $i" ctl UninstallHelper
  wait_for 5 is vesk-helper.service inactive || fail "the helper did not exit ($i)"
  expect "the call after UninstallHelper $i" ctl GetInstalledVersion
done
is vesk-helper.socket active || fail "the socket is $(systemctl is-active vesk-helper.socket) after seven restarts"

step "removing the package leaves nothing behind"
expect "dpkg -r" dpkg -r vesk
ls /lib/systemd/system/vesk-helper.* /etc/systemd/system/com.vesk.*.service 2>/dev/null && fail "units left"
[ -e /run/vesk/com.vesk.helper ] && fail "socket left"
wait_for 5 sh -c '! pgrep -x vesk-helper' || fail "a helper process left"
wait_for 5 sh -c '! pgrep -x dnsmasq' || fail "the helper's dnsmasq left"
# (a name systemd was only asked about may stay cached as not-found)
left=$(systemctl list-units --all --no-legend 'vesk-helper*' 'com.vesk.*' | grep -v ' not-found inactive ')
[ -n "$left" ] && fail "units still known: $left"
grep -qw vesk /etc/nsswitch.conf && fail "nsswitch.conf still names the module"
grep -q '^hosts:.* resolve \[!UNAVAIL=return\]' /etc/nsswitch.conf || fail "the resolve entry was touched"
ip link show vesk0 >/dev/null 2>&1 && fail "the routing through resolved is left"
[ -e /lib/x86_64-linux-gnu/libnss_vesk.so.2 ] && fail "the module is left"

step "a web server the user set up is left alone, and named"
printf 'server { listen 80 default_server; root /var/www/html; }\n' >/etc/nginx/sites-available/default
expect "the user's nginx.service" systemctl enable --now nginx.service
out=$(dpkg -i "$deb" 2>&1); rc=$?
printf '    %s\n' "$out" | grep vesk: || true
[ $rc -eq 0 ] || fail "dpkg -i with the user's web server (exit $rc)"
is nginx.service active || fail "the user's nginx.service was stopped"
[ "$(systemctl is-enabled nginx.service)" = enabled ] || fail "the user's nginx.service was disabled"
echo "$out" | grep -q 'port 80 is in use by nginx (nginx.service)' || fail "the install did not say what holds port 80"
is vesk-helper.socket active || fail "the socket does not listen after a reinstall"
expect "dpkg -r (again)" dpkg -r vesk

awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "system test took %.1f s inside the machine\n", e - s }'
[ $failed -eq 0 ] && echo "vesk system test: passed" || echo "vesk system test: FAILED"
exit $failed
