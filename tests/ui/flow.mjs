// The page of krzpap ui as a person uses it, in headless Chromium against the built-in lab: scan,
// show, a wrong password, configure with read-back, cancel, a closed tab, relocation by MAC, the
// factory-defaults check; one pass with the keyboard only; axe-core's WCAG AA checks; 1280 and
// 360 px wide. Screenshots of each step go to the folder given.
//
// node flow.mjs KRZPAP SCREENSHOT_DIR
import { chromium } from 'playwright-core';
import { AxeBuilder } from '@axe-core/playwright';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const [krzpap, shots] = process.argv.slice(2);
fs.mkdirSync(shots, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'krzpap-ui-flow-'));
const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('KRZ_')));
env.XDG_STATE_HOME = path.join(scratch, 'state'); // the built-in lab's state is the test's own

let failures = 0;
function check(ok, what, detail) {
  if (ok) {
    console.log('ok: ' + what);
  } else {
    failures++;
    console.log('FAILED: ' + what + (detail !== undefined ? ' -- ' + JSON.stringify(detail) : ''));
  }
}

// The command line beside the page, on the same lab.
function cli(...args) {
  const r = spawnSync(krzpap, args, { env, encoding: 'utf8' });
  return { status: r.status, out: r.stdout, err: r.stderr };
}

const server = spawn(krzpap, ['ui', '--no-open', '--port', '0'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve, reject) => {
  readline.createInterface({ input: server.stdout }).once('line', resolve);
  server.once('exit', (code) => reject(new Error('krzpap ui ended with ' + code)));
});
const origin = new URL(url).origin;
console.log('serving at ' + origin);

const context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport: { width: 1280, height: 900 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
// Nothing but the page's own server is ever asked.
await context.route('**/*', (route) =>
  route.request().url().startsWith(origin) ? route.continue() : route.abort());

let shotNumber = 0;
async function shot(page, name) {
  shotNumber++;
  const file = path.join(shots, String(shotNumber).padStart(2, '0') + '-' + name + '.png');
  await page.screenshot({ path: file, fullPage: true });
}
// What the README shows: the window as the user sees it, from the given element down.
async function view(page, name, selector) {
  await page.locator(selector).scrollIntoViewIfNeeded();
  await page.evaluate((s) => document.querySelector(s).scrollIntoView(), selector);
  await page.screenshot({ path: path.join(shots, 'readme-' + name + '.png') });
}

async function accessible(page, what) {
  const result = await new AxeBuilder({ page })
    .withTags(['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'])
    .analyze();
  check(result.violations.length === 0, 'axe-core finds no WCAG AA violation: ' + what,
    result.violations.map((v) => v.id + ': ' + v.nodes.map((n) => n.target.join(' ')).join(', ')));
}

// The page's CSP forbids eval, which waitForFunction needs: selectors and evaluate only.
const settled = (page) => page.waitForSelector('#activity[hidden]', { state: 'attached', timeout: 60000 });
const failureText = (page) => page.locator('#failure').textContent();

try {
  const page = context.pages()[0] || await context.newPage();
  const opened = Date.now();
  await page.goto(url);
  await page.waitForSelector('#scan');
  console.log('first page load: ' + (Date.now() - opened) + ' ms');
  check(page.url() === origin + '/', 'the secret leaves the address bar', page.url());
  await accessible(page, 'the start');
  await shot(page, 'start');

  // ---- scan ----
  await page.click('#scan');
  await page.waitForSelector('#activity:not([hidden])');
  const during = await page.locator('#activity-text').textContent();
  check(during.startsWith('Scanning the network'), 'the scan shows its progress', during);
  await shot(page, 'scan-running');
  await settled(page);
  const summary = await page.locator('#scan-summary').textContent();
  check(/recognized/.test(summary), 'the scan ends with a summary', summary);
  const cards = await page.locator('#devices li h3').allTextContents();
  check(cards.includes('Acme AP-100') && cards.includes('Corvid CV-20') && cards.includes('Borealis BR-5400'),
    'the scan lists the lab\'s routers with make and model', cards);
  await page.check('#show-all');
  const all = await page.locator('#devices li h3').allTextContents();
  check(all.length > cards.length && all.includes('Not recognized'), 'unrecognized hosts on request', all);
  await page.uncheck('#show-all');
  await shot(page, 'scan');

  // ---- a wrong password: the command's sentence ----
  await page.getByRole('button', { name: 'Open Acme AP-100 at 192.168.77.10' }).click();
  check(await page.inputValue('#address') === '192.168.77.10', 'choosing a device fills its address');
  await page.fill('#password', 'not-the-password');
  await page.click('#show');
  await settled(page);
  const refusal = await failureText(page);
  check(refusal.includes('refused the credentials'), 'a wrong password is a sentence', refusal);
  const cliRefusal = cli('show', '192.168.77.10', '-p', 'not-the-password');
  check(refusal.includes('in User name and Password') && !refusal.includes('--'),
        'the page names its own fields, not options', refusal);
  check(cliRefusal.err.includes(refusal.split(';')[0]), 'the same finding as the command line', cliRefusal.err);
  await shot(page, 'wrong-password');

  // ---- show, the key hidden until asked ----
  await page.fill('#password', 'gatekeeper');
  await page.click('#show');
  await settled(page);
  const settings = await page.locator('#settings-list').textContent();
  check(settings.includes('AcmeOffice') && !settings.includes('correct horse battery'),
    'show lists the settings with the key hidden', settings);
  await page.click('#show-current-key');
  check((await page.locator('#settings-list').textContent()).includes('correct horse battery'), 'the key on request');
  const ssidRule = await page.locator('#ssid-rule').textContent();
  check(ssidRule.includes('1 to 32 bytes') && ssidRule.includes('same for every device'), 'the SSID rule beside its field', ssidRule);
  check((await page.locator('#new-password-rule').textContent()).includes('characters'), 'the password rule beside its field');
  await accessible(page, 'the settings');
  await shot(page, 'show');

  // ---- checked before anything is sent ----
  await page.fill('#new-ssid', 'x'.repeat(33));
  await page.click('#apply');
  const tooLong = await page.locator('#ssid-check').textContent();
  check(tooLong.includes('nothing was sent'), 'a too-long SSID is refused in the page', tooLong);
  check(cli('show', '192.168.77.10', '-p', 'gatekeeper').out.includes('AcmeOffice'), 'and the device kept its SSID');

  // ---- configure, each field read back ----
  await page.fill('#new-ssid', 'HomeNet');
  await page.selectOption('#new-security', 'wpa2-psk');
  await page.fill('#new-key', 'a much longer passphrase');
  await page.click('#apply');
  await settled(page);
  const ssidBack = await page.locator('#ssid-check').textContent();
  const keyBack = await page.locator('#key-check').textContent();
  check(ssidBack.includes('Read back') && keyBack.includes('Read back'), 'configure confirms each field', [ssidBack, keyBack]);
  const shown = JSON.parse(cli('--json', '--show-secrets', 'show', '192.168.77.10', '-p', 'gatekeeper').out).result.device;
  check(shown.ssid === 'HomeNet' && shown.key === 'a much longer passphrase', 'the command line reads the change back', shown);
  await shot(page, 'configure');
  await view(page, 'configure', '#settings');

  // ---- cancel ----
  await page.click('#scan');
  await page.waitForSelector('#activity:not([hidden])');
  await page.click('#cancel');
  await settled(page);
  const cancelled = await failureText(page);
  check(cancelled.startsWith('cancelled'), 'cancel stops the scan', cancelled);
  await shot(page, 'cancel');

  // ---- relocation by MAC after a factory reset (done beside the page) ----
  check(cli('lab', 'reset', 'corvid-2').status === 0, 'the command line resets corvid-2 beside the page');
  await page.fill('#find-mac', '02:4b:5a:00:00:31');
  await page.click('#find-button');
  await settled(page);
  const found = await page.locator('#found').textContent();
  check(found.includes('10.0.0.138'), 'find by MAC locates the reset device', found);
  await shot(page, 'find');
  await page.getByRole('button', { name: /Open .* at 10\.0\.0\.138/ }).click();
  await page.fill('#password', '');
  await page.click('#show');
  await settled(page);
  const moved = await page.locator('#settings-list').textContent();
  check(moved.includes('10.0.0.138') && moved.includes('corvid'), 'the found device opens at its new address', moved);

  // ---- the factory-defaults check ----
  await page.fill('#def-ssid', 'corvid');
  await page.fill('#def-bssid', '02:4B:5A:00:00:30');
  await page.click('#defaults-button');
  await settled(page);
  const verdict = await page.locator('#defaults-result').textContent();
  check(verdict.includes('still at its factory defaults'), 'the defaults check', verdict);
  await shot(page, 'defaults');

  // ---- 360 px ----
  await page.setViewportSize({ width: 360, height: 780 });
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth);
  check(overflow <= 360, 'nothing wider than 360 px', overflow);
  await accessible(page, '360 px wide');
  await shot(page, 'narrow');
  await view(page, 'narrow', '#find-title');
  await page.setViewportSize({ width: 1280, height: 900 });

  // ---- a closed tab cancels what it started ----
  const leaving = await context.newPage();
  await leaving.goto(origin + '/');
  await leaving.click('#scan');
  await leaving.waitForSelector('#activity:not([hidden])');
  await leaving.close({ runBeforeUnload: true });
  let left = {};
  for (let i = 0; i < 75 && !left.done; i++) {
    await page.waitForTimeout(200);
    left = await page.evaluate(async () => (await fetch('/api/job')).json());
  }
  check(left.cancelled === true && left.kind === 'scan', 'closing the tab cancelled its scan', left);

  // ---- keyboard only ----
  const keys = await context.newPage();
  await keys.goto(origin + '/');
  const tabTo = async (id) => {
    for (let i = 0; i < 60; i++) {
      await keys.keyboard.press('Tab');
      const at = await keys.evaluate(() => document.activeElement && (document.activeElement.id || document.activeElement.getAttribute('aria-label')));
      if (at === id) return true;
    }
    return false;
  };
  const focusVisible = () => keys.evaluate(() => {
    const s = getComputedStyle(document.activeElement);
    return s.outlineStyle !== 'none' && parseFloat(s.outlineWidth) >= 2;
  });
  check(await tabTo('scan'), 'Tab reaches the scan button');
  check(await focusVisible(), 'focus is visible');
  await keys.keyboard.press('Enter');
  await keys.waitForSelector('#activity:not([hidden])');
  await settled(keys);
  check(await tabTo('Open Borealis BR-5400 at 192.168.77.20'), 'Tab reaches a device');
  await keys.keyboard.press('Enter');
  check(await keys.evaluate(() => document.activeElement.id) === 'user', 'choosing a device moves to its login');
  await keys.keyboard.type('root');
  await keys.keyboard.press('Tab');
  await keys.keyboard.type('northwind');
  await keys.keyboard.press('Enter');
  await settled(keys);
  check((await keys.locator('#settings-list').textContent()).includes('Aurora'), 'logged in with the keyboard');
  check(await tabTo('new-ssid'), 'Tab reaches the SSID field');
  await keys.keyboard.type('Polar');
  await keys.keyboard.press('Enter');
  await settled(keys);
  const keyedBack = await keys.locator('#ssid-check').textContent();
  check(keyedBack.includes('Read back'), 'configured with the keyboard', keyedBack);
  await shot(keys, 'keyboard');
  await keys.close();
} catch (e) {
  failures++;
  console.log('FAILED: ' + (e.stack || e));
} finally {
  await context.close();
  const stopping = Date.now();
  server.kill('SIGINT');
  const code = await new Promise((resolve) => server.once('exit', (c) => resolve(c)));
  console.log('Ctrl-C ended the server after ' + (Date.now() - stopping) + ' ms');
  check(code === 0, 'the server ends on Ctrl-C', code);
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(failures === 0 ? 'flow passed' : failures + ' check(s) failed');
process.exit(failures === 0 ? 0 : 1);
