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
  delete step.urlencoded;
  step.form = { page: step.referer, fields };
  step.expect = { text };
}

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
    sanitizedGaps: [],
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
    sanitizedGaps: [],
  },
];
