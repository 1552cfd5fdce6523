// The Windows krzpap.exe ui, run under Wine against the Linux krzlab named by KRZ_LAB, driven from
// headless Chromium on Linux: the page opens with its secret, scans, and shows a device.
//
// KRZ_WINE=WINE node wine-flow.mjs KRZPAP_EXE SCREENSHOT_DIR
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const [krzpap, shots] = process.argv.slice(2);
fs.mkdirSync(shots, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'krzpap-wine-flow-'));

let failures = 0;
function check(ok, what, detail) {
  console.log((ok ? 'ok: ' : 'FAILED: ') + what + (ok || detail === undefined ? '' : ' -- ' + JSON.stringify(detail)));
  if (!ok) failures++;
}

const server = spawn(process.env.KRZ_WINE, [krzpap, 'ui', '--no-open', '--port', '0'],
  { stdio: ['ignore', 'pipe', 'inherit'] });
const url = (await new Promise((resolve, reject) => {
  readline.createInterface({ input: server.stdout }).once('line', resolve);
  server.once('exit', (code) => reject(new Error('krzpap.exe ui ended with ' + code)));
})).trim();
const origin = new URL(url).origin;
console.log('krzpap.exe serves at ' + origin);

const context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
await context.route('**/*', (route) =>
  route.request().url().startsWith(origin) ? route.continue() : route.abort());
const settled = (page) => page.waitForSelector('#activity[hidden]', { state: 'attached', timeout: 60000 });

try {
  const page = context.pages()[0] || await context.newPage();
  const refused = await page.goto(origin + '/');
  check(refused.status() === 403, 'without the secret the page is refused', refused.status());
  await page.goto(url);
  await page.waitForSelector('#scan');
  check(page.url() === origin + '/', 'the secret opens the page and leaves the address bar', page.url());

  await page.click('#scan');
  await settled(page);
  const cards = await page.locator('#devices li h3').allTextContents();
  check(cards.includes('Corvid CV-20') && cards[0] === 'Your router: Borealis BR-5400',
    'the scan lists the lab\'s routers, its gateway first', { cards, failure: await page.locator('#failure').textContent() });
  await page.screenshot({ path: path.join(shots, 'wine-scan.png'), fullPage: true });

  await page.getByRole('button', { name: 'Open Corvid CV-20 at 192.168.77.31' }).click();
  await page.fill('#password', 'rookery');
  await page.click('#show');
  await settled(page);
  const settings = await page.locator('#settings-list').textContent();
  check(settings.includes('Nest') && settings.includes('192.168.77.31'), 'show reads the device', settings);
  await page.screenshot({ path: path.join(shots, 'wine-show.png'), fullPage: true });
} catch (e) {
  failures++;
  console.log('FAILED: ' + (e.stack || e));
} finally {
  await context.close();
  server.kill('SIGKILL');
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(failures === 0 ? 'flow passed' : failures + ' check(s) failed');
process.exit(failures === 0 ? 0 : 1);
