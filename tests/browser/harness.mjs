// What the browser suites share: console_real_host (RunHost on a copy of the sample
// working directory, the session engine on scripted client machines) on loopback,
// Debian's chromium, and the page's dialogs and rows.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const HOST = process.env.CONSOLE_REAL_HOST ?? path.join(here, '../../build/tests/console_real_host');
const SAMPLE = process.env.QUARNELD_SAMPLE ?? path.join(here, '../../sample');
const SHOTS = process.env.SCREENSHOT_DIR ?? path.join(here, '../../build/screenshots');
export const WAIT = 10_000;
export const IDC = { chatPane: 1000, chatEntry: 1001, send: 1002, eject: 1022, summary: 1023,
  ready: 1026, players: 1076, capture: 1100, hostAddress: 1104, nfLaunch: 1114, changeOptions: 1115 };

fs.mkdirSync(SHOTS, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quarneld-browser-'));
const cleanups = [];
let browser = null;

export async function cleanup() {
  for (const c of cleanups.reverse()) await c().catch(() => {});
  if (browser) await browser.close().catch(() => {});
  fs.rmSync(scratch, { recursive: true, force: true });
}

// Starts a host on a fresh copy of the sample; resolves once it prints its login address.
// Its stdin and stdout carry control lines in the program's 8-bit text.
export function startHost({ port = 0, tokenFile } = {}) {
  const workDir = fs.mkdtempSync(path.join(scratch, 'work-'));
  fs.cpSync(SAMPLE, workDir, { recursive: true });
  tokenFile ??= path.join(workDir, 'token');
  const proc = spawn(HOST, ['--workdir', workDir, '--console', `127.0.0.1:${port}`, '--console-token-file', tokenFile]);
  const host = { proc, workDir, tokenFile, replies: [], exited: new Promise((r) => proc.on('exit', r)) };
  let err = '';
  proc.stderr.on('data', (d) => { err += d; });
  proc.stdout.setEncoding('latin1');
  cleanups.push(() => stopHost(host));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`host did not start: ${err}`)), WAIT);
    proc.on('error', reject);
    readline.createInterface({ input: proc.stdout }).on('line', (line) => {
      const m = line.match(/^Console: (http:\/\/127\.0\.0\.1:(\d+)\/\?token=\w+)/);
      if (m) {
        clearTimeout(timer);
        resolve(Object.assign(host, { url: m[1], port: Number(m[2]) }));
      } else if (/^(ok|error)\b/.test(line)) {
        host.replies.shift()?.(line);
      }
    });
  });
}

export async function stopHost(host) {
  if (host.proc.exitCode !== null || host.proc.signalCode !== null) return;
  host.proc.kill('SIGTERM');
  const killer = setTimeout(() => host.proc.kill('SIGKILL'), 5000);
  await host.exited;
  clearTimeout(killer);
}

// One control line to the host, answered "ok [VALUE]" (the value is returned) or
// "error TEXT" (thrown); "error not ready" while the main window opens is retried.
export async function ctl(host, line) {
  for (const deadline = Date.now() + WAIT; ;) {
    const reply = await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no answer to "${line}"`)), WAIT);
      host.replies.push((r) => { clearTimeout(timer); resolve(r); });
      host.proc.stdin.write(`${line}\n`, 'latin1');
    });
    if (reply !== 'error not ready' || Date.now() > deadline) {
      if (!reply.startsWith('ok')) throw new Error(`"${line}": ${reply}`);
      return reply.slice(3);
    }
    await new Promise((r) => setTimeout(r, 50));
  }
}

// A page of its own (fresh cookies) on the console, once the main window is drawn.
export async function openConsole(host, viewport = { width: 1280, height: 800 }) {
  browser ??= await chromium.launch({
    executablePath: '/usr/bin/chromium',
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

export const dialog = (page, template) => page.locator(`section.dialog[data-template="${template}"]`);
export const main = (page) => dialog(page, 101);
export const control = (page, id) => main(page).locator(`[data-id="${id}"]`);
export const notice = (page, text) => page.locator('#notices .notice').filter({ hasText: text });
export const row = (page, name) => control(page, IDC.players).locator('.row').filter({ hasText: name });
export const file = (host, name) => fs.readFileSync(path.join(host.workDir, 'quarneld', name), 'latin1');
export const held = (page, inert = true) =>
  page.waitForFunction((i) => document.querySelector('[data-template="101"]').inert === i, inert);
export const free = (page) => held(page, false);

export const paneShows = (page, re) =>
  until(async () => re.test(await control(page, IDC.chatPane).inputValue()), `the chat pane shows ${re}`);

export async function select(page, name) {
  await row(page, name).click();
  await row(page, name).and(page.locator('.selected')).waitFor();
}

// Polls until the check passes.
export async function until(check, what) {
  for (const deadline = Date.now() + WAIT; !(await check());) {
    if (Date.now() > deadline) throw new Error(`timed out: ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

export async function say(page, text) {
  await control(page, IDC.chatEntry).fill(text);
  await page.keyboard.press('Enter');
}

export const shot = (page, name) => page.screenshot({ path: path.join(SHOTS, `${name}.png`) });
