# Sourced by developer.sh (first day): a queue worker for the Laravel-shaped
# project of services-day.sh, whose artisan is a stand-in that prints
# Laravel's job lines (one job a second, every fourth fails) and can be told
# to crash. Kept running after kill -9 and after a crash, its jobs counted
# as they were printed; the reboot brings it back (developer.sh).
step "a queue worker: kept running, its jobs counted, back after kill -9 and after a crash"
cat >"$app/artisan" <<'PHP'
<?php
// A stand-in for Laravel's artisan: queue:work prints its job lines.
if (($argv[1] ?? "") !== "queue:work") { echo "artisan stand-in\n"; exit(0); }
echo "   INFO  Processing jobs from the [default] queue.\n\n";
for ($n = 1; ; $n++) {
    file_put_contents(__DIR__ . "/jobs.log", ($n % 4 == 0 ? "FAIL" : "DONE") . "\n", FILE_APPEND);
    echo "  " . date("Y-m-d H:i:s") . " App\\Jobs\\Job$n ........ RUNNING\n";
    echo "  " . date("Y-m-d H:i:s") . " App\\Jobs\\Job$n ... 1.00ms " . ($n % 4 == 0 ? "FAIL" : "DONE") . "\n";
    if (file_exists(__DIR__ . "/crash")) { unlink(__DIR__ . "/crash"); fwrite(STDERR, "told to crash\n"); exit(3); }
    sleep(1);
}
PHP
chown "$dev:$dev" "$app/artisan"
expect "vesk worker add laravel" vesk_dev worker add laravel
worker_json() { vesk_dev worker list --json | python3 -c "import json,sys; w=json.load(sys.stdin)[0]; print(w.get('pid',''), w['status'], w['jobsProcessed'], w['jobsFailed'])"; }
worker_pid() { worker_json | awk '{ print $1 }'; }
wait_for 10 sh -c "runuser -u $dev -- vesk worker list --json | grep -q '\"jobsProcessed\": [2-9]'" ||
  fail "the worker does not run: $(worker_json)"
expect "vesk worker list" vesk_dev worker list
[ "$(ps -o user= -p "$(worker_pid)")" = "$dev" ] || fail "the worker does not run as $dev"
before=$(worker_pid) t0=$(date +%s%3N)
kill -9 "$before"
wait_for 15 sh -c "p=\$(runuser -u $dev -- vesk worker list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[0].get(\"pid\",\"\"))'); [ -n \"\$p\" ] && [ \"\$p\" != $before ]" ||
  fail "the worker is not running again after kill -9: $(worker_json)"
echo "    killed with -9: running again after $(( ($(date +%s%3N) - t0) / 100 ))00 ms (back-off 5 s)"
touch "$app/crash"
t0=$(date +%s%3N) before=$(worker_pid)
wait_for 25 sh -c "p=\$(runuser -u $dev -- vesk worker list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[0].get(\"pid\",\"\"))'); [ -n \"\$p\" ] && [ \"\$p\" != $before ]" ||
  fail "the worker is not running again after its crash: $(worker_json)"
echo "    crashed (exit 3): running again after $(( ($(date +%s%3N) - t0) / 100 ))00 ms (back-off 15 s)"
vesk_dev status | grep 'worker' | sed 's/^/    | /'
vesk_dev status | grep -q 'worker [0-9A-F]*: [A-Za-z]*, 2 crashes, last .*exit status 3: told to crash' ||
  fail "vesk status does not show the worker's crash with its last line"
expect "vesk worker stop laravel" vesk_dev worker stop laravel
wait_for 10 sh -c "[ \"\$(runuser -u $dev -- vesk worker list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[0][\"status\"])')\" = stopped ]" ||
  fail "the stopped worker is not stopped: $(worker_json)"
read -r _ status done_ failed_ <<<"$(worker_json | sed 's/^ /- /')"
printed_done=$(grep -c DONE "$app/jobs.log") printed_failed=$(grep -c FAIL "$app/jobs.log")
echo "    counted $done_ done and $failed_ failed; the worker printed $printed_done and $printed_failed"
[ "$done_ $failed_" = "$printed_done $printed_failed" ] || fail "the counts are not the job lines printed"
expect "vesk worker start laravel" vesk_dev worker start laravel
wait_for 10 sh -c "[ -n \"\$(runuser -u $dev -- vesk worker list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[0].get(\"pid\",\"\"))')\" ]" ||
  fail "the worker did not start again"
