// Each lab family's admin pages driven in headless Chromium as a person would (log in, change the
// network name and key, save), the HAR written by the browser's own recorder, and then what
// krzpap makes of it: the recording (--from-har), the draft (describe), the draft with its author's
// gaps filled checked against the recording (check-description.sh), and a fresh live lab device
// configured with it and read back. Per family also a sanitized HAR (no cookies, no
// Authorization) and one saved without the login, each giving its gaps and no crash.
//
// Every device is a krzlab server on 127.0.0.1; the browser is refused every other address.
//
// node har-families.mjs KRZPAP SCRATCH_DIR [FAMILY...]
//   KRZLAB, KRZ_LAB_FILES (lab/labs) and KRZ_CHECK_DESCRIPTION (check-description.sh) in the
//   environment; KRZ_HAR_FIXTURES, when set, names a folder to write each family's scrubbed HAR to.
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { families } from './har-families-table.mjs';

const [krzpap, scratchParent, ...only] = process.argv.slice(2);
const krzlab = process.env.KRZLAB;
const labFiles = process.env.KRZ_LAB_FILES;
const checkScript = process.env.KRZ_CHECK_DESCRIPTION;
fs.mkdirSync(scratchParent, { recursive: true });
const scratch = fs.mkdtempSync(path.join(scratchParent, 'har-'));
const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('KRZ_')));
env.XDG_STATE_HOME = path.join(scratch, 'state');

let failures = 0;
function check(ok, what, detail) {
  console.log((ok ? 'ok: ' : 'FAILED: ') + what + (ok || detail === undefined ? '' : ' -- ' + String(detail).slice(0, 2000)));
  if (!ok) failures++;
  return ok;
}

function run(program, args, extraEnv = {}) {
  const r = spawnSync(program, args, { env: { ...env, ...extraEnv }, encoding: 'utf8', timeout: 60000 });
  return { status: r.status, out: r.stdout || '', err: r.stderr || '' };
}

// A process that prints the line `pattern` matches once it serves; resolves to the match.
function started(program, args, pattern) {
  const child = spawn(program, args, { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const ready = new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: child.stdout });
    lines.on('line', (line) => {
      const m = line.match(pattern);
      if (m) resolve(m[1]);
    });
    child.once('exit', (code) => reject(new Error(program + ' ended with ' + code)));
  });
  return { child, ready };
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});

// The family's device as a person's browser meets it, into a HAR file.
async function recordHar(f, origin, harFile) {
  const context = await browser.newContext({
    recordHar: { path: harFile, content: 'embed' },
  });
  await context.route('**/*', (route) =>
    route.request().url().startsWith(origin + '/') ? route.continue() : route.abort());
  const page = await context.newPage();
  page.setDefaultTimeout(8000);
  try {
    const start = await page.goto(origin + '/').catch(() => null);  // the router's address, as typed
    if (f.basic) {
      // As a person meets Basic: refused, then the browser's own dialog, whose answer the browser
      // sends with every later request (a header the HAR holds, as the developer tools save it).
      // Chromium under Playwright cancels the dialog: that navigation fails after the 401.
      const asks = f.basic === true ? '/' : f.basic;
      if (start && asks !== '/')
        await page.goto(origin + asks).catch(() => null);
      await context.setExtraHTTPHeaders({
        Authorization: 'Basic ' + Buffer.from(f.user + ':' + f.password).toString('base64') });
      await page.goto(origin + asks);
    }
    // What the browser shows after saving (or what browse says of it, where no page loads).
    const text = await f.browse(page, origin, f) || await page.locator('body').innerText();
    check(f.saved.test(text), f.family + ': the browser saw the change saved', text);
  } finally {
    await context.close();
  }
  return JSON.parse(fs.readFileSync(harFile, 'utf8'));
}

// The HAR as a browser exports it by default: no cookies and no Authorization.
function sanitized(har) {
  const copy = structuredClone(har);
  for (const e of copy.log.entries) {
    e.request.cookies = [];
    e.response.cookies = [];
    e.request.headers = e.request.headers.filter((h) => !/^(cookie|authorization)$/i.test(h.name));
    e.response.headers = e.response.headers.filter((h) => !/^set-cookie$/i.test(h.name));
  }
  return copy;
}

// The HAR saved only after the person had logged in: the entries up to the login's answer are
// gone (with Basic, the credentials the browser sent on every request too).
function withoutLogin(har, f) {
  const copy = sanitized(har);
  const entries = copy.log.entries;
  const login = entries.findIndex((e) => e.request.method === 'POST');  // each flow's first post
  copy.log.entries = f.basic ? entries.filter((e) => e.response.status !== 401)
    : entries.slice(login + 1);
  return copy;
}

// Passwords and keys out, for a fixture others may read: each as it stands, form-encoded, and
// inside Basic credentials.
function scrubbed(har, f) {
  let text = JSON.stringify(har, null, 1);
  const basic = (secret) => Buffer.from(f.user + ':' + secret).toString('base64');
  for (const [secret, stand] of [[f.password, 'PASSWORD'], [f.newKey, 'NEW-KEY'], [f.key, 'OLD-KEY']]) {
    for (const [from, to] of [[basic(secret), basic(stand)], [encodeURIComponent(basic(secret)), encodeURIComponent(basic(stand))]])
      text = text.split(from).join(to);
    for (const shape of [secret, encodeURIComponent(secret), encodeURIComponent(secret).replace(/%20/g, '+')])
      text = text.split(shape).join(stand);
  }
  return text;
}

function marks(draft, list) {
  return (draft.draft && draft.draft[list] || []).map((m) => m.pointer);
}

// The recording and the draft of one HAR; null when either step failed.
function importAndDescribe(f, harFile, name) {
  const rec = path.join(scratch, name + '.recording.json');
  const draftFile = path.join(scratch, name + '.draft.json');
  const imported = run(krzpap, ['record', '--from-har', harFile, '-o', rec, '-p', f.password]);
  if (!check(imported.status === 0, name + ': record --from-har', imported.err)) return null;
  const described = run(krzpap, ['describe', rec, '-o', draftFile]);
  if (!check(described.status === 0, name + ': describe', described.err)) return null;
  const recording = fs.readFileSync(rec, 'utf8');
  check(!recording.includes(f.password) && !recording.includes(f.newKey),
    name + ': no password or key in the recording');
  return { rec, draftFile, imported, draft: JSON.parse(fs.readFileSync(draftFile, 'utf8')) };
}

// The draft as its author finishes it: the gaps left are the ones the family's table expects
// (what no exchange shows), and the table's author fills them.
function filled(f, draft) {
  const required = (draft.draft.gaps || []).filter((g) => !g.optional).map((g) => g.pointer);
  check(JSON.stringify(required.sort()) === JSON.stringify([...f.gaps].sort()),
    f.family + ': the draft leaves the gaps expected', required.join(' '));
  const done = structuredClone(draft);
  f.author(done);
  delete done.draft;
  delete done.$schema;
  return done;
}

// The family's device alone in a lab of its own, its restart shortened where the table says.
function labOf(f) {
  const lab = JSON.parse(fs.readFileSync(path.join(labFiles, f.lab), 'utf8'));
  lab.devices = lab.devices.filter((d) => d.name === f.device);
  Object.assign(lab.devices[0], f.labOptions || {});
  return { lab, device: lab.devices[0] };
}

// A fresh lab holding the family's device: configure it with the description, then read back.
async function configureLive(f, descriptionFile) {
  const dir = path.join(scratch, f.family + '-live');
  fs.mkdirSync(path.join(dir, 'descriptions'), { recursive: true });
  fs.copyFileSync(descriptionFile, path.join(dir, 'descriptions', f.family + '.json'));
  const { lab, device } = labOf(f);
  fs.writeFileSync(path.join(dir, 'lab.json'), JSON.stringify(lab));
  const { child, ready } = started(krzlab, ['--lab', path.join(dir, 'lab.json')], /^KRZ_LAB=(.*)$/);
  try {
    const labAddress = await ready;
    const cli = (...args) => run(krzpap, ['--log', path.join(dir, 'krzpap.log'), '--modules',
      'krzpapdescriptions.dll', ...args, device.address, '-u', f.user, '-p', f.password],
    { KRZ_LAB: labAddress, KRZ_APDESCRIPTION_DIRS: path.join(dir, 'descriptions') });
    const configured = cli('configure', '--ssid', 'LiveFromHar', '--security', f.liveSecurity || 'wpa2-psk', '--key', 'live-har-key-9');
    check(configured.status === 0 && /confirmed/.test(configured.out),
      f.family + ': a live device configured with the described HAR', configured.out + configured.err +
      (fs.existsSync(path.join(dir, 'krzpap.log')) ? fs.readFileSync(path.join(dir, 'krzpap.log'), 'utf8').slice(-1500) : ''));
    const shown = cli('show', '--show-secrets');
    check(/SSID: *LiveFromHar/.test(shown.out) && shown.out.includes('live-har-key-9'),
      f.family + ': the live device reads back the new name and key', shown.out + shown.err);
  } finally {
    child.kill('SIGTERM');
  }
}

async function oneFamily(f) {
  const served = path.join(scratch, f.family + '-served.json');
  fs.writeFileSync(served, JSON.stringify(labOf(f).lab));
  const { child, ready } = started(krzlab, ['serve', '--lab', served, '--device',
    f.device, '--address', '127.0.0.1', '--port', '0'], /^serving \S+ on (127\.0\.0\.1:\d+)$/);
  let har;
  const harFile = path.join(scratch, f.family + '.har');
  try {
    const origin = 'http://' + await ready;
    har = await recordHar(f, origin, harFile);
  } finally {
    child.kill('SIGTERM');
  }
  if (process.env.KRZ_HAR_FIXTURES)
    fs.writeFileSync(path.join(process.env.KRZ_HAR_FIXTURES, f.family + '.har'), scrubbed(har, f));

  const whole = importAndDescribe(f, harFile, f.family);
  if (whole) {
    const draft = whole.draft;
    check(draft.format === 2, f.family + ': the draft is format 2');
    check(!marks(draft, 'gaps').includes('/login/steps') &&
      (!f.loginTransformed || (draft.values && draft.values.sentPassword)), f.family + ': the draft has the login' +
      (f.loginTransformed ? ', the password computed as the page did' : ''), JSON.stringify(draft.login));
    check(Array.isArray(draft.changes) && draft.changes.length > 0 &&
      JSON.stringify(draft.changes[0]).includes('{ssid}') && JSON.stringify(draft.changes[0]).includes('{key}'),
      f.family + ': the draft\'s change carries the new name and key', JSON.stringify(draft.changes));
    const done = filled(f, draft);
    const doneFile = path.join(scratch, f.family + '.json');
    fs.writeFileSync(doneFile, JSON.stringify(done, null, 1));
    // Whether the browser kept that answer depends on how soon the page left: either way the
    // draft's login captures the token that later requests carry.
    if (f.lostLoginAnswer)
      check((!/body is missing/.test(whole.imported.err) ||
        /carry a token in \S+ that no other reply handed out/.test(whole.imported.err)) &&
        Object.values(draft.login.headers || {}).includes('{token}') &&
        JSON.stringify(draft.login.steps).includes('"token":{"json":"/token"}'),
        f.family + ': the login captures the token later requests carry, the answer ' +
        (/body is missing/.test(whole.imported.err) ? 'rebuilt' : 'kept'),
        whole.imported.err + JSON.stringify(draft.login));
    const checked = run('sh', [checkScript, doneFile, whole.rec], { KRZPAP: krzpap });
    check(checked.status === 0, f.family + ': check-description.sh passes the filled draft on the recording',
      checked.out + checked.err);
    await configureLive(f, doneFile);
  }

  // Sanitized: a Basic login is gone with its header; a form login stays (its password is in the
  // post) and the reader says which requests lost their cookie. Saved after the login: no login.
  for (const [name, edited, loginGap, note] of [
    ['sanitized', sanitized(har), !!f.basic, f.basic ? null : /holds no cookie/],
    ['no-login', withoutLogin(har, f), true, null]]) {
    const file = path.join(scratch, f.family + '-' + name + '.har');
    fs.writeFileSync(file, JSON.stringify(edited));
    const got = importAndDescribe(f, file, f.family + '-' + name);
    if (!got) continue;
    const gaps = marks(got.draft, 'gaps');
    check(gaps.includes('/login/steps') === loginGap, f.family + ' ' + name + ': the login is ' +
      (loginGap ? 'a gap' : 'drafted'), gaps.join(' '));
    check(JSON.stringify(got.draft.changes[0]).includes('{ssid}'), f.family + ' ' + name +
      ': the change is still drafted', JSON.stringify(got.draft.changes[0]));
    if (note) check(note.test(got.imported.err), f.family + ' ' + name + ': the reader names what it lost', got.imported.err);
  }
}

try {
  for (const f of families.filter((x) => only.length === 0 || only.includes(x.family))) {
    const started = Date.now();
    try {
      await oneFamily(f);
      console.log(f.family + ': ' + (Date.now() - started) + ' ms');
    } catch (e) {
      check(false, f.family + ': ' + (e.stack || e));
    }
  }
} finally {
  await browser.close();
  if (failures === 0) fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(failures === 0 ? 'har families passed' : failures + ' check(s) failed; files in ' + scratch);
process.exit(failures === 0 ? 0 : 1);
