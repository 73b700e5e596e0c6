#!/usr/bin/env bash
# Flame graphs as people look at them: vesk imports folded stacks and draws
# them; the SVG must parse as XML with rectangles as wide as the frames'
# times and its texts escaped, and in headless Chromium its script must run
# without errors, a click must zoom, a search must report the matched share,
# and a screenshot must not be blank. Exit 77 without Chromium.
#
#   flamegraph-test.sh VESK
set -u
vesk=$1
command -v chromium >/dev/null || { echo "flame graph test: no chromium here; skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work VESK_BASE=$work/no-environment
failed=0
fail() { printf 'FAILED: %s\n' "$*"; failed=1; }

printf '%s\n' 'main;load;parse 30' 'main;load;read 10' 'main;render 50' 'main 5' \
  'main;<b>&"quoted"</b> 7' 'not a stack line' >"$work/stacks.txt"
"$vesk" profile import "$work/stacks.txt" --label "a <run>" >/dev/null || fail "import"
id=$("$vesk" profile list | awk '{ print $1; exit }')
"$vesk" profile show "$id" --svg "$work/a.svg" >/dev/null || fail "show"

python3 - "$work/a.svg" <<'PY' || failed=1
import sys, xml.etree.ElementTree as ET
ns = {"s": "http://www.w3.org/2000/svg"}
root = ET.parse(sys.argv[1]).getroot()
frames = {}
for g in root.findall(".//s:g[@class='f']", ns):
    name = g.find("s:title", ns).text.split("\n")[0]
    frames[name] = float(g.find("s:rect", ns).get("width"))
full = float(root.get("width")) - 20
want = {"main": 102, "load": 40, "parse": 30, "read": 10, "render": 50, '<b>&"quoted"</b>': 7}
bad = [n for n, t in want.items() if n not in frames or abs(frames[n] - full * t / 102) > 0.02]
if bad or len(frames) != len(want):
    print("FAILED: frame widths", frames); sys.exit(1)
print("flame graph: %d frames, widths match their times, texts escaped" % len(frames))
PY

# A driver appended to a copy: records script errors, clicks "load",
# searches "parse", and writes what it saw on the root element.
driver=$work/driver.svg
sed -e 's|<svg version="1.1"|<svg onerror="" version="1.1"|' "$work/a.svg" |
  sed -e '0,/<script type="text\/ecmascript"><!\[CDATA\[/s//<script type="text\/ecmascript"><![CDATA[window.onerror = function (m) { document.documentElement.setAttribute("data-error", String(m)); };\n/' |
  sed -e 's|</svg>||' >"$driver"
cat >>"$driver" <<'JS'
<script type="text/ecmascript"><![CDATA[
window.addEventListener("load", function () {
  var root = document.documentElement, byName = {};
  var gs = document.getElementsByClassName("f");
  for (var i = 0; i < gs.length; i++) byName[gs[i].vf.name] = gs[i];
  byName["load"].dispatchEvent(new MouseEvent("click", {bubbles: true}));
  root.setAttribute("data-zoomed-width", byName["load"].getElementsByTagName("rect")[0].getAttribute("width"));
  root.setAttribute("data-parse-width", byName["parse"].getElementsByTagName("rect")[0].getAttribute("width"));
  root.setAttribute("data-render-display", byName["render"].style.display);
  search("pars");
  root.setAttribute("data-done", "yes");
});
]]></script>
</svg>
JS
dom=$(timeout 60 chromium --headless=new --no-sandbox --disable-gpu --virtual-time-budget=3000 \
  --dump-dom "file://$driver" 2>/dev/null)
attr() { echo "$dom" | tr ' ' '\n' | sed -n "s/^$1=\"\([^\"]*\)\".*/\1/p" | head -n 1; }
[ "$(attr data-done)" = yes ] || fail "the driver did not run: $(echo "$dom" | head -c 300)"
[ -z "$(attr data-error)" ] || fail "script error: $(attr data-error)"
[ "$(attr data-zoomed-width)" = "1180.00" ] || fail "a click on load zoomed it to $(attr data-zoomed-width), not 1180.00"
near() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && (a - b) ^ 2 < 0.0025) }'; }
near "$(attr data-parse-width)" 885 || fail "parse is $(attr data-parse-width) wide after the zoom, not 885 (30/40 of it)"
[ "$(attr data-render-display)" = none ] || fail "render is still shown after zooming into load"
[ "$(attr data-matched)" = "29.41" ] || fail "searching parse matched $(attr data-matched)%, not 29.41%"
echo "chromium: the script ran, a click zoomed, a search matched $(attr data-matched)%"

timeout 60 chromium --headless=new --no-sandbox --disable-gpu --hide-scrollbars \
  --window-size=1200,200 --screenshot="$work/shot.png" "file://$work/a.svg" >/dev/null 2>&1
python3 - "$work/shot.png" <<'PY' || failed=1
import sys, zlib, struct
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
pos, idat = 8, b""
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    if kind == b"IDAT": idat += data[pos + 8:pos + 8 + n]
    pos += 12 + n
colours = len(set(zlib.decompress(idat)))
if colours < 40:
    print("FAILED: the screenshot is blank (%d byte values)" % colours); sys.exit(1)
print("screenshot: %d distinct byte values" % colours)
PY
[ $failed -eq 0 ] && echo "flame graph test: passed"
exit $failed
