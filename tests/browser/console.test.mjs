// The operator console in a real browser (Debian's chromium through playwright-core)
// against console_test_host on loopback. Each test saves a screenshot.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const HOST_PROGRAM = process.env.CONSOLE_TEST_HOST ?? path.join(here, '../../build/tests/console_test_host');
const SHOTS = process.env.SCREENSHOT_DIR ?? path.join(here, '../../build/screenshots');
const CHROMIUM = '/usr/bin/chromium';
const WAIT = 10_000;

fs.mkdirSync(SHOTS, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quarneld-console-'));
const cleanups = [];
after(async () => {
  for (const c of cleanups.reverse()) await c().catch(() => {});
  fs.rmSync(scratch, { recursive: true, force: true });
});

// Starts the host; resolves with its login address once it prints it.
function startHost({ port = 0, tokenFile = path.join(scratch, `token-${Date.now()}-${Math.random()}`) } = {}) {
  const workDir = fs.mkdtempSync(path.join(scratch, 'work-'));
  fs.mkdirSync(path.join(workDir, 'quarneld'));
  return new Promise((resolve, reject) => {
    const proc = spawn(HOST_PROGRAM, ['--console', `127.0.0.1:${port}`, '--console-token-file', tokenFile,
      '--workdir', workDir], {
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let out = '';
    let err = '';
    const timer = setTimeout(() => reject(new Error(`host did not start: ${err}`)), WAIT);
    proc.stderr.on('data', (d) => { err += d; });
    proc.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/Console: (http:\/\/127\.0\.0\.1:(\d+)\/\?token=\w+)/);
      if (m) {
        clearTimeout(timer);
        const host = { proc, url: m[1], port: Number(m[2]), tokenFile, workDir, exited: new Promise((r) => proc.on('exit', r)) };
        cleanups.push(() => stopHost(host));
        resolve(host);
      }
    });
    proc.on('error', reject);
  });
}

async function stopHost(host) {
  if (host.proc.exitCode !== null || host.proc.signalCode !== null) return;
  host.proc.kill('SIGTERM');
  const killer = setTimeout(() => host.proc.kill('SIGKILL'), 5000);
  await host.exited;
  clearTimeout(killer);
}

// A browser of its own: a fresh profile, no network beyond loopback.
async function openBrowser(viewport = { width: 1280, height: 800 }) {
  const profile = fs.mkdtempSync(path.join(scratch, 'profile-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  cleanups.push(() => context.close());
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(WAIT);
  return { context, page };
}

async function openConsole(host, viewport) {
  const b = await openBrowser(viewport);
  await b.page.goto(host.url);
  await b.page.locator('section.dialog[data-template="101"]').waitFor();
  return b;
}

const main = (page) => page.locator('section.dialog[data-template="101"]');
const control = (page, id) => main(page).locator(`[data-id="${id}"]`);
const IDC = { chatPane: 1000, chatEntry: 1001, send: 1002, teams: 1017, eject: 1022, summary: 1023, ready: 1026,
  players: 1076, nfLaunch: 1114, hostAddress: 1104 };

async function paneText(page) {
  return control(page, IDC.chatPane).inputValue();
}

async function shot(page, name) {
  await page.screenshot({ path: path.join(SHOTS, `${name}.png`) });
}

test('dialog 101 is drawn from its template at one scale, on a desktop and a tablet', async () => {
  const host = await startHost();
  const { page } = await openConsole(host);
  assert.equal(new URL(page.url()).search, '', 'the token leaves the address bar');
  await page.waitForFunction(() => document.title.includes('Test session été'));
  assert.match(await page.title(), /Test session été — 127\.0\.0\.1/);
  assert.equal(await main(page).locator('.titlebar .title').textContent(), 'QUARNELD v1.39');

  // Positions follow the dialog units: one scale in x for every control.
  const box = async (id) => control(page, id).boundingBox();
  const list = await box(IDC.players);
  const eject = await box(IDC.eject);
  const entry = await box(IDC.chatEntry);
  const ux = list.width / 232;
  assert.ok(Math.abs((eject.x - list.x) / ux - (252 - 8)) < 1.5, 'Eject pilot sits 244 units right of the list');
  assert.ok(Math.abs(entry.width / ux - 180) < 1.5);
  const frame = await main(page).boundingBox();
  assert.ok(frame.width > 900 && frame.x >= 0 && frame.y >= 0 && frame.y + frame.height <= 800,
    `the main window fills 1280x800: ${JSON.stringify(frame)}`);

  // Player rows: tab-separated columns at the stops 3, 12, 41, 103 and 138.
  const rows = control(page, IDC.players).locator('.row');
  assert.equal(await rows.count(), 3);
  const cells = await rows.nth(2).locator('.cell').evaluateAll((els) => els.map((e) => [e.textContent, e.getBoundingClientRect().left]));
  assert.deepEqual(cells.map((c) => c[0]), ['C', 'Ready', 'Péter the pilot', 'Red', 'Spitfire Mk IX']);
  const stops = cells.map((c) => Math.round((c[1] - list.x - 1) / ux));
  assert.deepEqual(stops, [3, 12, 41, 103, 138]);

  // States from the template: disabled, hidden, read-only; the team list's entries.
  assert.equal(await control(page, IDC.nfLaunch).isDisabled(), true);
  assert.equal(await control(page, IDC.ready).isHidden(), true);
  assert.equal(await control(page, IDC.hostAddress).inputValue(), '127.0.0.1');
  assert.equal(await control(page, IDC.hostAddress).getAttribute('readonly'), '');
  assert.equal(await control(page, IDC.teams).locator('option').count(), 4);
  assert.match(await control(page, IDC.summary).inputValue(), /Realism: full\nStores: unlimited/);
  await shot(page, 'main-window-1280x800');

  const tablet = await openConsole(host, { width: 768, height: 1024 });
  const t = await main(tablet.page).boundingBox();
  assert.ok(t.x >= 0 && t.x + t.width <= 768 && t.width > 700, `scaled to fit a tablet: ${JSON.stringify(t)}`);
  await shot(tablet.page, 'main-window-tablet');
});

test('Enter sends from the chat entry and does nothing from the player list', async () => {
  const host = await startHost();
  const { page } = await openConsole(host);
  await control(page, IDC.chatEntry).click();
  await page.keyboard.type('hello there');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('Host: hello there'));
  await page.waitForFunction(() => document.querySelector('[data-id="1001"]').value === '');

  await control(page, IDC.chatEntry).fill('not from the list');
  await control(page, IDC.players).locator('.row').nth(1).click();
  await page.waitForFunction(() => document.querySelector('[data-id="1076"] .row.selected')?.dataset.index === '1');
  await page.keyboard.press('Enter');
  await page.waitForTimeout(400);
  assert.doesNotMatch(await paneText(page), /not from the list/);
  assert.equal(await control(page, IDC.chatEntry).inputValue(), 'not from the list');

  await control(page, IDC.send).click();  // the Send button itself sends
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('Host: not from the list'));
  await shot(page, 'chat-enter');
});

test('the exit question holds the main window until answered; No keeps the host running', async () => {
  const host = await startHost();
  const { page } = await openConsole(host);
  await control(page, IDC.chatEntry).click();
  await page.keyboard.press('Escape');
  const question = page.locator('#boxes .box');
  await question.waitFor();
  assert.equal(await question.locator('.text').textContent(), 'Are you sure you want to exit Quarneld?');
  assert.deepEqual(await question.locator('button').allTextContents(), ['Yes', 'No']);
  await page.waitForFunction(() => document.querySelector('section[data-template="101"]').hasAttribute('inert'));
  await shot(page, 'exit-question');

  // Input to the held window is refused by the host even when forced through.
  await control(page, IDC.eject).click({ force: true }).catch(() => {});
  await page.waitForTimeout(300);
  assert.equal(await page.locator('#notices .notice').count(), 0);

  await question.locator('button', { hasText: 'No' }).click();
  await question.waitFor({ state: 'detached' });
  await page.waitForFunction(() => !document.querySelector('section[data-template="101"]').hasAttribute('inert'));
  assert.equal(host.proc.exitCode, null);

  // The close box asks the same question; Yes ends the host.
  await main(page).locator('.titlebar .close').click();
  await question.waitFor();
  await question.locator('button', { hasText: 'Yes' }).click();
  assert.equal(await host.exited, 0);
});

test('an information box is a notice the operator dismisses; it holds nothing', async () => {
  const host = await startHost();
  const { page } = await openConsole(host);
  await control(page, IDC.eject).click();
  const notice = page.locator('#notices .notice');
  await notice.waitFor();
  assert.equal(await notice.locator('.title').textContent(), 'ERROR');
  assert.equal(await notice.locator('.text').textContent(), 'You need to select a player to eject');

  // The main window goes on working while the notice is up.
  assert.equal(await main(page).getAttribute('inert'), null);
  await control(page, IDC.chatEntry).fill('still here');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('Host: still here'));
  await shot(page, 'notice');

  await notice.locator('button', { hasText: 'OK' }).click();
  await notice.waitFor({ state: 'detached' });
});

test('a modal dialog (103) opens over the main window and holds it; its radio group and OK work', async () => {
  const host = await startHost();
  const { page } = await openConsole(host);
  const rows = control(page, IDC.players).locator('.row');

  await rows.nth(0).click();  // one of the host's own objects
  await control(page, IDC.eject).click();
  await page.locator('#notices .notice .text', { hasText: 'QUARNELD objects cannot be ejected' }).waitFor();
  assert.equal(await page.locator('section.dialog[data-template="103"]').count(), 0);

  await rows.nth(2).click();
  await control(page, IDC.eject).click();
  const eject = page.locator('section.dialog[data-template="103"]');
  await eject.waitFor();
  assert.equal(await eject.locator('.titlebar .title').textContent(), 'Eject player');
  await page.waitForFunction(() => document.querySelector('section[data-template="101"]').hasAttribute('inert'));
  assert.equal(await eject.locator('[data-id="1110"]').inputValue(), 'Péter the pilot');
  const radio = (id) => eject.locator(`[data-id="${id}"] input`);
  assert.equal(await radio(1111).isChecked(), true);
  await eject.locator('[data-id="1113"]').click();
  await page.waitForFunction(() => document.querySelector('[data-id="1113"] input').checked);
  assert.equal(await radio(1111).isChecked(), false);
  await shot(page, 'eject-dialog');

  await eject.locator('[data-id="1108"]').click();  // OK
  await eject.waitFor({ state: 'detached' });
  await page.waitForFunction(() => !document.querySelector('section[data-template="101"]').hasAttribute('inert'));
  await page.waitForFunction(() => document.querySelectorAll('[data-id="1076"] .row').length === 2);
  // The name reaches the file in the program's 8-bit text, not in the page's UTF-8.
  const file = fs.readFileSync(path.join(host.workDir, 'quarneld', 'autoboot.txt'));
  assert.deepEqual(file, Buffer.from('P\xe9ter the pilot\n', 'latin1'));
});

test('two browsers show the same state and their commands apply in order', async () => {
  const host = await startHost();
  const a = await openConsole(host);
  const b = await openConsole(host);
  await control(a.page, IDC.chatEntry).fill('from A');
  await a.page.keyboard.press('Enter');
  await b.page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('Host: from A'));

  await control(b.page, IDC.players).locator('.row').nth(0).click();
  await a.page.waitForFunction(() => document.querySelector('[data-id="1076"] .row.selected')?.dataset.index === '0');

  await control(b.page, IDC.chatEntry).click();
  await b.page.keyboard.press('Escape');
  await a.page.locator('#boxes .box').waitFor();  // the question shows in both
  await shot(a.page, 'two-browsers-a');
  await shot(b.page, 'two-browsers-b');
  await a.page.locator('#boxes .box button', { hasText: 'No' }).click();
  await b.page.locator('#boxes .box').waitFor({ state: 'detached' });
  assert.equal(await paneText(a.page), await paneText(b.page));
});

test('the page reconnects by itself after the host restarts', async () => {
  const first = await startHost();
  const { page } = await openConsole(first);
  await control(page, IDC.chatEntry).fill('before the restart');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('before the restart'));

  await stopHost(first);
  await page.locator('#banner').waitFor({ state: 'visible' });
  await shot(page, 'reconnect-offline');
  await startHost({ port: first.port, tokenFile: first.tokenFile });
  await page.locator('#banner').waitFor({ state: 'hidden', timeout: 15_000 });
  // The state is the new host's: an empty chat pane.
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value === '');
  await control(page, IDC.chatEntry).fill('after the restart');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('Host: after the restart'));
  await shot(page, 'reconnect-online');
});

test('the chat pane keeps at most 1,500 characters, dropping whole lines from the top', async () => {
  const host = await startHost();
  const { page } = await openConsole(host);
  let expected = '';
  let last = '';
  for (let i = 0; i < 30; ++i) {
    const text = `line ${String(i).padStart(2, '0')} ${'x'.repeat(50 + (i % 7) * 5)}`;
    await control(page, IDC.chatEntry).fill(text);
    await page.keyboard.press('Enter');
    while (expected.length > 1500) expected = expected.slice(expected.indexOf('\r\n') + 2);
    last = `Host: ${text}\r\n`;
    expected += last;
  }
  const want = expected.replace(/\r\n/g, '\n');
  await page.waitForFunction((w) => document.querySelector('[data-id="1000"]').value === w, want, { timeout: WAIT })
    .catch(async (e) => {
      assert.equal(await paneText(page), want);
      throw e;
    });
  assert.ok(expected.length - last.length <= 1500);
  assert.ok(expected.length > 1500, 'the pane was over the limit before the last line');
  // The pane follows its caret to the newest line.
  const scrolled = await control(page, IDC.chatPane).evaluate((e) => e.scrollTop + e.clientHeight >= e.scrollHeight - 2);
  assert.ok(scrolled);
  await shot(page, 'chat-pane-1500');
});
