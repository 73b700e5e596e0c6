#!/usr/bin/env bash
# Runs inside a booted throw-away systemd machine (see machine.sh): a new
# developer's first day with the vesk command. The package is installed with
# dpkg; the developer has an account made by adduser (home 0700) and sudo;
# everything else is what they type.
#
# Run twice on one disk: PHASE "first" (the first day, ending with the
# machine halted) and "rebooted" (the same machine booted again: everything
# is served with nothing typed; then doctor and uninstall).
#
#   developer.sh DEB TESTS_DIR PHASE
set -u
deb=$1 tests=$2 phase=$3
debs=/var/cache/vesk-test
. "$tests/e2e/steps.sh"
started=$(date +%s.%N)
dev=ada
as_dev() { runuser -u "$dev" -- env -C "/home/$dev/code" "$@"; }
vesk_dev() { as_dev vesk "$@"; }
ca=/var/lib/vesk/authority/vesk-ca.crt
# The page a site serves, fetched the way a browser would reach it.
page() { curl -s --max-time 5 "$@"; }

if [ "$phase" = first ]; then
step "the package, and a developer with sudo"
expect "dpkg -i" dpkg -i "$deb"
expect "adduser" adduser --disabled-password --gecos Ada "$dev"
chmod 0700 "/home/$dev"
echo "$dev ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/$dev
mkdir -p "/home/$dev/code/blog/public" "/home/$dev/code/docs" "/home/$dev/code/shop"
echo '<?php echo "blog on PHP " . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION . " as " . get_current_user();' \
  >"/home/$dev/code/blog/public/index.php"
echo '<h1>docs</h1>' >"/home/$dev/code/docs/index.html"
echo '<?php echo "shop";' >"/home/$dev/code/shop/index.php"
chown -R "$dev:$dev" "/home/$dev/code"
printf '    home: %s\n' "$(stat -c '%a %U' "/home/$dev")"

step "sudo vesk install"
expect "sudo vesk install" as_dev sudo vesk install
[ "$(stat -c %U /usr/local/vesk)" = "$dev" ] || fail "the environment is not $dev's"
[ "$(readlink /usr/local/bin/vesk)" = /usr/local/vesk/bin/vesk ] || fail "no command link"
[ -x /usr/local/vesk/php/8.2/sbin/php-fpm ] || fail "PHP-FPM 8.2 was not copied"
ss -Hlun 'sport = :53' | grep -q 127.0.0.1 || fail "dnsmasq does not listen on 127.0.0.1:53"
ss -Hlun 'sport = :53' | grep -v 127.0.0.1 | grep -q . && fail "dnsmasq listens beyond the loopback"
[ "$(systemctl is-enabled com.vesk.servers.service)" = enabled ] || fail "the servers do not start at boot"
expect "vesk status" vesk_dev status
expect "sudo vesk install (again)" as_dev sudo vesk install

step "Vesk's nginx keeps a pid file of its own: Debian's nginx.service beside it"
[ -s /usr/local/vesk/run/nginx.pid ] || fail "Vesk's nginx keeps no pid file of its own"
[ -e /run/nginx.pid ] && fail "Vesk's nginx took Debian's /run/nginx.pid"
systemctl start nginx.service >/dev/null 2>&1
systemctl restart nginx.service >/dev/null 2>&1
systemctl stop nginx.service >/dev/null 2>&1
[ -s /usr/local/vesk/run/nginx.pid ] || fail "Debian's nginx.service removed Vesk's pid file"
expect "vesk status (Debian's nginx.service started and stopped beside it)" vesk_dev status
expect "vesk restart nginx" vesk_dev restart nginx
expect "vesk stop php" vesk_dev stop php
expect_fails "vesk status with the pool the sites need stopped" 3 vesk_dev status
expect "vesk start php" vesk_dev start php
sleep 3
touch /etc/php/8.2/fpm/conf.d
vesk_dev status | grep -q 'changed since PHP 8.2 started: vesk restart php' ||
  fail "vesk status does not say the pool runs without its new extensions"
expect "vesk restart php" vesk_dev restart php
vesk_dev status | grep -q "changed since PHP 8.2 started" && fail "the hint stays after the restart"

step "park ~/code: every project in it is served"
expect "vesk park" vesk_dev park
expect "vesk sites" vesk_dev sites
got=$(page http://blog.test/)
printf '    http://blog.test/: %s\n' "$got"
[ "$got" = "blog on PHP 8.2 as $dev" ] || { fail "blog.test"; tail -n 5 /usr/local/vesk/log/nginx-error.log; }
[ "$(page http://docs.test/)" = "<h1>docs</h1>" ] || fail "docs.test"
[ "$(page http://shop.test/)" = "shop" ] || fail "shop.test"
workers=$(ps -o user= -o args= -e | awk '$2 ~ /^(nginx|php-fpm):/ && $3 != "master" { print $1 }' | sort -u | paste -sd' ')
[ "$workers" = "$dev" ] || fail "workers run as [$workers]"
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://nosuch.test/)" = 404 ] || fail "an unknown name is not 404"

step "the same PHP page and static file under load: Vesk beside Debian's stock servers"
. "$tests/system/serving-figures.sh"

step "PHP set up for development, the developer's own settings kept"
mkdir -p "/home/$dev/code/upload" "/home/$dev/code/oops"
echo '<?php echo ($_FILES["f"]["size"] ?? "no file") . " " . ini_get("memory_limit");' >"/home/$dev/code/upload/index.php"
echo '<?php throw new RuntimeException("shown to the developer");' >"/home/$dev/code/oops/index.php"
echo '<?php echo "report " . ($_SERVER["PATH_INFO"] ?? "none");' >"/home/$dev/code/upload/report.php"
chown -R "$dev:$dev" "/home/$dev/code/upload" "/home/$dev/code/oops"
config="/home/$dev/Library/Application Support/Vesk/config"
[ -f "$config/serving.json" ] || fail "no serving settings of the developer's own"
sed -n '1,4p' "$config/serving.json" | sed 's/^/    serving.json: /'
as_dev python3 -c '
import json, sys
path = sys.argv[1] + "/serving.json"
s = json.load(open(path))
s["sites"]["upload.test"] = {"memory_limit": "300M"}
json.dump(s, open(path, "w"), indent=2)' "$config"
echo 'add_header X-Mine "my own";' | as_dev tee "$config/nginx/all/mine.conf" >/dev/null
expect "vesk restart nginx" vesk_dev restart nginx
head -c 20000000 /dev/zero >/tmp/big.bin
got=$(curl -s --max-time 20 -F f=@/tmp/big.bin http://upload.test/)
printf '    a 20 MB upload: %s\n' "$got"
[ "$got" = "20000000 300M" ] || fail "a 20 MB upload with the site's own memory limit ($got)"
[ "$(page http://docs.test/ -D - -o /dev/null | tr -d '\r' | grep -i '^x-mine:')" = "X-Mine: my own" ] ||
  fail "the developer's own directive is not served"
got=$(page http://oops.test/)
echo "$got" | grep -q "shown to the developer" || fail "an uncaught exception is a blank page: $got"
printf '    an uncaught exception: %s\n' "$(echo "$got" | sed 's/<[^>]*>//g' | grep -m1 'shown')"
grep -q 'fastcgi_read_timeout 3600s' /usr/local/vesk/etc/nginx.conf || fail "requests are cut before an hour"
[ "$(page http://upload.test/report.php/extra/path)" = "report /extra/path" ] || fail "PATH_INFO does not reach the script it names"
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://upload.test/missing.php/x)" = 404 ] || fail "a missing script is not 404"
echo 'bogus_directive on;' | as_dev tee "$config/nginx/all/broken.conf" >/dev/null
expect_fails "vesk link with a broken snippet" 1 runuser -u "$dev" -- env -C "/home/$dev/code/docs" vesk link docs2
rm "$config/nginx/all/broken.conf"
expect "vesk unlink docs2" vesk_dev unlink docs2
[ "$(page http://docs.test/)" = "<h1>docs</h1>" ] || fail "docs.test after a refused snippet"

. "$tests/system/services-day.sh"
. "$tests/system/mail-day.sh"
. "$tests/system/workers-day.sh"
. "$tests/system/xdebug-day.sh"
. "$tests/system/proxy-day.sh"

step "a second developer on the same machine is told whose environment it is"
expect "adduser bob" adduser --disabled-password --gecos Bob bob
echo "bob ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/bob
out=$(runuser -u bob -- env -C /home/bob vesk status 2>&1); rc=$?
printf '    bob: vesk status: %s\n' "$out"
[ $rc -ne 0 ] && echo "$out" | grep -q "$dev's" || fail "another account is not told whose environment it is"
out=$(runuser -u bob -- env -C /home/bob sudo vesk install 2>&1); rc=$?
printf '    bob: sudo vesk install: %s\n' "$(echo "$out" | tail -n 1)"
[ $rc -ne 0 ] && echo "$out" | grep -q -- "--take-over" || fail "another account took the environment over unasked"
[ "$(stat -c %U /usr/local/vesk)" = "$dev" ] || fail "the environment is no longer $dev's"
runuser -u bob -- env -C /home/bob vesk sites >/dev/null 2>&1
runuser -u bob -- env -C /home/bob sh -c 'mkdir -p p/x && cd p && vesk park >/dev/null 2>&1; vesk sites' | grep -q 'PHP 8.2' ||
  fail "a new account's settings do not default to the installed PHP 8.2"
[ "$(page http://blog.test/)" = "blog on PHP 8.2 as $dev" ] || fail "blog.test after another account's commands"
[ "$(page http://www.blog.test/)" = "blog on PHP 8.2 as $dev" ] || fail "www.blog.test (a subdomain over HTTP)"

step "a project made in the parked folder later is served at once"
mkdir -p "/home/$dev/code/fresh/public"
echo '<?php echo "new project";' >"/home/$dev/code/fresh/public/index.php"
chown -R "$dev:$dev" "/home/$dev/code/fresh"
[ "$(page http://fresh.test/)" = "new project" ] || fail "fresh.test is not served without a vesk command"
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://nothere.test/)" = 404 ] || fail "a name with no directory is not 404"

step "link a directory elsewhere under its own name"
mkdir -p "/home/$dev/elsewhere/api" && echo '{"ok":true}' >"/home/$dev/elsewhere/api/index.html"
chown -R "$dev:$dev" "/home/$dev/elsewhere"
expect "vesk link" runuser -u "$dev" -- env -C "/home/$dev/elsewhere/api" vesk link backend
[ "$(page http://backend.test/)" = '{"ok":true}' ] || fail "backend.test"

step "the servers answer this machine alone"
ss -Hltn '( sport = :80 or sport = :443 )' | awk '{ print "    listening: " $4 }'
ss -Hltn '( sport = :80 or sport = :443 )' | awk '{ print $4 }' | grep -v '^127\.0\.0\.1:\|^\[::1\]:' &&
  fail "nginx listens beyond the loopback addresses"
echo 'DB_PASSWORD=hunter2' >"/home/$dev/code/shop/.env"
chown "$dev:$dev" "/home/$dev/code/shop/.env"
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://shop.test/.env)" = 403 ] ||
  fail "shop.test/.env is served"

step "an authority an older vesk made is replaced only when the developer says so"
old_ca="/home/$dev/Library/Application Support/Vesk/ssl/ca"
as_dev mkdir -p "$old_ca"
as_dev openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
  -subj '/CN=Vesk Development CA' -addext basicConstraints=critical,CA:TRUE \
  -keyout "$old_ca/vesk-ca.key" -out "$old_ca/vesk-ca.crt" >/dev/null 2>&1
# ... and trusted, as that version's sudo vesk trust left it: the system's
# store and the browser's database.
cp "$old_ca/vesk-ca.crt" /usr/local/share/ca-certificates/vesk-development-ca.crt
update-ca-certificates >/dev/null 2>&1
nssdb="/home/$dev/.pki/nssdb"
as_dev mkdir -p -m 0700 "$nssdb"
as_dev certutil -N --empty-password -d "sql:$nssdb"
as_dev certutil -A -d "sql:$nssdb" -t C,, -n "Vesk Development CA" -i "$old_ca/vesk-ca.crt"
fingerprint() { openssl x509 -noout -fingerprint -sha256 "$@" | cut -d= -f2; }
old_print=$(fingerprint -in "$old_ca/vesk-ca.crt")
expect_fails "vesk secure blog with the older authority" 1 vesk_dev secure blog
[ -e "$old_ca/vesk-ca.key" ] || fail "the older authority went without the developer's word"

step "secure blog: HTTPS with the local authority, HTTP redirected"
expect "vesk secure --new-authority blog" vesk_dev secure --new-authority blog
[ -e "$old_ca/vesk-ca.key" ] && fail "the older authority's key is left"
new_print=$(fingerprint -in "$ca")
cp "$ca" "/home/$dev/authority-copy.crt"
[ "$(fingerprint -in /usr/local/share/ca-certificates/vesk-development-ca.crt)" = "$new_print" ] ||
  fail "the system still trusts the older authority"
grep -q "$(sed -n 2p "$ca")" /etc/ssl/certs/ca-certificates.crt || fail "the new authority is not in the system's bundle"
got=$(as_dev certutil -L -d "sql:$nssdb" -n "Vesk Development CA" -a | fingerprint)
[ "$got" = "$new_print" ] || fail "the browser still trusts the older authority ($got)"
[ "$got" = "$old_print" ] && fail "the browser's entry is the older authority"
echo "    the new authority replaced the older one in the system's store and the browser's database"
[ "$(stat -c '%a %U' /var/lib/vesk/authority/vesk-ca.key)" = "600 root" ] ||
  fail "the authority's key is not root's alone"
as_dev cat /var/lib/vesk/authority/vesk-ca.key >/dev/null 2>&1 && fail "the developer can read the authority's key"
openssl x509 -in "$ca" -noout -ext nameConstraints | sed 's/^/    /'
openssl x509 -in "$ca" -noout -ext nameConstraints | grep -q 'critical' || fail "the authority has no critical name constraint"
mkdir -p "/home/$dev/elsewhere/thief"
echo '<?php var_dump(@file_get_contents("/var/lib/vesk/authority/vesk-ca.key"));' >"/home/$dev/elsewhere/thief/index.php"
chown -R "$dev:$dev" "/home/$dev/elsewhere/thief"
expect "vesk link thief" runuser -u "$dev" -- env -C "/home/$dev/elsewhere/thief" vesk link
got=$(page http://thief.test/)
printf '    a site'"'"'s PHP reading the key: %s\n' "$got"
[ "$got" = "bool(false)" ] || fail "the sites' PHP can read the authority's key"
got=$(page --cacert "$ca" https://blog.test/)
printf '    https://blog.test/: %s\n' "$got"
[ "$got" = "blog on PHP 8.2 as $dev" ] || fail "https://blog.test/ with the authority"
got=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' --max-time 5 http://blog.test/)
[ "$got" = "301 https://blog.test/" ] || fail "http://blog.test/ does not redirect ($got)"
# The older authority was trusted, so the new one is already in its place.
[ "$(page https://blog.test/)" = "blog on PHP 8.2 as $dev" ] || fail "https://blog.test/ with the system's trust"
got=$(curl -sk -o /dev/null -w '%{http_code}' --max-time 5 --resolve nosuch.test:443:127.0.0.1 https://nosuch.test/)
[ "$got" = 000 ] || fail "https://nosuch.test/ got an answer ($got) instead of a refused handshake"

step "sudo vesk trust publishes only what it opened, never through a link"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '/CN=Root Only CA' \
  -addext basicConstraints=critical,CA:TRUE -addext 'nameConstraints=critical,permitted;DNS:test' \
  -keyout /root/other-ca.key -out /root/other-ca.crt >/dev/null 2>&1
chmod 600 /root/other-ca.crt
mv "$ca" "$ca.kept" && ln -s /root/other-ca.crt "$ca"
expect_fails "sudo vesk trust with the authority a link" 1 as_dev sudo vesk trust
rm "$ca" && mv "$ca.kept" "$ca"
grep -q "$(sed -n 2p /root/other-ca.crt)" /etc/ssl/certs/ca-certificates.crt &&
  fail "a root-only certificate reached the system's trust store through a link"

step "sudo vesk trust: the system and the browser trust it"
# Chromium makes its certificate database on its first run.
as_dev chromium --headless=new --no-sandbox --disable-gpu --dump-dom about:blank >/dev/null 2>&1
expect "sudo vesk trust" as_dev sudo vesk trust
as_dev sudo vesk trust | grep -q "NODE_EXTRA_CA_CERTS=$ca" || fail "trust does not say how Node.js trusts it"
if command -v node >/dev/null; then
  got=$(as_dev env NODE_EXTRA_CA_CERTS="$ca" node -e 'fetch("https://blog.test/").then(r => r.text()).then(t => console.log(t), e => console.log(String(e.cause || e)))' 2>&1)
  printf '    Node.js fetch: %s\n' "$got"
  [ "$got" = "blog on PHP 8.2 as $dev" ] || fail "Node.js does not trust https://blog.test/ with NODE_EXTRA_CA_CERTS"
fi
[ "$(page https://blog.test/)" = "blog on PHP 8.2 as $dev" ] || fail "curl does not trust https://blog.test/"
dom=$(as_dev timeout 60 chromium --headless=new --no-sandbox --disable-gpu --dump-dom https://blog.test/ 2>/dev/null)
printf '    chromium: %s\n' "$(echo "$dom" | tr -d '\n' | head -c 160)"
echo "$dom" | grep -q "blog on PHP 8.2 as $dev" || fail "chromium does not show https://blog.test/"
# Chromium trusts the local authority now, as a developer's does.
. "$tests/system/vite-day.sh"

step "a dump from a PHP page reaches vesk dumps"
mkdir -p "/home/$dev/elsewhere/dumper"
echo '<?php vesk_dump(["answer" => 42]); echo "dumped";' >"/home/$dev/elsewhere/dumper/index.php"
chown -R "$dev:$dev" "/home/$dev/elsewhere/dumper"
expect "vesk link dumper" runuser -u "$dev" -- env -C "/home/$dev/elsewhere/dumper" vesk link
runuser -u "$dev" -- vesk dumps >/tmp/dumps.out 2>/tmp/dumps.err &
dumps=$!
wait_for 5 test -S /tmp/vesk/vesk-debug.sock || fail "vesk dumps does not listen"
t0=$(date +%s%N)
[ "$(page http://dumper.test/)" = dumped ] || fail "dumper.test"
until grep -q '\[answer\] => 42' /tmp/dumps.out; do
  [ $(( ($(date +%s%N) - t0) / 1000000 )) -gt 5000 ] && { fail "the dump never arrived"; break; }
done
echo "    the dump reached vesk dumps $(( ($(date +%s%N) - t0) / 1000000 )) ms after the request started"
sed 's/^/    | /' /tmp/dumps.out
kill "$dumps"; wait "$dumps" 2>/dev/null
[ "$(page http://dumper.test/)" = dumped ] || fail "the page fails when nobody listens"

step "the servers' logs are the developer's to read"
out=$(vesk_dev logs php 2>&1) || fail "vesk logs php: $out"
echo "$out" | grep -q "fpm is running" || fail "the PHP log holds no start line: $out"
out=$(vesk_dev logs nginx 2>&1) || fail "vesk logs nginx: $out"
echo "$out" | grep -q "dumper.test" || fail "the access log does not show the requests: $(echo "$out" | tail -n 3)"
echo "$out" | tail -n 2 | sed 's/^/    | /'

step "vesk stats after these requests"
expect "vesk stats" vesk_dev stats --range 1h
total=$(vesk_dev stats --range 1h --json | python3 -c 'import json, sys; print(json.load(sys.stdin)["totalRequests"])')
[ "${total:-0}" -gt 5 ] || fail "vesk stats counts ${total:-no} requests"

step "a change nginx refuses is not applied"
cert="/home/$dev/Library/Application Support/Vesk/ssl/certs/blog.test.crt"
mv "$cert" "$cert.away"
expect_fails "vesk link with a certificate gone" 1 runuser -u "$dev" -- env -C "/home/$dev/elsewhere/api" vesk link backend2
mv "$cert.away" "$cert"
[ "$(page http://docs.test/)" = "<h1>docs</h1>" ] || fail "docs.test stopped being served"
[ -e /usr/local/vesk/etc/nginx/sites/backend2.test.conf ] && fail "the refused change was applied"
expect "vesk unlink backend2" vesk_dev unlink backend2

step "isolate a site on a PHP version that is not installed"
expect_fails "vesk isolate 7.4" 1 vesk_dev isolate 7.4 shop

step "eight vesk link commands at once leave eight sites"
for n in 1 2 3 4 5 6 7 8; do
  mkdir -p "/home/$dev/many/p$n" && echo "p$n" >"/home/$dev/many/p$n/index.html"
done
chown -R "$dev:$dev" "/home/$dev/many"
for n in 1 2 3 4 5 6 7 8; do
  runuser -u "$dev" -- env -C "/home/$dev/many/p$n" vesk link >/dev/null 2>"/tmp/link-$n.err" &
done
wait
cat /tmp/link-*.err
[ "$(vesk_dev links | grep -c '^p[1-8]\.test ')" = 8 ] || fail "not eight linked sites: $(vesk_dev links | paste -sd' ')"
for n in 1 2 3 4 5 6 7 8; do [ "$(page http://p$n.test/)" = "p$n" ] || fail "p$n.test"; done
vesk_dev sites --json | python3 -c '
import json, sys
sites = json.load(sys.stdin)
keys = {"id", "name", "path", "domain", "tld", "isSecured", "isLinked", "isParked", "isPinned", "aliases", "createdAt"}
bad = [s.get("domain") for s in sites if not keys <= set(s)]
print("    vesk sites --json: %d Site records" % len(sites))
sys.exit(1 if bad or len(sites) < 12 else 0)' || fail "vesk sites --json is not a list of Site records"

step "vesk link of a new site until curl gets its page"
mkdir -p "/home/$dev/elsewhere/linked" && echo linked >"/home/$dev/elsewhere/linked/index.html"
chown -R "$dev:$dev" "/home/$dev/elsewhere/linked"
t0=$(date +%s%N)
runuser -u "$dev" -- env -C "/home/$dev/elsewhere/linked" vesk link >/dev/null
until [ "$(curl -s --max-time 1 http://linked.test/)" = linked ]; do
  [ $(( ($(date +%s%N) - t0) / 1000000 )) -gt 5000 ] && { fail "linked.test never served"; break; }
done
echo "    served $(( ($(date +%s%N) - t0) / 1000000 )) ms after vesk link started"

step "a master killed outright: its workers are ended and it starts cleanly"
kill -9 "$(cat /usr/local/vesk/run/php-fpm-8.2.pid)"
sleep 0.3
[ "$(page http://shop.test/)" = "shop" ] || echo "    (the orphaned workers no longer answer)"
expect_fails "vesk status with the pool's master dead" 3 vesk_dev status
out=$(vesk_dev start php 2>&1) || fail "vesk start php after kill -9: $out"
printf '%s\n' "$out" | sed 's/^/    | /'
[ "$(page http://shop.test/)" = "shop" ] || fail "shop.test after the pool came back"
kill -9 "$(cat /usr/local/vesk/run/nginx.pid)"
sleep 0.3
out=$(vesk_dev start nginx 2>&1) || fail "vesk start nginx after kill -9: $out"
printf '%s\n' "$out" | sed 's/^/    | /'
echo "$out" | grep -q "whose master had died" || fail "the orphaned nginx workers were not ended"
[ "$(page http://docs.test/)" = "<h1>docs</h1>" ] || fail "docs.test after nginx came back"

step "vesk tld box: every name moves, HTTPS and the system's trust with it"
expect "vesk tld box" vesk_dev tld box
[ -e /etc/resolver/box ] || fail "no resolver file for .box"
[ -e /etc/resolver/test ] && fail "the resolver file for .test is left"
[ "$(getent hosts docs.box | awk '{ print $1 }')" = 127.0.0.1 ] || fail "docs.box does not resolve"
[ "$(page http://docs.box/)" = "<h1>docs</h1>" ] || fail "http://docs.box/"
[ "$(page https://blog.box/)" = "blog on PHP 8.2 as $dev" ] || fail "https://blog.box/ with the system's trust"
page http://docs.test/ >/dev/null && fail "docs.test is still served"
expect "vesk tld test" vesk_dev tld test
[ "$(page https://blog.test/)" = "blog on PHP 8.2 as $dev" ] || fail "https://blog.test/ after moving back"

step "stopped, the servers come back the way they do at boot"
expect "vesk stop" vesk_dev stop
wait_for 5 sh -c '! pgrep -x nginx' || fail "nginx still runs"
page http://docs.test/ >/dev/null && fail "docs.test still answers"
expect "the boot unit" systemctl restart com.vesk.servers.service
# The supervisor before it stops the services first (each in its own time).
wait_for 60 sh -c '[ "$(curl -s --max-time 2 http://docs.test/)" = "<h1>docs</h1>" ]' || fail "the boot unit did not bring the servers back"
expect "vesk status" vesk_dev status

else
step "rebooted: every site is served again, with nothing typed"
wait_for 20 sh -c '[ "$(systemctl show -p ActiveState --value com.vesk.servers.service)" != activating ]'
systemctl status --no-pager com.vesk.servers.service 2>&1 | sed -n '1,4p;/vesk\[/p' | sed 's/^/    | /'
wait_for 10 sh -c '[ "$(curl -s --max-time 2 http://docs.test/)" = "<h1>docs</h1>" ]' || fail "docs.test after the reboot"
[ "$(page https://blog.test/)" = "blog on PHP 8.2 as $dev" ] || fail "https://blog.test/ after the reboot"
[ "$(page http://backend.test/)" = '{"ok":true}' ] || fail "backend.test after the reboot"
expect "vesk status" vesk_dev status
wait_for 30 sh -c 'runuser -u '"$dev"' -- vesk service status mariadb postgresql redis >/dev/null' ||
  fail "the services are not running again after the reboot"
expect "vesk service status" vesk_dev service status mariadb postgresql redis
got=$(page http://laravel.test/)
printf '    http://laravel.test/: %s\n' "$got"
[ "$got" = "mariadb 42, postgresql 42, redis ok" ] || fail "the Laravel-shaped page after the reboot ($got)"
wait_for 10 sh -c 'ss -Hltn "sport = :2525" | grep -q 127.0.0.1:2525' || fail "the mail catcher does not run after the reboot"
vesk_dev mail list | grep -q 'Bestellung 2 für Ada' || fail "the caught mail is not kept across the reboot"
wait_for 20 sh -c "runuser -u $dev -- vesk worker list | grep -q 'Running (pid'" ||
  fail "the queue worker does not run after the reboot: $(vesk_dev worker list)"
expect "vesk worker list" vesk_dev worker list

step "vesk doctor: all well, then each planted fault named"
expect "vesk doctor" vesk_dev doctor
doctor_names() { # WHAT PATTERN: doctor fails and its output matches
  local out
  out=$(vesk_dev doctor 2>&1) && fail "doctor passed with $1"
  if echo "$out" | grep -A1 '^FAIL' | grep -q -- "$2"; then
    echo "$out" | grep -A1 '^FAIL' | sed 's/^/    | /'
  else
    fail "doctor does not name $1"; echo "$out" | sed 's/^/    | /'
  fi
}
expect "vesk stop nginx" vesk_dev stop nginx
wait_for 5 sh -c '! pgrep -x nginx'
expect "Debian's nginx.service" systemctl start nginx.service
doctor_names "Debian's nginx.service on port 80" 'nginx.service'
out=$(vesk_dev start nginx 2>&1) && fail "vesk start nginx with port 80 taken"
printf '%s\n' "$out" | sed 's/^/    | /'
echo "$out" | grep -q 'Address already in use' || fail "the failed start does not say nginx's own reason"
systemctl stop nginx.service
expect "vesk start nginx" vesk_dev start nginx

step "apache2 installed later (as phpMyAdmin brings it), and winning port 80 at a boot"
expect "dpkg -i apache2" dpkg -i "$debs"/apache2/*.deb
[ "$(page http://docs.test/)" = "<h1>docs</h1>" ] || fail "docs.test once apache2 is installed"
# At a boot either may start first; when apache2 does, the boot unit must
# say the servers did not start, and doctor what holds the port.
expect "vesk stop nginx" vesk_dev stop nginx
wait_for 5 sh -c '! pgrep -x nginx'
expect "apache2.service" systemctl start apache2.service
since="@$(date +%s)"
expect "the boot unit" systemctl restart com.vesk.servers.service
# The supervisor says nginx could not start, in nginx's words, and tries again
# on its back-off.
journal() { journalctl -b -u com.vesk.servers.service --since "$since" --no-pager -o cat; }
wait_for 10 sh -c "$(declare -f journal); since='$since'; journal | grep -q 'nginx ended.*Address already in use.*started again in'" ||
  fail "the boot unit's supervisor does not say nginx could not start with port 80 apache2's"
journal | grep "nginx ended" | tail -n 1 | sed 's/^/    journal: /'
expect_fails "vesk status with apache2 on port 80" 3 vesk_dev status
doctor_names "apache2.service on port 80" 'apache2.service'
# The fix doctor names, then the servers as the boot unit starts them.
expect "the fix doctor names" systemctl disable --now apache2.service
expect "the boot unit" systemctl restart com.vesk.servers.service
wait_for 10 sh -c '[ "$(curl -s --max-time 2 http://docs.test/)" = "<h1>docs</h1>" ]' || fail "docs.test after apache2 was disabled"
chmod 000 "/home/$dev/code/docs"
doctor_names "an unreadable site directory" "/home/$dev/code/docs"
chmod 755 "/home/$dev/code/docs"
cp /etc/nsswitch.conf /tmp/nsswitch.conf
sed -i 's/^hosts:.*/hosts: files resolve [!UNAVAIL=return] vesk [NOTFOUND=return] dns/' /etc/nsswitch.conf
doctor_names "the module after resolve" 'resolve'
cp /tmp/nsswitch.conf /etc/nsswitch.conf
echo 'server { listen 80; server_name broken.test; bogus_directive on; }' >>/usr/local/vesk/etc/nginx/sites/docs.test.conf
doctor_names "a broken template edit" 'unknown directive "bogus_directive"'
expect "vesk restart" vesk_dev restart
expect "vesk doctor (repaired)" vesk_dev doctor
expect "vesk stop dnsmasq" vesk_dev stop dnsmasq
doctor_names "dnsmasq not answering" 'dnsmasq answers'
expect "vesk start dnsmasq" vesk_dev start dnsmasq

step "bob takes the environment over when told to, and ada's commands say so"
out=$(runuser -u bob -- env -C /home/bob sudo vesk install --take-over 2>&1) || fail "bob: sudo vesk install --take-over: $(echo "$out" | tail -n 2)"
printf '    bob: %s\n' "$(echo "$out" | grep -m1 'Taking the servers over')"
[ "$(stat -c %U /usr/local/vesk)" = bob ] || fail "the environment is not bob's"
out=$(vesk_dev status 2>&1) && fail "ada's vesk status passes in bob's environment"
printf '    ada: vesk status: %s\n' "$out"
echo "$out" | grep -q "taken over by bob" || fail "ada is not told that bob took the environment over"
expect "ada takes it back" as_dev sudo vesk install --take-over
[ "$(stat -c %U /usr/local/vesk)" = "$dev" ] || fail "the environment is not $dev's again"
wait_for 10 sh -c '[ "$(curl -s --max-time 2 http://docs.test/)" = "<h1>docs</h1>" ]' || fail "docs.test once ada took it back"

step "sudo vesk uninstall"
expect "sudo vesk uninstall" as_dev sudo vesk uninstall
[ -e /usr/local/vesk ] && fail "/usr/local/vesk is left"
[ -e /etc/resolver/test ] && fail "the resolver file is left"
[ -e /etc/systemd/system/com.vesk.servers.service ] && fail "the boot unit is left"
wait_for 5 sh -c '! pgrep -x nginx && ! pgrep -x dnsmasq && ! pgrep -f "^php-fpm: master process \(/usr/local/vesk"' || fail "servers left running"
wait_for 5 sh -c '! pgrep -u '"$dev"' -f "vesk supervise" && ! pgrep -u '"$dev"' -x mariadbd && ! pgrep -u '"$dev"' -x redis-server && ! pgrep -u '"$dev"' -x postgres' ||
  fail "the supervisor or a service is left running: $(pgrep -u "$dev" -a)"
[ -e "/home/$dev/Library/Application Support/Vesk/config/sites.json" ] || fail "the sites were not kept"

step "sudo vesk uninstall --purge, then the package purged: nothing of Vesk's is left trusted or routed"
expect "sudo vesk install (again)" as_dev sudo vesk install
expect "sudo vesk uninstall --purge" as_dev sudo vesk uninstall --purge
[ -e /var/lib/vesk/authority ] && fail "the authority is left"
[ -e /usr/local/share/ca-certificates/vesk-development-ca.crt ] && fail "the system still trusts the authority"
grep -q "$(sed -n 2p /home/$dev/authority-copy.crt 2>/dev/null || echo none)" /etc/ssl/certs/ca-certificates.crt &&
  fail "the authority is still in the system's bundle"
as_dev certutil -L -d "sql:/home/$dev/.pki/nssdb" -n "Vesk Development CA" >/dev/null 2>&1 &&
  fail "the browser still trusts the authority"
[ -e /etc/resolver ] && fail "/etc/resolver is left: $(ls -A /etc/resolver)"
[ -e "/home/$dev/Library/Application Support/Vesk" ] && fail "the sites and settings are left"
was_enabled=$([ -e /var/lib/vesk/nginx.service-was-enabled ] && echo yes || echo no)
expect "dpkg --purge vesk" dpkg --purge vesk
[ -e /var/lib/vesk ] && fail "/var/lib/vesk is left"
if [ "$was_enabled" = yes ]; then
  [ "$(systemctl is-enabled nginx.service)" = enabled ] || fail "Debian's nginx.service is not enabled again"
fi
printf '    nginx.service: %s (the package had disabled it: %s)\n' "$(systemctl is-enabled nginx.service 2>&1)" "$was_enabled"

fi

awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "developer test took %.1f s inside the machine\n", e - s }'
[ $failed -eq 0 ] && echo "vesk developer test: passed" || echo "vesk developer test: FAILED"
exit $failed
