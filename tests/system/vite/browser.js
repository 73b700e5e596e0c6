// Headless Chromium, through the DevTools protocol (puppeteer-core), at a
// page Vite serves through the site: the module script runs, the hot-reload
// WebSocket opens at the page's own origin, a change to the stylesheet
// reaches the page without a reload, and the console shows no error.
//   node browser.js URL STYLESHEET
const fs = require("fs");
const puppeteer = require("puppeteer-core");

(async () => {
  const [url, stylesheet] = process.argv.slice(2);
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--headless=new"],
  });
  const result = { errors: [], sockets: [] };
  try {
    const page = await browser.newPage();
    page.on("console", (m) => { if (m.type() === "error") result.errors.push(m.text()); });
    page.on("pageerror", (e) => result.errors.push(String(e)));
    page.on("requestfailed", (r) => result.errors.push("failed: " + r.url() + " " + r.failure().errorText));
    const cdp = await page.createCDPSession();
    await cdp.send("Network.enable");
    cdp.on("Network.webSocketHandshakeResponseReceived", (e) => result.sockets.push(e.response.status));
    cdp.on("Network.webSocketCreated", (e) => { result.socketURL = e.url; });
    await page.goto(url, { waitUntil: "networkidle0", timeout: 30000 });
    await page.waitForFunction(() => document.querySelector("#app")?.textContent === "vite works",
      { timeout: 15000 });
    result.moduleRan = true;
    await page.waitForFunction(() => true);
    for (let i = 0; i < 50 && !result.sockets.includes(101); i++) await new Promise((r) => setTimeout(r, 100));
    await page.evaluate(() => { window.vesk_marker = 42; });
    result.before = await page.evaluate(() => getComputedStyle(document.querySelector("h1")).color);
    fs.writeFileSync(stylesheet, "h1 { color: rgb(0, 128, 0); }\n");
    const t0 = Date.now();
    await page.waitForFunction(
      () => getComputedStyle(document.querySelector("h1")).color === "rgb(0, 128, 0)", { timeout: 15000 });
    result.updateMs = Date.now() - t0;
    result.after = await page.evaluate(() => getComputedStyle(document.querySelector("h1")).color);
    result.reloaded = (await page.evaluate(() => window.vesk_marker)) !== 42;
  } catch (e) {
    result.errors.push("test: " + e.message);
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(result));
})();
