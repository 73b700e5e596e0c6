# Sourced by developer.sh (first day): the developer's services from
# Debian's packages, a Laravel-shaped project that talks to all three, the
# figures against the same programs started by hand and against Debian's own
# services, and the supervisor under kill -9 of every server it keeps.
data="/home/$dev/Library/Application Support/Vesk"

step "vesk service start mariadb postgresql redis, run by the boot unit's supervisor"
[ "$(systemctl show -p ActiveState --value com.vesk.servers.service)" = active ] ||
  fail "the boot unit's supervisor does not run"
wait_for 10 sh -c "[ \"\$(pgrep -u $dev -fc 'vesk supervise')\" = 1 ]" ||
  fail "not one supervisor: $(pgrep -u "$dev" -fa 'vesk supervise')"
expect "vesk service start" vesk_dev service start mariadb postgresql redis
expect "vesk service list" vesk_dev service list
for port in 3361 5440 6380; do
  ss -Hltn "sport = :$port" | awk '{ print $4 }' | grep -qv '^127\.0\.0\.1:' && fail "port $port listens beyond the loopback"
  [ "$(ss -Hltn "sport = :$port" | wc -l)" -ge 1 ] || fail "nothing listens on $port"
done
ps -o user= -C mariadbd,redis-server,postgres | sort -u | grep -qv "^$dev\$" && fail "a service runs as another account"
expect "vesk db create laravel" vesk_dev db create laravel

step "a parked Laravel-shaped project reads its .env and talks to all three"
app="/home/$dev/code/laravel"
mkdir -p "$app/public" "$app/database"
touch "$app/artisan"
echo '{"require": {"laravel/framework": "^11.0"}}' >"$app/composer.json"
printf 'APP_NAME=Laravel\n# the database\nDB_CONNECTION=sqlite\nDB_HOST=127.0.0.1\nDB_PORT=3306\n' >"$app/.env"
cat >"$app/public/index.php" <<'PHP'
<?php
$env = parse_ini_file(__DIR__ . "/../.env", false, INI_SCANNER_RAW);
$pgEnv = parse_ini_file(__DIR__ . "/../database/.env", false, INI_SCANNER_RAW);
$db = new PDO("mysql:host={$env['DB_HOST']};port={$env['DB_PORT']};dbname={$env['DB_DATABASE']}",
    $env['DB_USERNAME'], $env['DB_PASSWORD']);
$pg = new PDO("pgsql:host={$pgEnv['DB_HOST']};port={$pgEnv['DB_PORT']};dbname={$pgEnv['DB_DATABASE']}",
    $pgEnv['DB_USERNAME'], $pgEnv['DB_PASSWORD']);
$redis = new Redis();
$redis->connect($env['REDIS_HOST'], (int) $env['REDIS_PORT']);
$redis->incr('visits');
echo "mariadb ", $db->query("select 6*7")->fetchColumn(), ", postgresql ",
    $pg->query("select 6*7")->fetchColumn(), ", redis ", $redis->get('visits') > 0 ? "ok" : "no";
PHP
chown -R "$dev:$dev" "$app"
expect "vesk env mariadb redis --write" runuser -u "$dev" -- env -C "$app" vesk env mariadb redis --write
expect "vesk env postgresql --write database" runuser -u "$dev" -- env -C "$app" vesk env postgresql --write database
grep -q '^APP_NAME=Laravel$' "$app/.env" && grep -q '^# the database$' "$app/.env" || fail "vesk env --write lost the project's own lines"
grep -q '^DB_PORT=3361$' "$app/.env" || fail "DB_PORT is not MariaDB's"
[ -f "$app/.env.before-vesk" ] || fail "the old .env is not kept"
got=$(page http://laravel.test/)
printf '    http://laravel.test/: %s\n' "$got"
[ "$got" = "mariadb 42, postgresql 42, redis ok" ] || fail "the Laravel-shaped page does not reach the three ($got)"

# The figures are measured in the default build only (not under the sanitizers).
if [ "${VESK_FIGURES:-on}" != off ]; then
step "figures: from vesk service start to the first accepted connection, against the same program by hand"
# Until a TCP connection on 127.0.0.1:PORT is accepted, after COMMAND started; milliseconds.
first_connection() { # PORT COMMAND...
  local port=$1; shift
  python3 - "$port" "$@" <<'PY'
import socket, subprocess, sys, time
port, cmd = int(sys.argv[1]), sys.argv[2:]
t0 = time.monotonic()
p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
while True:
    s = socket.socket()
    try:
        s.connect(("127.0.0.1", port)); break
    except OSError:
        if time.monotonic() - t0 > 60: print("timeout"); sys.exit(1)
        time.sleep(0.002)
    finally:
        s.close()
print("%.1f" % ((time.monotonic() - t0) * 1000))
if cmd[0].endswith("vesk"):
    p.wait()
else:
    # Ended outright: by hand, MariaDB may not heed SIGTERM this early.
    p.kill(); p.wait()
PY
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for kind in mariadb postgresql redis; do
  case $kind in
    mariadb) port=3361; by_hand=(/usr/sbin/mariadbd "--defaults-file=$data/config/services/mariadb.conf") ;;
    postgresql) port=5440; by_hand=(/usr/lib/postgresql/15/bin/postgres -D "$data/data/postgresql" -c "config_file=$data/config/services/postgresql.conf") ;;
    redis) port=6380; by_hand=(/usr/bin/redis-server "$data/config/services/redis.conf") ;;
  esac
  vesk_runs=() hand_runs=()
  for _ in 1 2 3; do
    vesk_dev service stop "$kind" >/dev/null
    vesk_runs+=("$(as_dev bash -c "$(declare -f first_connection); first_connection $port vesk service start $kind")")
  done
  vesk_dev service stop "$kind" >/dev/null
  for _ in 1 2 3; do
    hand_runs+=("$(as_dev bash -c "$(declare -f first_connection); cd '$data/data/$kind' && first_connection $port $(printf '%q ' "${by_hand[@]}")")")
    wait_for 10 sh -c "! ss -Hltn 'sport = :$port' | grep -q ."
    # Killed outright, PostgreSQL's children outlive it a moment, holding
    # its shared memory: the next start would refuse the data directory.
    wait_for 10 sh -c "! pgrep -u $dev -x '$(basename "${by_hand[0]}")' >/dev/null"
  done
  v=$(printf '%s\n' "${vesk_runs[@]}" | median) h=$(printf '%s\n' "${hand_runs[@]}" | median)
  awk -v k="$kind" -v v="$v" -v h="$h" 'BEGIN { printf "    %-10s vesk service start %7.1f ms, by hand %7.1f ms: %.2fx\n", k, v, h, v / h }'
  expect "vesk service start $kind" vesk_dev service start "$kind"
done

step "figures: resident memory of each idle instance against Debian's own service, stock configuration"
tree_rss() { # PID: the resident kilobytes of it and its descendants
  local pids=$1 all=$1 next
  while [ -n "$pids" ]; do
    next=$(for p in $pids; do pgrep -P "$p"; done | paste -sd' ')
    all="$all $next"; pids=$next
  done
  ps -o rss= -p "$(echo $all | tr ' ' ',')" | awk '{ s += $1 } END { print s }'
}
sleep 5
for pair in mariadb:mariadb.service postgresql:postgresql@15-main.service redis:redis-server.service; do
  kind=${pair%%:*} unit=${pair#*:}
  pid=$(vesk_dev service status "$kind" --json | python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["pid"])')
  ours=$(tree_rss "$pid")
  if systemctl start "$unit" 2>/dev/null; then
    sleep 5
    theirs=$(tree_rss "$(systemctl show -p MainPID --value "$unit")")
    systemctl stop "$unit"
    awk -v k="$kind" -v o="$ours" -v t="$theirs" -v u="$unit" 'BEGIN { printf "    %-10s Vesk %6.1f MB, Debian'"'"'s %s %6.1f MB: %.2fx\n", k, o / 1024, u, t / 1024, o / t }'
  else
    printf '    %-10s Vesk %6.1f MB (%s did not start)\n' "$kind" "$(awk -v o="$ours" 'BEGIN { print o / 1024 }')" "$unit"
  fi
done

step "figures: vesk service status with four services against /bin/true"
expect "vesk service start mysql" vesk_dev service start mysql
as_dev python3 - <<'PY'
import subprocess, time
def per_run(cmd, n=200):
    t0 = time.perf_counter()
    for _ in range(n):
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - t0) / n * 1000
status = per_run(["vesk", "service", "status", "mariadb", "mysql", "postgresql", "redis"])
true = per_run(["/bin/true"])
print("    vesk service status (four services) %.2f ms, /bin/true %.2f ms: %.1fx" % (status, true, status / true))
PY
expect "vesk service status" vesk_dev service status

fi
expect "vesk service start mysql" vesk_dev service start mysql

step "kill -9, three times in a row, of nginx's master (root's), a PHP-FPM master, dnsmasq and each service"
. "$tests/system/chaos.sh"
