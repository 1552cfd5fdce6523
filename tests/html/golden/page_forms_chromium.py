#!/usr/bin/env python3
# Renders each case of page_forms.json in headless Chromium (in a network namespace with no
# interfaces up, so that nothing leaves the machine) and says where it differs from the table:
# the buttons, options and labels of form 0. Usage: page_forms_chromium.py page_forms.json
import json, subprocess, sys, tempfile, os, html
cases = json.load(open(sys.argv[1]))
probe = r"""<script>
const f = document.forms[0]; const out = {buttons: [], options: {}, labels: {}};
const plain = t => t.replace(/[ \t\n\f\r]+/g, ' ').trim();
for (const e of Array.from(document.querySelectorAll('input,button,select,textarea')).filter(e => e.form === f)) {
  const t = e.type;
  if (e.tagName == 'BUTTON' || ['submit','image','button','reset'].includes(t) && e.tagName == 'INPUT') {
    let label = e.tagName == 'BUTTON' ? plain(e.textContent) : (t == 'image' ? e.alt : (e.value || (t=='submit' ? 'Submit' : t=='reset' ? 'Reset' : '')));
    out.buttons.push([t, e.name, label]);
  } else if (e.name) {
    if (e.tagName == 'SELECT') out.options[e.name] = Array.from(e.options).map(o => [o.value, plain(o.text)]);
    if (e.labels && e.labels.length) out.labels[e.name] = plain(e.labels[0].textContent);
  }
}
document.body.setAttribute('data-view', JSON.stringify(out));
</script>"""
for c in cases:
    with tempfile.NamedTemporaryFile('w', suffix='.html', delete=False) as f:
        f.write('<!doctype html><html><body>' + c['page'] + probe + '</body></html>')
    dom = subprocess.run(['unshare', '--net', 'chromium', '--headless', '--no-sandbox', '--disable-gpu',
                          '--dump-dom', 'file://' + f.name], capture_output=True, text=True).stdout
    os.unlink(f.name)
    start = dom.index('data-view="') + len('data-view="')
    view = json.loads(html.unescape(dom[start:dom.index('"', start)]))
    ok = all(view[k] == c[k] for k in ('buttons', 'options', 'labels') if k in c)
    print('OK ' if ok else 'DIFF', c['case'])
    if not ok:
        for k in ('buttons', 'options', 'labels'):
            if k in c: print('  chromium', k, view[k]); print('  expected', k, c[k])
