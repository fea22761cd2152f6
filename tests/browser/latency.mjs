// Prints how long the console takes from the operator's Enter in the chat entry to the
// new chat line drawn in the page (host round trip and push), over 50 lines.
//   node tests/browser/latency.mjs [path/to/console_test_host]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const hostProgram = process.argv[2] ?? process.env.CONSOLE_TEST_HOST ?? path.join(here, '../../build/tests/console_test_host');
const proc = spawn(hostProgram, ['--console', '127.0.0.1:0'], { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve) => proc.stdout.on('data', (d) => {
  const m = String(d).match(/Console: (http\S+)/);
  if (m) resolve(m[1]);
}));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quarneld-latency-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(url);
  await page.locator('section.dialog').waitFor();
  const times = [];
  for (let i = 0; i < 50; ++i) {
    await page.locator('[data-id="1001"]').fill(`x${i}`);
    const t0 = performance.now();
    await page.keyboard.press('Enter');
    await page.waitForFunction((n) => document.querySelector('[data-id="1000"]').value.includes(`Host: x${n}\n`), i,
      { polling: 'raf' });
    times.push(performance.now() - t0);
  }
  times.sort((a, b) => a - b);
  const ms = (v) => v.toFixed(1);
  console.log(`Enter to chat line drawn (50 lines): median ${ms(times[25])} ms, p95 ${ms(times[47])} ms, max ${ms(times[49])} ms`);
} finally {
  await context.close();
  proc.kill('SIGTERM');
  fs.rmSync(profile, { recursive: true, force: true });
}
