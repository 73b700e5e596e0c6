# Sourced by developer.sh (first day): Xdebug, which Debian's php8.2-xdebug
# installs into every PHP's conf.d, is loaded by no pool of Vesk's until the
# developer turns it on, and then only for the requests that carry one of
# its triggers. A DBGp listener of a few lines stands in for the IDE; a
# profile Xdebug writes becomes a profile of vesk's own.
step "Xdebug: loaded only for the requests that ask for it; its profiles imported"
xd="/home/$dev/code/debugger"
mkdir -p "$xd"
cat >"$xd/index.php" <<'PHP'
<?php echo extension_loaded("xdebug") ? "xdebug " . ini_get("xdebug.mode") : "plain";
PHP
cat >"$xd/slow.php" <<'PHP'
<?php
function slowest() { usleep(40000); return 1; }
function quick() { return strlen(str_repeat("x", 64)); }
for ($i = 0; $i < 50; $i++) quick();
slowest();
echo "done";
PHP
chown -R "$dev:$dev" "$xd"
[ -f /etc/php/8.2/fpm/conf.d/20-xdebug.ini ] || fail "Debian's php8.2-xdebug is not installed for the test"
[ "$(page http://debugger.test/)" = plain ] || fail "a pool loads Xdebug while it is off: $(page http://debugger.test/)"
vesk_dev xdebug status | sed 's/^/    | /'
vesk_dev xdebug status | grep -q 'PHP 8.2: Xdebug installed' || fail "vesk xdebug status does not see Debian's Xdebug"

# The IDE: takes Xdebug's init packet, sets a breakpoint on the script's
# first line, runs to it, records where it stopped, and lets the request go.
cat >/tmp/dbgp.py <<'PY'
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 9003)); s.listen(8)
log = open(sys.argv[1], "a", buffering=1)
def message(c):
    data = b""
    while data.count(b"\0") < 2:
        piece = c.recv(65536)
        if not piece: return ""
        data += piece
    return data.split(b"\0")[1].decode(errors="replace").replace("\n", " ")
while True:
    c, _ = s.accept(); c.settimeout(5)
    try:
        log.write("init " + message(c) + "\n")
        c.sendall(b"breakpoint_set -i 1 -t line -f file://%s -n 1\0" % sys.argv[2].encode()); message(c)
        c.sendall(b"run -i 2\0"); log.write("run " + message(c) + "\n")
        c.sendall(b"detach -i 3\0"); message(c)
    except OSError as e: log.write("error %s\n" % e)
    c.close()
PY
: >/tmp/dbgp.log
/usr/bin/python3 /tmp/dbgp.py /tmp/dbgp.log "$xd/index.php" & dbgp=$!
wait_for 5 sh -c 'ss -ltn | grep -q 127.0.0.1:9003' || fail "the DBGp listener does not listen"

xdebug_figures=no
[ "${VESK_FIGURES:-on}" != off ] && command -v wrk >/dev/null && xdebug_figures=yes
rate() { if [ $xdebug_figures = yes ]; then figures_load "$1" | awk '{ print $1 }'; else echo 1; fi; }
rate http://debugger.test/ >/dev/null
expect "vesk xdebug on" vesk_dev xdebug on
[ "$(page http://debugger.test/)" = plain ] || fail "a request without a trigger reaches Xdebug"
[ ! -s /tmp/dbgp.log ] || fail "a request without a trigger made Xdebug connect: $(cat /tmp/dbgp.log)"
got=$(page --cookie XDEBUG_SESSION=VSCODE http://debugger.test/)
[ "$got" = "xdebug debug" ] || fail "a request with XDEBUG_SESSION does not reach Xdebug ($got)"
wait_for 5 grep -q '^run ' /tmp/dbgp.log || fail "Xdebug did not connect to the listener on 127.0.0.1:9003: $(cat /tmp/dbgp.log)"
grep -q 'idekey="VSCODE"' /tmp/dbgp.log || fail "the init packet has not the IDE key: $(cat /tmp/dbgp.log)"
# The first file PHP runs is the dump client every pool prepends (so
# vesk_dump() works under the debugger too); the breakpoint stops in the script.
grep -o '^init .*fileuri="[^"]*"' /tmp/dbgp.log | grep -o 'fileuri="[^"]*"' | sed 's/^/    init: /'
grep -o '^run .*' /tmp/dbgp.log | grep -o 'status="[a-z]*"\|filename="[^"]*" lineno="[0-9]*"' | tr '\n' ' ' | sed 's/^/    breakpoint: /; s/$/\n/'
grep -q "^run .*status=\"break\".*filename=\"file://$xd/index.php\" lineno=\"1\"" /tmp/dbgp.log ||
  fail "the debugger did not stop at the breakpoint in the script: $(cat /tmp/dbgp.log)"
[ "$(page 'http://debugger.test/?XDEBUG_TRIGGER=1')" = "xdebug debug" ] || fail "XDEBUG_TRIGGER as a parameter does not reach Xdebug"
wait_for 5 sh -c '[ "$(grep -c "^run " /tmp/dbgp.log)" -eq 2 ]' || fail "not one connection for each request with a trigger: $(cat /tmp/dbgp.log)"
vesk_dev status | grep -E '^(php 8.2-debug|xdebug)' | sed 's/^/    | /'
vesk_dev status | grep -q '^xdebug      on (debug, every site)' || fail "vesk status does not say Xdebug is on"

# The fast path pays nothing: the same page, Xdebug on, no trigger; then the
# price of a trigger when no IDE listens.
# The same page at two sites of one pool, Xdebug on for the first alone:
# five rounds of each, in turns, in the same configuration.
cp -a "$xd" "/home/$dev/code/debugger2"
vesk_dev xdebug off >/dev/null
vesk_dev xdebug on debugger >/dev/null
[ "$(page --cookie XDEBUG_SESSION=VSCODE http://debugger2.test/)" = plain ] || fail "Xdebug for one site reaches another"
[ "$(page --cookie XDEBUG_SESSION=VSCODE http://debugger.test/)" = "xdebug debug" ] || fail "Xdebug for one site does not reach it"
rate http://debugger2.test/ >/dev/null
off_rates="" on_rates=""
for round in 1 2 3 4 5; do
  on_rates="$on_rates $(rate http://debugger.test/)"
  off_rates="$off_rates $(rate http://debugger2.test/)"
done
median5() { printf '%s\n' $1 | sort -n | sed -n 3p; }
off_rate=$(median5 "$off_rates") on_rate=$(median5 "$on_rates")
vesk_dev xdebug off >/dev/null
vesk_dev xdebug on >/dev/null
kill "$dbgp"; wait "$dbgp" 2>/dev/null || true
trigger_rate=1
[ $xdebug_figures = no ] || trigger_rate=$(wrk -t 2 -c 8 -d "${FIGURES_SECONDS:-2}" -H 'Cookie: XDEBUG_SESSION=VSCODE' http://debugger.test/ 2>&1 | awk '/^Requests\/sec:/ { printf "%.0f", $2 }')

expect "vesk xdebug on --mode profile" vesk_dev xdebug on --mode profile
[ "$(page --cookie XDEBUG_PROFILE=1 http://debugger.test/slow.php)" = done ] || fail "the profiled request failed"
profiles="/home/$dev/Library/Application Support/Vesk/xdebug"
ls "$profiles"/cachegrind.out.* >/dev/null 2>&1 || fail "profile mode left no cachegrind file in $profiles"
expect "vesk profile import" vesk_dev profile import
ls "$profiles"/cachegrind.out.* >/dev/null 2>&1 && fail "an imported profile is still waiting"
newest=$(vesk_dev profile list | head -1 | awk '{ print $1 }')
top=$(/usr/bin/python3 -c '
import json, sys
run = json.load(open(sys.argv[1]))
main = run["frames"][0]
print(main["function"], max(main["children"], key=lambda f: f["totalTime"])["function"])
' "/home/$dev/Library/Application Support/Vesk/profiles/profile-$newest.json")
echo "    the profile's root and its costliest call: $top"
[ "$top" = "{main} slowest" ] || fail "the imported profile's costliest call is not the script's slowest function ($top)"
expect "vesk profile show" vesk_dev profile show "${newest:0:8}" --svg "/home/$dev/profile.svg"
grep -q slowest "/home/$dev/profile.svg" || fail "the flame graph does not show the slowest function"

expect "vesk xdebug off" vesk_dev xdebug off
wait_for 5 sh -c '! pgrep -f "php-fpm: master process .*php-fpm-8.2-(debug|profile)"' ||
  fail "Xdebug's pools still run after vesk xdebug off"
[ "$(page --cookie XDEBUG_SESSION=VSCODE http://debugger.test/)" = plain ] || fail "Xdebug still answers after vesk xdebug off"
# The figures, in this run.
if [ $xdebug_figures = yes ]; then
  awk -v off="$off_rate" -v on="$on_rate" -v t="$trigger_rate" -v offs="$off_rates" -v ons="$on_rates" 'BEGIN {
    printf "    figure: PHP page without a trigger: Xdebug on %d req/s, off %d req/s (medians of%s and%s): %.2fx\n", on, off, ons, offs, on / off
    printf "    figure: with XDEBUG_SESSION and no IDE listening: %d req/s: %.2fx of Xdebug off\n", t, t / off }'
fi
