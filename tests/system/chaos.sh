# Sourced by services-day.sh: every server the supervisor keeps killed with
# SIGKILL at once, three rounds in a row. nginx's master is root's (the helper
# started it): the supervisor is not its parent. Each round must be served
# again within its back-off (5, 15, 45 s, and a few seconds to start seven
# servers: the mail catcher among them), and a probe that asks a PHP site every tenth of a second says how
# long requests failed.
run=/usr/local/vesk/run
service_pid() { # KIND
  vesk_dev service status "$1" --json | python3 -c 'import json, sys; print(json.load(sys.stdin)[0].get("pid", ""))'
}
all_pids() {
  echo "nginx=$(cat $run/nginx.pid) php=$(cat $run/php-fpm-8.2.pid) dnsmasq=$(cat $run/dnsmasq.pid)" \
    "mariadb=$(service_pid mariadb) postgresql=$(service_pid postgresql) redis=$(service_pid redis)" \
    "mail=$(pgrep -u "$dev" -f '^/usr/libexec/vesk/vesk-mail-catcher' | head -n 1)"
}
# Every one runs on a pid other than its killed one, and the sites answer.
all_back() { # PIDS-BEFORE
  local now name pid
  now=$(all_pids)
  for entry in $1; do
    name=${entry%%=*} pid=${entry#*=}
    case " $now " in *" $name=$pid "*) return 1 ;; *" $name= "*) return 1 ;; esac
  done
  kill -0 "$(cat $run/nginx.pid)" 2>/dev/null && kill -0 "$(cat $run/dnsmasq.pid)" 2>/dev/null || return 1
  ss -Hltn 'sport = :2525' | grep -q 127.0.0.1:2525 &&
    [ "$(curl -s --max-time 1 http://shop.test/)" = shop ] &&
    [ "$(curl -s --max-time 2 http://laravel.test/)" = "mariadb 42, postgresql 42, redis ok" ]
}
probe_log=/tmp/chaos-probe.log
(while :; do
  echo "$(date +%s%3N) $(curl -s -o /dev/null -w '%{http_code}' --max-time 1 http://shop.test/)"
  sleep 0.1
done) >"$probe_log" 2>/dev/null &
probe=$!
round=0
for backoff in 5 15 45; do
  round=$((round + 1))
  before=$(all_pids)
  t0=$(date +%s%3N)
  for entry in $before; do kill -9 "${entry#*=}" 2>/dev/null; done
  echo "$t0 round$round" >>"$probe_log.marks"
  limit=$((backoff + 20))
  if wait_for "$limit" all_back "$before"; then
    echo "    round $round: all seven killed, all serving again after $(( ($(date +%s%3N) - t0) / 1000 )).$(( ($(date +%s%3N) - t0) % 1000 / 100 )) s (back-off ${backoff} s)"
  else
    fail "round $round: not all serving again within ${limit} s: $(all_pids) (killed: $before)"
    vesk_dev status 2>&1 | sed 's/^/    | /'
  fi
done
kill "$probe"; wait "$probe" 2>/dev/null
# The longest run of failed requests in each round.
python3 - "$probe_log" "$probe_log.marks" <<'PY'
import sys
lines = [l.split() for l in open(sys.argv[1]) if len(l.split()) == 2]
marks = [int(l.split()[0]) for l in open(sys.argv[2])]
for i, start in enumerate(marks):
    end = marks[i + 1] if i + 1 < len(marks) else float("inf")
    longest, since = 0, None
    for t, code in ((int(t), c) for t, c in lines if start <= int(t) < end):
        if code != "200":
            since = t if since is None else since
            longest = max(longest, t - since)
        else:
            since = None
    print("    round %d: the longest run of failed requests to shop.test lasted %.1f s" % (i + 1, longest / 1000))
PY
rm -f "$probe_log" "$probe_log.marks"
out=$(vesk_dev status 2>&1)
for server in nginx "php 8.2" dnsmasq mail; do
  # Three at least: a start the supervisor makes while the killed server's
  # last moments still hold its port may fail and count once more.
  echo "$out" | grep -q "$server: [A-Za-z]*, [3-9] crashes" ||
    fail "vesk status does not show $server's three crashes"
done
echo "$out" | grep 'crashes' | sed 's/^/    | /'
for kind in mariadb postgresql redis; do
  crashes=$(vesk_dev service status "$kind" --json | python3 -c '
import json, sys
h = json.load(sys.stdin)[0]["health"]
print(h["crashCount"], ",".join(str(c.get("signal")) for c in h["recentCrashes"]), h["status"])')
  [ "${crashes%% *}" = 3 ] || fail "$kind: $crashes (three crashes by signal 9 expected)"
  printf '    %-10s crashes: %s\n' "$kind" "$crashes"
done
