# The site flow shared by the end-to-end test and the main job (sourced after
# steps.sh, with a helper answering): installs the environment, writes the
# resolver file, starts dnsmasq for .test, a PHP-FPM 8.2 pool and nginx with
# the library's laravel template, fetches http://app.test/, reloads nginx and
# stops everything. Uses `ctl` (the signed client) and $render_site.

step "install the environment"
res=$work/Resources
mkdir -p "$res/bin"
cp /usr/sbin/nginx "$res/bin/nginx"
cp /usr/sbin/dnsmasq "$res/bin/dnsmasq"
cp "$(command -v "$helperctl")" "$res/bin/vesk"
expect "InstallEnvironment" ctl InstallEnvironment "bundleResourcesPath=$res"
expect "GetInstalledVersion" ctl GetInstalledVersion
[ "$(readlink /usr/local/bin/vesk)" = /usr/local/vesk/bin/vesk ] || fail "CLI link"

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
[ "$answer" = 127.0.0.1 ] || fail "app.test does not resolve"

step "the system's own lookup finds app.test through the resolver file"
printf '    hosts: %s\n' "$(grep '^hosts:' /etc/nsswitch.conf | sed 's/^hosts: *//')"
expect "getent hosts app.test" getent hosts app.test
[ "$(getent hosts app.test | awk '{ print $1 }')" = 127.0.0.1 ] || fail "app.test is not 127.0.0.1"
expect "getent hosts localhost (files, untouched)" getent hosts localhost
# A name outside every resolver domain is none of the module's business.
expect_fails "the module alone on example.com (UNAVAIL)" 2 getent -s hosts:vesk hosts example.com

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
site=$work/sites/app
mkdir -p "$site/public"
echo '<?php echo "Hello from Vesk on PHP " . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION;' > "$site/public/index.php"
chmod -R a+rX "$work/sites"
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
  "$render_site" app.test "$site" /usr/local/vesk/run/php-fpm-8.2.sock
  echo "}"
} > /tmp/nginx.conf
expect "WriteFile fastcgi_params" ctl WriteFile path=/usr/local/vesk/etc/fastcgi_params content=@/etc/nginx/fastcgi_params permissions=0644
expect "WriteFile nginx.conf" ctl WriteFile path=/usr/local/vesk/etc/nginx.conf content=@/tmp/nginx.conf permissions=0644
expect "StartNginx" ctl StartNginx configPath=/usr/local/vesk/etc/nginx.conf
page=$(curl -s --max-time 5 http://app.test/)
printf '    GET http://app.test/: %s\n' "$page"
[ "$page" = "Hello from Vesk on PHP 8.2" ] || fail "unexpected page"
# The servers changed to their users and hold their ports.
workers=$(ps -o user= -o args= -e | awk '$2 ~ /^(nginx|php-fpm):/ && $3 != "master" { print $1 }' | sort -u | paste -sd' ')
printf '    workers run as: %s\n' "$workers"
[ "$workers" = www-data ] || fail "nginx and PHP-FPM workers run as [$workers], not www-data"
ss -Hltn 'sport = :80' | grep -q . || fail "nothing listens on port 80"
ss -Hlun 'sport = :53' | grep -q 127.0.0.1 || fail "nothing listens on 127.0.0.1:53"

step "reload nginx"
expect "ReloadNginx" ctl ReloadNginx
sleep 0.3
page=$(curl -s --max-time 5 http://app.test/)
printf '    GET http://app.test/: %s\n' "$page"
[ "$page" = "Hello from Vesk on PHP 8.2" ] || fail "unexpected page after reload"

step "stop everything"
expect "StopNginx" ctl StopNginx
expect "StopPHPFPM" ctl StopPHPFPM version=8.2
expect "StopDnsmasq" ctl StopDnsmasq
t0=$(date +%s%N)
expect_fails "app.test with dnsmasq stopped" 2 getent hosts app.test
printf '    failed after %d ms (timeout %s s)\n' $(( ($(date +%s%N) - t0) / 1000000 )) 5
expect "RemoveResolver" ctl RemoveResolver tld=test
expect_fails "app.test without the resolver file" 2 getent hosts app.test
for _ in $(seq 100); do
  pgrep -x nginx >/dev/null || pgrep -f php-fpm >/dev/null || pgrep -x dnsmasq >/dev/null || break
  sleep 0.05
done
left=$(pgrep -a -x nginx; pgrep -a -f 'php-fpm: master'; pgrep -a -x dnsmasq)
if [ -n "$left" ]; then fail "still running: $left"; else echo "    no server process left"; fi

