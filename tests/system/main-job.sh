#!/usr/bin/env bash
# The main job, inside a booted throw-away systemd machine (see machine.sh):
# what a user does with the package, step by step, each reply shown.
#
#   main-job.sh DEB TESTS_DIR RENDER_SITE
set -u
deb=$1 tests=$2 render_site=$3
. "$tests/e2e/steps.sh"
# Every reply is shown, successful ones included.
ctl() { local out rc; out=$(vesk-helperctl "$@" 2>&1); rc=$?; printf '%s\n' "$out"; return $rc; }
started=$(date +%s.%N)

step "install the package (dpkg -i $(basename "$deb"))"
expect "dpkg -i" dpkg -i "$deb"
printf '    %s: %s\n' vesk-helper.socket "$(systemctl is-active vesk-helper.socket)" \
  vesk-helper.service "$(systemctl is-active vesk-helper.service)"
printf '    /etc/nsswitch.conf %s\n' "$(grep '^hosts:' /etc/nsswitch.conf)"

step "the first call starts the helper on demand"
expect "GetInstalledVersion" ctl GetInstalledVersion
journalctl -u vesk-helper.service --no-pager -o cat | sed 's/^/    journal: /'

work=/tmp/site helperctl=vesk-helperctl
mkdir -p "$work"
. "$tests/e2e/serve-site.sh"

step "a launch daemon, run by systemd"
expect "InstallDaemon" ctl InstallDaemon label=com.vesk.sleeper \
  "plistContent=@$tests/system/plists/com.vesk.sleeper.plist"
wait_for 5 systemctl is-active com.vesk.sleeper.service
systemctl status --no-pager com.vesk.sleeper.service 2>&1 | sed 's/^/    /'
expect "RemoveDaemon" ctl RemoveDaemon label=com.vesk.sleeper
printf '    com.vesk.sleeper.service: %s\n' "$(systemctl is-active com.vesk.sleeper.service)"

step "uninstall the helper"
expect "UninstallHelper" ctl UninstallHelper
wait_for 5 sh -c '[ "$(systemctl is-active vesk-helper.service)" = inactive ]'
printf '    vesk-helper.service: %s (exit status %s); the socket stays %s\n' \
  "$(systemctl is-active vesk-helper.service)" \
  "$(systemctl show --property=ExecMainStatus --value vesk-helper.service)" \
  "$(systemctl is-active vesk-helper.socket)"

step "remove the package"
expect "dpkg -r" dpkg -r vesk
printf '    /etc/nsswitch.conf %s\n' "$(grep '^hosts:' /etc/nsswitch.conf)"

awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "main job took %.1f s in the machine\n", e - s }'
[ $failed -eq 0 ] && echo "vesk main job: passed" || echo "vesk main job: FAILED"
exit $failed
