# Sourced by developer.sh (first day): a real Vite project (vite from the npm
# registry, cached by the test set-up: the machine has no network) served
# with vesk vite at https://viteapp.test/; headless Chromium, driven through
# the DevTools protocol, runs its module, opens the hot-reload WebSocket at
# the page's own origin and sees a stylesheet change without a reload.
step "vesk vite: a Vite project at https://viteapp.test/, hot reload in Chromium"
modules="$debs/npm/node_modules"
if [ ! -d "$modules/vite" ] || [ ! -d "$modules/puppeteer-core" ]; then
  echo "    skipped: vite and puppeteer-core are not cached in $debs/npm (no npm registry at set-up)"
else
  proj="/home/$dev/code/viteapp"
  mkdir -p "$proj/src"
  echo '{"name":"viteapp","private":true,"type":"module","scripts":{"dev":"vite"},"devDependencies":{"vite":"*"}}' >"$proj/package.json"
  cat >"$proj/index.html" <<'HTML'
<!doctype html>
<html><head><meta charset="utf-8"><link rel="icon" href="data:,"><title>viteapp</title></head>
<body><h1>viteapp</h1><div id="app"></div><script type="module" src="/src/main.js"></script></body></html>
HTML
  printf 'import "./style.css";\ndocument.querySelector("#app").textContent = "vite works";\n' >"$proj/src/main.js"
  echo 'h1 { color: rgb(255, 0, 0); }' >"$proj/src/style.css"
  cp -a "$modules" "$proj/node_modules"
  chown -R "$dev:$dev" "$proj"
  expect "vesk secure viteapp" vesk_dev secure viteapp
  t0=$(date +%s%3N)
  expect "vesk vite viteapp" vesk_dev vite viteapp
  wait_for 60 sh -c "curl -sf --max-time 2 --cacert '$ca' https://viteapp.test/src/main.js | grep -q 'vite works'" ||
    fail "https://viteapp.test/src/main.js is not Vite's module: $(curl -s --cacert "$ca" https://viteapp.test/src/main.js | head -c 200)"
  echo "    figure: from vesk vite to the first module served through the site: $(( $(date +%s%3N) - t0 )) ms"
  page=$(curl -s --cacert "$ca" https://viteapp.test/)
  echo "$page" | grep -q '/@vite/client' || fail "the page is not Vite's: $(echo "$page" | head -c 200)"
  echo "$page" | grep -q 'Blocked request' && fail "Vite refuses the site's name"
  vesk_dev sites | grep 'viteapp.test' | sed 's/^/    | /'
  got=$(as_dev env NODE_PATH="$modules" timeout 90 node "$tests/system/vite/browser.js" https://viteapp.test/ "$proj/src/style.css")
  echo "    chromium: $got"
  echo "$got" | python3 -c '
import json, sys
r = json.load(sys.stdin)
problems = []
if not r.get("moduleRan"): problems.append("the module script did not run")
if 101 not in r.get("sockets", []): problems.append("the HMR WebSocket did not open")
if not r.get("socketURL", "").startswith("wss://viteapp.test"): problems.append("the HMR WebSocket is not at the page origin: %s" % r.get("socketURL"))
if r.get("after") != "rgb(0, 128, 0)": problems.append("the stylesheet change did not reach the page")
if r.get("reloaded", True): problems.append("the page was reloaded")
if r.get("errors"): problems.append("console errors: %s" % r["errors"])
print("; ".join(problems)); sys.exit(1 if problems else 0)' >/tmp/vite-problems || fail "in Chromium: $(cat /tmp/vite-problems)"
  expect "vesk vite stop viteapp" vesk_dev vite stop viteapp
fi
