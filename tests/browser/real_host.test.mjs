// The operator console of the real host (console_real_host: RunHost on a copy of the
// sample working directory, the session engine on scripted client machines) in Debian's
// chromium. Clients are driven through the host's stdin; each test saves a screenshot.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const HOST_PROGRAM = process.env.CONSOLE_REAL_HOST ?? path.join(here, '../../build/tests/console_real_host');
const SAMPLE = process.env.QUARNELD_SAMPLE ?? path.join(here, '../../sample');
const SHOTS = process.env.SCREENSHOT_DIR ?? path.join(here, '../../build/screenshots');
const CHROMIUM = '/usr/bin/chromium';
const WAIT = 10_000;

fs.mkdirSync(SHOTS, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quarneld-real-'));
const cleanups = [];
let browser = null;
after(async () => {
  for (const c of cleanups.reverse()) await c().catch(() => {});
  if (browser) await browser.close().catch(() => {});
  fs.rmSync(scratch, { recursive: true, force: true });
});

// Starts a host on a fresh copy of the sample; resolves once it prints its login address.
function startHost() {
  const workDir = fs.mkdtempSync(path.join(scratch, 'work-'));
  fs.cpSync(SAMPLE, workDir, { recursive: true });
  const tokenFile = path.join(scratch, `token-${path.basename(workDir)}`);
  const proc = spawn(HOST_PROGRAM, ['--workdir', workDir, '--console', '127.0.0.1:0', '--console-token-file', tokenFile],
    { stdio: ['pipe', 'pipe', 'pipe'] });
  const host = { proc, workDir, waiting: [], exited: new Promise((r) => proc.on('exit', r)) };
  let err = '';
  proc.stderr.on('data', (d) => { err += d; });
  cleanups.push(() => stopHost(host));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`host did not start: ${err}`)), WAIT);
    proc.on('error', reject);
    readline.createInterface({ input: proc.stdout }).on('line', (line) => {
      const m = line.match(/^Console: (http:\/\/127\.0\.0\.1:(\d+)\/\?token=(\w+))/);
      if (m) {
        Object.assign(host, { url: m[1], port: Number(m[2]), token: m[3] });
        clearTimeout(timer);
        resolve(host);
      } else if (/^(ok|error)\b/.test(line)) {
        host.waiting.shift()?.(line);
      }
    });
  });
}

async function stopHost(host) {
  if (host.proc.exitCode !== null || host.proc.signalCode !== null) return;
  host.proc.stdin.end();  // end of input shuts the host down
  const killer = setTimeout(() => host.proc.kill('SIGKILL'), 5000);
  await host.exited;
  clearTimeout(killer);
}

// One control line; "error not ready" (the main window is still opening) is retried.
async function ctl(host, line) {
  const deadline = Date.now() + WAIT;
  for (;;) {
    const reply = await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no answer to "${line}"`)), WAIT);
      host.waiting.push((r) => { clearTimeout(timer); resolve(r); });
      host.proc.stdin.write(`${line}\n`);
    });
    if (reply === 'error not ready' && Date.now() < deadline) {
      await new Promise((r) => setTimeout(r, 50));
      continue;
    }
    if (!reply.startsWith('ok')) throw new Error(`"${line}": ${reply}`);
    return reply.slice(3);
  }
}

async function openConsole(host, viewport = { width: 1280, height: 800 }) {
  browser ??= await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const context = await browser.newContext({ viewport });
  cleanups.push(() => context.close());
  const page = await context.newPage();
  page.setDefaultTimeout(WAIT);
  await page.goto(host.url);
  await main(page).waitFor();
  return page;
}

const main = (page) => page.locator('section.dialog[data-template="101"]');
const dialog = (page, template) => page.locator(`section.dialog[data-template="${template}"]`);
const control = (page, id) => main(page).locator(`[data-id="${id}"]`);
const IDC = { chatPane: 1000, chatEntry: 1001, send: 1002, teams: 1017, eject: 1022, summary: 1023, players: 1076,
  capture: 1100, changeOptions: 1115 };
const row = (page, name) => control(page, IDC.players).locator('.row').filter({ hasText: name });
const notice = (page, text) => page.locator('#notices .notice').filter({ hasText: text });

async function shot(page, name) {
  await page.screenshot({ path: path.join(SHOTS, `${name}.png`) });
}

// A notice is read and dismissed, leaving the page as it was.
async function dismiss(page, text) {
  const n = notice(page, text);
  await n.waitFor();
  await n.locator('button', { hasText: 'OK' }).click();
  await n.waitFor({ state: 'detached' });
}

async function select(page, name) {
  await row(page, name).click();
  await row(page, name).and(page.locator('.selected')).waitFor();
}

test('the sample session with two clients on teams, on a 1280x800 screen', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Alice');
  await ctl(host, 'join Bob P-51D');
  // One after the other: a team recount taken while another join to the team is still
  // queued reports that player as "on team, but NOT".
  await ctl(host, 'team Alice Cactus Air Force');
  await row(page, 'Alice').filter({ hasText: 'Cactus Air Force' }).waitFor();
  await ctl(host, 'team Bob Cactus Air Force');
  await row(page, 'Bob').filter({ hasText: 'Cactus Air Force' }).waitFor();
  await ctl(host, 'status Bob H');
  await row(page, 'Bob').filter({ hasText: 'Ready' }).waitFor();
  await page.waitForFunction(() => document.title.includes('Quarneld Sample'));
  const cells = await row(page, 'Bob').locator('.cell').allTextContents();
  assert.deepEqual(cells.slice(1), ['Ready', 'Bob', 'Cactus Air Force', 'P-51D']);
  assert.equal(await page.locator('#notices .notice').count(), 0);
  const teams = await control(page, IDC.teams).locator('option').allTextContents();
  assert.ok(teams.includes('Cactus Air Force') && teams.includes('Target '), teams.join('|'));
  // Columns never overlap: a long team name pushes the aircraft to its right.
  const spans = await row(page, 'Bob').locator('.cell').evaluateAll((els) => els.map((e) => e.getBoundingClientRect()));
  for (let k = 1; k < spans.length; ++k) assert.ok(spans[k].left >= spans[k - 1].right - 0.5, `column ${k}`);
  assert.match(await control(page, IDC.chatPane).inputValue(), /"Alice" has joined/);
  assert.match(await control(page, IDC.summary).inputValue(), /Max\. teams: \d+/);

  // Every control lies inside the window, and the window inside the screen.
  const frame = await main(page).boundingBox();
  assert.ok(frame.x >= 0 && frame.y >= 0 && frame.x + frame.width <= 1280 && frame.y + frame.height <= 800);
  const outside = await main(page).locator('.client > .ctl').evaluateAll((els) => {
    const client = els[0].parentElement.getBoundingClientRect();
    return els.filter((e) => !e.hidden).map((e) => [e.dataset.id, e.getBoundingClientRect()])
      .filter(([, r]) => r.right > client.right + 1 || r.bottom > client.bottom + 1).map(([id]) => id);
  });
  assert.deepEqual(outside, []);
  await shot(page, 'real-main-window-1280x800');
});

test('the exit question: No keeps the host and its session', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await control(page, IDC.chatEntry).click();
  await page.keyboard.press('Escape');
  const box = page.locator('#boxes .box');
  await box.waitFor();
  assert.equal(await box.locator('.text').textContent(), 'Are you sure you want to exit Quarneld?');
  await shot(page, 'real-exit-question');
  await box.locator('button', { hasText: 'No' }).click();
  await box.waitFor({ state: 'detached' });
  await ctl(host, 'join Dora');
  await row(page, 'Dora').waitFor();
  assert.equal(host.proc.exitCode, null);
});

test('Eject pilot: nothing selected, a host object, and a client onto the autoboot list', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Carol');
  await row(page, 'Carol').waitFor();

  await control(page, IDC.eject).click();
  await dismiss(page, 'You need to select a player to eject');
  await select(page, 'Henderson Field');
  await control(page, IDC.eject).click();
  await notice(page, 'QUARNELD objects cannot be ejected').waitFor();
  assert.equal(await dialog(page, 103).count(), 0);
  await shot(page, 'real-eject-host-object');
  await dismiss(page, 'QUARNELD objects cannot be ejected');

  await select(page, 'Carol');
  await control(page, IDC.eject).click();
  const eject = dialog(page, 103);
  await eject.waitFor();
  assert.equal(await eject.locator('[data-id="1110"]').inputValue(), 'Carol');
  await eject.locator('[data-id="1113"] input').click();
  await page.waitForFunction(() => document.querySelector('[data-id="1113"] input')?.checked);
  await shot(page, 'real-eject-autoboot');
  await eject.locator('[data-id="1108"]').click();
  await eject.waitFor({ state: 'detached' });
  await row(page, 'Carol').waitFor({ state: 'detached' });
  assert.equal(fs.readFileSync(path.join(host.workDir, 'quarneld', 'autoboot.txt'), 'latin1'), 'Carol\n');

  // On rejoin the host destroys the player on arrival: it never shows in the list.
  await page.evaluate(() => {
    window.sawCarol = false;
    const list = document.querySelector('[data-id="1076"]');
    new MutationObserver(() => { if (list.textContent.includes('Carol')) window.sawCarol = true; })
      .observe(list, { childList: true, subtree: true, characterData: true });
  });
  await ctl(host, 'join Carol');
  const deadline = Date.now() + WAIT;
  while ((await ctl(host, 'players')).split('|').includes('Carol')) {
    assert.ok(Date.now() < deadline, 'the autobooted player is destroyed');
    await new Promise((r) => setTimeout(r, 50));
  }
  await ctl(host, 'join Eve');  // a later arrival shows, so the list was live meanwhile
  await row(page, 'Eve').waitFor();
  assert.equal(await page.evaluate(() => window.sawCarol), false);
  assert.doesNotMatch(await control(page, IDC.chatPane).inputValue(), /"Carol" has joined[\s\S]*"Carol" has joined/);

  // The player leaves while the dialog is open: the list follows under the held window,
  // and OK afterwards only remembers the name.
  await select(page, 'Eve');
  await control(page, IDC.eject).click();
  await eject.waitFor();
  await ctl(host, 'leave Eve');
  await row(page, 'Eve').waitFor({ state: 'detached' });
  await eject.locator('[data-id="1112"] input').click();
  await page.waitForFunction(() => document.querySelector('[data-id="1112"] input')?.checked);
  await eject.locator('[data-id="1108"]').click();
  await eject.waitFor({ state: 'detached' });
  await ctl(host, 'join Eve');
  await ctl(host, 'join Finn');
  await row(page, 'Finn').waitFor();
  assert.equal(await row(page, 'Eve').count(), 0, 'kept out for this run');
  assert.equal(await page.locator('#notices .notice').count(), 0);
  assert.equal(fs.readFileSync(path.join(host.workDir, 'quarneld', 'autoboot.txt'), 'latin1'), 'Carol\n');
});

test('Capture location: a Waiting client is refused; a flying one is captured into the file', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Frank');
  await ctl(host, 'team Frank Cactus Air Force');
  await select(page, 'Frank');
  await control(page, IDC.capture).click();
  await dismiss(page, "Player must be 'In game' to capture location");

  await ctl(host, 'status Frank F');
  await ctl(host, 'motion Frank 4444444 -11930458 1000 32768 511');
  await row(page, 'Frank').filter({ hasText: 'Flying' }).waitFor();

  // Change options is held while somebody flies: a message, no dialog.
  await control(page, IDC.changeOptions).click();
  await notice(page, 'Only allowed to change settings with all players in the Ready Room').waitFor();
  assert.equal(await dialog(page, 113).count(), 0);
  await shot(page, 'real-change-options-flying');
  await dismiss(page, 'Only allowed to change settings with all players in the Ready Room');

  await control(page, IDC.capture).click();
  const capture = dialog(page, 114);
  await capture.waitFor();
  assert.equal(await capture.locator('[data-id="1135"]').inputValue(), 'No description');
  assert.equal(await capture.locator('[data-id="1138"] input').isChecked(), true);
  await capture.locator('[data-id="1135"]').fill('Over the field');
  await shot(page, 'real-capture-dialog');
  await capture.locator('[data-id="1"]').click();
  await capture.waitFor({ state: 'detached' });
  const file = path.join(host.workDir, 'quarneld', 'capture.txt');
  const deadline = Date.now() + WAIT;
  while (!fs.existsSync(file) && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
  assert.equal(fs.readFileSync(file, 'latin1'), [
    '',
    ';  Capture description - Over the field',
    ';  Target placement info.  Make sure to change X to proper target number',
    '[qdl_object.X]',
    'name=change me',
    'target_team=0',
    'aircraft=Spitfire',
    'start_lat=N039* 59\' 34.7900"',
    'start_long=W000* 59\' 59.9979"',
    'start_alt=3282.94',
    'start_heading=179.82',
    '',
  ].join('\n'));
});

test('the settings dialog: enabled once changed; the change reaches the summary and dwUser2', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Gina');
  await row(page, 'Gina').waitFor();
  const before = Number(await ctl(host, 'desc'));
  const summaryBefore = await control(page, IDC.summary).inputValue();

  await control(page, IDC.changeOptions).click();
  const settings = dialog(page, 113);
  await settings.waitFor();
  const use = settings.locator('[data-id="1136"]');
  assert.equal(await use.isDisabled(), true, 'nothing changed yet');
  const fuel = settings.locator('[data-id="1120"] input');
  const wasChecked = await fuel.isChecked();
  await fuel.click();
  await page.waitForFunction((w) => document.querySelector('[data-id="1120"] input').checked !== w, wasChecked);
  await use.and(page.locator(':enabled')).waitFor();
  await shot(page, 'real-settings-dialog');
  await use.click();
  await settings.waitFor({ state: 'detached' });

  const fuelBit = 1 << 13;
  const deadline = Date.now() + WAIT;
  let after = before;
  while (after === before && Date.now() < deadline) after = Number(await ctl(host, 'desc'));
  assert.equal(after ^ before, fuelBit, 'only the fuel bit changed');
  await page.waitForFunction((b) => document.querySelector('[data-id="1023"]').value !== b, summaryBefore);
  const summary = await control(page, IDC.summary).inputValue();
  assert.match(summary, wasChecked ? /^Unlimited fuel: No$/m : /^Unlimited fuel: Yes$/m);
  assert.match(summaryBefore, wasChecked ? /^Unlimited fuel: Yes$/m : /^Unlimited fuel: No$/m);
  await shot(page, 'real-settings-applied');
});

test('chat: Enter sends from the entry field, not from the player list; the pane keeps 1,500 characters', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Hank');
  await row(page, 'Hank').waitFor();
  const pane = () => control(page, IDC.chatPane).inputValue();

  await control(page, IDC.chatEntry).fill('hello pilots');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => /Henderson Field: +hello pilots/.test(document.querySelector('[data-id="1000"]').value));
  await control(page, IDC.chatEntry).fill('not from the list');
  await row(page, 'Hank').click();
  await page.keyboard.press('Enter');
  await page.waitForTimeout(400);
  assert.doesNotMatch(await pane(), /not from the list/);
  assert.equal(await control(page, IDC.chatEntry).inputValue(), 'not from the list');
  await shot(page, 'real-chat-enter');

  for (let i = 0; i < 24; ++i) {
    await control(page, IDC.chatEntry).fill(`line ${String(i).padStart(2, '0')} ${'y'.repeat(60)}`);
    await page.keyboard.press('Enter');
  }
  await page.waitForFunction(() => document.querySelector('[data-id="1000"]').value.includes('line 23'));
  const text = (await pane()).replace(/\n/g, '\r\n');
  const lastLine = text.slice(text.lastIndexOf('\r\n', text.length - 3) + 2);
  assert.ok(text.length - lastLine.length <= 1500, `at most 1,500 characters before the last line: ${text.length}`);
  assert.ok(text.length > 1400);
  assert.doesNotMatch(text, /line 00/, 'the oldest lines left the top');
  for (const line of text.split('\r\n').slice(0, -1))  // whole lines only, the first one too
    assert.match(line, /^(Henderson Field: +(line \d\d y{60}|hello pilots)|"\w[\w ]*" has joined)$/);
  await shot(page, 'real-chat-pane-1500');
});

test('an unauthenticated request, a wrong token and another origin are refused', async () => {
  const host = await startHost();
  const get = (pathAndQuery, headers = {}) => new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port: host.port, path: pathAndQuery, headers }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', reject);
    req.setTimeout(WAIT, () => req.destroy(new Error('timeout')));
  });
  assert.equal(await get('/state'), 401);
  assert.equal(await get('/?token=0123456789abcdef0123456789abcdef'), 403);
  assert.equal(await get(`/?token=${host.token}`), 303);
  const page = await openConsole(host);
  const cookies = await page.context().cookies();
  assert.equal(cookies.length, 1);
  const good = `${cookies[0].name}=${cookies[0].value}`;
  assert.equal(await get('/state', { Cookie: good }), 200);
  assert.equal(await get('/state', { Cookie: `${cookies[0].name}=wrong` }), 403);
  assert.equal(await get('/state', { Cookie: good, Origin: 'http://example.com' }), 403);
  assert.equal(await get('/state', { Cookie: good, Origin: `http://127.0.0.1:${host.port}` }), 200);
  await shot(page, 'real-auth');
});
