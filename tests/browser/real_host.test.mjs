// The operator's roads through the real host's console in Debian's chromium, with
// scripted clients driven through the host's stdin. Each test saves a screenshot.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { IDC, cleanup, control, ctl, dialog, file, free, held, main, openConsole, paneShows, row, say, select, shot,
  startHost, until } from './harness.mjs';

after(cleanup);

test('Eject pilot: clients onto the autoboot list, for good or for this run', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join P\xe9ter');  // the program's 8-bit text, shown in UTF-8
  // The modal dialog holds the main window; its radio group has one choice.
  await select(page, 'Péter');
  await control(page, IDC.eject).click();
  const eject = dialog(page, 103);
  const radio = (id) => eject.locator(`[data-id="${id}"] input`);
  await eject.waitFor();
  await held(page);
  assert.equal(await eject.locator('.titlebar .title').textContent(), 'Eject player');
  assert.equal(await eject.locator('[data-id="1110"]').inputValue(), 'Péter');
  assert.equal(await radio(1111).isChecked(), true);
  await radio(1113).click();
  await page.waitForFunction(() => document.querySelector('[data-id="1113"] input')?.checked);
  assert.equal(await radio(1111).isChecked(), false);
  await shot(page, 'real-eject-autoboot');
  await eject.locator('[data-id="1108"]').click();
  await eject.waitFor({ state: 'detached' });
  await free(page);
  await row(page, 'Péter').waitFor({ state: 'detached' });
  assert.equal(file(host, 'autoboot.txt'), 'P\xe9ter\n');

  // On rejoin the host destroys the player on arrival: it never shows in the list.
  await page.evaluate(() => {
    const list = document.querySelector('[data-id="1076"]');
    new MutationObserver(() => { if (list.textContent.includes('Péter')) window.sawHim = true; })
      .observe(list, { childList: true, subtree: true, characterData: true });
  });
  await ctl(host, 'join P\xe9ter');
  await until(async () => !(await ctl(host, 'players')).split('|').includes('P\xe9ter'), 'the autobooted player goes');
  await ctl(host, 'join Eve');  // a later arrival shows, so the list was live meanwhile
  await row(page, 'Eve').waitFor();
  assert.equal(await page.evaluate(() => window.sawHim), undefined);
  assert.doesNotMatch(await control(page, IDC.chatPane).inputValue(), /"Péter" has joined[\s\S]*"Péter" has joined/);

  // The player leaves while the dialog is open: the list follows under the held window,
  // and OK afterwards only remembers the name.
  await select(page, 'Eve');
  await control(page, IDC.eject).click();
  await eject.waitFor();
  await ctl(host, 'leave Eve');
  await row(page, 'Eve').waitFor({ state: 'detached' });
  await radio(1112).click();
  await page.waitForFunction(() => document.querySelector('[data-id="1112"] input')?.checked);
  await eject.locator('[data-id="1108"]').click();
  await eject.waitFor({ state: 'detached' });
  await ctl(host, 'join Eve');
  await ctl(host, 'join Finn');
  await row(page, 'Finn').waitFor();
  assert.equal(await row(page, 'Eve').count(), 0, 'kept out for this run');
  assert.equal(await page.locator('#notices .notice').count(), 0);
  assert.equal(file(host, 'autoboot.txt'), 'P\xe9ter\n');
});

test('clients join a team and fly; Capture location writes where a flying client is', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Alice');
  await ctl(host, 'join Frank P-51D');
  // One after the other: a team recount taken while another join to the team is still
  // queued reports that player as "on team, but NOT".
  await ctl(host, 'team Alice Cactus Air Force');
  await row(page, 'Alice').filter({ hasText: 'Cactus Air Force' }).waitFor();
  await ctl(host, 'team Frank Cactus Air Force');
  await row(page, 'Frank').filter({ hasText: 'Cactus Air Force' }).waitFor();
  await ctl(host, 'status Frank H');
  await row(page, 'Frank').filter({ hasText: 'Ready' }).waitFor();
  assert.deepEqual((await row(page, 'Frank').locator('.cell').allTextContents()).slice(1),
    ['Ready', 'Frank', 'Cactus Air Force', 'P-51D']);
  assert.equal(await page.locator('#notices .notice').count(), 0);
  const teams = await control(page, IDC.teams).locator('option').allTextContents();
  assert.ok(teams.includes('Cactus Air Force') && teams.includes('Target '), teams.join('|'));
  // Columns never overlap: a long team name pushes the aircraft to its right.
  const spans = await row(page, 'Frank').locator('.cell')
    .evaluateAll((els) => els.map((e) => e.getBoundingClientRect()));
  for (let k = 1; k < spans.length; ++k) assert.ok(spans[k].left >= spans[k - 1].right - 0.5, `column ${k}`);
  assert.match(await control(page, IDC.chatPane).inputValue(), /"Alice" has joined/);
  assert.match(await control(page, IDC.summary).inputValue(), /Max\. teams: \d+/);
  await shot(page, 'real-main-window-1280x800');

  await ctl(host, 'status Frank F');
  await ctl(host, 'motion Frank 4444444 -11930458 1000 32768 511');
  await row(page, 'Frank').filter({ hasText: 'Flying' }).waitFor();
  await select(page, 'Frank');
  await control(page, IDC.capture).click();
  const capture = dialog(page, 114);
  assert.equal(await capture.locator('[data-id="1135"]').inputValue(), 'No description');
  assert.equal(await capture.locator('[data-id="1138"] input').isChecked(), true);
  await capture.locator('[data-id="1135"]').fill('Over the field');
  await shot(page, 'real-capture-dialog');
  await capture.locator('[data-id="1"]').click();
  await capture.waitFor({ state: 'detached' });
  await until(() => fs.existsSync(path.join(host.workDir, 'quarneld', 'capture.txt')), 'the capture is written');
  const text = file(host, 'capture.txt');
  assert.match(text, /^\n;  Capture description - Over the field\n;  Target placement info[^\n]*\n/);
  assert.match(text, /\naircraft=P-51D\nstart_lat=N039\* 59' 34\.7900"\n[^]*\nstart_alt=3282\.94\n/);
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

  let after = before;
  await until(async () => (after = Number(await ctl(host, 'desc'))) !== before, 'dwUser2 changes');
  assert.equal(after ^ before, 1 << 13, 'only the fuel bit changed');
  await page.waitForFunction((b) => document.querySelector('[data-id="1023"]').value !== b, summaryBefore);
  const [now, was] = wasChecked ? ['No', 'Yes'] : ['Yes', 'No'];
  assert.match(await control(page, IDC.summary).inputValue(), new RegExp(`^Unlimited fuel: ${now}$`, 'm'));
  assert.match(summaryBefore, new RegExp(`^Unlimited fuel: ${was}$`, 'm'));
  await shot(page, 'real-settings-applied');
});

test('chat: Enter sends from the entry only, the pane keeps 1,500 characters; the exit question', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Hank');
  await row(page, 'Hank').waitFor();
  const pane = () => control(page, IDC.chatPane).inputValue();

  await say(page, 'hello pilots');
  await paneShows(page, /Henderson Field: +hello pilots/);
  await control(page, IDC.chatEntry).fill('not from the list');
  await row(page, 'Hank').click();
  await page.keyboard.press('Enter');
  await page.waitForTimeout(400);
  assert.doesNotMatch(await pane(), /not from the list/);
  assert.equal(await control(page, IDC.chatEntry).inputValue(), 'not from the list');
  await control(page, IDC.send).click();  // the Send button itself sends
  await paneShows(page, /Henderson Field: +not from the list/);
  await shot(page, 'real-chat-enter');

  // The pane keeps its last 1,500 characters by whole lines (the first one too).
  for (let i = 0; i < 24; ++i) await say(page, `line ${String(i).padStart(2, '0')} ${'y'.repeat(60)}`);
  await paneShows(page, /line 23/);
  const text = (await pane()).replace(/\n/g, '\r\n');
  const lastLine = text.slice(text.lastIndexOf('\r\n', text.length - 3) + 2);
  assert.ok(text.length - lastLine.length <= 1500 && text.length > 1400, `${text.length}`);
  assert.match(text, /^Henderson Field: +line \d\d y{60}\r\n/, 'whole lines left the top');
  // The pane follows its caret to the newest line.
  assert.ok(await control(page, IDC.chatPane).evaluate((e) => e.scrollTop + e.clientHeight >= e.scrollHeight - 2));
  await shot(page, 'real-chat-pane-1500');

  // The exit question holds the main window: No keeps the host and its session.
  await control(page, IDC.chatEntry).click();
  await page.keyboard.press('Escape');
  const box = page.locator('#boxes .box');
  assert.equal(await box.locator('.text').textContent(), 'Are you sure you want to exit Quarneld?');
  assert.deepEqual(await box.locator('button').allTextContents(), ['Yes', 'No']);
  await held(page);
  await shot(page, 'real-exit-question');
  // Input to the held window is refused by the host even when forced through.
  await control(page, IDC.eject).click({ force: true }).catch(() => {});
  await page.waitForTimeout(300);
  assert.equal(await page.locator('#notices .notice').count(), 0);
  await box.locator('button', { hasText: 'No' }).click();
  await box.waitFor({ state: 'detached' });
  await free(page);
  await ctl(host, 'join Dora');
  await row(page, 'Dora').waitFor();
  // The close box asks the same question; Yes ends the host.
  await main(page).locator('.titlebar .close').click();
  await box.locator('button', { hasText: 'Yes' }).click();
  assert.equal(await host.exited, 0);
});
