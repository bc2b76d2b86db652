// Renders the built page in Debian's headless Chromium against the mock back end, checks what a
// person and the back end would notice, and keeps screenshots of the main views.
//
//   node web/dev/check.mjs [screenshot-dir]
//
// Needs: apt-get install -y chromium fonts-noto-cjk; npm ci in web/ and in web/dev/.

import { chromium } from 'playwright-core';
import { execFileSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const web = resolve(here, '..');
const shots = resolve(process.argv[2] || join(here, 'out', 'screenshots'));
const pagePath = join(here, 'out', 'index.html');
mkdirSync(shots, { recursive: true });
execFileSync(process.execPath, [join(web, 'build.mjs'), pagePath], { stdio: 'inherit' });

// launch() runs Chromium with a fresh profile directory of its own and removes it afterwards.
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});

const results = [];
async function check(name, fn) {
  try {
    await fn();
    results.push([name, null]);
    console.log(`ok   ${name}`);
  } catch (err) {
    results.push([name, err]);
    console.log(`FAIL ${name}\n     ${String(err && err.stack ? err.stack : err).split('\n').slice(0, 4).join('\n     ')}`);
  }
}
function expect(cond, what) {
  if (!cond) throw new Error(what);
}

// A fresh page with its own storage and the mock installed the way the host installs its bridge.
async function openPage(mock = {}, { width = 1280, height = 760 } = {}) {
  const context = await browser.newContext({ viewport: { width, height }, deviceScaleFactor: 1 });
  const page = await context.newPage();
  const dialogs = [];
  const errors = [];
  page.on('dialog', (d) => {
    dialogs.push(d.message());
    d.dismiss();
  });
  page.on('pageerror', (e) => errors.push(e));
  await page.addInitScript((m) => {
    window.__veltaroMock = m;
  }, mock);
  await page.addInitScript({ path: join(here, 'mock-api.js') });
  await page.goto(pathToFileURL(pagePath).href);
  await page.waitForFunction(() => window.veltaroTest && document.querySelector('#session-list, #session-empty'));
  return { page, context, dialogs, errors };
}

const shot = (page, name) => page.screenshot({ path: join(shots, name) });
const rows = (page) => page.$$eval('[data-testid="session-row"]', (els) => els.map((e) => e.querySelector('.session-name').textContent));

async function openTab(page, name) {
  const before = await page.evaluate(() => window.veltaroTest.tabIds().length);
  await page.locator('[data-testid="session-row"]', { hasText: name }).first().dblclick();
  await page.waitForFunction((n) => window.veltaroTest.tabIds().length > n, before);
  return page.evaluate(() => window.veltaroTest.activeTab());
}

async function waitForText(page, tabId, text, timeout = 5000) {
  await page.waitForFunction(([id, t]) => (window.veltaroTest.terminalText(id) || '').includes(t), [tabId, text], { timeout });
}

// ---------------------------------------------------------------------------------------------

await check('empty store shows the friendly panel and its button opens the editor', async () => {
  const { page, context, errors } = await openPage({ scenario: 'empty' });
  await page.waitForSelector('#session-empty:not([hidden])');
  await page.waitForSelector('#welcome:not([hidden])');
  await shot(page, '01-empty-store.png');
  await page.click('#btn-empty-new');
  await page.waitForSelector('#editor:not([hidden])');
  expect((await page.textContent('#editor-title')) === '新增連線', 'editor title');
  expect(errors.length === 0, `page errors: ${errors.join('; ')}`);
  await context.close();
});

await check('host that appears late is waited for', async () => {
  const { page, context } = await openPage({ hostDelayMs: 900 });
  await page.waitForFunction(() => document.querySelectorAll('[data-testid="session-row"]').length === 6, null, { timeout: 5000 });
  await context.close();
});

await check('session list: dots, names, detail lines, filter', async () => {
  const { page, context } = await openPage();
  await page.waitForFunction(() => document.querySelectorAll('[data-testid="session-row"]').length === 6);
  await page.waitForFunction(() => document.querySelector('[data-status="online"]'));
  const statuses = await page.$$eval('[data-testid="session-dot"]', (els) => els.map((e) => e.dataset.status));
  expect(JSON.stringify(statuses) === JSON.stringify(['online', 'unknown', 'offline', 'unknown', 'unknown', 'online']), `dots ${statuses}`);
  const details = await page.$$eval('.session-detail', (els) => els.map((e) => e.textContent));
  expect(details[1] === 'serial · /dev/ttyUSB0 @ 115200', `serial detail ${details[1]}`);
  expect((await rows(page))[4] === '127.0.0.1:7000', 'unnamed session shows host:port');
  await page.locator('[data-testid="session-row"]').nth(2).hover();
  await shot(page, '02-session-list.png');
  await page.fill('#session-filter', '10.0');
  expect(JSON.stringify(await rows(page)) === JSON.stringify(['辦公室路由器', '序列伺服器 4 號埠']), `filtered ${await rows(page)}`);
  await page.fill('#session-filter', 'zzz');
  await page.waitForSelector('#session-nomatch:not([hidden])');
  await context.close();
});

await check('a session name made of markup is shown as text and runs nothing', async () => {
  const { page, context, dialogs } = await openPage({ scenario: 'empty' });
  await page.click('#btn-empty-new');
  const evil = '<img src=x onerror=alert(1)>';
  await page.fill('#field-name', evil);
  await page.fill('#field-host', '127.0.0.1');
  await page.keyboard.press('Control+Enter');
  await page.waitForSelector('#editor', { state: 'hidden' });
  expect((await rows(page))[0] === evil, 'name shown literally');
  expect(await page.$$eval('#session-list img, #welcome img, #toasts img', (n) => n.length) === 0, 'no image element was made');
  await page.evaluate((e) => window.setTerminalInfo('nope', e, true), evil);
  await page.waitForTimeout(300);
  expect(dialogs.length === 0, `dialogs opened: ${dialogs}`);
  await context.close();
});

await check('editor: fields by protocol, validation, Ctrl+Enter and Esc', async () => {
  const { page, context } = await openPage();
  await page.click('#btn-new-session');
  await page.waitForSelector('#editor:not([hidden])');
  for (const id of ['field-host', 'field-port', 'field-username', 'field-password', 'field-private_key', 'field-agent_forwarding', 'field-terminal_type', 'field-line_code_page', 'field-lfhascr', 'field-crhaslf', 'field-keepalive_sec', 'field-ssh_kex']) {
    expect(await page.$(`#${id}`), `ssh editor lacks #${id}`);
  }
  expect(await page.$eval('[data-section="advanced"]', (d) => !d.open), 'advanced starts folded');
  expect(await page.isDisabled('#editor-save'), 'save disabled without a host');
  await page.fill('#field-name', '測試主機');
  await page.fill('#field-host', 'lab.example');
  await page.fill('#field-port', '70000');
  await page.locator('#field-port').blur();
  expect((await page.textContent('#error-port')).includes('1 到 65535'), 'port error text');
  expect(await page.isDisabled('#editor-save'), 'save disabled for port 70000');
  const savesBefore = await page.evaluate(() => window.__mock.calls('save_session').length);
  await page.keyboard.press('Control+Enter');
  await page.waitForTimeout(100);
  expect(await page.evaluate(() => window.__mock.calls('save_session').length) === savesBefore, 'invalid record was sent');
  await page.fill('#field-port', '2222');
  await page.click('[data-section="advanced"] > summary');
  await page.click('[data-section="forwards"] > summary');
  await page.click('#editor-add-forward');
  await page.fill('#field-port_forwards-0-spec', '8080:localhost');
  await page.locator('#field-port_forwards-0-spec').blur();
  expect((await page.textContent('#error-port_forwards-0-spec')).includes('格式'), 'forward spec error');
  await page.fill('#field-port_forwards-0-spec', '8080:localhost:80');
  await page.fill('#field-keepalive_sec', '15');
  await page.fill('#field-ssh_ciphers', 'aes128-ctr, aes256-cbc');
  await page.evaluate(() => document.querySelector('.editor-form').scrollTo(0, 0));
  await shot(page, '03-editor-ssh.png');
  await page.evaluate(() => document.querySelector('[data-section="forwards"]').scrollIntoView());
  await shot(page, '03b-editor-ssh-advanced.png');
  await page.keyboard.press('Control+Enter');
  await page.waitForSelector('#editor', { state: 'hidden' });
  const sent = await page.evaluate(() => window.__mock.calls('save_session').at(-1).args[0]);
  expect(sent.port === 2222 && sent.keepalive_sec === 15, `numbers are numbers: ${JSON.stringify(sent)}`);
  expect(JSON.stringify(sent.ssh_ciphers) === '["aes128-ctr","aes256-cbc"]', 'algorithm list');
  expect(JSON.stringify(sent.port_forwards) === '[{"type":"L","spec":"8080:localhost:80"}]', 'forward rules');
  expect(!('id' in sent), 'a new record carries no id');

  // Serial: the port field is the baud rate; a zero baud is refused.
  await page.click('#btn-new-session');
  await page.selectOption('#field-protocol', 'serial');
  expect(!(await page.$('#field-username')), 'serial has no user name');
  await page.fill('#field-host', '/dev/ttyUSB1');
  await page.fill('#field-port', '0');
  await page.locator('#field-port').blur();
  expect((await page.textContent('#error-port')).includes('大於 0'), 'baud error');
  await page.fill('#field-port', '74880');
  await page.selectOption('#field-serial_flow', 'R');
  await shot(page, '04-editor-serial.png');
  // Unsaved edits ask before Esc discards them.
  await page.keyboard.press('Escape');
  await page.waitForSelector('#confirm:not([hidden])');
  await page.click('#confirm-cancel');
  expect(await page.isVisible('#editor'), 'editor stays after "繼續編輯"');
  await page.keyboard.press('Escape');
  await page.click('#confirm-ok');
  await page.waitForSelector('#editor', { state: 'hidden' });
  await context.close();
});

await check('editing keeps fields the form does not show and the record order', async () => {
  const { page, context } = await openPage();
  await page.locator('[data-testid="session-row"]').nth(1).hover();
  await page.locator('[data-testid="session-edit"]').nth(1).click();
  await page.waitForSelector('#editor:not([hidden])');
  expect(await page.inputValue('#field-port') === '115200', 'baud shown in the port field');
  await page.fill('#field-name', 'ESP32-S3 板');
  await page.click('#editor-save');
  await page.waitForSelector('#editor', { state: 'hidden' });
  const sent = await page.evaluate(() => window.__mock.calls('save_session').at(-1).args[0]);
  expect(Object.keys(sent).slice(0, 5).join() === 'id,name,protocol,host,port', `order ${Object.keys(sent)}`);
  expect(sent.port === 115200 && sent.name === 'ESP32-S3 板', 'values');
  await context.close();
});

await check('a store write error keeps the editor open and says so', async () => {
  const { page, context } = await openPage({ failSaves: true });
  await page.click('#btn-new-session');
  await page.fill('#field-name', '不會存到檔案');
  await page.fill('#field-host', '10.1.1.1');
  await page.click('#editor-save');
  await page.waitForSelector('#editor-banner:not([hidden])');
  expect(await page.isVisible('#editor'), 'editor still open');
  expect((await page.textContent('#editor-banner')).includes('No space left on device'), 'banner names the error');
  expect(!(await page.$('.toast-success')), 'nothing says saved');
  await shot(page, '06-save-error.png');
  // A second try updates the record the store already took, instead of adding another.
  await page.click('#editor-save');
  await page.waitForFunction(() => window.__mock.calls('save_session').length === 2);
  const second = await page.evaluate(() => window.__mock.calls('save_session')[1].args[0]);
  expect(typeof second.id === 'string' && second.id.length === 32, 'retry carries the id');
  await context.close();
});

await check('delete asks first, says tabs stay open, and reports a failed write', async () => {
  const { page, context } = await openPage({ failSaves: true });
  await openTab(page, '辦公室路由器');
  await page.locator('[data-testid="session-row"]').first().hover();
  await page.locator('[data-testid="session-delete"]').first().click();
  await page.waitForSelector('#confirm:not([hidden])');
  expect((await page.textContent('#confirm-detail')).includes('保持連線'), 'says tabs stay open');
  await shot(page, '07-confirm-delete.png');
  await page.click('#confirm-ok');
  await page.waitForSelector('.toast-error');
  expect((await page.textContent('.toast-error')).includes('Permission denied'), 'error shown');
  expect(await page.evaluate(() => window.veltaroTest.tabIds().length) === 1, 'tab stays');
  await context.close();
});

await check('tabs: open, status lines, output, typing order, switching, closing', async () => {
  const { page, context } = await openPage();
  const first = await openTab(page, '辦公室路由器');
  await waitForText(page, first, '正在連線到 10.10.0.1:22...');
  await waitForText(page, first, 'admin@10.10.0.1');
  const second = await openTab(page, 'ESP32 板');
  expect(second !== first && (await page.evaluate(() => window.veltaroTest.activeTab())) === second, 'new tab active');
  await waitForText(page, second, '已連接 /dev/ttyUSB0');
  await page.evaluate((id) => window.setTerminalInfo(id, '開啟序列埠失敗：裝置忙碌中\u001b[2J（將持續嘗試重新連接）', true), second);
  await waitForText(page, second, '裝置忙碌中·[2J');
  expect(await page.isVisible('#serial-tools'), 'board buttons for a serial tab');
  // Fast typing: one send_input per tab at a time, joined, in order.
  await page.click('[data-testid="tab"] >> nth=0');
  await page.locator('.terminal-view:not([hidden]) .xterm').click();
  const typed = 'echo 你好 && uname -a';
  await page.keyboard.type(typed);
  await page.keyboard.press('Enter');
  await waitForText(page, first, typed);
  const sends = await page.evaluate((id) => window.__mock.calls('send_input').filter((c) => c.args[0] === id).map((c) => c.args[1]), first);
  expect(sends.join('') === `${typed}\r`, `order of input: ${JSON.stringify(sends)}`);
  const maxSend = await page.evaluate((id) => window.__mock.maxInFlight[`send_input:${id}`], first);
  expect(maxSend === 1, `send_input in flight at once: ${maxSend}`);
  expect(sends.length < typed.length, `keys were joined (${sends.length} calls)`);
  await page.evaluate((id) => window.__mock.pushOutput(id, '說明文件：https://example.com/docs/安裝 。\r\n'), first);
  await waitForText(page, first, 'example.com/docs');
  await page.waitForTimeout(300);
  await shot(page, '05-two-tabs.png');
  // A link in the output opens through open_url.
  const at = await page.evaluate(() => {
    const walker = document.createTreeWalker(document.querySelector('.terminal-view:not([hidden]) .xterm-rows'), NodeFilter.SHOW_TEXT);
    for (let n = walker.nextNode(); n; n = walker.nextNode()) {
      const i = n.textContent.indexOf('example.com');
      if (i >= 0) {
        const range = document.createRange();
        range.setStart(n, i);
        range.setEnd(n, i + 1);
        const r = range.getBoundingClientRect();
        return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
      }
    }
    return null;
  });
  expect(at, 'link text on screen');
  await page.mouse.move(at.x, at.y);
  await page.waitForTimeout(150);
  await page.mouse.click(at.x, at.y);
  await page.waitForFunction(() => window.__mock.calls('open_url').length === 1);
  expect((await page.evaluate(() => window.__mock.calls('open_url')[0].args[0])) === 'https://example.com/docs/安裝', 'opened address');
  // Copying a selection sends nothing to the server.
  const sendsBeforeCopy = await page.evaluate(() => window.__mock.calls('send_input').length);
  await page.mouse.move(at.x - 120, at.y);
  await page.mouse.down();
  await page.mouse.move(at.x + 60, at.y, { steps: 4 });
  await page.mouse.up();
  await page.keyboard.press('Control+Shift+C');
  await page.waitForTimeout(100);
  expect(await page.evaluate(() => window.__mock.calls('send_input').length) === sendsBeforeCopy, 'Ctrl+Shift+C reached the terminal');
  expect(!(await page.$('.toast-error')), 'copy failed');
  // Ctrl+Tab moves on; the toolbar follows the tab.
  await page.keyboard.press('Control+Tab');
  expect(await page.evaluate(() => window.veltaroTest.activeTab()) === second, 'Ctrl+Tab');
  await page.keyboard.press('Control+Shift+Tab');
  expect(await page.evaluate(() => window.veltaroTest.activeTab()) === first, 'Ctrl+Shift+Tab');
  expect(!(await page.isVisible('#serial-tools')), 'no board buttons for ssh');
  // Paste goes through read_clipboard and then the input queue.
  await page.keyboard.press('Control+Shift+V');
  await waitForText(page, first, 'echo 貼上測試 && date');
  // Middle-click closes; the back end's active tab is shown afterwards.
  const third = await openTab(page, 'build-server');
  await page.locator(`.tab[data-tab-id="${third}"]`).click({ button: 'middle' });
  await page.waitForFunction((id) => !window.veltaroTest.tabIds().includes(id), third);
  expect(await page.evaluate(() => window.veltaroTest.activeTab()) === second, 'active follows the back end after close');
  await page.keyboard.press('Control+Shift+W');
  await page.waitForFunction(() => window.veltaroTest.tabIds().length === 1);
  const drains = await page.evaluate(() => Object.entries(window.__mock.maxInFlight).filter(([k]) => k.startsWith('drain')).map(([, v]) => v));
  expect(drains.every((n) => n === 1), `drain_terminal in flight at once: ${drains}`);
  await context.close();
});

await check('toolbar: encoding, capture switch, reconnect keeps the scrollback', async () => {
  const { page, context } = await openPage();
  const tab = await openTab(page, '辦公室路由器');
  await waitForText(page, tab, 'admin@10.10.0.1');
  await page.selectOption('#tab-encoding', 'big5');
  await page.waitForFunction(() => window.__mock.calls('set_tab_encoding').length === 1);
  expect((await page.inputValue('#tab-encoding')) === 'big5', 'encoding shown');
  await page.click('#tab-capture');
  await page.waitForFunction(() => document.querySelector('#tab-capture').getAttribute('aria-pressed') === 'false');
  await page.click('#tab-reconnect');
  await page.waitForFunction((old) => { const ids = window.veltaroTest.tabIds(); return ids.length === 1 && ids[0] !== old; }, tab);
  const fresh = await page.evaluate(() => window.veltaroTest.activeTab());
  await waitForText(page, fresh, '─── 重新連線 ───');
  expect((await page.evaluate((id) => window.veltaroTest.terminalText(id), fresh)).includes('Welcome to'), 'scrollback kept');
  await context.close();
});

await check('ten idle tabs poll rarely', async () => {
  const { page, context } = await openPage();
  for (let i = 0; i < 10; i += 1) {
    await page.evaluate((n) => window.veltaro.api.save_session({ name: `idle ${n}`, protocol: 'raw', host: `127.0.0.${n + 1}`, port: 9 }), i);
  }
  await page.reload();
  await page.waitForFunction(() => document.querySelectorAll('[data-testid="session-row"]').length === 6);
  const ids = await page.evaluate(() => window.__mock.state.sessions.map((s) => s.id));
  expect(ids.length === 6, 'mock state resets on reload');
  // Open ten tabs straight through the mock, as a restored window would find them.
  for (let i = 0; i < 10; i += 1) {
    await page.evaluate((n) => window.veltaro.api.save_session({ name: `idle ${n}`, protocol: 'raw', host: `127.0.0.${n + 1}`, port: 9 }).then((r) => window.veltaro.api.connect_session(r.id)), i);
  }
  await page.waitForFunction(() => window.veltaroTest.tabIds().length === 10, null, { timeout: 5000 });
  await page.waitForTimeout(12000); // every poller reaches its slowest pace
  const outputCalls = () => page.evaluate(() => window.__mock.calls('drain_terminal').length + window.__mock.calls('wait_for_output').length);
  const before = await outputCalls();
  await page.waitForTimeout(5000);
  const perSecond = ((await outputCalls()) - before) / 5;
  console.log(`     ten idle tabs: ${perSecond} output calls per second`);
  expect(perSecond < 1, `drain_terminal and wait_for_output calls per second with ten idle tabs: ${perSecond}`);
  const runtime = await page.evaluate(() => window.__mock.calls('get_runtime_state').length);
  expect(runtime > 0 && runtime < 12, `get_runtime_state slows down while nothing changes (${runtime} in ~20 s)`);
  await context.close();
});

await check('a fast producer does not freeze the page', async () => {
  const { page, context } = await openPage();
  const tab = await openTab(page, '辦公室路由器');
  await waitForText(page, tab, 'admin@10.10.0.1');
  const line = `${'資料'.repeat(20)} 0123456789 abcdefghij\r\n`;
  await page.evaluate(([id, l]) => {
    window.__flood = setInterval(() => window.__mock.pushOutput(id, l.repeat(400)), 5);
  }, [tab, line]);
  // While output floods in, timers on the page still run on time.
  const lag = await page.evaluate(() => new Promise((resolveLag) => {
    let worst = 0;
    let last = performance.now();
    let n = 0;
    const step = () => {
      const now = performance.now();
      worst = Math.max(worst, now - last);
      last = now;
      if ((n += 1) < 60) setTimeout(step, 25);
      else resolveLag(worst);
    };
    setTimeout(step, 25);
  }));
  await page.evaluate(() => clearInterval(window.__flood));
  expect(lag < 400, `worst timer delay while flooding: ${Math.round(lag)} ms`);
  await context.close();
});

await check('view settings persist; session data never reaches local storage', async () => {
  const { page, context } = await openPage();
  const handle = await page.$('#sidebar-resizer');
  const box = await handle.boundingBox();
  await page.mouse.move(box.x + 2, box.y + 200);
  await page.mouse.down();
  await page.mouse.move(box.x + 80, box.y + 200, { steps: 5 });
  await page.mouse.up();
  await page.click('[data-testid="session-row"] >> nth=0');
  await page.click('#btn-new-session');
  await page.click('[data-section="advanced"] > summary');
  await page.keyboard.press('Escape');
  const stored = await page.evaluate(() => JSON.stringify(Object.fromEntries(Object.entries(localStorage))));
  const view = await page.evaluate(() => JSON.parse(localStorage.getItem('veltaro.view.v1')));
  expect(view.sidebarWidth > 320, `width stored: ${stored}`);
  expect(!/辦公室|10\.10\.0\.1|admin/.test(stored), `session data in local storage: ${stored}`);
  await page.reload();
  await page.waitForFunction(() => document.querySelectorAll('[data-testid="session-row"]').length === 6);
  const width = await page.$eval('#sidebar', (n) => n.getBoundingClientRect().width);
  expect(width > 320, `sidebar width after reload: ${width}`);
  await page.click('#btn-new-session');
  expect(await page.$eval('[data-section="advanced"]', (d) => d.open), 'advanced stays open as left');
  await context.close();
});

await browser.close();
const failed = results.filter(([, e]) => e).length;
console.log(`screenshots in ${shots}`);
console.log(`${results.length - failed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
