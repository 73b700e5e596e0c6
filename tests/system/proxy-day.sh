# Sourced by developer.sh (first day): a Node.js server of the developer's,
# HTTP and a WebSocket, served at https://api.test/ through vesk proxy;
# targets on another machine refused without --any-host. The figures: the
# same server asked directly and through Vesk's nginx, in this run.
step "vesk proxy: a Node.js server with a WebSocket at https://api.test/"
as_dev cp "$tests/system/proxy/echo-server.js" "/home/$dev/echo-server.js"
runuser -u "$dev" -- env PORT=3000 node "/home/$dev/echo-server.js" & node_server=$!
wait_for 5 sh -c 'curl -s http://127.0.0.1:3000/ | grep -q hello' || fail "the Node.js server does not answer"
expect_fails "vesk proxy to another machine" 1 vesk_dev proxy far http://10.1.2.3:8080
vesk_dev proxy far http://10.1.2.3:8080 2>&1 | grep -q 'unless you add --any-host' || fail "the refusal does not say how"
expect_fails "vesk proxy to a URL that would end a directive" 1 vesk_dev proxy bad 'http://127.0.0.1:3000/;return'
expect "vesk proxy api 3000 --secure" vesk_dev proxy api 3000 --secure
expect "vesk proxy plainapi 3000" vesk_dev proxy plainapi 3000
got=$(page --cacert "$ca" https://api.test/)
printf '    https://api.test/: %s\n' "$got"
[ "$got" = "hello from node, host api.test" ] || fail "https://api.test/ does not reach the Node.js server ($got)"
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://api.test/)" = 301 ] || fail "http://api.test/ is not sent to HTTPS"
echo=$(/usr/bin/python3 "$tests/system/proxy/ws-echo.py" api.test 443 api.test tls 20 "$ca") ||
  fail "no WebSocket echo through https://api.test/"
echo "    a WebSocket echo through wss://api.test/: 20 frames back, median $echo ms"
vesk_dev sites | grep 'api.test' | sed 's/^/    | /'
vesk_dev sites | grep -q '^https://api.test/ .*proxy -> http://127.0.0.1:3000' || fail "vesk sites does not show the proxy"
vesk_dev proxies | sed 's/^/    | /'

if [ "${VESK_FIGURES:-on}" != off ] && command -v wrk >/dev/null; then
  p50() { wrk -t 1 -c 1 -d "${FIGURES_SECONDS:-2}" --latency "$1" 2>&1 | awk '
    / +50%/ { v = $2; if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 } else if (v ~ /ms$/) { sub(/ms$/, "", v) } else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 }; printf "%.3f", v }'; }
  p50 http://plainapi.test/ >/dev/null
  : >/tmp/proxy-figures.txt
  for round in 1 2 3 4 5; do
    echo "direct $(p50 http://127.0.0.1:3000/) $(/usr/bin/python3 "$tests/system/proxy/ws-echo.py" 127.0.0.1 3000 127.0.0.1 plain 2000)" >>/tmp/proxy-figures.txt
    echo "proxied $(p50 http://plainapi.test/) $(/usr/bin/python3 "$tests/system/proxy/ws-echo.py" 127.0.0.1 80 plainapi.test plain 2000)" >>/tmp/proxy-figures.txt
  done
  # Debian's own nginx, stock, with the proxy block people write by hand,
  # in the same run.
  cat >/etc/nginx/sites-enabled/handproxy <<'CONF'
server {
    listen 127.0.0.1:8090;
    location / {
        proxy_pass http://127.0.0.1:3000;
        proxy_http_version 1.1;
        proxy_set_header Upgrade $http_upgrade;
        proxy_set_header Connection "upgrade";
        proxy_set_header Host $host;
    }
}
CONF
  rm -f /etc/nginx/sites-enabled/default
  if systemctl start nginx.service >/dev/null 2>&1 && wait_for 5 sh -c 'curl -s http://127.0.0.1:8090/ | grep -q hello'; then
    for round in 1 2 3 4 5; do
      echo "hand $(p50 http://127.0.0.1:8090/) $(/usr/bin/python3 "$tests/system/proxy/ws-echo.py" 127.0.0.1 8090 127.0.0.1 plain 2000)" >>/tmp/proxy-figures.txt
    done
  fi
  systemctl stop nginx.service >/dev/null 2>&1
  rm -f /etc/nginx/sites-enabled/handproxy
  ln -sf /etc/nginx/sites-available/default /etc/nginx/sites-enabled/default
  sort -k1,1 -k2n /tmp/proxy-figures.txt | awk '
    { http[$1] = http[$1] " " $2; ws[$1] = ws[$1] " " $3 }
    function median(list,   a, n) { n = split(list, a, " "); asort(a); return a[int((n + 1) / 2)] }
    END {
      hd = median(http["direct"]); hp = median(http["proxied"]); wd = median(ws["direct"]); wp = median(ws["proxied"])
      hh = median(http["hand"]); wh = median(ws["hand"])
      printf "    figure: HTTP p50: direct %.3f ms, through Vesk %.3f ms: %.2fx", hd, hp, hp / hd
      if (hh) printf "; Debian nginx with a hand-written block %.3f ms: %.2fx", hh, hh / hd
      printf "\n    figure: WebSocket echo round trip (median): direct %.3f ms, through Vesk %.3f ms: %.2fx", wd, wp, wp / wd
      if (wh) printf "; the hand-written block %.3f ms: %.2fx", wh, wh / wd
      printf "\n" }'
fi
expect "vesk unproxy plainapi" vesk_dev unproxy plainapi
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://plainapi.test/)" = 404 ] || fail "an unproxied site still forwards"
kill "$node_server" 2>/dev/null; wait "$node_server" 2>/dev/null || true

step "vesk node start: a parked Node.js project's own server, kept running"
app_dir="/home/$dev/code/nodeapp"
mkdir -p "$app_dir"
cp "$tests/system/proxy/echo-server.js" "$app_dir/server.js"
echo '{"name":"nodeapp","scripts":{"start":"node server.js"},"engines":{"node":">=14"}}' >"$app_dir/package.json"
chown -R "$dev:$dev" "$app_dir"
expect "vesk node start nodeapp" vesk_dev node start nodeapp
got=$(page http://nodeapp.test/)
printf '    http://nodeapp.test/: %s\n' "$got"
[ "$got" = "hello from node, host nodeapp.test" ] || fail "nodeapp.test does not reach its Node.js server ($got)"
port=$(vesk_dev node list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["port"])')
echo=$(/usr/bin/python3 "$tests/system/proxy/ws-echo.py" 127.0.0.1 80 nodeapp.test plain 20) ||
  fail "no WebSocket echo through nodeapp.test"
echo "    port $port, a WebSocket echo through ws://nodeapp.test/: median $echo ms"
node_pid=$(ss -Hltnp "sport = :$port" | grep -o 'pid=[0-9]*' | head -1 | cut -d= -f2)
[ "$(ps -o user= -p "$node_pid")" = "$dev" ] || fail "the Node.js server does not run as $dev"
kill -9 "$node_pid"
wait_for 20 sh -c '[ "$(curl -s --max-time 2 http://nodeapp.test/)" = "hello from node, host nodeapp.test" ]' ||
  fail "the Node.js server is not running again after kill -9"
echo "    killed with -9: serving again"
vesk_dev status | grep '^node ' | sed 's/^/    | /'
vesk_dev sites | grep -q 'nodeapp.test/ .*Node.js server on port' || fail "vesk sites does not show the Node.js server"
expect "vesk node stop nodeapp" vesk_dev node stop nodeapp
wait_for 10 sh -c "! ss -Hltn 'sport = :$port' | grep -q ." || fail "the stopped Node.js server still listens"

step "vesk docker: a container labelled vesk.domain becomes a served site, where Docker runs"
out=$(vesk_dev docker 2>&1); rc=$?
if [ $rc -ne 0 ]; then
  # No Docker, or no daemon this developer may use: one line says so.
  [ $rc -eq 1 ] && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "vesk docker without Docker: exit $rc, $out"
  echo "    skipped: this machine cannot run Docker containers (a container of its own, no daemon); vesk docker says: $out"
elif ! command -v busybox >/dev/null; then
  echo "    skipped: Docker runs, but busybox-static is not installed to make a container from"
else
  root=$(mktemp -d) && mkdir -p "$root/bin" "$root/www" && cp "$(command -v busybox)" "$root/bin/busybox"
  echo "docker shop" >"$root/www/index.html"
  tar -C "$root" -c . | docker import - vesk-busybox:test >/dev/null
  docker run -d --name vesk-shop -l vesk.domain=dockershop.test -l vesk.port=8080 -p 127.0.0.1:18080:8080 \
    vesk-busybox:test /bin/busybox httpd -f -p 8080 -h /www >/dev/null
  vesk_dev docker | sed 's/^/    | /'
  expect "vesk docker sync" vesk_dev docker sync
  wait_for 10 sh -c '[ "$(curl -s --max-time 2 http://dockershop.test/)" = "docker shop" ]' || fail "dockershop.test does not reach the container"
  docker rm -f vesk-shop >/dev/null
  expect "vesk docker sync, the container gone" vesk_dev docker sync
  [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://dockershop.test/)" = 404 ] || fail "a gone container's site is still served"
  rm -rf "$root"
fi
