// The operator's roads through the real host's console in Debian's chromium, with
// scripted clients driven through the host's stdin. What the dialogs decide is checked by
// test_app; here, that the page carries it. Each test saves a screenshot.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { IDC, cleanup, control, ctl, dialog, file, free, held, main, openConsole, paneShows, row, say, select, shot,
  startHost, until } from './harness.mjs';

after(cleanup);

const checked = (page, id) =>
  page.waitForFunction((i) => document.querySelector(`[data-id="${i}"] input`)?.checked, id);

test('Eject pilot: a modal dialog with one radio choice, onto the autoboot list', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join P\xe9ter');  // the program's 8-bit text, shown in UTF-8
  const eject = dialog(page, 103);
  const radio = (id) => eject.locator(`[data-id="${id}"] input`);
  await select(page, 'Péter');
  await control(page, IDC.eject).click();
  await eject.waitFor();
  await held(page);
  assert.equal(await eject.locator('.titlebar .title').textContent(), 'Eject player');
  assert.equal(await eject.locator('[data-id="1110"]').inputValue(), 'Péter');
  await radio(1113).click();
  await checked(page, 1113);
  assert.equal(await radio(1111).isChecked(), false);
  await shot(page, 'real-eject-autoboot');
  await eject.locator('[data-id="1108"]').click();
  await eject.waitFor({ state: 'detached' });
  await free(page);
  await row(page, 'Péter').waitFor({ state: 'detached' });
  assert.equal(file(host, 'autoboot.txt'), 'P\xe9ter\n');
});

test('clients join a team and fly; Capture location writes where a flying client is', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Frank P-51D');
  await ctl(host, 'team Frank Cactus Air Force');
  await ctl(host, 'status Frank H');
  await row(page, 'Frank').filter({ hasText: 'Ready' }).waitFor();
  assert.deepEqual((await row(page, 'Frank').locator('.cell').allTextContents()).slice(1),
    ['Ready', 'Frank', 'Cactus Air Force', 'P-51D']);
  // Columns never overlap: a long team name pushes the aircraft to its right.
  const spans = await row(page, 'Frank').locator('.cell')
    .evaluateAll((els) => els.map((e) => e.getBoundingClientRect()));
  for (let k = 1; k < spans.length; ++k) assert.ok(spans[k].left >= spans[k - 1].right - 0.5, `column ${k}`);
  assert.match(await control(page, IDC.chatPane).inputValue(), /"Frank" has joined/);
  await shot(page, 'real-main-window-1280x800');

  await ctl(host, 'status Frank F');
  await ctl(host, 'motion Frank 4444444 -11930458 1000 32768 511');
  await row(page, 'Frank').filter({ hasText: 'Flying' }).waitFor();
  await select(page, 'Frank');
  await control(page, IDC.capture).click();
  const capture = dialog(page, 114);
  await capture.locator('[data-id="1135"]').fill('Over the field');
  await shot(page, 'real-capture-dialog');
  await capture.locator('[data-id="1"]').click();
  await capture.waitFor({ state: 'detached' });
  await until(() => fs.existsSync(path.join(host.workDir, 'quarneld', 'capture.txt')), 'the capture is written');
  assert.match(file(host, 'capture.txt'),
    /^\n;  Capture description - Over the field\n[^]*\naircraft=P-51D\nstart_lat=N039\* 59' 34\.7900"\n/);
});

test('the settings dialog: enabled once changed; the change reaches the summary', async () => {
  const page = await openConsole(await startHost());
  const summary = () => control(page, IDC.summary).inputValue();
  const before = await summary();
  await control(page, IDC.changeOptions).click();
  const settings = dialog(page, 113);
  const use = settings.locator('[data-id="1136"]');
  await settings.waitFor();
  const fuel = settings.locator('[data-id="1120"] input');
  const was = await fuel.isChecked();
  await fuel.click();
  await use.and(page.locator(':enabled')).waitFor();
  await shot(page, 'real-settings-dialog');
  await use.click();
  await settings.waitFor({ state: 'detached' });
  const [yes, no] = was ? ['No', 'Yes'] : ['Yes', 'No'];
  assert.match(before, new RegExp(`^Unlimited fuel: ${no}$`, 'm'));
  await until(async () => new RegExp(`^Unlimited fuel: ${yes}$`, 'm').test(await summary()), 'the summary follows');
});

test('chat: Enter sends from the entry only and the pane follows its newest line; the exit question', async () => {
  const host = await startHost();
  const page = await openConsole(host);
  await ctl(host, 'join Hank');
  await control(page, IDC.chatEntry).fill('not from the list');
  await row(page, 'Hank').click();
  await page.keyboard.press('Enter');
  await page.waitForTimeout(400);
  assert.doesNotMatch(await control(page, IDC.chatPane).inputValue(), /not from the list/);
  await control(page, IDC.send).click();  // the Send button itself sends
  await paneShows(page, /Henderson Field: +not from the list/);
  for (let i = 0; i < 24; ++i) await say(page, `line ${i} ${'y'.repeat(60)}`);
  await paneShows(page, /line 23/);
  assert.ok(await control(page, IDC.chatPane).evaluate((e) => e.scrollTop + e.clientHeight >= e.scrollHeight - 2));
  await shot(page, 'real-chat-pane');

  // The exit question holds the main window: input forced through is refused by the
  // host, No keeps the host; the close box asks the same question and Yes ends it.
  await control(page, IDC.chatEntry).click();
  await page.keyboard.press('Escape');
  const box = page.locator('#boxes .box');
  assert.equal(await box.locator('.text').textContent(), 'Are you sure you want to exit Quarneld?');
  assert.deepEqual(await box.locator('button').allTextContents(), ['Yes', 'No']);
  await held(page);
  await shot(page, 'real-exit-question');
  await control(page, IDC.eject).click({ force: true }).catch(() => {});
  await page.waitForTimeout(300);
  assert.equal(await page.locator('#notices .notice').count(), 0);
  await box.locator('button', { hasText: 'No' }).click();
  await free(page);
  await ctl(host, 'join Dora');
  await row(page, 'Dora').waitFor();
  await main(page).locator('.titlebar .close').click();
  await box.locator('button', { hasText: 'Yes' }).click();
  assert.equal(await host.exited, 0);
});
