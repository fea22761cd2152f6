// Prints how long the console takes from the operator's Enter in the chat entry to the
// new chat line drawn in the page (host round trip and push), over 50 lines.
//   node bench/console_latency.mjs   (CONSOLE_REAL_HOST=path/to/console_real_host)
import { IDC, cleanup, control, openConsole, startHost } from '../tests/browser/harness.mjs';

try {
  const page = await openConsole(await startHost());
  const times = [];
  for (let i = 0; i < 50; ++i) {
    await control(page, IDC.chatEntry).fill(`x${i}`);
    const t0 = performance.now();
    await page.keyboard.press('Enter');
    await page.waitForFunction((n) => document.querySelector('[data-id="1000"]').value.includes(` x${n}\n`), i,
      { polling: 'raf' });
    times.push(performance.now() - t0);
  }
  times.sort((a, b) => a - b);
  const ms = (v) => v.toFixed(1);
  console.log(`Enter to chat line drawn (50 lines): median ${ms(times[25])} ms, p95 ${ms(times[47])} ms, `
    + `max ${ms(times[49])} ms`);
} finally {
  await cleanup();
}
