// The lab families as har-families.mjs drives them: where each device is, how a person logs in,
// changes the network name and key and saves, what the page says then, and the gaps only the
// family's author can fill (what no page of the device says).

// Submits by clicking `button` and waits for the page the form's answer loads.
async function submit(page, button) {
  await Promise.all([page.waitForNavigation(), page.click(button)]);
}

// What the author does with a change the browser posted from a form: start from the form as the
// device serves it (its per-session token and every setting kept as the device holds them), the
// button's field on top, and the answer the device gives.
// (The page's first form, where the draft's settings read theirs.)
function fromForm(step, fields, text) {
  const multipart = 'multipart' in step;
  delete step.urlencoded;
  delete step.multipart;
  step.form = { page: step.referer, fields, ...(multipart ? { multipart } : {}) };
  step.expect = text ? { text } : step.expect;
}

// Each row: the lab file and device; the account; basic (Basic login) or a login form the browse
// fills; the new name and key; saved: what the browser shows after saving; gaps: the draft's
// required gaps; author: fills them as the family's author would; liveSecurity: the mode the live
// configure asks for (the device's own); labOptions: the device's lab entry shortened (its
// restart); lostLoginAnswer: the browser kept no body of the login's answer.
export const families = [
  {
    family: 'acme', lab: 'default.json', device: 'acme-1', user: 'admin', password: 'gatekeeper',
    key: 'correct horse battery', basic: true, newSsid: 'Acme From Browser', newKey: 'browser-key-acme',
    async browse(page, origin, f) {
      await page.goto(origin + '/wireless.htm');
      await page.fill('input[name=ssid]', f.newSsid);
      await page.fill('input[name=psk]', f.newKey);
      await submit(page, 'input[name=apply]');
    },
    saved: /saved/i,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'admin', defaultPassword: 'admin', password: { max: 15 } });
      fromForm(d.changes[0].steps[0], { apply: 'Apply' }, 'Settings saved successfully.');
      d.changes[1].steps = [{ path: '/goform/admin', referer: '/admin.htm', form: { page: '/admin.htm',
        fields: { admin_user: '{user}', admin_pass: '{password}', admin_pass2: '{password}' } },
      expect: { text: 'Settings saved successfully.' } }];
    },
  },
  {
    family: 'corvid', lab: 'default.json', device: 'corvid-2', user: 'admin', password: 'rookery',
    key: 'blackfeathers', basic: true, newSsid: 'Corvid From Browser', newKey: 'browser-key-corvid',
    async browse(page, origin, f) {
      await page.goto(origin + '/');
      await page.goto(origin + '/wireless.htm');
      await page.fill('input[name=wl_ssid]', f.newSsid);
      await page.fill('input[name=wl_passphrase]', f.newKey);
      await submit(page, 'input[name=wl_apply]');
    },
    saved: /applied/i,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps', '/models/0', '/recognize/model/0/text'],
    author(d) {
      Object.assign(d.account, { defaultUser: '', defaultPassword: '', usesUsername: false,
        password: { max: 12, chars: 'restrictive' } });
      // No page names the model: the one model named stands (the browser fetched the logo, whose
      // digest tells the models apart, only with the credentials).
      d.models = ['CV-20'];
      delete d.recognize.model;
      const step = d.changes[0].steps[0];
      step.path = step.path.replace(/wl_auth=[^&]*/, 'wl_auth={security}').replace(/wl_crypto=[^&]*/, 'wl_crypto={encryption}');
      step.expect = { text: 'Your settings have been applied.' };
      d.changes[1].steps = [{ path: '/pwset.cgi', referer: '/password.htm',
        urlencoded: { curpw: '{currentPassword}', newpw: '{password}', newpw2: '{password}' },
        expect: { text: 'Your settings have been applied.' } }];
    },
  },
  {
    family: 'borealis', lab: 'default.json', device: 'borealis-1', user: 'root', password: 'northwind',
    key: 'polarlights42', newSsid: 'Borealis From Browser', newKey: 'browser-key-borealis',
    labOptions: { restartMs: 300 },
    liveSecurity: 'wpa-psk',
    async browse(page, origin, f) {
      await page.fill('input[name=uname]', f.user);
      await page.fill('input[name=upass]', f.password);
      await submit(page, 'input[type=submit]');
      await page.waitForURL(/status\.html/);
      await page.goto(origin + '/wireless.html');
      await page.fill('input[name=ssid]', f.newSsid);
      await page.fill('input[name=wpakey]', f.newKey);
      // The router restarts while its answer is on the way: the page never finishes loading.
      const [answer] = await Promise.all([page.waitForResponse('**/wireless.cgi'), page.click('input[name=save]')]);
      return answer.status() === 200 ? 'Settings applied' : 'refused: ' + answer.status();
    },
    saved: /Settings applied/,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'root', defaultPassword: 'borealis', password: { max: 31 } });
      // The router restarts as it answers, and forgets its sessions.
      fromForm(d.changes[0].steps[0], { save: 'Save & Restart' });
      d.changes[0].steps[0].restarts = true;
      d.changes[0].restart = { minimumMs: 0, maximumMs: 30000, pauseMs: 250 };
      d.login.expired = { status: 302 };
      d.changes[1].steps = [{ path: '/admin.cgi', referer: '/admin.html', form: { page: '/admin.html',
        multipart: true, fields: { newuser: '{user}', newpass: '{password}', confirm: '{password}', save: 'Save' } },
      expect: { text: 'Account settings saved.' } }];
    },
  },
  {
    family: 'merrowin', lab: 'merrowin.json', device: 'merrowin-1', user: 'admin', password: 'why-1',
    key: 'whyrouter-key-1', newSsid: 'Merrowin From Browser', newKey: 'browser-key-merrowin',
    labOptions: { options: { script: 'vars', restartMs: '300' } },
    async browse(page, origin, f) {
      await page.fill('input[name=username]', f.user);
      await page.fill('input[name=password]', f.password);
      await submit(page, 'input[type=submit]');
      await page.goto(origin + '/wireless.html');
      await page.waitForFunction(() => document.getElementById('wl_ssid').value !== '');
      await page.fill('#wl_ssid', f.newSsid);
      await page.fill('#wl_key', f.newKey);
      await submit(page, 'input[name=save]');
    },
    saved: /saved/i,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps', '/models/0', '/recognize/match/0/text',
      '/recognize/model/0/text'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'admin', defaultPassword: 'admin', password: { max: 32 } });
      // The HAR kept no body of the start page's redirect, where the title names the device; the
      // one model named stands.
      d.models = ['MW-4'];
      d.recognize = { match: [{ header: 'Server: mw-httpd' }] };
      // The form's fields are empty until its script fills them from its variables.
      for (const [setting, name] of [['ssid', 'Ssid'], ['security', 'Sec'], ['encryption', 'Enc'], ['key', 'Key']])
        d.settings[setting] = { page: '/wireless.html', form: 'wl', field: d.settings[setting].field, script: 'wl' + name };
      fromForm(d.changes[0].steps[0], { wl_ssid: '{ssid}', wl_sec: '{security}', wl_enc: '{encryption}',
        wl_key: '{key}', save: 'Save' }, 'Settings saved.');
      d.changes[0].steps[0].restarts = true;
      d.changes[0].restart = { minimumMs: 0, maximumMs: 30000, pauseMs: 250 };
      d.login.expired = { status: 403 };  // a restart ends the session
      d.changes[1].steps = [{ path: '/password.cgi', referer: '/password.html', form: { page: '/password.html',
        fields: { old_password: '{currentPassword}', new_password: '{password}', new_password2: '{password}' } },
      expect: { text: 'Your password has been changed.' } }];
    },
  },
  {
    family: 'ddwrt', lab: 'firmware.json', device: 'ddwrt-1', user: 'root', password: 'dd-1',
    key: 'ddwrt-key-1', basic: '/Wireless_Basic.asp', newSsid: 'DD From Browser', newKey: 'browser-key-ddwrt',
    labOptions: { restartMs: 300 },
    async browse(page, origin, f) {
      await page.click('text=Wireless');
      await page.fill('input[name=wl0_ssid]', f.newSsid);
      await submit(page, 'input[name=save_button]');
      await page.click('text=Wireless Security');
      await page.fill('input[name=wl0_wpa_psk]', f.newKey);
      await submit(page, 'input[name=apply_button]');
      return await page.inputValue('input[name=wl0_wpa_psk]') === f.newKey &&
        await page.locator('.error').count() === 0 ? 'saved' : 'not saved';
    },
    saved: /^saved$/,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/0/steps/1', '/changes/1/steps', '/models/0', '/recognize/model/0/text'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'root', defaultPassword: 'admin', usesUsername: true,
        user: { min: 1, max: 63 }, password: { min: 1, max: 63 } });
      d.vendor = 'DD-WRT';
      d.models = ['DD-WRT'];
      d.recognize = { match: [{ text: ' \\(build [0-9]+\\) - [^<]*</title>' }], model: [{ text: '(DD-WRT) v[0-9]' }] };
      // The status page asks for no password: the login is checked on a page that does.
      d.login.steps = [{ path: '/Wireless_Basic.asp', referer: '/Info.htm' }];
      fromForm(d.changes[0].steps[0], { action: 'Apply' });
      fromForm(d.changes[0].steps[1], { action: 'ApplyTake' });
      d.changes[0].steps[1].restarts = true;
      d.changes[0].restart = { minimumMs: 0, maximumMs: 90000, pauseMs: 250 };
      d.changes[1].steps = [{ path: '/apply.cgi', referer: '/Management.asp', form: { page: '/Management.asp',
        fields: { http_username: '{user}', http_passwd: '{password}', http_passwdConfirm: '{password}',
          action: 'ApplyTake' } }, expect: { status: 200 }, restarts: true }];
      d.changes[1].restart = { minimumMs: 0, maximumMs: 90000, pauseMs: 250 };
    },
  },
  {
    family: 'freshtomato', lab: 'firmware.json', device: 'freshtomato-1', user: 'root', password: 'tomato-pass',
    key: 'tomato-key-1', basic: true, newSsid: 'Tomato From Browser', newKey: 'browser-key-tomato',
    labOptions: { restartMs: 300 },
    async browse(page, origin, f) {
      await page.goto(origin + '/basic-network.asp');
      await page.fill('#_wl0_ssid', f.newSsid);
      await page.fill('#_wl0_wpa_psk', f.newKey);
      await page.click('#save-button');
      await page.waitForFunction(() => document.getElementById('footer-msg').textContent !== '');
      return page.locator('#footer-msg').textContent();
    },
    saved: /^Settings saved\.$/,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps', '/encryption', '/models/0', '/recognize/match/0/text',
      '/recognize/model/0/text', '/security', '/settings/encryption', '/settings/security'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'root', defaultPassword: 'admin', password: { min: 1, max: 32 } });
      d.vendor = 'FreshTomato';
      d.models = ['FreshTomato'];
      d.recognize = { status: 401, match: [{ header: 'Expires: Thu, 31 Dec 1970 00:00:00 GMT' }],
        model: [{ header: 'WWW-Authenticate: Basic realm="(FreshTomato)"' }] };
      // Every setting is in the page's nvram object; the form's fields are empty until its script runs.
      for (const setting of ['ssid', 'security', 'encryption', 'key'])
        d.settings[setting] = { page: '/basic-network.asp', script: 'nvram',
          member: { ssid: 'wl0_ssid', security: 'wl0_security_mode', encryption: 'wl0_crypto', key: 'wl0_wpa_psk' }[setting] };
      d.security = { none: 'disabled', 'wpa-psk': 'wpa_personal', 'wpa2-psk': 'wpa2_personal', 'wpa-wpa2-psk': 'wpaX_personal' };
      d.encryption = { tkip: 'tkip', aes: 'aes', 'tkip-aes': 'tkip+aes' };
      // The page id the browser sent back comes from the page's nvram; the other values as the device holds them.
      const post = d.changes[0].steps[0];
      Object.assign(post.urlencoded, { _http_id: '{id}', wl0_security_mode: '{security}', wl0_crypto: '{encryption}' });
      post.expect = { status: 200, text: '@msg:Settings saved.' };
      post.restarts = true;
      d.changes[0].steps.unshift({ path: '/basic-network.asp', capture: { id: { script: 'nvram', member: 'http_id' } } });
      d.changes[0].restart = { minimumMs: 0, maximumMs: 60000, pauseMs: 250 };
      d.changes[1].steps = [
        { path: '/admin-access.asp', capture: { id: { script: 'nvram', member: 'http_id' } } },
        { path: '/tomato.cgi', referer: '/admin-access.asp', urlencoded: { _ajax: '1', _http_id: '{id}',
          _nextpage: 'admin-access.asp', _service: 'admin-restart', http_username: '{user}',
          set_password_1: '{password}', set_password_2: '{password}' },
        expect: { status: 200, text: '@msg:Settings saved.' }, restarts: true }];
    },
  },
  {
    family: 'asuswrt', lab: 'firmware.json', device: 'asuswrt-1', user: 'admin', password: 'merlin-pass',
    key: 'merlin-key-1', newSsid: 'Merlin From Browser', newKey: 'browser-key-merlin',
    labOptions: { restartMs: 300 },
    async browse(page, origin, f) {
      await page.waitForURL(/Main_Login\.asp/);
      await page.fill('input[name=login_username]', f.user);
      await page.fill('input[name=login_passwd]', f.password);
      await Promise.all([page.waitForURL(/index\.asp/), page.click('text=Sign In')]);
      await Promise.all([page.waitForURL(/Advanced_Wireless_Content/), page.click('text=Wireless')]);
      await page.waitForFunction(() => document.getElementById('wl_ssid').value !== '');
      await page.fill('#wl_ssid', f.newSsid);
      await page.fill('#wl_wpa_psk', f.newKey);
      const [answer] = await Promise.all([page.waitForResponse('**/applyapp.cgi'), page.click('text=Apply')]);
      return answer.text();
    },
    saved: /./,
    loginTransformed: true,  // the page sends base64 of user:password, which describe recognizes
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps', '/encryption', '/models/0',
      '/recognize/match/0/text', '/recognize/model/0/text', '/security', '/settings/encryption',
      '/settings/security', '/settings/ssid'],
    author(d) {
      d.vendor = 'ASUSWRT-Merlin';
      Object.assign(d.account, { defaultUser: 'admin', defaultPassword: 'admin', password: { min: 5, max: 32 } });
      d.models = ['ASUS', '*'];
      d.recognize = { status: 200, match: [{ header: 'Server: httpd/2\\.0' }], page: '/Main_Login.asp',
        model: [{ text: '<title>(ASUS) Login</title>' }] };
      d.values = { auth: { base64: '{loginUser}:{currentPassword}' } };
      d.login = { steps: [{ path: '/Main_Login.asp' }, { path: '/login.cgi', referer: '/Main_Login.asp',
        urlencoded: { group_id: '', action_mode: '', action_script: '', action_wait: '5',
          current_page: 'Main_Login.asp', next_page: 'index.asp', login_authorization: '{auth}' },
        expect: { status: 200 }, capture: { token: { cookie: 'asus_token' } } }],
      expired: { text: "location.href='/Main_Login.asp'" }, logout: [{ path: '/Logout.asp' }] };
      // The page reads its settings as the browser did, through appGet.cgi.
      const read = { path: '/appGet.cgi?hook=nvram_get(wl0_ssid);nvram_get(wl0_auth_mode_x);' +
        'nvram_get(wl0_crypto);nvram_get(wl0_wpa_psk)', referer: '/Advanced_Wireless_Content.asp' };
      for (const [setting, name] of [['ssid', 'wl0_ssid'], ['security', 'wl0_auth_mode_x'],
        ['encryption', 'wl0_crypto'], ['key', 'wl0_wpa_psk']])
        d.settings[setting] = { request: read, json: '/' + name };
      d.security = { none: 'open', 'wpa-psk': 'psk', 'wpa2-psk': 'psk2', 'wpa-wpa2-psk': 'pskpsk2' };
      d.encryption = { tkip: 'tkip', aes: 'aes', 'tkip-aes': 'tkip+aes' };
      Object.assign(d.changes[0].steps[0].json, { wl_auth_mode_x: '{security}', wl_crypto: '{encryption}' });
      d.changes[1].steps = [{ path: '/applyapp.cgi', referer: '/Advanced_System_Content.asp',
        urlencoded: { action_mode: 'apply', rc_service: 'restart_time;restart_upnp',
          http_username: '{user}', http_passwd: '{password}' }, expect: { status: 200 } }];
    },
  },
  {
    family: 'sorrelby', lab: 'firmware.json', device: 'sorrelby-1', user: 'admin', password: 'chal-lenge1',
    key: 'sorrelby-key-1', newSsid: 'Sorrelby From Browser', newKey: 'browser-key-sorrelby',
    labOptions: { options: { iterations: '10000', restartMs: '300' } },
    loginTransformed: true,  // the page answers a challenge with PBKDF2 and HMAC, which describe recognizes
    async browse(page, origin, f) {
      await page.fill('input[name=user]', f.user);
      await page.fill('input[name=password]', f.password);
      await Promise.all([page.waitForURL(/wireless\.html/), page.click('text=Log in')]);
      await page.waitForFunction(() => document.forms.wireless && document.forms.wireless.ssid.value !== '');
      await page.fill('input[name=ssid]', f.newSsid);
      await page.fill('input[name=passphrase]', f.newKey);
      await page.click('text=Save');
      await page.waitForFunction(() => document.getElementById('note').textContent !== '');
      return page.locator('#note').textContent();
    },
    saved: /^Saved\./,
    // The page moves on as soon as the login answers, before the browser kept that answer's body:
    // the reader rebuilds it from the token the later requests carried.
    lostLoginAnswer: true,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/0', '/changes/1/steps', '/encryption', '/security',
      '/settings/encryption', '/settings/security', '/settings/ssid'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'admin', defaultPassword: 'admin', usesUsername: true,
        password: { min: 5, max: 63 } });
      d.recognize.match = [{ header: 'Server: sorrelby-httpd' }];
      d.values = { proof: { hmacSha256: { key: { fromHex: { pbkdf2Sha256: {
        password: '{currentPassword}', salt: '{salt}', iterations: '{iterations}' } } }, data: '{nonce}' } } };
      d.login = { steps: [
        { path: '/api/challenge?user={loginUser}',
          capture: { nonce: { json: '/nonce' }, salt: { json: '/salt' }, iterations: { json: '/iterations' } } },
        // What the login answers, which the HAR may have lost: the check then plays it as this.
        { path: '/api/login', json: { user: '{loginUser}', nonce: '{nonce}', proof: '{proof}' },
          expect: { status: 200, json: { '/ok': true } },
          capture: { token: { json: '/token' }, session: { cookie: 'srb_session' } } }],
      headers: { 'X-Sorrelby-Token': '{token}' }, expired: { status: 401, json: { '/error': 'session' } },
      busy: { text: 'Another administrator is logged in' }, logout: [{ path: '/api/logout', json: {} }] };
      for (const [setting, member] of [['ssid', 'ssid'], ['security', 'security'], ['encryption', 'cipher'], ['key', 'passphrase']])
        d.settings[setting] = { page: '/api/wireless', json: '/' + member };
      d.security = { none: 'open', wep: 'wep', 'wpa-psk': 'wpa', 'wpa2-psk': 'wpa2', 'wpa-wpa2-psk': 'wpa-mixed' };
      d.encryption = { none: 'none', wep64: 'wep64', wep128: 'wep128', tkip: 'tkip', aes: 'aes', 'tkip-aes': 'tkip+aes' };
      // The other members as the device holds them now; the radio restarts as it answers.
      const post = d.changes[0].steps[0];
      Object.assign(post.json, { security: '{security}', cipher: '{encryption}', channel: '{channel}', hidden: '{hidden}' });
      post.restarts = true;
      d.changes[0].steps.unshift({ path: '/api/wireless', capture: { channel: { json: '/channel' }, hidden: { json: '/hidden' } } });
      d.changes[0].restart = { minimumMs: 0, maximumMs: 30000, pauseMs: 250 };
      d.changes[1].steps = [
        { path: '/api/challenge?user={loginUser}',
          capture: { nonce: { json: '/nonce' }, salt: { json: '/salt' }, iterations: { json: '/iterations' } } },
        { path: '/api/admin', referer: '/admin.html',
          json: { user: '{user}', password: '{password}', nonce: '{nonce}', proof: '{proof}' },
          expect: { status: 200, json: { '/ok': true } } }];
    },
  },
  {
    family: 'luci', lab: 'firmware.json', device: 'luci-1', user: 'root', password: 'open-1',
    key: 'openwrt-key-1', newSsid: 'LuCI From Browser', newKey: 'browser-key-luci',
    async browse(page, origin, f) {
      await page.waitForSelector('input[name=luci_password]');
      await page.fill('input[name=luci_username]', f.user);
      await page.fill('input[name=luci_password]', f.password);
      await submit(page, 'input[type=submit]');
      await page.goto(origin + '/cgi-bin/luci/admin/network/wireless');
      await page.waitForSelector('#wifi');
      await page.fill('input[name=ssid]', f.newSsid);
      await page.fill('input[name=key]', f.newKey);
      await page.click('text=Save & Apply');
      await page.waitForFunction(() => document.getElementById('note').textContent !== '');
      return page.locator('#note').textContent();
    },
    saved: /^Settings applied\.$/,
    gaps: ['/account/defaultUser', '/account/defaultPassword', '/account/password/max',
      '/changes/0/steps/1', '/changes/1/steps', '/encryption', '/models/0', '/recognize/match/0/text',
      '/recognize/model/0/text', '/security', '/settings/encryption', '/settings/security', '/settings/ssid'],
    author(d) {
      Object.assign(d.account, { defaultUser: 'root', defaultPassword: '', usesUsername: false, fixedUser: 'root',
        password: { min: 1, max: 128 } });
      d.models = ['LuCI'];
      // The HAR kept the start page's headers but not its body (the browser left it at once):
      // the start page is claimed by what the server sends with every page, the model by the
      // login page, fetched only then.
      d.recognize = { match: [{ header: 'X-Frame-Options: SAMEORIGIN' }], page: '/cgi-bin/luci/',
        model: [{ header: 'X-(LuCI)-Login-Required: yes' }, { text: ' - (LuCI)</title>' }] };
      // The session id and the form token the browser sent are in the page's script (placeholders
      // in the recording, so taken whatever their shape).
      d.login.steps.push({ path: '/cgi-bin/luci/admin/network/wireless',
        capture: { sid: { pattern: '"sessionid":\\s*"([^"]+)"' }, token: { pattern: '"token":\\s*"([^"]+)"' } } });
      d.login.expired = { json: { '/error/code': -32002 } };
      const ubus = (method, args) => ({ path: '/ubus/', expect: { json: { '/result/0': 0 } },
        json: { jsonrpc: '2.0', id: 1, method: 'call', params: ['{sid}', 'uci', method, args] } });
      const radio = ubus('get', { config: 'wireless', section: 'default_radio0' });
      for (const [setting, option] of [['ssid', 'ssid'], ['security', 'encryption'], ['key', 'key']])
        d.settings[setting] = { json: '/result/1/values/' + option, request: radio };
      delete d.settings.encryption;
      delete d.encryption;
      d.security = { none: 'none', 'wpa-psk/aes': 'psk+ccmp', 'wpa2-psk/aes': 'psk2',
        'wpa-wpa2-psk/tkip-aes': 'psk-mixed', 'wpa-wpa2-psk/aes': 'psk-mixed+ccmp' };
      const change = JSON.parse(JSON.stringify(d.changes[0]).replaceAll('COOKIE-0001', '{sid}')
        .replaceAll('SECRET-0001', '{token}').replaceAll('SECRET-0002', '{rollback}'));
      change.steps[1].json.params[3].values.encryption = '{security}';
      change.steps[2].capture = { rollback: { json: '/token' } };
      d.changes[0] = change;
      d.changes[1].steps = [{ path: '/ubus/', referer: '/cgi-bin/luci/admin/system/admin',
        json: { jsonrpc: '2.0', id: 1, method: 'call',
          params: ['{sid}', 'luci', 'setPassword', { username: '{loginUser}', password: '{password}' }] },
        expect: { json: { '/result/0': 0, '/result/1/result': true } } }];
    },
  },
];
