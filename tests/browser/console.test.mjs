// The console page itself in Debian's chromium, on the real host: drawing dialogs from
// their templates, several browsers at once, and a host that restarts. Each test saves a
// screenshot.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { IDC, cleanup, control, free, main, notice, openConsole, paneShows, row, say, shot, startHost, stopHost }
  from './harness.mjs';

after(cleanup);

test('dialog 101 is drawn from its template at one scale, on a desktop and a tablet', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  assert.equal(new URL(page.url()).search, '', 'the token leaves the address bar');
  await page.waitForFunction(() => /^Quarneld Sample\[\]Solomons strike.* — quarneld$/.test(document.title));
  assert.equal(await main(page).locator('.titlebar .title').textContent(), 'QUARNELD v1.39');

  // Positions follow the dialog units: one scale in x for every control.
  const box = async (id) => control(page, id).boundingBox();
  const [list, eject, entry] = [await box(IDC.players), await box(IDC.eject), await box(IDC.chatEntry)];
  const ux = list.width / 232;
  assert.ok(Math.abs((eject.x - list.x) / ux - (252 - 8)) < 1.5, 'Eject pilot sits 244 units right of the list');
  assert.ok(Math.abs(entry.width / ux - 180) < 1.5);
  // Player rows: tab-separated columns at the stops 3, 12, 41, 103 and 138.
  const cells = await row(page, 'Henderson Field').locator('.cell')
    .evaluateAll((els) => els.map((e) => [e.textContent, e.getBoundingClientRect().left]));
  assert.deepEqual(cells.map((c) => c[0]), ['J', 'Waiting', 'Henderson Field', 'Target ', 'AirFld_Henderson_04']);
  assert.deepEqual(cells.map((c) => Math.round((c[1] - list.x - 1) / ux)), [3, 12, 41, 103, 138]);

  // States from the template: disabled, hidden, read-only.
  assert.equal(await control(page, IDC.nfLaunch).isDisabled(), true);
  assert.equal(await control(page, IDC.ready).isHidden(), true);
  assert.equal(await control(page, IDC.hostAddress).getAttribute('readonly'), '');
  // Every control lies inside the window, and the window fills the screen.
  const frame = await main(page).boundingBox();
  assert.ok(frame.width > 900 && frame.x >= 0 && frame.y >= 0 && frame.x + frame.width <= 1280
    && frame.y + frame.height <= 800, `the main window fills 1280x800: ${JSON.stringify(frame)}`);
  const outside = await main(page).locator('.client > .ctl').evaluateAll((els) => {
    const client = els[0].parentElement.getBoundingClientRect();
    return els.filter((e) => !e.hidden).map((e) => [e.dataset.id, e.getBoundingClientRect()])
      .filter(([, r]) => r.right > client.right + 1 || r.bottom > client.bottom + 1).map(([id]) => id);
  });
  assert.deepEqual(outside, []);
  await shot(page, 'main-window-1280x800');

  const tablet = await openConsole(host, { width: 768, height: 1024 });
  const t = await main(tablet).boundingBox();
  assert.ok(t.x >= 0 && t.x + t.width <= 768 && t.width > 700, `scaled to fit a tablet: ${JSON.stringify(t)}`);
  await shot(tablet, 'main-window-tablet');
});

test('two browsers show the same state; a notice holds nothing; the page reconnects after a restart', async () => {
  const host = await startHost();
  const [a, b] = [await openConsole(host), await openConsole(host)];
  await control(b, IDC.eject).click();
  const shown = notice(a, 'You need to select a player to eject');
  await shown.waitFor();
  assert.equal(await shown.locator('.title').textContent(), 'ERROR');
  await free(a);
  await say(a, 'from A');  // the main window goes on working under the notice
  await paneShows(b, /Henderson Field: +from A/);
  await shot(a, 'notice');
  await notice(b, 'select a player').locator('button', { hasText: 'OK' }).click();
  await shown.waitFor({ state: 'detached' });
  await row(b, 'Munda Strip').click();
  await row(a, 'Munda Strip').and(a.locator('.selected')).waitFor();
  assert.equal(await control(a, IDC.chatPane).inputValue(), await control(b, IDC.chatPane).inputValue());

  await stopHost(host);
  await a.locator('#banner').waitFor({ state: 'visible' });
  await shot(a, 'reconnect-offline');
  await startHost({ port: host.port, tokenFile: host.tokenFile });
  await a.locator('#banner').waitFor({ state: 'hidden', timeout: 15_000 });
  await paneShows(a, /^(?![^]*from A)/);  // the state is the new host's
  await say(a, 'after the restart');
  await paneShows(a, /Henderson Field: +after the restart/);
  await shot(a, 'reconnect-online');
});
