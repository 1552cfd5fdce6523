// The page of krzpap ui: each form starts one operation on the server and follows it by polling
// until it is done. Device texts are only ever set as text, never as markup.
'use strict';

// The server hands its token over once, in the fragment of the address the secret was exchanged
// at; the page keeps it in storage of its own origin (port included), which no other server on
// this computer can read, and takes it off the address bar.
const token = (() => {
  const given = location.hash.slice(1);
  if (/^[0-9a-f]{32}$/.test(given)) {
    localStorage.setItem('krzpap-token', given);
    history.replaceState(null, '', '/');
  }
  return localStorage.getItem('krzpap-token') || '';
})();
const $ = (id) => document.getElementById(id);
let running = false;
let shown = null; // the device last shown: its settings and rules
// The credentials that worked on each device, by address and MAC: choosing a device fills in
// its own, never another's.
const credentials = new Map();
const deviceKey = (address, mac) => address + ' ' + (mac || '').toLowerCase();
const tokenHeader = { 'X-Krzpap-Token': token };

function element(tag, text, className) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (className) e.className = className;
  return e;
}

function setFailure(text) {
  $('failure').textContent = text || '';
  $('failure').hidden = !text;
}

function setBusy(text) {
  $('activity-text').textContent = text;
  $('activity').hidden = !running;
  for (const b of document.querySelectorAll('form button[type=submit], #scan')) b.disabled = running;
}

async function post(path, body) {
  const reply = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', ...tokenHeader },
    body: JSON.stringify(body || {}),
  });
  const text = await reply.text();
  let data = {};
  try { data = JSON.parse(text); } catch (e) { data = { error: text.trim() }; }
  if (!reply.ok) {
    const failure = new Error(data.error || ('the server answered ' + reply.status));
    failure.field = data.field;
    throw failure;
  }
  return data;
}

// Each form's fields by the names its requests give them, so a refusal lands on its field.
const fieldInputs = {
  show: { address: 'address', mac: 'mac', user: 'user', password: 'password' },
  configure: { address: 'address', mac: 'mac', user: 'user', password: 'password', ssid: 'new-ssid',
    security: 'new-security', encryption: 'new-security', key: 'new-key', newUser: 'new-user',
    username: 'new-user', newPassword: 'new-password' },
  find: { macs: 'find-mac' },
  defaults: { ssid: 'def-ssid', bssid: 'def-bssid', channel: 'def-channel', rsn: 'def-rsn' },
};

// Takes the last refusal off its field.
function clearRefusals() {
  for (const note of document.querySelectorAll('.field-refusal')) {
    const input = $(note.id.replace(/-refusal$/, ''));
    input.removeAttribute('aria-invalid');
    input.setAttribute('aria-describedby', input.getAttribute('aria-describedby').replace(note.id, '').trim());
    note.remove();
  }
}

// Marks the field a refusal concerns and takes the focus there.
function refuseField(kind, field, text) {
  clearRefusals();
  const id = (fieldInputs[kind] || {})[field];
  if (!id) return;
  const input = $(id);
  input.setAttribute('aria-invalid', 'true');
  const note = element('p', text, 'check-result bad field-refusal');
  note.id = id + '-refusal';
  note.setAttribute('role', 'alert');
  input.parentElement.append(note);
  input.setAttribute('aria-describedby', ((input.getAttribute('aria-describedby') || '') + ' ' + note.id).trim());
  input.focus();
}

// A device that shows another certificate than the trusted one: the person sees both and may
// trust the new one (as 'krzpap trust' does); the server pins it only if the device still shows
// the one shown here.
let certificateAsked = null;
function askAboutCertificate(change) {
  certificateAsked = change || null;
  $('certificate').hidden = !change;
  $('certificate-result').textContent = '';
  if (!change) return;
  $('certificate-address').textContent = change.address;
  $('certificate-trusted').textContent = change.trusted;
  $('certificate-shown').textContent = change.shown;
  $('certificate-trust').disabled = false;
  $('certificate-trust').focus();
}

$('certificate-trust').addEventListener('click', async () => {
  const change = certificateAsked;
  if (!change || running) return;
  $('certificate-trust').disabled = true;
  const job = await operate('trust', { address: change.address, sha256: change.shown },
    'Trusting the new certificate');
  if (job && !job.error) {
    $('certificate-result').textContent = 'Trusted. Try again.';
  } else {
    $('certificate-trust').disabled = false;
  }
});

$('certificate-dismiss').addEventListener('click', () => askAboutCertificate(null));

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts an operation and follows it; `onProgress` sees each answer while it runs.
async function operate(kind, body, label, onProgress) {
  setFailure('');
  if (kind !== 'trust') askAboutCertificate(null);
  clearRefusals();
  running = true;
  setBusy(label + '...');
  const started = Date.now();
  try {
    const { id } = await post('/api/' + kind, body);
    for (;;) {
      const reply = await fetch('/api/job', { cache: 'no-store', headers: tokenHeader });
      const job = await reply.json();
      if (job.id !== id) throw new Error('another page started an operation');
      const seconds = Math.round((Date.now() - started) / 1000);
      if (onProgress && job.result) onProgress(job);
      if (job.done) {
        if (job.error) setFailure(job.error);
        if (kind !== 'trust') askAboutCertificate(job.certificate);
        if (job.field) refuseField(kind, job.field, job.error);
        return job;
      }
      setBusy(label + (job.step ? ': ' + job.step : '') + ' (' + seconds + ' s)');
      await sleep(250);
    }
  } catch (e) {
    setFailure(e.message);
    if (e.field) refuseField(kind, e.field, e.message);
    return null;
  } finally {
    running = false;
    setBusy('');
  }
}

// A tab that is closed while its operation runs cancels it (the server also cancels an operation
// whose page stops asking after it, for a tab that could not say so).
window.addEventListener('pagehide', () => {
  if (running) {
    fetch('/api/cancel', { method: 'POST', keepalive: true, headers: tokenHeader, body: '{}' });
  }
});

$('cancel').addEventListener('click', () => {
  $('activity-text').textContent = 'Cancelling...';
  post('/api/cancel').catch((e) => setFailure(e.message));
});

for (const button of document.querySelectorAll('button.reveal')) {
  button.addEventListener('click', () => {
    const input = $(button.dataset.for);
    const hide = input.type === 'text';
    input.type = hide ? 'password' : 'text';
    button.textContent = button.textContent.replace(hide ? 'Hide' : 'Show', hide ? 'Show' : 'Hide');
    button.setAttribute('aria-pressed', String(!hide));
  });
}

// The steps are numbered as they are seen: a step not shown yet takes no number.
function numberSteps() {
  let n = 0;
  for (const step of document.querySelectorAll('.step-number')) {
    step.textContent = step.closest('[hidden]') ? '' : ++n + '. ';
  }
}

// Security modes in plain words; the weak ones say so.
const securityWords = {
  none: ['None: an open network', 'weak: anyone nearby can use it'],
  wep: ['WEP', 'weak: broken in minutes'],
  'wpa-psk': ['WPA with a passphrase', 'weak: an old standard'],
  'wpa-wpa2-psk': ['WPA2 or WPA with a passphrase', 'WPA is weak'],
  'wpa2-psk': ['WPA2 with a passphrase', ''],
};
const encryptionWords = {
  none: ['no encryption', 'weak'],
  wep64: ['WEP 64-bit', 'weak'],
  wep128: ['WEP 128-bit', 'weak'],
  tkip: ['TKIP', 'weak'],
  aes: ['AES', ''],
  'tkip-aes': ['AES or TKIP', 'TKIP is weak'],
};
function inWords(table, name) {
  const [words, weakness] = table[name] || [name || 'unknown', ''];
  return weakness ? words + ' (' + weakness + ')' : words;
}
const isWeak = (device) => !!((securityWords[device.security] || [])[1] || (encryptionWords[device.encryption] || [])[1]);

// ---- scan ----
let gateway = '';  // the address of this computer's router, when the scan knows it

function deviceCard(d, openLabel, title) {
  const li = element('li');
  title = title || (d.recognized === false ? 'Not recognized' : d.vendor + ' ' + d.model);
  const yours = d.address === gateway && d.recognized !== false;
  if (yours) {
    title = 'Your router: ' + title;
    li.className = 'yours';
  }
  li.append(element('h3', title));
  const dl = element('dl', undefined, 'pairs');
  const pairs = [['Address', d.address], ['MAC', d.mac]];
  if (yours) pairs.unshift(['What it is', 'the router this computer reaches the internet through']);
  // A MAC its device made up itself is in no maker's register: the page says so in words.
  if (d.macVendor !== undefined) pairs.push(['Maker (from the MAC)', d.macVendor === '(locally administered)' ? 'not registered (set by the device)' : d.macVendor || 'unknown']);
  if (d.recognized === false) pairs.push(['Note', d.arpOnly ? 'answered, but runs no web page' : 'answered, but krzpap cannot set it up']);
  else if (d.firmware !== undefined) pairs.push(['Firmware', d.firmware || 'unknown']);
  for (const [k, v] of pairs) dl.append(element('dt', k), element('dd', v));
  li.append(dl);
  if (d.recognized !== false) {
    const open = element('button', openLabel || 'Open this device', 'secondary');
    open.type = 'button';
    open.setAttribute('aria-label', (openLabel || 'Open') + ' ' + title + ' at ' + d.address);
    open.addEventListener('click', () => chooseDevice(d.address, d.mac));
    li.append(open);
  }
  return li;
}

function listDevices(devices) {
  const all = $('show-all').checked;
  const list = $('devices');
  const shownDevices = devices.filter((d) => all || d.recognized !== false);
  // This computer's router first, the others as found.
  shownDevices.sort((a, b) => (b.address === gateway) - (a.address === gateway));
  // Unchanged cards stay, so that neither the focus nor a screen reader's place is lost.
  const key = JSON.stringify([gateway, shownDevices]);
  if (list.dataset.shown === key) return;
  list.dataset.shown = key;
  list.replaceChildren(...shownDevices.map((d) => deviceCard(d)));
}

let lastScan = [];
$('show-all').addEventListener('change', () => listDevices(lastScan));

$('scan').addEventListener('click', async () => {
  $('scan-summary').textContent = '';
  lastScan = [];
  listDevices(lastScan);
  const job = await operate('scan', {}, 'Scanning the network', (j) => {
    gateway = j.result.gateway || gateway;
    lastScan = j.result.devices || [];
    listDevices(lastScan);
  });
  if (!job) return;
  const found = lastScan.filter((d) => d.recognized !== false).length;
  const others = lastScan.length - found;
  let text = found === 0 ? 'No device recognized.' : found + ' device(s) recognized.';
  if (others > 0 && !$('show-all').checked) text += ' ' + others + ' other host(s) answered; tick the box above to list them.';
  const failed = job.result && job.result.failedModules;
  if (failed) text += ' ' + failed.charAt(0).toUpperCase() + failed.slice(1) + '.';
  $('scan-summary').textContent = text;
  // The focus goes to what the scan found: this computer's router, or the first device.
  const first = $('devices').querySelector('button');
  (first || $('scan-summary')).focus();
});

function chooseDevice(address, mac) {
  const saved = credentials.get(deviceKey(address, mac)) || { user: '', password: '' };
  $('address').value = address;
  $('mac').value = mac || '';
  $('user').value = saved.user;
  $('password').value = saved.password;
  $('settings').hidden = true;
  shown = null;
  numberSteps();
  $('device-section').scrollIntoView();
  $('user').focus();
}

// ---- 2. show ----
function loginBody() {
  return { address: $('address').value.trim(), mac: $('mac').value.trim(), user: $('user').value, password: $('password').value };
}

function showSettings(device) {
  const dl = $('settings-list');
  dl.replaceChildren();
  const add = (k, v) => dl.append(element('dt', k), element('dd', v));
  add('Device', (device.description || (device.vendor + ' ' + device.model)) + ' at ' + device.address);
  add('MAC', device.mac);
  add('Firmware', device.firmware || 'unknown');
  add('Network name', device.ssid);
  add('Security', inWords(securityWords, device.security) + ', ' + inWords(encryptionWords, device.encryption));
  if (isWeak(device)) {
    dl.lastChild.classList.add('weak');
    add('Advice', 'choose "WPA2 with a passphrase" below: this security is weak');
  }
  const keyValue = element('dd');
  const keyText = element('span', device.key ? '(hidden)' : '(none)');
  keyValue.append(keyText);
  if (device.key) {
    const reveal = element('button', 'Show key', 'reveal');
    reveal.type = 'button';
    reveal.id = 'show-current-key';
    reveal.addEventListener('click', () => {
      const hidden = keyText.textContent === '(hidden)';
      keyText.textContent = hidden ? device.key : '(hidden)';
      reveal.textContent = hidden ? 'Hide key' : 'Show key';
      reveal.setAttribute('aria-pressed', String(hidden));
    });
    keyValue.append(' ', reveal);
  }
  dl.append(element('dt', 'Wireless key'), keyValue);
}

function showRules(device) {
  $('ssid-rule').textContent = '1 to 32 bytes. ' + device.requirements.ssid +
    ' (The same rule for every device.)';
  const [uMin, uMax] = device.limits.username;
  const [pMin, pMax] = device.limits.password;
  $('new-user').disabled = !device.usesUsername;
  $('new-user-rule').textContent = device.usesUsername
    ? uMin + ' to ' + uMax + ' characters. ' + device.requirements.username
    : 'This device has no administrator user name.';
  $('new-password-rule').textContent = pMin + ' to ' + pMax + ' characters. ' + device.requirements.password;
  for (const id of ['ssid-check', 'security-check', 'key-check', 'username-check', 'password-check']) {
    $(id).textContent = '';
    $(id).className = 'check-result';
  }
}

$('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  if (!/^(http:\/\/)?\d{1,3}(\.\d{1,3}){3}(:\d{1,5})?\/?$/.test($('address').value.trim())) {
    setFailure('not a device address: "' + $('address').value +
      '" (give dotted IPv4, e.g. 192.168.77.10, or http://ADDRESS:PORT, e.g. http://127.0.0.1:8080)');
    $('address').setAttribute('aria-invalid', 'true');
    $('address').focus();
    return;
  }
  $('address').removeAttribute('aria-invalid');
  $('settings').hidden = true;
  const login = loginBody();
  const job = await operate('show', login, 'Logging in to ' + login.address);
  if (!job || job.error) return;
  shown = job.result.device;
  credentials.set(deviceKey(login.address, login.mac), { user: login.user, password: login.password });
  $('configure').reset();
  showSettings(shown);
  showRules(shown);
  $('settings').hidden = false;
  numberSteps();
  $('settings-title').focus();
});

// ---- 3. configure ----
const bytes = (text) => new TextEncoder().encode(text).length;
const printable = (text) => /^[\x20-\x7e]*$/.test(text);
const hex = (text) => /^[0-9a-fA-F]+$/.test(text);

// The checks the page can make before anything is sent; each field's problem or ''.
function fieldProblems(body) {
  const p = {};
  if (body.ssid !== undefined && (bytes(body.ssid) < 1 || bytes(body.ssid) > 32))
    p.ssid = 'an SSID is 1 to 32 bytes long; this one has ' + bytes(body.ssid);
  const key = body.key || '';
  if (body.security === 'wep' && !(((key.length === 5 || key.length === 13) && printable(key)) || ((key.length === 10 || key.length === 26) && hex(key))))
    p.key = 'a WEP key is 5 or 13 characters, or 10 or 26 hexadecimal digits';
  else if (body.security && body.security !== 'wep' && body.security !== 'none' && !((key.length >= 8 && key.length <= 63 && printable(key)) || (key.length === 64 && hex(key))))
    p.key = 'a WPA passphrase is 8 to 63 printable characters (or 64 hexadecimal digits)';
  else if (body.security === 'none' && key) p.key = 'security mode none takes no key';
  else if (!body.security && key) p.security = 'choose the security mode the key is for';
  if (shown && body.newUser !== undefined) {
    const [min, max] = shown.limits.username;
    if (body.newUser.length < min || body.newUser.length > max) p.username = 'the new user name must be ' + min + ' to ' + max + ' characters';
  }
  if (shown && body.newPassword !== undefined) {
    const [min, max] = shown.limits.password;
    if (body.newPassword.length < min || body.newPassword.length > max) p.password = 'the new password must be ' + min + ' to ' + max + ' characters';
  }
  return p;
}

const settingWords = { ssid: 'network name', security: 'security', key: 'wireless key', username: 'user name', password: 'administrator password' };
const checkIds = { ssid: 'ssid-check', security: 'security-check', key: 'key-check', username: 'username-check', password: 'password-check' };
const inputIds = { ssid: 'new-ssid', security: 'new-security', key: 'new-key', username: 'new-user', password: 'new-password' };

function markField(setting, text, good) {
  const id = checkIds[setting];
  if (!id) return;
  $(id).textContent = text;
  $(id).className = 'check-result ' + (good ? 'good' : 'bad');
  if (good) $(inputIds[setting]).removeAttribute('aria-invalid');
  else $(inputIds[setting]).setAttribute('aria-invalid', 'true');
}

$('configure').addEventListener('submit', async (event) => {
  event.preventDefault();
  const body = loginBody();
  const value = (id) => $(id).value;
  if (value('new-ssid') !== '') body.ssid = value('new-ssid');
  if (value('new-security') !== '') body.security = value('new-security');
  if (value('new-key') !== '' || (body.security && body.security !== 'none')) body.key = value('new-key');
  if (value('new-user') !== '' && !$('new-user').disabled) body.newUser = value('new-user');
  if (value('new-password') !== '') body.newPassword = value('new-password');
  for (const setting of Object.keys(checkIds)) markField(setting, '', true);
  const problems = fieldProblems(body);
  const first = Object.keys(problems)[0];
  if (first) {
    for (const [setting, text] of Object.entries(problems)) markField(setting, text + '; nothing was sent', false);
    setFailure(problems[first] + '; nothing was sent to the device');
    $(inputIds[first]).focus();
    return;
  }
  if (body.ssid === undefined && !body.security && body.newUser === undefined && body.newPassword === undefined) {
    setFailure('nothing to change: fill in a new network name, a security mode with its key, or new administrator credentials');
    return;
  }
  $('configure-summary').textContent = '';
  const job = await operate('configure', body, 'Configuring ' + body.address);
  if (!job || !job.result || !job.result.changes) return;
  const heard = [];
  for (const change of job.result.changes) {
    const setting = change.setting === 'encryption' ? 'security' : change.setting;
    if (change.setting === 'encryption' && change.confirmed) continue;
    markField(setting, change.confirmed ? 'Read back: the device holds it' : 'NOT kept by the device', change.confirmed);
    heard.push(settingWords[setting] + (change.confirmed ? ' kept' : ' NOT kept'));
  }
  // The credentials that work from now on.
  if (body.newUser !== undefined) $('user').value = body.newUser;
  if (body.newPassword !== undefined) $('password').value = body.newPassword;
  credentials.set(deviceKey(body.address, body.mac), { user: $('user').value, password: $('password').value });
  shown = Object.assign(shown || {}, job.result.device);
  showSettings(shown);
  // Announced, and the focus on it, so that a screen reader hears what the device holds.
  $('configure-summary').textContent = 'Read back from the device: ' + heard.join(', ') + '.';
  $('configure-summary').focus();
});

// ---- 4. find by MAC ----
$('find').addEventListener('submit', async (event) => {
  event.preventDefault();
  const macs = $('find-mac').value.split(/[\s,]+/).filter((m) => m);
  if (macs.length === 0) {
    setFailure('give the MAC address of the device to find');
    $('find-mac').focus();
    return;
  }
  $('found').replaceChildren();
  const job = await operate('find', { macs }, 'Looking for ' + macs.join(', '));
  if (!job || !job.result || !job.result.results) return;
  $('found').replaceChildren(...job.result.results.map((r) => {
    if (!r.found) {
      const li = element('li');
      li.append(element('h3', r.mac), element('p', 'not found'));
      return li;
    }
    return deviceCard({ address: r.address, mac: r.mac }, 'Open', 'Found ' + r.mac);
  }));
  // A device found again at a new address moves there in the list of step 1 too.
  for (const r of job.result.results.filter((r) => r.found)) {
    for (const d of lastScan) if ((d.mac || '').toLowerCase() === r.mac.toLowerCase()) d.address = r.address;
  }
  listDevices(lastScan);
  $('found').focus();
});

// ---- 5. factory defaults ----
$('defaults').addEventListener('submit', async (event) => {
  event.preventDefault();
  $('defaults-result').textContent = '';
  const body = { ssid: $('def-ssid').value, bssid: $('def-bssid').value.trim(), channel: parseInt($('def-channel').value || '0', 10) || 0, rsn: $('def-rsn').value };
  const job = await operate('defaults', body, 'Asking the recognizers');
  if (!job || job.error) return;
  const r = job.result;
  $('defaults-result').textContent = 'Network "' + r.ssid + '" (' + r.bssid + '): ' + r.meaning + '.';
});

// ---- 6. a HAR file into a draft description ----
let harFile = null;
let harDraft = null;
$('har-file').addEventListener('change', () => { harFile = $('har-file').files[0] || null; });
$('har-drop').addEventListener('dragover', (event) => event.preventDefault());
$('har-drop').addEventListener('drop', (event) => {
  event.preventDefault();
  harFile = event.dataTransfer.files[0] || null;
  $('har-rule').textContent = harFile ? 'Dropped: ' + harFile.name : 'Choose it, or drop it here (up to 100 MB)';
});

function pair(list, term, value) {
  list.append(element('dt', term), element('dd', value));
}

$('har').addEventListener('submit', async (event) => {
  event.preventDefault();
  setFailure('');
  $('har-found').hidden = true;
  $('har-result').textContent = '';
  if (!harFile) {
    setFailure('choose the HAR file your browser saved, or drop it on the form');
    $('har-file').focus();
    return;
  }
  if (harFile.size > 100 * 1024 * 1024) {
    setFailure('the file is larger than 100 MB, more than a browser saves for one device');
    return;
  }
  let found;
  try {
    found = await post('/api/har', { har: await harFile.text(), password: $('har-password').value });
  } catch (e) {
    setFailure('cannot read the HAR file: ' + e.message);
    return;
  }
  const list = $('har-summary');
  list.replaceChildren();
  pair(list, 'Device', found.device + ' (' + found.exchanges + ' requests kept)');
  if (found.otherHosts.length) pair(list, 'Left out', found.otherHosts.join(', '));
  pair(list, 'Login', found.loginSteps.length ? found.loginSteps.join(', then ') : 'not found in the file');
  const sent = Object.keys(found.passwordSent);
  if (sent.length) pair(list, 'Password sent as', sent.map((k) => JSON.stringify(found.passwordSent[k])).join('; '));
  pair(list, 'Change', found.changeSteps.join(', then '));
  if (found.sanitized) pair(list, 'Cookies', 'none: the file was saved without sensitive data');
  $('har-marks').replaceChildren(
    ...found.gaps.map((g) => element('li', 'To fill in: ' + g)),
    ...found.guesses.map((g) => element('li', 'To check: ' + g)),
    ...found.notes.map((n) => element('li', 'Lost in the file: ' + n)));
  $('har-draft').textContent = found.draft;
  $('har-name').value = found.name;
  harDraft = found.draft;
  $('har-found').hidden = false;
  // The file holds the password in clear; nothing here kept it.
  $('har-result').textContent = 'Read. Delete the HAR file now (and empty the trash): it holds your password in clear.';
  $('har-result').focus();
});

$('har-save').addEventListener('submit', async (event) => {
  event.preventDefault();
  setFailure('');
  try {
    const saved = await post('/api/har/save', { name: $('har-name').value, description: harDraft });
    $('har-result').textContent = 'Draft written to ' + saved.file + '. Review it: fill in each gap and check each guess under "draft"' +
      (saved.loaded ? '; once no gap is left and "draft" is removed, the description module loads it from there.' : '; then remove "draft" and name its folder in KRZ_APDESCRIPTION_DIRS for the description module to load it.') +
      ' Delete the HAR file if you have not.';
  } catch (e) {
    setFailure('cannot write the draft: ' + e.message);
    if (e.field === 'name') $('har-name').focus();
  }
});

numberSteps();
