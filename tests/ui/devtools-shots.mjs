// Remakes docs/har-keep-log.png and docs/har-export.png: Chromium's own developer tools (their
// front end, served by the browser's debugging port on loopback) beside a lab router's pages,
// while a person changes the network name. Not a test; run by hand from the folder where the
// page's tests install their npm packages (build/.../tests/ui/node):
//   krzlab serve --lab lab/labs/default.json --device acme-1 --address 127.0.0.1 --port 0
//   node devtools-shots.mjs http://127.0.0.1:PORT OUTPUT_FOLDER
import { chromium } from 'playwright-core';
const origin = process.argv[2];
const out = process.argv[3];
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--remote-debugging-port=9333'] });
const context = await browser.newContext({ viewport: { width: 1000, height: 560 },
  httpCredentials: { username: 'admin', password: 'gatekeeper' } });
const page = await context.newPage();
await page.goto(origin + '/index.htm');
const targets = await (await fetch('http://127.0.0.1:9333/json')).json();
const t = targets.find(x => x.type === 'page' && x.url.startsWith(origin));
const tools = await context.newPage();
await tools.setViewportSize({ width: 1500, height: 640 });
await tools.goto('http://127.0.0.1:9333/devtools/inspector.html?ws=127.0.0.1:9333/devtools/page/' + t.id);
await tools.waitForTimeout(2500);
// The command menu opens the Network panel whatever tabs fit.
await tools.keyboard.press('Control+Shift+P');
await tools.waitForTimeout(500);
await tools.keyboard.type('Show Network');
await tools.waitForTimeout(500);
await tools.keyboard.press('Enter');
await tools.waitForTimeout(1500);
const preserve = tools.getByText(/^(Preserve log|Keep log)$/);
await preserve.click({ timeout: 3000 }).catch((e) => console.log('no preserve', e.message.split('\n')[0]));
await tools.waitForTimeout(500);
await tools.screenshot({ path: out + '/har-1-network.png' });
await page.click('a[href="/wireless.htm"]');
await page.fill('input[name=ssid]', 'Cafe');
await page.click('input[value=Apply]');
await page.waitForLoadState();
await tools.waitForTimeout(1500);
await tools.screenshot({ path: out + '/har-2-requests.png' });
// The export button's tooltip names what it saves.
await tools.getByRole('button', { name: /Export HAR/ }).first().hover();
await tools.waitForTimeout(1500);
await tools.screenshot({ path: out + '/har-3-export.png' });
await browser.close();
