#!/usr/bin/env bash
# The main job, inside a booted throw-away systemd machine (see machine.sh):
# what a developer does with the package, each command and its output shown.
# Run twice on one disk: PHASE "first" (install, park, secure), then
# "rebooted" (the same machine booted again: served with nothing typed;
# doctor; uninstall).
#
#   main-job.sh DEB TESTS_DIR PHASE
set -u
deb=$1 tests=$2 phase=$3
. "$tests/e2e/steps.sh"
dev=ada
started=$(date +%s.%N)
# as_dev COMMAND...: typed by the developer in ~/Sites, shown with its output.
as_dev() {
  printf '    %s$ %s\n' "$dev" "$*"
  local out rc
  out=$(runuser -u "$dev" -- env -C "/home/$dev/Sites" "$@" 2>&1); rc=$?
  [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/      /'
  [ $rc -eq 0 ] || fail "$* (exit $rc)"
  return $rc
}
fetch() { # URL EXPECTED: fetched like a browser would, with the system's trust
  local got
  got=$(curl -s --max-time 5 "$1")
  printf '    GET %s: %s\n' "$1" "$got"
  [ "$got" = "$2" ] || fail "$1"
}

if [ "$phase" = first ]; then
  step "install the package (dpkg -i $(basename "$deb"))"
  expect "dpkg -i" dpkg -i "$deb"
  step "a developer account (adduser: home 0700) with sudo, and three projects in ~/Sites"
  adduser --quiet --disabled-password --gecos Ada "$dev"
  chmod 0700 "/home/$dev"
  echo "$dev ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/$dev
  mkdir -p "/home/$dev/Sites/blog/public" "/home/$dev/Sites/shop" "/home/$dev/Sites/docs"
  echo '<?php echo "Hello from blog on PHP " . PHP_VERSION;' >"/home/$dev/Sites/blog/public/index.php"
  echo '<?php echo "shop";' >"/home/$dev/Sites/shop/index.php"
  echo '<h1>docs</h1>' >"/home/$dev/Sites/docs/index.html"
  chown -R "$dev:$dev" "/home/$dev/Sites"
  ls -ld "/home/$dev" | sed 's/^/    /'

  step "sudo vesk install"
  as_dev sudo vesk install
  step "vesk park: every project in ~/Sites is served at <name>.test"
  as_dev vesk park
  as_dev vesk sites
  blog=$(curl -s --max-time 5 http://blog.test/)
  printf '    GET http://blog.test/: %s\n' "$blog"
  case $blog in "Hello from blog on PHP 8.2"*) ;; *) fail "http://blog.test/" ;; esac
  fetch http://shop.test/ shop
  fetch http://docs.test/ "<h1>docs</h1>"
  step "vesk secure blog, sudo vesk trust: HTTPS the system trusts"
  as_dev vesk secure blog
  as_dev sudo vesk trust
  fetch https://blog.test/ "$blog"
  printf '    GET http://blog.test/: %s\n' "$(curl -s -o /dev/null -w '%{http_code} -> %{redirect_url}' http://blog.test/)"
  as_dev vesk status
  step "services: MariaDB and Redis from Debian's packages, kept running for the shop"
  as_dev vesk service start mariadb redis
  as_dev vesk db create shop
  runuser -u "$dev" -- env -C "/home/$dev/Sites/shop" vesk env mariadb redis --write | sed 's/^/    /'
  cat >"/home/$dev/Sites/shop/orders.php" <<'PHP'
<?php
$env = parse_ini_file(__DIR__ . "/.env", false, INI_SCANNER_RAW);
$db = new PDO("mysql:host={$env['DB_HOST']};port={$env['DB_PORT']};dbname=shop", $env['DB_USERNAME'], $env['DB_PASSWORD']);
$db->exec("create table if not exists orders (id int auto_increment primary key, item text)");
$db->exec("insert into orders (item) values ('tea')");
$redis = new Redis();
$redis->connect($env['REDIS_HOST'], (int) $env['REDIS_PORT']);
echo $db->query("select count(*) from orders")->fetchColumn(), " orders, visit ", $redis->incr("visits");
PHP
  chown "$dev:$dev" "/home/$dev/Sites/shop/orders.php"
  printf '    GET http://shop.test/orders.php: %s\n' "$(curl -s --max-time 5 http://shop.test/orders.php)"
  curl -s --max-time 5 http://shop.test/orders.php | grep -q '^2 orders, visit 2$' || fail "the shop's orders page"
  as_dev vesk db snapshot shop --label first-day
  as_dev vesk service status
  step "debugging: a dump from a page, request statistics, a flame graph"
  echo '<?php vesk_dump(["user" => "ada", "roles" => ["admin"]]); echo "dumped";' \
    >"/home/$dev/Sites/shop/dump.php"
  chown "$dev:$dev" "/home/$dev/Sites/shop/dump.php"
  runuser -u "$dev" -- vesk dumps >/tmp/dumps.out 2>&1 &
  dumps=$!
  wait_for 5 test -S /tmp/vesk/vesk-debug.sock
  printf '    %s$ vesk dumps &   (then GET http://shop.test/dump.php: %s)\n' "$dev" \
    "$(curl -s --max-time 5 http://shop.test/dump.php)"
  wait_for 5 grep -q admin /tmp/dumps.out || fail "the dump did not arrive"
  sed 's/^/      /' /tmp/dumps.out
  kill "$dumps"; wait "$dumps" 2>/dev/null
  as_dev vesk stats --range 1h
  printf '%s\n' 'main;App\Kernel::handle;Router::dispatch;BlogController::index;Post::all 60' \
    'main;App\Kernel::handle;Router::dispatch;BlogController::index;View::render 30' \
    'main;App\Kernel::handle;Session::start 10' 'main;bootstrap 15' >/tmp/blog.folded
  as_dev vesk profile import /tmp/blog.folded --label "GET /blog"
  id=$(runuser -u "$dev" -- vesk profile list | awk '{ print $1; exit }')
  as_dev vesk profile show "$id" --svg "/home/$dev/blog-flame.svg"
  printf '    %s frames drawn; it opens in any browser\n' "$(grep -c '<g class="f">' "/home/$dev/blog-flame.svg")"
else
  step "rebooted: served again, nothing typed"
  wait_for 20 sh -c '[ "$(curl -s --max-time 2 http://docs.test/)" = "<h1>docs</h1>" ]'
  journalctl -b -u com.vesk.servers.service --no-pager -o cat | sed 's/^/    journal: /'
  fetch http://docs.test/ "<h1>docs</h1>"
  fetch http://shop.test/ shop
  curl -s --max-time 5 https://blog.test/ | grep -q '^Hello from blog' || fail "https://blog.test/"
  printf '    GET https://blog.test/: %s\n' "$(curl -s --max-time 5 https://blog.test/)"
  as_dev vesk status
  wait_for 30 runuser -u "$dev" -- vesk service status mariadb redis >/dev/null
  fetch http://shop.test/orders.php "3 orders, visit 3"
  as_dev vesk db snapshots
  step "vesk doctor"
  as_dev vesk doctor
  step "sudo vesk uninstall, then remove the package"
  as_dev sudo vesk uninstall
  expect "dpkg -r" dpkg -r vesk
  printf '    /etc/nsswitch.conf %s\n' "$(grep '^hosts:' /etc/nsswitch.conf)"
fi

awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "this boot took %.1f s in the machine\n", e - s }'
[ $failed -eq 0 ] && echo "vesk main job ($phase): passed" || echo "vesk main job ($phase): FAILED"
exit $failed
