// The peer of browser_bench: the same steps with playwright-core, driving the same browser
// program. Prints "name milliseconds" lines.
const { chromium } = require('playwright-core');

(async () => {
  const [program, url] = process.argv.slice(2);
  let start = performance.now();
  const browser = await chromium.launch({ executablePath: program, headless: true });
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const launchMs = performance.now() - start;

  start = performance.now();
  await page.goto(url, { waitUntil: 'load' });
  await page.screenshot({ type: 'jpeg', quality: 70 });
  const openShotMs = performance.now() - start;

  console.log(`launch_ms ${launchMs.toFixed(1)}`);
  console.log(`open_shot_ms ${openShotMs.toFixed(1)}`);
  await browser.close();
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
