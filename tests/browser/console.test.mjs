// The operator console in Debian's chromium against console_test_host: the main window
// with fixed rows and a stand-in procedure. Each test saves a screenshot.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { IDC, TEST_HOST, cleanup, control, free, main, notice, openConsole, paneShows, say, shot, startHost, stopHost }
  from './harness.mjs';

after(cleanup);

test('dialog 101 is drawn from its template at one scale, on a desktop and a tablet', async () => {
  const host = await startHost(TEST_HOST);
  const page = await openConsole(host);
  assert.equal(new URL(page.url()).search, '', 'the token leaves the address bar');
  await page.waitForFunction(() => document.title.includes('Test session été'));
  assert.match(await page.title(), /Test session été — 127\.0\.0\.1/);
  assert.equal(await main(page).locator('.titlebar .title').textContent(), 'QUARNELD v1.39');

  // Positions follow the dialog units: one scale in x for every control.
  const box = async (id) => control(page, id).boundingBox();
  const [list, eject, entry] = [await box(IDC.players), await box(IDC.eject), await box(IDC.chatEntry)];
  const ux = list.width / 232;
  assert.ok(Math.abs((eject.x - list.x) / ux - (252 - 8)) < 1.5, 'Eject pilot sits 244 units right of the list');
  assert.ok(Math.abs(entry.width / ux - 180) < 1.5);
  const frame = await main(page).boundingBox();
  assert.ok(frame.width > 900 && frame.x >= 0 && frame.y >= 0 && frame.y + frame.height <= 800,
    `the main window fills 1280x800: ${JSON.stringify(frame)}`);

  // Player rows: tab-separated columns at the stops 3, 12, 41, 103 and 138, in UTF-8.
  const rows = control(page, IDC.players).locator('.row');
  assert.equal(await rows.count(), 3);
  const cells = await rows.nth(2).locator('.cell')
    .evaluateAll((els) => els.map((e) => [e.textContent, e.getBoundingClientRect().left]));
  assert.deepEqual(cells.map((c) => c[0]), ['C', 'Ready', 'Péter the pilot', 'Red', 'Spitfire Mk IX']);
  assert.deepEqual(cells.map((c) => Math.round((c[1] - list.x - 1) / ux)), [3, 12, 41, 103, 138]);

  // States from the template: disabled, hidden, read-only; the team list's entries.
  assert.equal(await control(page, IDC.nfLaunch).isDisabled(), true);
  assert.equal(await control(page, IDC.ready).isHidden(), true);
  assert.equal(await control(page, IDC.hostAddress).inputValue(), '127.0.0.1');
  assert.equal(await control(page, IDC.hostAddress).getAttribute('readonly'), '');
  assert.equal(await control(page, IDC.teams).locator('option').count(), 4);
  assert.match(await control(page, IDC.summary).inputValue(), /Realism: full\nStores: unlimited/);
  await shot(page, 'main-window-1280x800');

  const tablet = await openConsole(host, { width: 768, height: 1024 });
  const t = await main(tablet).boundingBox();
  assert.ok(t.x >= 0 && t.x + t.width <= 768 && t.width > 700, `scaled to fit a tablet: ${JSON.stringify(t)}`);
  await shot(tablet, 'main-window-tablet');
});

test('two browsers show the same state; a notice holds nothing and either may dismiss it', async () => {
  const host = await startHost(TEST_HOST);
  const [a, b] = [await openConsole(host), await openConsole(host)];
  await control(b, IDC.eject).click();
  const shown = notice(a, 'You need to select a player to eject');
  await shown.waitFor();
  assert.equal(await shown.locator('.title').textContent(), 'ERROR');
  await free(a);
  await say(a, 'from A');  // the main window goes on working under the notice
  await paneShows(b, /Host: from A/);
  await shot(a, 'notice');
  await notice(b, 'select a player').locator('button', { hasText: 'OK' }).click();
  await shown.waitFor({ state: 'detached' });

  await control(b, IDC.players).locator('.row').nth(1).click();
  await a.waitForFunction(() => document.querySelector('[data-id="1076"] .row.selected')?.dataset.index === '1');
  assert.equal(await control(a, IDC.chatPane).inputValue(), await control(b, IDC.chatPane).inputValue());
});

test('the page reconnects by itself after the host restarts', async () => {
  const first = await startHost(TEST_HOST);
  const page = await openConsole(first);
  await say(page, 'before the restart');
  await paneShows(page, /before the restart/);

  await stopHost(first);
  await page.locator('#banner').waitFor({ state: 'visible' });
  await shot(page, 'reconnect-offline');
  await startHost(TEST_HOST, { port: first.port, tokenFile: first.tokenFile });
  await page.locator('#banner').waitFor({ state: 'hidden', timeout: 15_000 });
  await paneShows(page, /^$/);  // the state is the new host's
  await say(page, 'after the restart');
  await paneShows(page, /Host: after the restart/);
  await shot(page, 'reconnect-online');
});
