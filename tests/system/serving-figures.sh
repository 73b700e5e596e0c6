# Sourced by developer.sh once the environment serves the parked ~/code:
# the same one-line PHP page and the same static file, under the same load,
# through Vesk and through Debian's own nginx and php8.2-fpm with their
# stock configuration (the default site on another port, with the PHP block
# Debian ships commented out switched on), in turns in this run.
# Prints the ratios; nothing here fails the test but a server that does not
# answer.
#
# Then the memory Vesk's servers use when idle again (PSS of nginx, the
# pools and dnsmasq together).

figures_load() { # URL: requests per second and the 99th percentile in ms
  wrk -t 2 -c 8 -d "${FIGURES_SECONDS:-2}" --latency "$1" 2>&1 | awk '
    /^Requests\/sec:/ { rps = $2 }
    /^ +99%/ { v = $2; if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 } else if (v ~ /ms$/) { sub(/ms$/, "", v) } else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 }; p99 = v }
    / Non-2xx/ { bad = 1 }
    END { printf "%.0f %.2f %d\n", rps, p99, bad }'
}

# figures_compare: each side in turn (which goes first alternating), five
# rounds of each page; the medians are printed, with the ratios.
figures_compare() {
  local round side sides url out
  : >/tmp/figures.txt
  figures_load http://127.0.0.1:8080/index.php >/dev/null
  figures_load http://figures.test/index.php >/dev/null
  for round in 1 2 3 4 5; do
    sides="stock:http://127.0.0.1:8080 vesk:http://figures.test"
    [ $((round % 2)) -eq 0 ] && sides="vesk:http://figures.test stock:http://127.0.0.1:8080"
    for side in $sides; do
      url=${side#*:}
      out=$(figures_load "$url/index.php")
      echo "${side%%:*} php $out" >>/tmp/figures.txt
      out=$(figures_load "$url/page.html")
      echo "${side%%:*} static $out" >>/tmp/figures.txt
    done
  done
  grep -q ' 1$' /tmp/figures.txt && fail "a server answered with errors under load"
  sort -k1,2 -k3n /tmp/figures.txt | awk '
    { key = $1 " " $2; n[key]++; rps[key, n[key]] = $3; p99[key, n[key]] = $4 }
    END {
      for (k in n) {
        # the median of the requests per second and, apart, of the p99s
        m = int((n[k] + 1) / 2); r[k] = rps[k, m]
        c = 0; for (i = 1; i <= n[k]; i++) q[++c] = p99[k, i]
        for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (q[j] < q[i]) { t = q[i]; q[i] = q[j]; q[j] = t }
        l[k] = q[m]
      }
      printf "    figure: PHP page: Vesk %d req/s, p99 %.2f ms; Debian stock %d req/s, p99 %.2f ms: %.2fx the requests, %.2fx the p99\n", r["vesk php"], l["vesk php"], r["stock php"], l["stock php"], r["vesk php"] / r["stock php"], l["vesk php"] / l["stock php"]
      printf "    figure: static file: Vesk %d req/s, p99 %.2f ms; Debian stock %d req/s, p99 %.2f ms: %.2fx the requests, %.2fx the p99\n", r["vesk static"], l["vesk static"], r["stock static"], l["stock static"], r["vesk static"] / r["stock static"], l["vesk static"] / l["stock static"]
    }'
}

# figures_pss WHEN: the PSS of every process of Vesk's servers, together,
# and of each server (its master and workers).
figures_pss() {
  local pss=0 pidfile master pid kb each parts=""
  for pidfile in /usr/local/vesk/run/*.pid; do
    case $pidfile in */nginx-check.pid) continue ;; esac
    master=$(cat "$pidfile" 2>/dev/null) || continue
    each=0
    for pid in "$master" $(pgrep -P "$master"); do
      kb=$(awk '/^Pss:/ { print $2 }' /proc/"$pid"/smaps_rollup 2>/dev/null)
      each=$((each + ${kb:-0}))
    done
    pss=$((pss + each))
    parts="$parts$(basename "$pidfile" .pid) $(awk -v kb="$each" 'BEGIN { printf "%.1f", kb / 1024 }'), "
  done
  awk -v kb="$pss" -v when="$1" -v parts="${parts%, }" 'BEGIN { printf "    figure: memory of Vesk'"'"'s nginx, pools and dnsmasq %s: %.1f MiB PSS (%s)\n", when, kb / 1024, parts }'
}

# figures_setup: the page and the file in a parked project of the
# developer's and in Debian's document root; Debian's default site on port
# 8080 with its PHP block switched on; Debian's servers started.
figures_setup() {
  figures=/home/$dev/code/figures
  mkdir -p "$figures" /var/www/figures
  echo '<?php echo "hello";' | tee "$figures/index.php" >/var/www/figures/index.php
  head -c 4096 /dev/urandom | base64 | tee "$figures/page.html" >/var/www/figures/page.html
  chown -R "$dev:$dev" "$figures"
  # Measured with the block of its own that every command writes (until
  # then the parked folders' catch-all serves it).
  expect "vesk park" vesk_dev park
  [ -e /usr/local/vesk/etc/nginx/sites/figures.test.conf ] || fail "figures.test has no block of its own"
  sed -e 's/listen 80 default_server;/listen 127.0.0.1:8080 default_server;/' \
    -e '/listen \[::\]:80 default_server;/d' \
    -e 's|root /var/www/html;|root /var/www/figures;|' \
    -e 's/index index.html/index index.php index.html/' \
    -e 's|^\t#location ~ \\.php\$ {|\tlocation ~ \\.php$ {|' \
    -e 's|^\t#\tinclude snippets/fastcgi-php.conf;|\t\tinclude snippets/fastcgi-php.conf;|' \
    -e 's|^\t#\tfastcgi_pass unix:/run/php/php[0-9.]*-fpm.sock;|\t\tfastcgi_pass unix:/run/php/php8.2-fpm.sock;\n\t}|' \
    /etc/nginx/sites-available/default >/etc/nginx/sites-available/figures
  rm -f /etc/nginx/sites-enabled/default
  ln -sf /etc/nginx/sites-available/figures /etc/nginx/sites-enabled/figures
  # A stock install has no Xdebug (the tests install it): Debian's pool
  # without it, as Vesk's pools are.
  phpdismod -v 8.2 -s fpm xdebug 2>/dev/null || true
  systemctl start php8.2-fpm.service nginx.service >/dev/null 2>&1
  wait_for 5 sh -c '[ "$(curl -s http://127.0.0.1:8080/index.php)" = hello ]' ||
    fail "Debian's stock nginx and php8.2-fpm do not serve the page"
  [ "$(page http://figures.test/)" = hello ] || fail "figures.test"
  [ "$(page http://figures.test/page.html)" = "$(cat /var/www/figures/page.html)" ] || fail "figures.test/page.html"
}

# figures_teardown: Debian's servers stopped and its default site back.
figures_teardown() {
  systemctl stop nginx.service php8.2-fpm.service >/dev/null 2>&1
  [ -f /etc/php/8.2/mods-available/xdebug.ini ] && phpenmod -v 8.2 -s fpm xdebug 2>/dev/null
  rm -f /etc/nginx/sites-enabled/figures /etc/nginx/sites-available/figures
  ln -sf /etc/nginx/sites-available/default /etc/nginx/sites-enabled/default
  rm -rf "$figures" /var/www/figures
}

figures_pss "idle, before the load"

if [ "${VESK_FIGURES:-on}" = off ]; then
  echo "    (a sanitizer's build: no figures)"
elif ! command -v wrk >/dev/null; then
  echo "    (wrk is not installed: no figures)"
else
  figures_setup
  figures_compare
  figures_teardown
fi

if [ "${VESK_FIGURES:-on}" != off ]; then
  # Idle again: the spare workers above three end, about a second each.
  sleep 12
  figures_pss "idle (12 s after the load)"
fi
