// The page's HAR import as a person uses it, in headless Chromium: a HAR file chosen, then one
// dropped; what it shows (device, login, the password's transform, change, gaps); a bad name
// refused on its field; the draft written into the descriptions folder, without the password.
//
// node har-flow.mjs KRZPAP SCREENSHOT_DIR
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const [krzpap, shots] = process.argv.slice(2);
fs.mkdirSync(shots, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'krzpap-har-flow-'));
const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('KRZ_')));
env.XDG_STATE_HOME = path.join(scratch, 'state');
const folder = path.join(scratch, 'descriptions');
env.KRZ_APDESCRIPTION_DIRS = folder;

let failures = 0;
function check(ok, what, detail) {
  if (ok) {
    console.log('ok: ' + what);
  } else {
    failures++;
    console.log('FAILED: ' + what + (detail !== undefined ? ' -- ' + JSON.stringify(detail) : ''));
  }
}

// A browser's HAR of a login that sends the password as its MD5, then a change.
const password = 'Tr0ub4dor&3';
const digest = crypto.createHash('md5').update(password).digest('hex');
const entry = (method, url, status, reply, post) => ({
  startedDateTime: '2026-12-07T10:00:00.000Z',
  request: Object.assign({ method, url, headers: [] },
    post ? { postData: { mimeType: 'application/json', text: JSON.stringify(post) } } : {}),
  response: { status, headers: [], content: { size: reply.length, text: reply } },
});
const har = JSON.stringify({ log: { version: '1.2', entries: [
  entry('GET', 'http://192.168.77.40/', 200, '<html><title>Router</title></html>'),
  entry('GET', 'https://fonts.example/font.woff', 200, ''),
  entry('POST', 'http://192.168.77.40/api/login', 200, '{"ok":true}', { user: 'admin', hash: digest }),
  entry('POST', 'http://192.168.77.40/api/wifi', 200, '{"ok":true}', { ssid: 'Harbour', psk: 'new-key-123' }),
  entry('GET', 'http://192.168.77.40/api/wifi', 200, '{"ssid":"Harbour"}'),
] } });

const server = spawn(krzpap, ['ui', '--no-open', '--port', '0'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve, reject) => {
  readline.createInterface({ input: server.stdout }).once('line', resolve);
  server.once('exit', (code) => reject(new Error('krzpap ui ended with ' + code)));
});
const origin = new URL(url).origin;
const context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport: { width: 1280, height: 900 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
await context.route('**/*', (route) =>
  route.request().url().startsWith(origin) ? route.continue() : route.abort());

try {
  const page = context.pages()[0] || await context.newPage();
  await page.goto(url);
  await page.waitForSelector('#har-file');

  // Chosen with the file input.
  await page.setInputFiles('#har-file', { name: 'router.har', mimeType: 'application/json', buffer: Buffer.from(har) });
  await page.fill('#har-password', password);
  await page.click('#har-read');
  await page.waitForSelector('#har-found:not([hidden])');
  const summary = await page.locator('#har-summary').innerText();
  check(summary.includes('192.168.77.40') && summary.includes('fonts.example'), 'the device and the hosts left out', summary);
  check(summary.includes('POST /api/login') && summary.includes('md5'), 'the login and how the password was sent', summary);
  check(summary.includes('POST /api/wifi'), 'the change', summary);
  const marks = await page.locator('#har-marks').innerText();
  check(marks.includes('To fill in:') && marks.includes('To check:'), 'gaps and guesses in plain words', marks);
  const result = await page.locator('#har-result').textContent();
  check(result.includes('Delete the HAR file'), 'the page says to delete the HAR file', result);
  check(!(await page.locator('#har-draft').textContent()).includes(digest), 'the draft holds no hash of the password');
  await page.screenshot({ path: path.join(shots, 'har-read.png'), fullPage: true });

  // A name that would leave the folder is refused on its field.
  await page.fill('#har-name', '../elsewhere');
  await page.click('#har-write');
  await page.waitForSelector('#failure:not([hidden])');
  check((await page.locator('#failure').textContent()).includes('name must be'), 'a bad name is refused',
    await page.locator('#failure').textContent());
  check(await page.evaluate(() => document.activeElement.id) === 'har-name', 'the focus on the name');

  await page.fill('#har-name', 'my-router');
  await page.click('#har-write');
  await page.waitForSelector('#har-result:has-text("Draft written")');
  const file = path.join(folder, 'my-router.json');
  const written = fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
  let draft = {};
  try { draft = JSON.parse(written); } catch (e) { /* checked below */ }
  check(draft.format === 2 && draft.values && draft.values.sentPassword &&
        JSON.stringify(draft.values.sentPassword) === '{"md5":"{currentPassword}"}',
  'the draft is written where the descriptions load, with the password\'s transform', written.slice(0, 400));
  check(!written.includes(password) && !written.includes(digest), 'the written draft holds no password');

  // Dropped on the form: the same reading, and a second write under the same name is refused.
  const dropped = await page.evaluateHandle((text) => {
    const t = new DataTransfer();
    t.items.add(new File([text], 'dropped.har', { type: 'application/json' }));
    return t;
  }, har);
  await page.dispatchEvent('#har-drop', 'drop', { dataTransfer: dropped });
  check((await page.locator('#har-rule').textContent()).includes('dropped.har'), 'a dropped file is taken');
  await page.click('#har-read');
  await page.waitForSelector('#har-found:not([hidden])');
  await page.fill('#har-name', 'my-router');
  await page.click('#har-write');
  await page.waitForSelector('#failure:has-text("exists already")');
  check(true, 'an existing draft is never overwritten');
  const kept = fs.readdirSync(scratch, { recursive: true }).filter((f) => String(f).endsWith('.har'));
  check(kept.length === 0, 'the HAR is kept nowhere', kept);
} catch (e) {
  failures++;
  console.log('FAILED: ' + (e.stack || e));
} finally {
  await context.close();
  server.kill('SIGINT');
  await new Promise((resolve) => server.once('exit', resolve));
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(failures === 0 ? 'har flow passed' : failures + ' check(s) failed');
process.exit(failures === 0 ? 0 : 1);
